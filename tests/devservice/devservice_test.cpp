#include "support/service_fixture.h"

#include <QJsonDocument>
#include <QTemporaryFile>
#include <QTest>

// The stand-in must answer the way the tests above it assume; these rows pin that down.
class DevServiceTest : public QObject {
    Q_OBJECT
    DevService m_service;

    static QJsonObject parse(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_service.start(basicScenario())); }
    void init() {
        QVERIFY(m_service.setScenario(basicScenario()));
        QVERIFY(m_service.clearRequests());
    }

    void routes_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("login") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                               << QByteArray(R"({"email":"a@kestrava.test","password":"pw"})") << 200 << QString();
        QTest::newRow("login wrong password") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                              << QByteArray(R"({"email":"a@kestrava.test","password":"PW"})") << 401
                                              << QStringLiteral("E-posta veya şifre hatalı");
        QTest::newRow("login not json") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                        << QByteArray("email=a") << 400 << QStringLiteral("Geçersiz istek");
        QTest::newRow("servers without token") << QByteArray("GET") << QByteArray("/servers") << QByteArray()
                                               << QByteArray() << 401 << QStringLiteral("Oturum geçersiz");
        QTest::newRow("servers unknown token") << QByteArray("GET") << QByteArray("/servers") << QByteArray("nope")
                                               << QByteArray() << 401 << QStringLiteral("Oturum geçersiz");
        QTest::newRow("servers") << QByteArray("GET") << QByteArray("/servers") << QByteArray("tok-1") << QByteArray()
                                 << 200 << QString();
        QTest::newRow("connect unknown server") << QByteArray("POST") << QByteArray("/connect") << QByteArray("tok-1")
                                                << QByteArray(R"({"serverId":"xx"})") << 404
                                                << QStringLiteral("Sunucu bulunamadı");
        QTest::newRow("inbox wrong platform") << QByteArray("GET") << QByteArray("/notify/inbox?platform=linux")
                                              << QByteArray("tok-1") << QByteArray() << 400
                                              << QStringLiteral("Geçersiz platform");
        QTest::newRow("track missing event") << QByteArray("POST") << QByteArray("/notify/track") << QByteArray("tok-1")
                                             << QByteArray(R"({"campaignId":"c1"})") << 400
                                             << QStringLiteral("Geçersiz istek");
        QTest::newRow("unknown path") << QByteArray("GET") << QByteArray("/nothing") << QByteArray() << QByteArray()
                                      << 404 << QStringLiteral("Bulunamadı");
    }
    void routes() {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
        if (!token.isEmpty()) headers.append({"Authorization", "Bearer " + token});
        const DevService::Reply r = m_service.call(method, target, body, headers);
        QCOMPARE(r.status, status);
        if (!message.isNull()) QCOMPARE(parse(r.body).value(QStringLiteral("message")).toString(), message);
        QCOMPARE(m_service.requests().size(), 1);
    }

    void connectLeavesOutAMissingGateway() {
        const QList<QPair<QByteArray, QByteArray>> auth{{"Authorization", "Bearer tok-1"}};
        const QJsonObject withGateway = parse(m_service.call("POST", "/connect", R"({"serverId":"tr-1"})", auth).body);
        QCOMPARE(withGateway.value(QStringLiteral("gateway")).toObject().value(QStringLiteral("secret")).toString(),
                 QStringLiteral("psk-1"));
        QCOMPARE(withGateway.value(QStringLiteral("server")).toObject().value(QStringLiteral("id")).toString(),
                 QStringLiteral("tr-1"));
        const QJsonObject without = parse(m_service.call("POST", "/connect", R"({"serverId":"de-1"})", auth).body);
        QVERIFY(!without.contains(QStringLiteral("gateway")));
        QCOMPARE(without.value(QStringLiteral("exitIp")).toString(), QStringLiteral("203.0.113.8"));
    }

    void overrideWithTimesRunsOut() {
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"),
                        QJsonArray{QJsonObject{{QStringLiteral("path"), QStringLiteral("/geo")},
                                               {QStringLiteral("status"), 503},
                                               {QStringLiteral("times"), 2}}});
        QVERIFY(m_service.setScenario(scenario));
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
        const DevService::Reply third = m_service.call("GET", "/geo");
        QCOMPARE(third.status, 200);
        QCOMPARE(parse(third.body).value(QStringLiteral("ip")).toString(), QStringLiteral("192.0.2.44"));
        // A new scenario starts the count again.
        QVERIFY(m_service.setScenario(scenario));
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
    }

    void overrideOfAFile_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("whole, with a status of its own") << QJsonObject{{QStringLiteral("status"), 203}} << QByteArray("0123456789");
        QTest::newRow("cut after 4 bytes") << QJsonObject{{QStringLiteral("dropAfterBytes"), 4}} << QByteArray("0123");
        QTest::newRow("closed after the headers") << QJsonObject{{QStringLiteral("dropConnection"), true}} << QByteArray();
        QTest::newRow("a body of its own wins") << QJsonObject{{QStringLiteral("rawBody"), QStringLiteral("x")}} << QByteArray("x");
    }
    void overrideOfAFile() {
        QFETCH(QJsonObject, reply);
        QFETCH(QByteArray, body);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("0123456789");
        file.flush();
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("files"), QJsonObject{{QStringLiteral("/img"), file.fileName()}});
        reply.insert(QStringLiteral("path"), QStringLiteral("/img"));
        scenario.insert(QStringLiteral("overrides"), QJsonArray{reply});
        QVERIFY(m_service.setScenario(scenario));
        const DevService::Reply r = m_service.call("GET", "/img");
        QCOMPARE(r.status, reply.value(QStringLiteral("status")).toInt(200));
        QCOMPARE(r.body, body);
    }

    void recordsWhatArrived() {
        (void)m_service.call("POST", "/notify/track?x=1", QByteArray("\x00\xff", 2), {{"X-Probe", "1"}});
        const QJsonObject req = m_service.lastRequest(QStringLiteral("/notify/track"));
        QCOMPARE(req.value(QStringLiteral("query")).toString(), QStringLiteral("x=1"));
        QCOMPARE(req.value(QStringLiteral("bodyHex")).toString(), QStringLiteral("00ff"));
        QCOMPARE(recordedHeader(req, QStringLiteral("x-probe")), QStringLiteral("1"));
        QVERIFY(!hasRecordedHeader(req, QStringLiteral("REMOTE_ADDR")));
        QCOMPARE(req.value(QStringLiteral("peer")).toString(), QStringLiteral("127.0.0.1"));
    }

    void badScenarioIsRefusedAndKeepsTheOld() {
        QCOMPARE(m_service.call("POST", "/__control/scenario", "[1,2]").status, 400);
        QCOMPARE(m_service.call("GET", "/servers", {}, {{"Authorization", "Bearer tok-1"}}).status, 200);
    }

    void stopsOnTerm() {
        DevService other;
        QVERIFY(other.start(basicScenario()));
        QVERIFY(other.isRunning());
        other.stop();
        QVERIFY(!other.isRunning());
    }
};

QTEST_GUILESS_MAIN(DevServiceTest)
#include "devservice_test.moc"
