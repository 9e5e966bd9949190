// The request layer and the endpoints against the stand-in service: what goes on the wire and what
// each reply becomes.
#include "api/request.h"

#include "api/endpoints.h"
#include "platform/defaults_keys.h"
#include "platform/http.h"
#include "support/await.h"
#include "support/files.h"
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
using Call = std::function<void()>;

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

    void useReply(const char* method, const char* path, QJsonObject reply) {
        QVERIFY(m_service.setScenario(withReply(method, path, reply)));
    }
    QJsonObject lastRequest() {
        const QJsonArray all = m_service.requests();
        return all.isEmpty() ? QJsonObject() : all.last().toObject();
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

    void headerInjectionIsRefused() {
        storeToken(u"t\r\nX-Evil: 1"_s);
        const auto r = getServers();
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Serialization);
        QVERIFY(m_service.requests().isEmpty());
    }

    // What each endpoint puts on the wire: the body byte for byte (compact, as typed, with the device
    // where it belongs), the token it names or the stored one, and nothing stored by the way.
    void endpointWire_data() {
        QTest::addColumn<QByteArray>("stored"); // the stored token, null: none
        QTest::addColumn<Call>("call");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("authorization"); // null: no header
        QTest::addColumn<QJsonObject>("body");       // empty: no body
        QTest::addColumn<bool>("device");            // the body carries the device
        const QString bearer = u"Bearer tok-1"_s, none;
        const auto row = [](const char* name, const QByteArray& stored, Call call, const char* line, const QString& auth,
                            const QJsonObject& body = {}, bool device = false, const QString& query = {}) {
            QTest::newRow(name) << stored << call << QString::fromUtf8(line) << query << auth << body << device;
        };
        const QByteArray nothing;
        row("login", nothing, [] { (void)awaitTask(API::login(u"a@kestrava.test"_s, u"pw"_s)); }, "POST /auth/login", none,
            {{u"email"_s, u"a@kestrava.test"_s}, {u"password"_s, u"pw"_s}}, true);
        row("login not trimmed, old token", "stale", [] { (void)awaitTask(API::login(u" A@K.test "_s, u" pw"_s)); },
            "POST /auth/login", u"Bearer stale"_s, {{u"email"_s, u" A@K.test "_s}, {u"password"_s, u" pw"_s}}, true);
        row("connect, given token wins", "stale", [] { (void)awaitTask(API::connect(u"tok-1"_s, u"de-1"_s)); },
            "POST /connect", bearer, {{u"serverId"_s, u"de-1"_s}}, true);
        row("servers, stored token", "tok-1", [] { (void)awaitTask(API::servers()); }, "GET /servers", bearer);
        row("servers, empty stored token", "", [] { (void)awaitTask(API::servers()); }, "GET /servers", u"Bearer "_s);
        row("inbox", nothing, [] { (void)awaitTask(API::inbox(u"tok-1"_s)); }, "GET /notify/inbox", bearer, {}, false, u"platform=macos"_s);
        row("inbox, token not trimmed", "old", [] { (void)awaitTask(API::inbox(u" a b "_s)); }, "GET /notify/inbox", u"Bearer  a b "_s,
            {}, false, u"platform=macos"_s);
        row("track, empty token given", "old", [] { awaitTask(API::trackNotify(QString(), u"c1"_s, u"clicked"_s)); }, "POST /notify/track",
            u"Bearer "_s, {{u"campaignId"_s, u"c1"_s}, {u"event"_s, u"clicked"_s}});
        row("geo sends no header of ours", "tok-1", [] { (void)awaitTask(API::publicGeo()); }, "GET /geo", none);
    }
    void endpointWire() {
        QFETCH(QByteArray, stored);
        QFETCH(Call, call);
        QFETCH(QString, line);
        QFETCH(QString, query);
        QFETCH(QString, authorization);
        QFETCH(QJsonObject, body);
        QFETCH(bool, device);
        QVERIFY(m_env->defaults().setString(DefaultsKeys::fingerprint, u"fp"_s).ok());
        if (!stored.isNull()) storeToken(QString::fromUtf8(stored));
        const QByteArray before = readFile(m_env->defaultsPath());
        call();
        QCOMPARE(readFile(m_env->defaultsPath()), before);
        const QJsonArray all = m_service.requests();
        QCOMPARE(requestLines(all), QStringList{line});
        const QJsonObject req = all.first().toObject();
        QCOMPARE(req.value("query"_L1).toString(), query);
        QCOMPARE(hasRecordedHeader(req, u"Authorization"_s), !authorization.isNull());
        // The service may fold spaces; compare what arrived where it keeps them.
        QCOMPARE(recordedHeader(req, u"Authorization"_s).trimmed(), authorization.trimmed());
        if (device) {
            const QJsonObject payload = API::devicePayload();
            for (auto it = payload.begin(); it != payload.end(); ++it) body.insert(it.key(), it.value());
            body.insert(u"fingerprint"_s, u"fp"_s);
        }
        const QByteArray compact = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
        QCOMPARE(req.value("body"_L1).toString(), QString::fromUtf8(compact));
        const bool geo = line == u"GET /geo"_s;
        QCOMPARE(recordedHeader(req, u"X-Kestrava-Device"_s), geo ? QString() : u"fp"_s);
        QCOMPARE(hasRecordedHeader(req, u"Content-Type"_s), !geo);
    }

    // The query starts at the first question mark; a second one stays in it, as sent.
    void queryAfterFirstQuestionMark() {
        const QUrl url = API::url(u"/notify/inbox?platform=macos?x=1"_s);
        QCOMPARE(url.path(), u"/notify/inbox"_s);
        QCOMPARE(url.query(), u"platform=macos?x=1"_s);
        QVERIFY(url.toEncoded().endsWith("/notify/inbox?platform=macos?x=1"));
        QVERIFY(!API::url(u"/servers"_s).hasQuery());
    }

    // Every outcome of one request: Server errors carry the text shown, Decode and Transport their kind.
    // Qt names some statuses as errors of its own (407 as a proxy error, with no proxy in use): the user
    // still reads the service's answer.
    void outcome_data() {
        QTest::addColumn<QByteArray>("target"); // "METHOD /path"
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<int>("kind"); // -1: a record
        QTest::addColumn<QString>("message"); // null: the fallback text
        const auto raw = [](const char* text) { return QJsonObject{{u"rawBody"_s, QString::fromUtf8(text)}}; };
        const auto json = [](const QJsonValue& v) { return QJsonObject{{u"body"_s, v}}; };
        const auto msg = [&](const QJsonValue& message, const QJsonValue& error = {}) {
            QJsonObject o{{u"message"_s, message}};
            if (!error.isNull()) o.insert(u"error"_s, error);
            return json(o);
        };
        const auto challenged = [](QJsonObject reply, const char* header) {
            reply.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(header), u"Basic realm=\"k\""_s}});
            return reply;
        };
        const auto repeat = [](const char* chunk, int count) {
            return QJsonObject{{u"repeatBody"_s, QJsonObject{{u"chunk"_s, QString::fromUtf8(chunk)}, {u"count"_s, count}}}};
        };
        const int server = int(Error::Kind::Server), decode = int(Error::Kind::Decode), transport = int(Error::Kind::Transport);
        const QByteArray get = "GET /servers", login = "POST /auth/login", connect = "POST /connect";
        const QJsonObject html = raw("<h1>hata</h1>");
        const QString fallback;
        QTest::newRow("message") << get << 401 << msg(u"Oturum süresi doldu"_s) << server << u"Oturum süresi doldu"_s;
        QTest::newRow("empty message is used") << get << 401 << msg(QString()) << server << u""_s;
        QTest::newRow("message beats error") << get << 403 << msg(u"M"_s, u"E"_s) << server << u"M"_s;
        QTest::newRow("non-string message falls to error") << get << 401 << msg(5, u"E"_s) << server << u"E"_s;
        QTest::newRow("null message falls to error") << get << 401 << msg(QJsonValue::Null, u"E"_s) << server << u"E"_s;
        QTest::newRow("neither is a string") << get << 401 << json(QJsonObject{{u"error"_s, QJsonObject{}}}) << server << fallback;
        QTest::newRow("html") << get << 401 << raw("<html><body>401</body></html>") << server << fallback;
        QTest::newRow("empty body") << get << 401 << raw("") << server << fallback;
        QTest::newRow("json array") << get << 401 << json(QJsonArray{u"message"_s}) << server << fallback;
        QTest::newRow("empty object") << get << 401 << json(QJsonObject{}) << server << fallback;
        QTest::newRow("server error") << get << 503 << raw("Service Unavailable") << server << fallback;
        QTest::newRow("teapot") << get << 418 << json(QJsonObject{{u"error"_s, u"çay"_s}}) << server << u"çay"_s;
        QTest::newRow("204 empty is a decode failure") << get << 204 << raw("") << decode << fallback;
        QTest::newRow("200 error-shaped body") << get << 200 << json(QJsonObject{{u"error"_s, u"x"_s}}) << decode << fallback;
        QTest::newRow("truncated") << get << 200 << raw("{\"servers\":[{\"id") << decode << fallback;
        QTest::newRow("invalid utf-8 and NUL") << get << 200 << QJsonObject{{u"rawBodyHex"_s, u"7b2273657276657273223a5b7b226964223affc300"_s}}
                                               << decode << fallback;
        QTest::newRow("299 with a record") << get << 299 << json(QJsonObject{{u"servers"_s, QJsonArray{}}}) << -1 << fallback;
        QTest::newRow("wrong content type does not matter")
            << get << 200 << QJsonObject{{u"rawBody"_s, uR"({"servers":[]})"_s}, {u"contentType"_s, u"text/html"_s}} << -1 << fallback;
        // Bodies this large are read off the main thread, and the request resumes when that is done.
        const QJsonObject many = serverList(4000);
        QVERIFY(QJsonDocument(many).toJson().size() > API::offThreadDecodeBytes);
        QTest::newRow("a list read off the main thread") << get << 200 << json(many) << -1 << fallback;
        QTest::newRow("spaces read off the main thread") << get << 200 << raw(QByteArray(API::offThreadDecodeBytes, ' ').constData())
                                                         << decode << fallback;
        QTest::newRow("connection dropped") << get << 200 << QJsonObject{{u"dropConnection"_s, true}} << transport << fallback;
        QTest::newRow("100 MB body") << get << 200 << repeat("x", 100'000'000) << transport << fallback;
        QTest::newRow("just over 16 MiB") << get << 200 << repeat("y", 16 * 1024 * 1024 + 1) << transport << fallback;
        QTest::newRow("sign-in 407 message") << login << 407 << msg(u"Hesap kapalı"_s) << server << u"Hesap kapalı"_s;
        QTest::newRow("sign-in 407 html") << login << 407 << html << server << fallback;
        QTest::newRow("sign-in 407 challenge") << login << 407 << challenged(msg(u"Vekil"_s), "Proxy-Authenticate") << server << u"Vekil"_s;
        QTest::newRow("connect 407 error") << connect << 407 << json(QJsonObject{{u"error"_s, u"E"_s}}) << server << u"E"_s;
        QTest::newRow("connect 407 challenge html") << connect << 407 << challenged(html, "Proxy-Authenticate") << server << fallback;
        QTest::newRow("sign-in 401 challenge") << login << 401 << challenged(msg(u"Şifre hatalı"_s), "WWW-Authenticate") << server << u"Şifre hatalı"_s;
        QTest::newRow("sign-in 404") << login << 404 << html << server << fallback;
        QTest::newRow("connect 409") << connect << 409 << msg(u"Başka cihazda"_s) << server << u"Başka cihazda"_s;
        QTest::newRow("sign-in 418") << login << 418 << html << server << fallback;
        QTest::newRow("sign-in 429") << login << 429 << msg(u"Bekleyin"_s) << server << u"Bekleyin"_s;
        QTest::newRow("connect 501") << connect << 501 << html << server << fallback;
        QTest::newRow("sign-in 599") << login << 599 << msg(u"Bakım"_s) << server << u"Bakım"_s;
    }
    void outcome() {
        QFETCH(QByteArray, target);
        QFETCH(int, status);
        QFETCH(QJsonObject, reply);
        QFETCH(int, kind);
        QFETCH(QString, message);
        const QByteArray method = target.split(' ').at(0), path = target.split(' ').at(1);
        reply.insert(u"status"_s, status);
        useReply(method.constData(), path.constData(), reply);
        const auto error = [](const auto& r) { return r.ok() ? std::optional<Error>() : std::optional(r.error()); };
        const std::optional<Error> e = path == "/servers" ? error(getServers())
                                       : path == "/connect" ? error(awaitTask(API::connect(u"tok-1"_s, u"tr-1"_s)))
                                                            : error(awaitTask(API::login(u"a@kestrava.test"_s, u"pw"_s)));
        QCOMPARE(!e, kind < 0);
        if (!e) return;
        QCOMPARE(int(e->kind), kind);
        QVERIFY(!e->description().isEmpty() || kind == int(Error::Kind::Server));
        if (kind != int(Error::Kind::Server)) return;
        QCOMPARE(e->description(), message.isNull() ? u"Sunucu hatası (%1)"_s.arg(status) : message);
        QCOMPARE(e->code, status);
    }

    // The lookup's statuses are not looked at: those Qt names as its own errors still bring their body.
    void geoReplies_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("ip"); // empty: no value
        const auto body = [](int status, const char* challenge = nullptr) {
            QJsonObject o{{u"status"_s, status}, {u"body"_s, QJsonObject{{u"ip"_s, u"198.51.100.4"_s}}}};
            if (challenge) o.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(challenge), u"Basic realm=\"k\""_s}});
            return o;
        };
        const QString v = u"198.51.100.4"_s;
        for (int status : {503, 407, 404, 418, 429}) QTest::addRow("%d with a valid body is used", status) << body(status) << v;
        QTest::newRow("407 challenge with a valid body is used") << body(407, "Proxy-Authenticate") << v;
        QTest::newRow("401 challenge with a valid body is used") << body(401, "WWW-Authenticate") << v;
        QTest::newRow("html 502") << QJsonObject{{u"status"_s, 502}, {u"rawBody"_s, u"<h1>502</h1>"_s}} << QString();
    }
    void geoReplies() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, ip);
        useReply("GET", "/geo", reply);
        const auto geo = awaitTask(API::publicGeo());
        QCOMPARE(geo ? geo->ip : QString(), ip);
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
        useReply(qPrintable(method), qPrintable(path), {{u"delayMs"_s, 1500}});
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

    // The fingerprint is created once, kept across restarts and sent on every request; a stored value
    // is used as it is.
    void fingerprint() {
        QVERIFY(!m_env->defaults().string(DefaultsKeys::fingerprint));
        const auto r = getServers(u"tok-1"_s);
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().description()));
        QCOMPARE(recordedHeader(lastRequest(), u"Content-Type"_s), u"application/json"_s);
        const std::optional<QString> stored = m_env->defaults().string(DefaultsKeys::fingerprint);
        QVERIFY(stored);
        static const QRegularExpression v4(u"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"_s);
        QVERIFY2(v4.match(*stored).hasMatch(), qPrintable(*stored));
        (void)getServers();
        for (const QJsonValue& req : m_service.requests()) QCOMPARE(recordedHeader(req.toObject(), u"X-Kestrava-Device"_s), *stored);
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
        QCOMPARE(API::devicePayloadFrom(opt(name), opt(version), u"fp"_s),
                 (QJsonObject{{u"appVersion"_s, expectedVersion}, {u"deviceName"_s, expectedName}, {u"fingerprint"_s, u"fp"_s},
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
};

QTEST_GUILESS_MAIN(RequestTest)
#include "request_test.moc"
