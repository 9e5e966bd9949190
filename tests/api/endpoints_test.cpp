#include "api/endpoints.h"

#include "platform/defaults_keys.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <memory>

namespace {

QJsonObject bodyOf(const QJsonObject& request) {
    return QJsonDocument::fromJson(request.value(QStringLiteral("body")).toString().toUtf8()).object();
}

QStringList sorted(QStringList l) {
    l.sort();
    return l;
}

} // namespace

class EndpointsTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;

    void useOverride(const char* method, const char* path, const QJsonObject& replySpec) {
        QJsonObject o = replySpec;
        o.insert(QStringLiteral("method"), QString::fromUtf8(method));
        o.insert(QStringLiteral("path"), QString::fromUtf8(path));
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"), QJsonArray{o});
        QVERIFY(m_service.setScenario(scenario));
    }
    QJsonObject only(const char* path) {
        const QJsonArray all = m_service.requests();
        if (all.size() != 1) qWarning("expected one request, got %d", int(all.size()));
        const QJsonObject req = all.isEmpty() ? QJsonObject() : all.first().toObject();
        if (req.value(QStringLiteral("path")).toString() != QLatin1String(path)) qWarning("unexpected path");
        return req;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        m_service.clearRequests();
    }
    void cleanup() { m_env.reset(); }

    void loginSendsDeviceAndCredentials() {
        // E-mail and password go out exactly as typed.
        const auto r = awaitTask(API::login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw")));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(r->token, QStringLiteral("tok-1"));
        QCOMPARE(r->user.plan, std::optional<QString>(QStringLiteral("PLUS")));
        const QJsonObject req = only("/auth/login");
        QCOMPARE(req.value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
        const QJsonObject body = bodyOf(req);
        QCOMPARE(sorted(body.keys()), sorted({QStringLiteral("deviceName"), QStringLiteral("platform"),
                                              QStringLiteral("kind"), QStringLiteral("fingerprint"),
                                              QStringLiteral("appVersion"), QStringLiteral("email"),
                                              QStringLiteral("password")}));
        QCOMPARE(body.value(QStringLiteral("platform")).toString(), QStringLiteral("macos"));
        QCOMPARE(body.value(QStringLiteral("kind")).toString(), QStringLiteral("app"));
        QCOMPARE(body.value(QStringLiteral("fingerprint")).toString(), API::fingerprint());
        QCOMPARE(body.value(QStringLiteral("appVersion")).toString(), QStringLiteral("1.0.0"));
        QVERIFY(!body.value(QStringLiteral("deviceName")).toString().isEmpty());
        for (const QString& k : body.keys()) QVERIFY2(body.value(k).isString(), qPrintable(k));
        QVERIFY(!hasRecordedHeader(req, QStringLiteral("Authorization")));
    }

    void loginValuesAreNotTrimmed() {
        const auto r = awaitTask(API::login(QStringLiteral(" A@Kestrava.test "), QStringLiteral(" pw")));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Server);
        QCOMPARE(r.error().description(), QStringLiteral("E-posta veya şifre hatalı"));
        const QJsonObject body = bodyOf(only("/auth/login"));
        QCOMPARE(body.value(QStringLiteral("email")).toString(), QStringLiteral(" A@Kestrava.test "));
        QCOMPARE(body.value(QStringLiteral("password")).toString(), QStringLiteral(" pw"));
    }

    void loginCarriesAnOldStoredToken() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("stale")).ok());
        (void)awaitTask(API::login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw")));
        QCOMPARE(recordedHeader(only("/auth/login"), QStringLiteral("Authorization")), QStringLiteral("Bearer stale"));
    }

    void connectSendsServerAndToken() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("stale")).ok());
        const auto r = awaitTask(API::connect(QStringLiteral("tok-1"), QStringLiteral("tr-1")));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(r->exitIp, QStringLiteral("203.0.113.7"));
        QVERIFY(r->gateway);
        QCOMPARE(r->gateway->secret, QStringLiteral("psk-1"));
        const QJsonObject req = only("/connect");
        QCOMPARE(recordedHeader(req, QStringLiteral("Authorization")), QStringLiteral("Bearer tok-1"));
        const QJsonObject body = bodyOf(req);
        QCOMPARE(sorted(body.keys()), sorted({QStringLiteral("deviceName"), QStringLiteral("platform"),
                                              QStringLiteral("kind"), QStringLiteral("fingerprint"),
                                              QStringLiteral("appVersion"), QStringLiteral("serverId")}));
        QCOMPARE(body.value(QStringLiteral("serverId")).toString(), QStringLiteral("tr-1"));
    }

    void connectWithoutGatewayIsNotAnError() {
        const auto r = awaitTask(API::connect(QStringLiteral("tok-1"), QStringLiteral("de-1")));
        QVERIFY(r.ok());
        QVERIFY(!r->gateway);
    }

    void serverListUsesStoredToken() {
        QVERIFY(awaitTask(API::servers()).error().kind == Error::Kind::Server);
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("tok-1")).ok());
        m_service.clearRequests();
        const auto r = awaitTask(API::servers());
        QVERIFY(r.ok());
        QCOMPARE(r->servers.first().city, QStringLiteral("İstanbul"));
        QCOMPARE(recordedHeader(only("/servers"), QStringLiteral("Authorization")), QStringLiteral("Bearer tok-1"));
    }

    void inboxPathAndQuery() {
        const auto r = awaitTask(API::inbox(QStringLiteral("tok-1")));
        QVERIFY(r.ok());
        QCOMPARE(r->campaigns.first().id, QStringLiteral("c1"));
        QVERIFY(!r->campaigns.first().cta);
        const QJsonObject req = only("/notify/inbox");
        QCOMPARE(req.value(QStringLiteral("query")).toString(), QStringLiteral("platform=macos"));
        QCOMPARE(req.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    }

    // Qt names some statuses as errors of its own (407 as a proxy error, with no proxy in use):
    // the user still reads the service's answer.
    void statusNamedByQtShowsTheServiceAnswer_data() {
        QTest::addColumn<bool>("signIn"); // else connect
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::addColumn<QString>("shown");
        const auto json = [](const char* key, const char* text) {
            const QJsonObject body{{QString::fromUtf8(key), QString::fromUtf8(text)}};
            return QJsonObject{{QStringLiteral("body"), body}};
        };
        const auto message = [&](const char* text) { return json("message", text); };
        const auto challenged = [](QJsonObject reply, const char* header) {
            const QString realm = QStringLiteral("Basic realm=\"k\"");
            reply.insert(QStringLiteral("headers"), QJsonObject{{QString::fromUtf8(header), realm}});
            return reply;
        };
        const QJsonObject html{{QStringLiteral("rawBody"), QStringLiteral("<h1>hata</h1>")}};
        const auto fallback = [](int status) { return QStringLiteral("Sunucu hatası (%1)").arg(status); };
        QTest::newRow("sign-in 407 message") << true << 407 << message("Hesap kapalı") << QStringLiteral("Hesap kapalı");
        QTest::newRow("sign-in 407 html") << true << 407 << html << fallback(407);
        QTest::newRow("sign-in 407 challenge")
            << true << 407 << challenged(message("Vekil"), "Proxy-Authenticate") << QStringLiteral("Vekil");
        QTest::newRow("connect 407 error") << false << 407 << json("error", "E") << QStringLiteral("E");
        QTest::newRow("connect 407 challenge html") << false << 407 << challenged(html, "Proxy-Authenticate")
                                                    << fallback(407);
        QTest::newRow("sign-in 401 challenge")
            << true << 401 << challenged(message("Şifre hatalı"), "WWW-Authenticate") << QStringLiteral("Şifre hatalı");
        QTest::newRow("sign-in 403") << true << 403 << message("Engellendi") << QStringLiteral("Engellendi");
        QTest::newRow("sign-in 404") << true << 404 << html << fallback(404);
        QTest::newRow("connect 405") << false << 405 << html << fallback(405);
        QTest::newRow("connect 409") << false << 409 << message("Başka cihazda") << QStringLiteral("Başka cihazda");
        QTest::newRow("connect 410") << false << 410 << html << fallback(410);
        QTest::newRow("connect 413") << false << 413 << html << fallback(413);
        QTest::newRow("connect 416") << false << 416 << message("Aralık") << QStringLiteral("Aralık");
        QTest::newRow("sign-in 418") << true << 418 << html << fallback(418);
        QTest::newRow("sign-in 429") << true << 429 << message("Bekleyin") << QStringLiteral("Bekleyin");
        QTest::newRow("connect 501") << false << 501 << html << fallback(501);
        QTest::newRow("connect 502") << false << 502 << html << fallback(502);
        QTest::newRow("sign-in 599") << true << 599 << message("Bakım") << QStringLiteral("Bakım");
    }
    void statusNamedByQtShowsTheServiceAnswer() {
        QFETCH(bool, signIn);
        QFETCH(int, status);
        QFETCH(QJsonObject, replySpec);
        QFETCH(QString, shown);
        replySpec.insert(QStringLiteral("status"), status);
        useOverride("POST", signIn ? "/auth/login" : "/connect", replySpec);
        const Error error =
            signIn ? awaitTask(API::login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw"))).error()
                   : awaitTask(API::connect(QStringLiteral("tok-1"), QStringLiteral("tr-1"))).error();
        QCOMPARE(error.description(), shown);
        QCOMPARE(error.kind, Error::Kind::Server);
        QCOMPARE(error.code, status);
    }

    void trackSendsTwoKeys() {
        awaitTask(API::trackNotify(QStringLiteral("tok-1"), QStringLiteral("c1"), QStringLiteral("clicked")));
        const QJsonObject req = only("/notify/track");
        QCOMPARE(bodyOf(req), (QJsonObject{{QStringLiteral("campaignId"), QStringLiteral("c1")},
                                           {QStringLiteral("event"), QStringLiteral("clicked")}}));
        QCOMPARE(recordedHeader(req, QStringLiteral("Authorization")), QStringLiteral("Bearer tok-1"));
    }

    void trackSwallowsFailures_data() {
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::newRow("500") << QJsonObject{{QStringLiteral("status"), 500}};
        QTest::newRow("no network") << QJsonObject{{QStringLiteral("dropConnection"), true}};
        QTest::newRow("garbage") << QJsonObject{{QStringLiteral("status"), 200}, {QStringLiteral("rawBody"), QStringLiteral("ok")}};
    }
    void trackSwallowsFailures() {
        QFETCH(QJsonObject, replySpec);
        useOverride("POST", "/notify/track", replySpec);
        QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, QStringLiteral("fp")).ok());
        const QByteArray before = [&] {
            QFile f(m_env->defaultsPath());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        awaitTask(API::trackNotify(QStringLiteral("tok-1"), QStringLiteral("c1"), QStringLiteral("clicked")));
        QFile f(m_env->defaultsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }

    void geoSendsNoHeadersOfOurs() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("tok-1")).ok());
        const auto geo = awaitTask(API::publicGeo());
        QVERIFY(geo);
        QCOMPARE(geo->ip, QStringLiteral("192.0.2.44"));
        QCOMPARE(geo->city, std::optional<QString>(QStringLiteral("Ankara")));
        const QJsonObject req = only("/geo");
        for (const char* h : {"Authorization", "X-Kestrava-Device", "Content-Type"})
            QVERIFY2(!hasRecordedHeader(req, QString::fromUtf8(h)), h);
    }

    void geoReplies_data() {
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<bool>("hasCity");
        const auto body = [](int status, const QJsonValue& v) {
            return QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("body"), v}};
        };
        QTest::newRow("503 with a valid body is used")
            << body(503, QJsonObject{{QStringLiteral("ip"), QStringLiteral("198.51.100.2")}}) << QStringLiteral("198.51.100.2")
            << false;
        // Statuses that Qt reports as errors of its own name still bring their body.
        const QJsonObject valid{{QStringLiteral("ip"), QStringLiteral("198.51.100.4")}};
        QTest::newRow("407 with a valid body is used") << body(407, valid) << QStringLiteral("198.51.100.4") << false;
        QJsonObject challenged = body(407, valid);
        challenged.insert(QStringLiteral("headers"),
                          QJsonObject{{QStringLiteral("Proxy-Authenticate"), QStringLiteral("Basic realm=\"k\"")}});
        QTest::newRow("407 challenge with a valid body is used")
            << challenged << QStringLiteral("198.51.100.4") << false;
        challenged = body(401, valid);
        challenged.insert(QStringLiteral("headers"),
                          QJsonObject{{QStringLiteral("WWW-Authenticate"), QStringLiteral("Basic realm=\"k\"")}});
        QTest::newRow("401 challenge with a valid body is used")
            << challenged << QStringLiteral("198.51.100.4") << false;
        QTest::newRow("404 with a valid body is used") << body(404, valid) << QStringLiteral("198.51.100.4") << false;
        QTest::newRow("418 with a valid body is used") << body(418, valid) << QStringLiteral("198.51.100.4") << false;
        QTest::newRow("429 with a valid body is used") << body(429, valid) << QStringLiteral("198.51.100.4") << false;
        QTest::newRow("null city, no code")
            << body(200, QJsonObject{{QStringLiteral("ip"), QStringLiteral("198.51.100.3")}, {QStringLiteral("city"), QJsonValue::Null}})
            << QStringLiteral("198.51.100.3") << false;
        QTest::newRow("empty ip") << body(200, QJsonObject{{QStringLiteral("ip"), QString()}, {QStringLiteral("city"), QStringLiteral("x")}})
                                  << QString() << false;
        QTest::newRow("array") << body(200, QJsonArray{}) << QString() << false;
        QTest::newRow("html 502") << QJsonObject{{QStringLiteral("status"), 502}, {QStringLiteral("rawBody"), QStringLiteral("<h1>502</h1>")}}
                                  << QString() << false;
        QTest::newRow("no network") << QJsonObject{{QStringLiteral("dropConnection"), true}} << QString() << false;
        QTest::newRow("oversize") << QJsonObject{{QStringLiteral("status"), 200},
                                                 {QStringLiteral("repeatBody"), QJsonObject{{QStringLiteral("chunk"), QStringLiteral(" ")},
                                                                                            {QStringLiteral("count"), 20'000'000}}}}
                                  << QString() << false;
    }
    void geoReplies() {
        QFETCH(QJsonObject, replySpec);
        QFETCH(QString, ip);
        QFETCH(bool, hasCity);
        useOverride("GET", "/geo", replySpec);
        const auto geo = awaitTask(API::publicGeo());
        QCOMPARE(geo.has_value(), !ip.isEmpty());
        if (!geo) return;
        QCOMPARE(geo->ip, ip);
        QCOMPARE(geo->city.has_value(), hasCity);
        QVERIFY(!geo->countryCode);
    }
};

QTEST_GUILESS_MAIN(EndpointsTest)
#include "endpoints_test.moc"
