#include "api/request.h"

#include "api/endpoints.h"
#include "platform/defaults_keys.h"
#include "platform/http.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

QJsonObject override(const char* method, const char* path, int status, const QJsonObject& extra = {}) {
    QJsonObject o = extra;
    o.insert(QStringLiteral("method"), QString::fromUtf8(method));
    o.insert(QStringLiteral("path"), QString::fromUtf8(path));
    o.insert(QStringLiteral("status"), status);
    return o;
}

// An HTTP proxy that wants a sign-in of its own: every request, forwarded or a tunnel, gets a 407
// whose body looks like one of the service's messages.
class RefusingProxy : public QObject {
public:
    RefusingProxy() {
        m_server.listen(QHostAddress::LocalHost, 0);
        // One signal for each connection.
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = m_server.nextPendingConnection();
            if (!s) return;
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                if (s->property("answered").toBool() || !s->peek(64 * 1024).contains("\r\n\r\n")) return;
                s->setProperty("answered", true);
                const QByteArray body = R"({"message":"Vekil sunucu"})";
                s->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                         "Proxy-Authenticate: Basic realm=\"vekil\"\r\n"
                         "Content-Type: application/json\r\n"
                         "Content-Length: " +
                         QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            });
        });
    }
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

} // namespace

class RequestTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;

    void useOverrides(const QJsonArray& overrides) {
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"), overrides);
        QVERIFY(m_service.setScenario(scenario));
    }
    QJsonObject lastRequest() {
        const QJsonArray all = m_service.requests();
        return all.isEmpty() ? QJsonObject() : all.last().toObject();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        m_service.clearRequests();
    }
    void cleanup() { m_env.reset(); }

    void getCarriesJsonAndDeviceHeaders() {
        const auto r = awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"),
                                                               QStringLiteral("tok-1")));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(r->servers.size(), 2);
        const QJsonObject req = lastRequest();
        QCOMPARE(req.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
        QCOMPARE(recordedHeader(req, QStringLiteral("Content-Type")), QStringLiteral("application/json"));
        QCOMPARE(recordedHeader(req, QStringLiteral("X-Kestrava-Device")), API::fingerprint());
        QCOMPARE(req.value(QStringLiteral("body")).toString(), QString());
    }

    void authorization_data() {
        QTest::addColumn<QVariant>("argument"); // null = no token passed
        QTest::addColumn<QVariant>("stored");   // null = nothing stored
        QTest::addColumn<QVariant>("expected"); // null = no header
        const QVariant none;
        QTest::newRow("nothing") << none << none << none;
        QTest::newRow("stored only") << none << QVariant(QStringLiteral("old")) << QVariant(QStringLiteral("Bearer old"));
        QTest::newRow("argument wins") << QVariant(QStringLiteral("new")) << QVariant(QStringLiteral("old"))
                                       << QVariant(QStringLiteral("Bearer new"));
        QTest::newRow("argument only") << QVariant(QStringLiteral("t")) << none << QVariant(QStringLiteral("Bearer t"));
        QTest::newRow("empty argument") << QVariant(QString()) << QVariant(QStringLiteral("old"))
                                        << QVariant(QStringLiteral("Bearer "));
        QTest::newRow("empty stored") << none << QVariant(QString()) << QVariant(QStringLiteral("Bearer "));
        QTest::newRow("not trimmed") << QVariant(QStringLiteral(" a b ")) << none
                                     << QVariant(QStringLiteral("Bearer  a b "));
    }
    void authorization() {
        QFETCH(QVariant, argument);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        if (!stored.isNull()) QVERIFY(m_env->defaults().setString(DefaultsKeys::token, stored.toString()).ok());
        std::optional<QString> token;
        if (!argument.isNull()) token = argument.toString();
        (void)awaitTask(API::request<API::TrackResponse>(QStringLiteral("/notify/track"), QStringLiteral("POST"), token,
                                                         QJsonObject{{QStringLiteral("campaignId"), QStringLiteral("c")},
                                                                     {QStringLiteral("event"), QStringLiteral("e")}}));
        const QJsonObject req = lastRequest();
        QCOMPARE(hasRecordedHeader(req, QStringLiteral("Authorization")), !expected.isNull());
        if (!expected.isNull()) {
            // The service may fold spaces; compare what arrived byte for byte where it keeps them.
            QCOMPARE(recordedHeader(req, QStringLiteral("Authorization")).trimmed(), expected.toString().trimmed());
        }
    }

    void headerInjectionIsRefused() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("t\r\nX-Evil: 1")).ok());
        const auto r = awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Serialization);
        QVERIFY(m_service.requests().isEmpty());
    }

    void queryAfterFirstQuestionMark_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("urlPath");
        QTest::addColumn<QString>("query");
        QTest::newRow("inbox") << QStringLiteral("/notify/inbox?platform=macos") << QStringLiteral("/notify/inbox")
                               << QStringLiteral("platform=macos");
        QTest::newRow("second mark stays in query") << QStringLiteral("/notify/inbox?platform=macos?x=1")
                                                    << QStringLiteral("/notify/inbox")
                                                    << QStringLiteral("platform=macos?x=1");
        QTest::newRow("no query") << QStringLiteral("/servers") << QStringLiteral("/servers") << QString();
    }
    void queryAfterFirstQuestionMark() {
        QFETCH(QString, path);
        QFETCH(QString, urlPath);
        QFETCH(QString, query);
        const QUrl url = API::url(path);
        QCOMPARE(url.path(), urlPath);
        QCOMPARE(url.query(), query);
        QCOMPARE(url.hasQuery(), !query.isNull());
        // The request line carries the second mark unencoded; the stand-in's HTTP parser refuses
        // such a target, so that row is checked on the encoded URL only.
        QVERIFY(url.toEncoded().endsWith((urlPath + (query.isNull() ? QString() : QLatin1Char('?') + query)).toUtf8()));
        if (query.count(QLatin1Char('?')) > 0) return;
        (void)awaitTask(API::request<InboxResponse>(path, QStringLiteral("GET"), QStringLiteral("tok-1")));
        const QJsonObject req = lastRequest();
        QCOMPARE(req.value(QStringLiteral("path")).toString(), urlPath);
        QCOMPARE(req.value(QStringLiteral("query")).toString(), query.isNull() ? QString() : query);
    }

    void bodyIsCompactJson() {
        const QJsonObject body{{QStringLiteral("a"), QStringLiteral("ü \"q\"")}, {QStringLiteral("b"), QStringLiteral("")}};
        (void)awaitTask(API::request<API::TrackResponse>(QStringLiteral("/notify/track"), QStringLiteral("POST"),
                                                         std::nullopt, body));
        const QString sent = lastRequest().value(QStringLiteral("body")).toString();
        QVERIFY2(!sent.contains(QLatin1Char('\n')) && !sent.contains(QStringLiteral("\": ")), qPrintable(sent));
        QCOMPARE(QJsonDocument::fromJson(sent.toUtf8()).object(), body);
    }

    void errorMessageRule_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::addColumn<QString>("message");
        const auto raw = [](const char* text) { return QJsonObject{{QStringLiteral("rawBody"), QString::fromUtf8(text)}}; };
        const auto json = [](const QJsonValue& v) { return QJsonObject{{QStringLiteral("body"), v}}; };
        QTest::newRow("message") << 401 << json(QJsonObject{{QStringLiteral("message"), QStringLiteral("Oturum süresi doldu")}})
                                 << QStringLiteral("Oturum süresi doldu");
        QTest::newRow("empty message is used") << 401 << json(QJsonObject{{QStringLiteral("message"), QString()}})
                                               << QString();
        QTest::newRow("message beats error")
            << 403 << json(QJsonObject{{QStringLiteral("error"), QStringLiteral("E")}, {QStringLiteral("message"), QStringLiteral("M")}})
            << QStringLiteral("M");
        QTest::newRow("non-string message falls to error")
            << 401 << json(QJsonObject{{QStringLiteral("message"), 5}, {QStringLiteral("error"), QStringLiteral("E")}})
            << QStringLiteral("E");
        QTest::newRow("null message falls to error")
            << 401 << json(QJsonObject{{QStringLiteral("message"), QJsonValue::Null}, {QStringLiteral("error"), QStringLiteral("E")}})
            << QStringLiteral("E");
        QTest::newRow("neither is a string") << 401 << json(QJsonObject{{QStringLiteral("error"), QJsonObject{}}})
                                             << QStringLiteral("Sunucu hatası (401)");
        QTest::newRow("html") << 401 << raw("<html><body>401</body></html>") << QStringLiteral("Sunucu hatası (401)");
        QTest::newRow("empty body") << 401 << raw("") << QStringLiteral("Sunucu hatası (401)");
        QTest::newRow("json array") << 401 << json(QJsonArray{QStringLiteral("message")})
                                    << QStringLiteral("Sunucu hatası (401)");
        QTest::newRow("empty object") << 401 << json(QJsonObject{}) << QStringLiteral("Sunucu hatası (401)");
        QTest::newRow("server error") << 503 << raw("Service Unavailable") << QStringLiteral("Sunucu hatası (503)");
        QTest::newRow("bad request") << 400 << json(QJsonObject{{QStringLiteral("message"), QStringLiteral("Eksik alan")}})
                                     << QStringLiteral("Eksik alan");
        QTest::newRow("too many requests") << 429 << raw("slow down") << QStringLiteral("Sunucu hatası (429)");
        QTest::newRow("teapot") << 418 << json(QJsonObject{{QStringLiteral("error"), QStringLiteral("çay")}})
                                << QStringLiteral("çay");
    }
    void errorMessageRule() {
        QFETCH(int, status);
        QFETCH(QJsonObject, replySpec);
        QFETCH(QString, message);
        useOverrides({override("GET", "/servers", status, replySpec)});
        const auto r = awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Server);
        QCOMPARE(r.error().description(), message);
        QCOMPARE(r.error().code, status);
    }

    void successStatusDecodes_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::addColumn<bool>("ok");
        QTest::newRow("204 empty is a decode failure") << 204 << QJsonObject{{QStringLiteral("rawBody"), QString()}}
                                                       << false;
        QTest::newRow("200 error-shaped body is a decode failure")
            << 200 << QJsonObject{{QStringLiteral("body"), QJsonObject{{QStringLiteral("error"), QStringLiteral("x")}}}}
            << false;
        QTest::newRow("truncated") << 200 << QJsonObject{{QStringLiteral("rawBody"), QStringLiteral("{\"servers\":[{\"id")}}
                                   << false;
        QTest::newRow("invalid utf-8 and NUL")
            << 200 << QJsonObject{{QStringLiteral("rawBodyHex"), QStringLiteral("7b2273657276657273223a5b7b226964223affc300")}}
            << false;
        QTest::newRow("299 with a record")
            << 299 << QJsonObject{{QStringLiteral("body"), QJsonObject{{QStringLiteral("servers"), QJsonArray{}}}}} << true;
        QTest::newRow("wrong content type does not matter")
            << 200 << QJsonObject{{QStringLiteral("rawBody"), QStringLiteral(R"({"servers":[]})")},
                                  {QStringLiteral("contentType"), QStringLiteral("text/html")}}
            << true;
    }
    void successStatusDecodes() {
        QFETCH(int, status);
        QFETCH(QJsonObject, replySpec);
        QFETCH(bool, ok);
        useOverrides({override("GET", "/servers", status, replySpec)});
        const auto r = awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        QCOMPARE(r.ok(), ok);
        if (!ok) QCOMPARE(r.error().kind, Error::Kind::Decode);
    }

    void transportFailures_data() {
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::newRow("connection dropped") << QJsonObject{{QStringLiteral("dropConnection"), true}};
        QTest::newRow("100 MB body") << QJsonObject{{QStringLiteral("repeatBody"),
                                                     QJsonObject{{QStringLiteral("chunk"), QStringLiteral("x")},
                                                                 {QStringLiteral("count"), 100'000'000}}}};
        QTest::newRow("just over 16 MiB")
            << QJsonObject{{QStringLiteral("repeatBody"), QJsonObject{{QStringLiteral("chunk"), QStringLiteral("y")},
                                                                      {QStringLiteral("count"), 16 * 1024 * 1024 + 1}}}};
    }
    void transportFailures() {
        QFETCH(QJsonObject, replySpec);
        useOverrides({override("GET", "/servers", 200, replySpec)});
        const auto r = awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Transport);
        QVERIFY(!r.error().description().isEmpty());
    }

    // A proxy of the user's refusing us is not the service: whatever body it sent, the platform's
    // text stays. Plain http reaches it as an HTTP request, https as a tunnel.
    void proxyRefusalIsTransport_data() {
        QTest::addColumn<bool>("tunnel");
        QTest::newRow("forwarded") << false;
        QTest::newRow("tunnelled") << true;
    }
    void proxyRefusalIsTransport() {
        QFETCH(bool, tunnel);
        RefusingProxy proxy;
        QVERIFY(proxy.listening());
        Http::manager().setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
        const auto restore = qScopeGuard([] {
            Http::manager().setProxy(QNetworkProxy());
            Http::manager().clearConnectionCache();
        });
        QUrl url = API::url(QStringLiteral("/servers"));
        if (tunnel) url.setScheme(QStringLiteral("https"));
        const Result<Http::Reply> r = awaitTask(Http::send(QNetworkRequest(url), "GET"));
        QVERIFY2(!r.ok(), r.ok() ? qPrintable(QString::number(r->status)) : "");
        QCOMPARE(r.error().kind, Error::Kind::Transport);
        QCOMPARE(r.error().code, int(QNetworkReply::ProxyAuthenticationRequiredError));
        QVERIFY2(!r.error().message.contains(QStringLiteral("Vekil")), qPrintable(r.error().message));
        QVERIFY(m_service.requests().isEmpty());
    }

    // The tunnel changed the path: what is in flight over the old one is asked again over the new one
    // (a click is not), new requests do not wait for it, and the old pool goes.
    void pathChangeAsksAgainOverTheNewPath_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("expectedRequests");
        QTest::newRow("lookup") << QStringLiteral("GET") << QStringLiteral("/servers") << 2;
        QTest::newRow("connect") << QStringLiteral("POST") << QStringLiteral("/connect") << 2;
        QTest::newRow("click") << QStringLiteral("POST") << QStringLiteral("/notify/track") << 1;
    }
    void pathChangeAsksAgainOverTheNewPath() {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(int, expectedRequests);
        useOverrides({override(qPrintable(method), qPrintable(path), 200, {{QStringLiteral("delayMs"), 1500}})});
        QCoro::Task<Result<QByteArray>> slow = API::send(path, method, QStringLiteral("tok-1"), QJsonObject{});
        QPointer<QNetworkAccessManager> old = &Http::manager();
        QTRY_COMPARE(m_service.requests().size(), 1);
        Http::setPath(Http::Path::tunnel);
        QVERIFY(&Http::manager() != old.data());
        QVERIFY(awaitTask(API::publicGeo()).has_value());
        // Asked again, it is still in flight: the new request did not wait for it.
        if (expectedRequests == 2) QVERIFY(!slow.isReady());
        const Result<QByteArray> r = awaitTask(std::move(slow));
        QCOMPARE(r.ok(), expectedRequests == 2);
        QCOMPARE(m_service.requests().size(), expectedRequests + 1);
        QTRY_VERIFY(old.isNull());
        Http::setPath(Http::Path::direct);
    }

    // While the tunnel goes down no connection is opened; the request goes once it is down.
    void noConnectionWhileTheTunnelLeaves() {
        Http::setPath(Http::Path::tunnel);
        Http::setPath(Http::Path::leaving);
        QCoro::Task<std::optional<PublicGeo>> held = API::publicGeo();
        for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QVERIFY(!held.isReady());
        QCOMPARE(m_service.requests().size(), 0);
        Http::setPath(Http::Path::direct);
        QVERIFY(awaitTask(std::move(held)).has_value());
        QCOMPARE(m_service.requests().size(), 1);
    }

    void fingerprintIsCreatedOnceAndKept() {
        QVERIFY(!m_env->defaults().string(DefaultsKeys::fingerprint));
        (void)awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        const std::optional<QString> stored = m_env->defaults().string(DefaultsKeys::fingerprint);
        QVERIFY(stored);
        static const QRegularExpression v4(
            QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        QVERIFY2(v4.match(*stored).hasMatch(), qPrintable(*stored));
        (void)awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET")));
        const QJsonArray all = m_service.requests();
        QCOMPARE(all.size(), 2);
        for (const QJsonValue& req : all)
            QCOMPARE(recordedHeader(req.toObject(), QStringLiteral("X-Kestrava-Device")), *stored);
        QCOMPARE(API::devicePayload().value(QStringLiteral("fingerprint")).toString(), *stored);
        // It survives a restart and is never rewritten.
        QCOMPARE(m_env->restartDefaults().string(DefaultsKeys::fingerprint), stored);
        QCOMPARE(API::fingerprint(), *stored);
    }

    void storedFingerprintIsUsedAsIs() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, QString()).ok());
        QCOMPARE(API::fingerprint(), QString());
        QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, QStringLiteral("NOT-A-UUID")).ok());
        QCOMPARE(API::fingerprint(), QStringLiteral("NOT-A-UUID"));
    }

    void devicePayloadFallbacks_data() {
        QTest::addColumn<QVariant>("name");
        QTest::addColumn<QVariant>("version");
        QTest::addColumn<QString>("expectedName");
        QTest::addColumn<QString>("expectedVersion");
        QTest::newRow("both") << QVariant(QStringLiteral("Ayşe'nin dizüstüsü")) << QVariant(QStringLiteral("2.3.1"))
                              << QStringLiteral("Ayşe'nin dizüstüsü") << QStringLiteral("2.3.1");
        QTest::newRow("no name") << QVariant() << QVariant(QStringLiteral("2.3.1")) << QStringLiteral("Mac")
                                 << QStringLiteral("2.3.1");
        QTest::newRow("no version") << QVariant(QStringLiteral("box")) << QVariant() << QStringLiteral("box")
                                    << QStringLiteral("1.0.0");
    }
    void devicePayloadFallbacks() {
        QFETCH(QVariant, name);
        QFETCH(QVariant, version);
        QFETCH(QString, expectedName);
        QFETCH(QString, expectedVersion);
        const auto opt = [](const QVariant& v) { return v.isNull() ? std::nullopt : std::optional<QString>(v.toString()); };
        const QJsonObject p = API::devicePayloadFrom(opt(name), opt(version), QStringLiteral("fp"));
        QCOMPARE(p.keys(), (QStringList{QStringLiteral("appVersion"), QStringLiteral("deviceName"),
                                        QStringLiteral("fingerprint"), QStringLiteral("kind"), QStringLiteral("platform")}));
        QCOMPARE(p.value(QStringLiteral("deviceName")).toString(), expectedName);
        QCOMPARE(p.value(QStringLiteral("appVersion")).toString(), expectedVersion);
        QCOMPARE(p.value(QStringLiteral("platform")).toString(), QStringLiteral("macos"));
        QCOMPARE(p.value(QStringLiteral("kind")).toString(), QStringLiteral("app"));
        QCOMPARE(p.value(QStringLiteral("fingerprint")).toString(), QStringLiteral("fp"));
    }

    // The whole-transfer limit of a request ends with it: a minute-long timer per request, kept after
    // the reply, piled up whenever requests came faster than the limit (one per status change).
    void nothingOfARequestOutlivesIt() {
        const auto pending = [] { return QAbstractEventDispatcher::instance()->children().size(); };
        (void)awaitTask(API::publicGeo()); // whatever a first request sets up once
        const qsizetype before = pending();
        for (int i = 0; i < 20; ++i) {
            (void)awaitTask(API::publicGeo());
            (void)awaitTask(API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"),
                                                          QStringLiteral("tok-1")));
        }
        QCOMPARE(pending(), before);
    }

    void concurrentRequests() {
        // Several requests in flight at once share nothing but the store.
        useOverrides({override("GET", "/servers", 200,
                               QJsonObject{{QStringLiteral("delayMs"), 100},
                                           {QStringLiteral("body"), QJsonObject{{QStringLiteral("servers"), QJsonArray{}}}}})});
        auto all = [&]() -> QCoro::Task<int> {
            auto a = API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"));
            auto b = API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"));
            auto c = API::request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"));
            int ok = 0;
            ok += (co_await std::move(a)).ok();
            ok += (co_await std::move(b)).ok();
            ok += (co_await std::move(c)).ok();
            co_return ok;
        };
        QCOMPARE(awaitTask(all()), 3);
        QCOMPARE(m_service.requests().size(), 3);
    }
};

QTEST_GUILESS_MAIN(RequestTest)
#include "request_test.moc"
