#include "api/endpoints.h"

#include "platform/defaults_keys.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

QJsonObject bodyOf(const QJsonObject& request) {
    return QJsonDocument::fromJson(request.value("body"_L1).toString().toUtf8()).object();
}

QStringList deviceKeysAnd(QStringList more) {
    more << u"appVersion"_s << u"deviceName"_s << u"fingerprint"_s << u"kind"_s << u"platform"_s;
    more.sort();
    return more;
}

} // namespace

class EndpointsTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;

    QJsonObject only(const char* path) {
        const QJsonArray all = m_service.requests();
        [&] {
            QCOMPARE(all.size(), 1);
            QCOMPARE(all.first().toObject().value("path"_L1).toString(), QString::fromUtf8(path));
        }();
        return all.isEmpty() ? QJsonObject() : all.first().toObject();
    }
    void storeToken(const QString& token) { QVERIFY(m_env->defaults().setString(DefaultsKeys::token, token).ok()); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        QVERIFY(m_service.clearRequests());
    }
    void cleanup() { m_env.reset(); }

    // E-mail and password go out exactly as typed, with the device, and an old stored token if any.
    void login_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("error");
        QTest::newRow("accepted") << u"a@kestrava.test"_s << u"pw"_s << QString() << QString();
        QTest::newRow("not trimmed, old token") << u" A@Kestrava.test "_s << u" pw"_s << u"stale"_s
                                                << u"E-posta veya şifre hatalı"_s;
    }
    void login() {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, stored);
        QFETCH(QString, error);
        if (!stored.isNull()) storeToken(stored);
        const auto r = awaitTask(API::login(email, password));
        QCOMPARE(r.ok(), error.isNull());
        if (r.ok()) {
            QCOMPARE(r->token, u"tok-1"_s);
            QCOMPARE(r->user.plan, std::optional(u"PLUS"_s));
        } else {
            QCOMPARE(r.error().kind, Error::Kind::Server);
            QCOMPARE(r.error().description(), error);
        }
        const QJsonObject req = only("/auth/login");
        QCOMPARE(req.value("method"_L1).toString(), u"POST"_s);
        QCOMPARE(recordedHeader(req, u"Authorization"_s), stored.isNull() ? QString() : u"Bearer "_s + stored);
        const QJsonObject body = bodyOf(req);
        QCOMPARE(body.keys(), deviceKeysAnd({u"email"_s, u"password"_s}));
        QCOMPARE(body.value("email"_L1).toString(), email);
        QCOMPARE(body.value("password"_L1).toString(), password);
        QCOMPARE(body.value("platform"_L1).toString(), u"macos"_s);
        QCOMPARE(body.value("kind"_L1).toString(), u"app"_s);
        QCOMPARE(body.value("fingerprint"_L1).toString(), API::fingerprint());
        QCOMPARE(body.value("appVersion"_L1).toString(), u"1.0.0"_s);
        QVERIFY(!body.value("deviceName"_L1).toString().isEmpty());
    }

    // The token passed wins over a stored one; a server without a gateway is not an error.
    void connectRequest_data() {
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<QString>("secret");
        QTest::newRow("with gateway") << u"tr-1"_s << u"psk-1"_s;
        QTest::newRow("without gateway") << u"de-1"_s << QString();
    }
    void connectRequest() {
        QFETCH(QString, serverId);
        QFETCH(QString, secret);
        storeToken(u"stale"_s);
        const auto r = awaitTask(API::connect(u"tok-1"_s, serverId));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(r->gateway ? r->gateway->secret : QString(), secret);
        const QJsonObject req = only("/connect");
        QCOMPARE(recordedHeader(req, u"Authorization"_s), u"Bearer tok-1"_s);
        QCOMPARE(bodyOf(req).keys(), deviceKeysAnd({u"serverId"_s}));
        QCOMPARE(bodyOf(req).value("serverId"_L1).toString(), serverId);
    }

    void serverListUsesStoredToken() {
        QCOMPARE(awaitTask(API::servers()).error().kind, Error::Kind::Server);
        storeToken(u"tok-1"_s);
        QVERIFY(m_service.clearRequests());
        const auto r = awaitTask(API::servers());
        QVERIFY(r.ok());
        QCOMPARE(r->servers.first().city, u"İstanbul"_s);
        QCOMPARE(recordedHeader(only("/servers"), u"Authorization"_s), u"Bearer tok-1"_s);
    }

    void inboxPathAndQuery() {
        const auto r = awaitTask(API::inbox(u"tok-1"_s));
        QVERIFY(r.ok());
        QCOMPARE(r->campaigns.first().id, u"c1"_s);
        QVERIFY(!r->campaigns.first().cta);
        const QJsonObject req = only("/notify/inbox");
        QCOMPARE(req.value("query"_L1).toString(), u"platform=macos"_s);
        QCOMPARE(req.value("method"_L1).toString(), u"GET"_s);
    }

    // Qt names some statuses as errors of its own (407 as a proxy error, with no proxy in use):
    // the user still reads the service's answer.
    void statusNamedByQtShowsTheServiceAnswer_data() {
        QTest::addColumn<bool>("signIn"); // else connect
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("shown");
        const auto json = [](const char* key, const char* text) {
            return QJsonObject{{u"body"_s, QJsonObject{{QString::fromUtf8(key), QString::fromUtf8(text)}}}};
        };
        const auto message = [&](const char* text) { return json("message", text); };
        const auto challenged = [](QJsonObject reply, const char* header) {
            reply.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(header), u"Basic realm=\"k\""_s}});
            return reply;
        };
        const QJsonObject html{{u"rawBody"_s, u"<h1>hata</h1>"_s}};
        const auto row = [](const char* name, bool signIn, int status, const QJsonObject& reply, const QString& shown) {
            QTest::newRow(name) << signIn << status << reply << (shown.isNull() ? u"Sunucu hatası (%1)"_s.arg(status) : shown);
        };
        row("sign-in 407 message", true, 407, message("Hesap kapalı"), u"Hesap kapalı"_s);
        row("sign-in 407 html", true, 407, html, {});
        row("sign-in 407 challenge", true, 407, challenged(message("Vekil"), "Proxy-Authenticate"), u"Vekil"_s);
        row("connect 407 error", false, 407, json("error", "E"), u"E"_s);
        row("connect 407 challenge html", false, 407, challenged(html, "Proxy-Authenticate"), {});
        row("sign-in 401 challenge", true, 401, challenged(message("Şifre hatalı"), "WWW-Authenticate"), u"Şifre hatalı"_s);
        row("sign-in 403", true, 403, message("Engellendi"), u"Engellendi"_s);
        row("sign-in 404", true, 404, html, {});
        row("connect 405", false, 405, html, {});
        row("connect 409", false, 409, message("Başka cihazda"), u"Başka cihazda"_s);
        row("connect 410", false, 410, html, {});
        row("connect 413", false, 413, html, {});
        row("connect 416", false, 416, message("Aralık"), u"Aralık"_s);
        row("sign-in 418", true, 418, html, {});
        row("sign-in 429", true, 429, message("Bekleyin"), u"Bekleyin"_s);
        row("connect 501", false, 501, html, {});
        row("connect 502", false, 502, html, {});
        row("sign-in 599", true, 599, message("Bakım"), u"Bakım"_s);
    }
    void statusNamedByQtShowsTheServiceAnswer() {
        QFETCH(bool, signIn);
        QFETCH(int, status);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, shown);
        reply.insert(u"status"_s, status);
        QVERIFY(m_service.setScenario(withReply("POST", signIn ? "/auth/login" : "/connect", reply)));
        const Error error = signIn ? awaitTask(API::login(u"a@kestrava.test"_s, u"pw"_s)).error()
                                   : awaitTask(API::connect(u"tok-1"_s, u"tr-1"_s)).error();
        QCOMPARE(error.description(), shown);
        QCOMPARE(error.kind, Error::Kind::Server);
        QCOMPARE(error.code, status);
    }

    // A click sends its two keys; whatever the reply, nothing stored changes.
    void track_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::newRow("accepted") << QJsonObject();
        QTest::newRow("500") << QJsonObject{{u"status"_s, 500}};
        QTest::newRow("no network") << QJsonObject{{u"dropConnection"_s, true}};
        QTest::newRow("garbage") << QJsonObject{{u"status"_s, 200}, {u"rawBody"_s, u"ok"_s}};
    }
    void track() {
        QFETCH(QJsonObject, reply);
        if (!reply.isEmpty()) QVERIFY(m_service.setScenario(withReply("POST", "/notify/track", reply)));
        QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, u"fp"_s).ok());
        const auto file = [&] {
            QFile f(m_env->defaultsPath());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("unreadable");
        };
        const QByteArray before = file();
        awaitTask(API::trackNotify(u"tok-1"_s, u"c1"_s, u"clicked"_s));
        QCOMPARE(file(), before);
        const QJsonObject req = only("/notify/track");
        QCOMPARE(bodyOf(req), (QJsonObject{{u"campaignId"_s, u"c1"_s}, {u"event"_s, u"clicked"_s}}));
        QCOMPARE(recordedHeader(req, u"Authorization"_s), u"Bearer tok-1"_s);
    }

    // The lookup sends no header of ours; statuses Qt names as its own errors still bring their body.
    void geoReplies_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("ip"); // empty: no value
        QTest::addColumn<bool>("hasCity");
        const auto body = [](int status, const QJsonValue& v, const char* challenge = nullptr) {
            QJsonObject o{{u"status"_s, status}, {u"body"_s, v}};
            if (challenge) o.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(challenge), u"Basic realm=\"k\""_s}});
            return o;
        };
        const QJsonObject valid{{u"ip"_s, u"198.51.100.4"_s}};
        const QString v = u"198.51.100.4"_s;
        QTest::newRow("plain") << QJsonObject() << u"192.0.2.44"_s << true;
        QTest::newRow("503 with a valid body is used") << body(503, valid) << v << false;
        QTest::newRow("407 with a valid body is used") << body(407, valid) << v << false;
        QTest::newRow("407 challenge with a valid body is used") << body(407, valid, "Proxy-Authenticate") << v << false;
        QTest::newRow("401 challenge with a valid body is used") << body(401, valid, "WWW-Authenticate") << v << false;
        QTest::newRow("404 with a valid body is used") << body(404, valid) << v << false;
        QTest::newRow("418 with a valid body is used") << body(418, valid) << v << false;
        QTest::newRow("429 with a valid body is used") << body(429, valid) << v << false;
        QTest::newRow("null city") << body(200, QJsonObject{{u"ip"_s, v}, {u"city"_s, QJsonValue::Null}}) << v << false;
        QTest::newRow("empty ip") << body(200, QJsonObject{{u"ip"_s, QString()}, {u"city"_s, u"x"_s}}) << QString() << false;
        QTest::newRow("array") << body(200, QJsonArray{}) << QString() << false;
        QTest::newRow("html 502") << QJsonObject{{u"status"_s, 502}, {u"rawBody"_s, u"<h1>502</h1>"_s}} << QString() << false;
        QTest::newRow("no network") << QJsonObject{{u"dropConnection"_s, true}} << QString() << false;
        QTest::newRow("oversize")
            << QJsonObject{{u"status"_s, 200}, {u"repeatBody"_s, QJsonObject{{u"chunk"_s, u" "_s}, {u"count"_s, 20'000'000}}}}
            << QString() << false;
    }
    void geoReplies() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, ip);
        QFETCH(bool, hasCity);
        if (!reply.isEmpty()) QVERIFY(m_service.setScenario(withReply("GET", "/geo", reply)));
        storeToken(u"tok-1"_s);
        const auto geo = awaitTask(API::publicGeo());
        QCOMPARE(geo ? geo->ip : QString(), ip);
        if (geo) QCOMPARE(geo->city.has_value(), hasCity);
        for (const QJsonValue& req : m_service.requests())
            for (const char* h : {"Authorization", "X-Kestrava-Device", "Content-Type"})
                QVERIFY2(!hasRecordedHeader(req.toObject(), QString::fromUtf8(h)), h);
    }
};

QTEST_GUILESS_MAIN(EndpointsTest)
#include "endpoints_test.moc"
