#include "api/request.h"

#include "api/endpoints.h"
#include "platform/defaults_keys.h"
#include "platform/http.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
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

using namespace Qt::StringLiterals;

namespace {

// An HTTP proxy that wants a sign-in of its own: every request, forwarded or a tunnel, gets a 407
// whose body looks like one of the service's messages.
class RefusingProxy : public QObject {
public:
    RefusingProxy() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = m_server.nextPendingConnection();
            if (!s) return;
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                if (s->property("answered").toBool() || !s->peek(64 * 1024).contains("\r\n\r\n")) return;
                s->setProperty("answered", true);
                const QByteArray body = R"({"message":"Vekil sunucu"})";
                s->write("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"vekil\"\r\n"
                         "Content-Type: application/json\r\nContent-Length: " +
                         QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            });
        });
    }
    QTcpServer m_server;
};

Result<ServersResponse> getServers(std::optional<QString> token = {}) {
    return awaitTask(API::request<ServersResponse>(u"/servers"_s, u"GET"_s, std::move(token)));
}

} // namespace

class RequestTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;

    void useReply(const char* method, const char* path, int status, QJsonObject reply = {}) {
        reply.insert(u"status"_s, status);
        QVERIFY(m_service.setScenario(withReply(method, path, reply)));
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
        QVERIFY(m_service.clearRequests());
    }
    void cleanup() { m_env.reset(); }

    void authorization_data() {
        QTest::addColumn<QVariant>("argument"); // null = no token passed
        QTest::addColumn<QVariant>("stored");   // null = nothing stored
        QTest::addColumn<QVariant>("expected"); // null = no header
        const QVariant none;
        QTest::newRow("nothing") << none << none << none;
        QTest::newRow("stored only") << none << QVariant(u"old"_s) << QVariant(u"Bearer old"_s);
        QTest::newRow("argument wins") << QVariant(u"new"_s) << QVariant(u"old"_s) << QVariant(u"Bearer new"_s);
        QTest::newRow("argument only") << QVariant(u"t"_s) << none << QVariant(u"Bearer t"_s);
        QTest::newRow("empty argument") << QVariant(QString()) << QVariant(u"old"_s) << QVariant(u"Bearer "_s);
        QTest::newRow("empty stored") << none << QVariant(QString()) << QVariant(u"Bearer "_s);
        QTest::newRow("not trimmed") << QVariant(u" a b "_s) << none << QVariant(u"Bearer  a b "_s);
    }
    void authorization() {
        QFETCH(QVariant, argument);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        if (!stored.isNull()) QVERIFY(m_env->defaults().setString(DefaultsKeys::token, stored.toString()).ok());
        const std::optional<QString> token = argument.isNull() ? std::nullopt : std::optional(argument.toString());
        (void)awaitTask(API::request<API::TrackResponse>(u"/notify/track"_s, u"POST"_s, token,
                                                         QJsonObject{{u"campaignId"_s, u"c"_s}, {u"event"_s, u"e"_s}}));
        const QJsonObject req = lastRequest();
        QCOMPARE(hasRecordedHeader(req, u"Authorization"_s), !expected.isNull());
        // The service may fold spaces; compare what arrived where it keeps them.
        QCOMPARE(recordedHeader(req, u"Authorization"_s).trimmed(), expected.toString().trimmed());
    }

    void headerInjectionIsRefused() {
        QVERIFY(m_env->defaults().setString(DefaultsKeys::token, u"t\r\nX-Evil: 1"_s).ok());
        const auto r = getServers();
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Serialization);
        QVERIFY(m_service.requests().isEmpty());
    }

    void queryAfterFirstQuestionMark_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("urlPath");
        QTest::addColumn<QString>("query");
        QTest::newRow("inbox") << u"/notify/inbox?platform=macos"_s << u"/notify/inbox"_s << u"platform=macos"_s;
        QTest::newRow("second mark stays in query") << u"/notify/inbox?platform=macos?x=1"_s << u"/notify/inbox"_s
                                                    << u"platform=macos?x=1"_s;
        QTest::newRow("no query") << u"/servers"_s << u"/servers"_s << QString();
    }
    void queryAfterFirstQuestionMark() {
        QFETCH(QString, path);
        QFETCH(QString, urlPath);
        QFETCH(QString, query);
        const QUrl url = API::url(path);
        QCOMPARE(url.path(), urlPath);
        QCOMPARE(url.query(), query);
        QCOMPARE(url.hasQuery(), !query.isNull());
        // The stand-in's HTTP parser refuses a second mark in the request line: that row stops here.
        QVERIFY(url.toEncoded().endsWith((urlPath + (query.isNull() ? QString() : u'?' + query)).toUtf8()));
        if (query.contains(u'?')) return;
        (void)awaitTask(API::request<InboxResponse>(path, u"GET"_s, u"tok-1"_s));
        QCOMPARE(lastRequest().value("path"_L1).toString(), urlPath);
        QCOMPARE(lastRequest().value("query"_L1).toString(), query);
    }

    void bodyIsCompactJson() {
        const QJsonObject body{{u"a"_s, u"ü \"q\""_s}, {u"b"_s, u""_s}};
        (void)awaitTask(API::request<API::TrackResponse>(u"/notify/track"_s, u"POST"_s, std::nullopt, body));
        const QString sent = lastRequest().value("body"_L1).toString();
        QVERIFY2(!sent.contains(u'\n') && !sent.contains(u"\": "_s), qPrintable(sent));
        QCOMPARE(QJsonDocument::fromJson(sent.toUtf8()).object(), body);
    }

    // Every outcome of one request: Server errors carry the text shown, Decode and Transport their kind.
    void outcome_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<int>("kind"); // -1: a record
        QTest::addColumn<QString>("message");
        const auto raw = [](const char* text) { return QJsonObject{{u"rawBody"_s, QString::fromUtf8(text)}}; };
        const auto json = [](const QJsonValue& v) { return QJsonObject{{u"body"_s, v}}; };
        const auto msg = [&](const QJsonValue& message, const QJsonValue& error = {}) {
            QJsonObject o{{u"message"_s, message}};
            if (!error.isNull()) o.insert(u"error"_s, error);
            return json(o);
        };
        const int server = int(Error::Kind::Server), decode = int(Error::Kind::Decode), transport = int(Error::Kind::Transport);
        const QString fallback = u"Sunucu hatası (%1)"_s;
        QTest::newRow("message") << 401 << msg(u"Oturum süresi doldu"_s) << server << u"Oturum süresi doldu"_s;
        QTest::newRow("empty message is used") << 401 << msg(QString()) << server << QString();
        QTest::newRow("message beats error") << 403 << msg(u"M"_s, u"E"_s) << server << u"M"_s;
        QTest::newRow("non-string message falls to error") << 401 << msg(5, u"E"_s) << server << u"E"_s;
        QTest::newRow("null message falls to error") << 401 << msg(QJsonValue::Null, u"E"_s) << server << u"E"_s;
        QTest::newRow("neither is a string") << 401 << json(QJsonObject{{u"error"_s, QJsonObject{}}}) << server << fallback.arg(401);
        QTest::newRow("html") << 401 << raw("<html><body>401</body></html>") << server << fallback.arg(401);
        QTest::newRow("empty body") << 401 << raw("") << server << fallback.arg(401);
        QTest::newRow("json array") << 401 << json(QJsonArray{u"message"_s}) << server << fallback.arg(401);
        QTest::newRow("empty object") << 401 << json(QJsonObject{}) << server << fallback.arg(401);
        QTest::newRow("server error") << 503 << raw("Service Unavailable") << server << fallback.arg(503);
        QTest::newRow("teapot") << 418 << json(QJsonObject{{u"error"_s, u"çay"_s}}) << server << u"çay"_s;
        QTest::newRow("204 empty is a decode failure") << 204 << raw("") << decode << QString();
        QTest::newRow("200 error-shaped body") << 200 << json(QJsonObject{{u"error"_s, u"x"_s}}) << decode << QString();
        QTest::newRow("truncated") << 200 << raw("{\"servers\":[{\"id") << decode << QString();
        QTest::newRow("invalid utf-8 and NUL")
            << 200 << QJsonObject{{u"rawBodyHex"_s, u"7b2273657276657273223a5b7b226964223affc300"_s}} << decode << QString();
        QTest::newRow("299 with a record") << 299 << json(QJsonObject{{u"servers"_s, QJsonArray{}}}) << -1 << QString();
        QTest::newRow("wrong content type does not matter")
            << 200 << QJsonObject{{u"rawBody"_s, uR"({"servers":[]})"_s}, {u"contentType"_s, u"text/html"_s}} << -1 << QString();
        QTest::newRow("connection dropped") << 200 << QJsonObject{{u"dropConnection"_s, true}} << transport << QString();
        const auto repeat = [](const char* chunk, int count) {
            return QJsonObject{{u"repeatBody"_s, QJsonObject{{u"chunk"_s, QString::fromUtf8(chunk)}, {u"count"_s, count}}}};
        };
        QTest::newRow("100 MB body") << 200 << repeat("x", 100'000'000) << transport << QString();
        QTest::newRow("just over 16 MiB") << 200 << repeat("y", 16 * 1024 * 1024 + 1) << transport << QString();
    }
    void outcome() {
        QFETCH(int, status);
        QFETCH(QJsonObject, reply);
        QFETCH(int, kind);
        QFETCH(QString, message);
        useReply("GET", "/servers", status, reply);
        const auto r = getServers();
        QCOMPARE(r.ok(), kind < 0);
        if (r.ok()) return;
        QCOMPARE(int(r.error().kind), kind);
        if (kind == int(Error::Kind::Server)) {
            QCOMPARE(r.error().description(), message);
            QCOMPARE(r.error().code, status);
        }
        QVERIFY(kind == int(Error::Kind::Server) || !r.error().description().isEmpty());
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
        QVERIFY(proxy.m_server.isListening());
        Http::manager().setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, proxy.m_server.serverPort()));
        const auto restore = qScopeGuard([] {
            Http::manager().setProxy(QNetworkProxy());
            Http::manager().clearConnectionCache();
        });
        QUrl url = API::url(u"/servers"_s);
        if (tunnel) url.setScheme(u"https"_s);
        const Result<Http::Reply> r = awaitTask(Http::send(QNetworkRequest(url), "GET"));
        QVERIFY2(!r.ok(), r.ok() ? qPrintable(QString::number(r->status)) : "");
        QCOMPARE(r.error().kind, Error::Kind::Transport);
        QCOMPARE(r.error().code, int(QNetworkReply::ProxyAuthenticationRequiredError));
        QVERIFY2(!r.error().message.contains(u"Vekil"_s), qPrintable(r.error().message));
        QVERIFY(m_service.requests().isEmpty());
    }

    // The tunnel changed the path: what is in flight over the old one is asked again over the new one
    // (a click is not), new requests do not wait for it, and the old pool goes.
    void pathChangeAsksAgainOverTheNewPath_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("expectedRequests");
        QTest::newRow("lookup") << u"GET"_s << u"/servers"_s << 2;
        QTest::newRow("connect") << u"POST"_s << u"/connect"_s << 2;
        QTest::newRow("click") << u"POST"_s << u"/notify/track"_s << 1;
    }
    void pathChangeAsksAgainOverTheNewPath() {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(int, expectedRequests);
        useReply(qPrintable(method), qPrintable(path), 200, {{u"delayMs"_s, 1500}});
        QCoro::Task<Result<QByteArray>> slow = API::send(path, method, u"tok-1"_s, QJsonObject{});
        QPointer<QNetworkAccessManager> old = &Http::manager();
        QTRY_COMPARE(m_service.requests().size(), 1);
        Http::setPath(Http::Path::tunnel);
        QVERIFY(&Http::manager() != old.data());
        QVERIFY(awaitTask(API::publicGeo()).has_value());
        // Asked again, it is still in flight: the new request did not wait for it.
        if (expectedRequests == 2) QVERIFY(!slow.isReady());
        QCOMPARE(awaitTask(std::move(slow)).ok(), expectedRequests == 2);
        QCOMPARE(m_service.requests().size(), expectedRequests + 1);
        QTRY_VERIFY(old.isNull());
        Http::setPath(Http::Path::direct);
    }

    // While the tunnel goes down no connection is opened; the request goes once it is down.
    void noConnectionWhileTheTunnelLeaves() {
        Http::setPath(Http::Path::tunnel);
        Http::setPath(Http::Path::leaving);
        QCoro::Task<std::optional<PublicGeo>> held = API::publicGeo();
        // A probe of the test's own, outside the hold, answered: the held request would be there too.
        QNetworkAccessManager own;
        const std::unique_ptr<QNetworkReply> probe(own.get(QNetworkRequest(API::url(u"/probe"_s))));
        QVERIFY(QTest::qWaitFor([&] { return probe->isFinished(); }));
        QVERIFY(!held.isReady());
        QCOMPARE(requestLines(m_service.requests()), QStringList{u"GET /probe"_s});
        Http::setPath(Http::Path::direct);
        QVERIFY(awaitTask(std::move(held)).has_value());
        QCOMPARE(requestLines(m_service.requests()), (QStringList{u"GET /probe"_s, u"GET /geo"_s}));
    }

    // A GET carries JSON and device headers. The fingerprint is created once, kept across restarts
    // and sent on every request; a stored value is used as it is.
    void getCarriesJsonAndDeviceHeaders() {
        QVERIFY(!m_env->defaults().string(DefaultsKeys::fingerprint));
        const auto r = getServers(u"tok-1"_s);
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(r->servers.size(), 2);
        QCOMPARE(lastRequest().value("method"_L1).toString(), u"GET"_s);
        QCOMPARE(recordedHeader(lastRequest(), u"Content-Type"_s), u"application/json"_s);
        QCOMPARE(lastRequest().value("body"_L1).toString(), QString());
        const std::optional<QString> stored = m_env->defaults().string(DefaultsKeys::fingerprint);
        QVERIFY(stored);
        static const QRegularExpression v4(u"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"_s);
        QVERIFY2(v4.match(*stored).hasMatch(), qPrintable(*stored));
        (void)getServers();
        const QJsonArray all = m_service.requests();
        QCOMPARE(all.size(), 2);
        for (const QJsonValue& req : all) QCOMPARE(recordedHeader(req.toObject(), u"X-Kestrava-Device"_s), *stored);
        QCOMPARE(API::devicePayload().value("fingerprint"_L1).toString(), *stored);
        QCOMPARE(m_env->restartDefaults().string(DefaultsKeys::fingerprint), stored);
        QCOMPARE(API::fingerprint(), *stored);
        for (const QString& odd : {QString(), u"NOT-A-UUID"_s}) {
            QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, odd).ok());
            QCOMPARE(API::fingerprint(), odd);
        }
    }

    void devicePayloadFallbacks_data() {
        QTest::addColumn<QVariant>("name");
        QTest::addColumn<QVariant>("version");
        QTest::addColumn<QString>("expectedName");
        QTest::addColumn<QString>("expectedVersion");
        QTest::newRow("both") << QVariant(u"Ayşe'nin dizüstüsü"_s) << QVariant(u"2.3.1"_s) << u"Ayşe'nin dizüstüsü"_s << u"2.3.1"_s;
        QTest::newRow("no name") << QVariant() << QVariant(u"2.3.1"_s) << u"Mac"_s << u"2.3.1"_s;
        QTest::newRow("no version") << QVariant(u"box"_s) << QVariant() << u"box"_s << u"1.0.0"_s;
    }
    void devicePayloadFallbacks() {
        QFETCH(QVariant, name);
        QFETCH(QVariant, version);
        QFETCH(QString, expectedName);
        QFETCH(QString, expectedVersion);
        const auto opt = [](const QVariant& v) { return v.isNull() ? std::nullopt : std::optional<QString>(v.toString()); };
        const QJsonObject p = API::devicePayloadFrom(opt(name), opt(version), u"fp"_s);
        QCOMPARE(p, (QJsonObject{{u"appVersion"_s, expectedVersion}, {u"deviceName"_s, expectedName}, {u"fingerprint"_s, u"fp"_s},
                                 {u"kind"_s, u"app"_s}, {u"platform"_s, u"macos"_s}}));
    }

    // The whole-transfer limit of a request ends with it: a minute-long timer per request, kept after
    // the reply, piled up whenever requests came faster than the limit (one per status change).
    void nothingOfARequestOutlivesIt() {
        const auto pending = [] { return QAbstractEventDispatcher::instance()->children().size(); };
        (void)awaitTask(API::publicGeo()); // whatever a first request sets up once
        const qsizetype before = pending();
        for (int i = 0; i < 20; ++i) {
            (void)awaitTask(API::publicGeo());
            (void)getServers(u"tok-1"_s);
        }
        QCOMPARE(pending(), before);
    }

    // Several requests in flight at once share nothing but the store.
    void concurrentRequests() {
        useReply("GET", "/servers", 200, {{u"delayMs"_s, 100}, {u"body"_s, QJsonObject{{u"servers"_s, QJsonArray{}}}}});
        auto all = [&]() -> QCoro::Task<int> {
            auto a = API::request<ServersResponse>(u"/servers"_s, u"GET"_s);
            auto b = API::request<ServersResponse>(u"/servers"_s, u"GET"_s);
            auto c = API::request<ServersResponse>(u"/servers"_s, u"GET"_s);
            co_return int((co_await std::move(a)).ok()) + (co_await std::move(b)).ok() + (co_await std::move(c)).ok();
        };
        QCOMPARE(awaitTask(all()), 3);
        QCOMPARE(m_service.requests().size(), 3);
    }
};

QTEST_GUILESS_MAIN(RequestTest)
#include "request_test.moc"
