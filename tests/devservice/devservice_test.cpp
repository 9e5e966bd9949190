#include "support/service_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QTest>

using namespace Qt::StringLiterals;

// What the tests above the stand-in assume of it and do not see themselves: its refusals, its canned
// replies and its request log.
class DevServiceTest : public QObject {
    Q_OBJECT
    DevService m_service;

    QJsonObject lastRequest() { return m_service.requests().last().toObject(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_service.start(basicScenario())); }
    void init() {
        QVERIFY(m_service.setScenario(basicScenario()));
        QVERIFY(m_service.clearRequests());
    }

    void refusals_data() {
        QTest::addColumn<QByteArray>("request"); // METHOD target token body
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("login not json") << QByteArray("POST /auth/login - email=a") << 400 << u"Geçersiz istek"_s;
        QTest::newRow("servers without token") << QByteArray("GET /servers -") << 401 << u"Oturum geçersiz"_s;
        QTest::newRow("servers unknown token") << QByteArray("GET /servers nope") << 401 << u"Oturum geçersiz"_s;
        QTest::newRow("connect unknown server") << QByteArray(R"(POST /connect tok-1 {"serverId":"xx"})") << 404 << u"Sunucu bulunamadı"_s;
        QTest::newRow("inbox wrong platform") << QByteArray("GET /notify/inbox?platform=linux tok-1") << 400 << u"Geçersiz platform"_s;
        QTest::newRow("track missing event") << QByteArray(R"(POST /notify/track tok-1 {"campaignId":"c1"})") << 400 << u"Geçersiz istek"_s;
        QTest::newRow("unknown path") << QByteArray("GET /nothing -") << 404 << u"Bulunamadı"_s;
    }
    void refusals() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, message);
        const QList<QByteArray> p = request.split(' ');
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
        if (p[2] != "-") headers.append({"Authorization", "Bearer " + p[2]});
        const DevService::Reply r = m_service.call(p[0], p[1], p.value(3), headers);
        QCOMPARE(r.status, status);
        QCOMPARE(QJsonDocument::fromJson(r.body).object().value("message"_L1).toString(), message);
        QCOMPARE(m_service.requests().size(), 1);
    }

    void overrideWithTimesRunsOut() {
        const QJsonObject scenario = withReply("GET", "/geo", {{u"status"_s, 503}, {u"times"_s, 2}});
        QVERIFY(m_service.setScenario(scenario));
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
        const DevService::Reply third = m_service.call("GET", "/geo");
        QCOMPARE(third.status, 200);
        QCOMPARE(QJsonDocument::fromJson(third.body).object().value("ip"_L1).toString(), u"192.0.2.44"_s);
        // A new scenario starts the count again.
        QVERIFY(m_service.setScenario(scenario));
        QCOMPARE(m_service.call("GET", "/geo").status, 503);
    }

    // A reply without a body of its own on a files path serves that file, so an image can be cut.
    void overrideOfAFile_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("whole, with a status of its own") << QJsonObject{{u"status"_s, 203}} << QByteArray("0123456789");
        QTest::newRow("cut after 4 bytes") << QJsonObject{{u"dropAfterBytes"_s, 4}} << QByteArray("0123");
        QTest::newRow("closed after the headers") << QJsonObject{{u"dropConnection"_s, true}} << QByteArray();
        QTest::newRow("a body of its own wins") << QJsonObject{{u"rawBody"_s, u"x"_s}} << QByteArray("x");
    }
    void overrideOfAFile() {
        QFETCH(QJsonObject, reply);
        QFETCH(QByteArray, body);
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("0123456789") == 10 && file.flush());
        QVERIFY(m_service.setScenario(withReply("GET", "/img", reply, scenarioWith("files", QJsonObject{{u"/img"_s, file.fileName()}}))));
        const DevService::Reply r = m_service.call("GET", "/img");
        QCOMPARE(r.status, reply.value("status"_L1).toInt(200));
        QCOMPARE(r.body, body);
    }

    void recordsWhatArrived() {
        (void)m_service.call("POST", "/notify/track?x=1", QByteArray("\x00\xff", 2), {{"X-Probe", "1"}});
        const QJsonObject req = lastRequest();
        QCOMPARE(req.value("query"_L1).toString(), u"x=1"_s);
        QCOMPARE(req.value("bodyHex"_L1).toString(), u"00ff"_s);
        QCOMPARE(recordedHeader(req, u"x-probe"_s), u"1"_s);
        QVERIFY(!hasRecordedHeader(req, u"REMOTE_ADDR"_s));
        QCOMPARE(req.value("peer"_L1).toString(), u"127.0.0.1"_s);
    }

    void badScenarioIsRefusedAndKeepsTheOld() {
        QCOMPARE(m_service.call("POST", "/__control/scenario", "[1,2]").status, 400);
        QCOMPARE(m_service.call("GET", "/servers", {}, {{"Authorization", "Bearer tok-1"}}).status, 200);
    }
};

QTEST_GUILESS_MAIN(DevServiceTest)
#include "devservice_test.moc"
