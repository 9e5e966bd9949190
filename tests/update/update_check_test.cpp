#include "update/updater.h"

#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QTest>

using namespace Qt::StringLiterals;

class UpdateCheckTest : public QObject {
    Q_OBJECT
    DevService m_service;

    void serve(QJsonObject reply) {
        reply.insert(u"method"_s, u"GET"_s);
        reply.insert(u"path"_s, QString::fromLatin1(Updater::manifestPath));
        QJsonObject scenario = basicScenario();
        scenario.insert(u"overrides"_s, QJsonArray{reply});
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(m_service.clearRequests());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }

    void check_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("offered");
        const auto manifest = [](int status, const char* version, const char* challenge = nullptr) {
            const QJsonValue mac = version ? QJsonValue(QJsonObject{{u"version"_s, QString::fromUtf8(version)},
                                                                    {u"url"_s, u"https://kestrava.app/desktop/k.sqfs"_s}})
                                           : QJsonValue(QJsonValue::Null);
            QJsonObject o{{u"status"_s, status}, {u"body"_s, QJsonObject{{u"mac"_s, mac}}}};
            if (challenge) o.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(challenge), u"Basic realm=\"k\""_s}});
            return o;
        };
        QTest::newRow("newer") << manifest(200, "1.0.1") << u"1.0.1"_s;
        // Statuses that Qt reports as errors of its own name still bring their body.
        QTest::newRow("404 page with a valid manifest is used") << manifest(404, "2.0") << u"2.0"_s;
        QTest::newRow("407 with a valid manifest is used") << manifest(407, "2.1") << u"2.1"_s;
        QTest::newRow("407 challenge with a valid manifest is used") << manifest(407, "2.2", "Proxy-Authenticate") << u"2.2"_s;
        QTest::newRow("401 challenge with a valid manifest is used") << manifest(401, "2.3", "WWW-Authenticate") << u"2.3"_s;
        QTest::newRow("410 with a valid manifest is used") << manifest(410, "2.4") << u"2.4"_s;
        QTest::newRow("503 with a valid manifest is used") << manifest(503, "2.5") << u"2.5"_s;
        QTest::newRow("same") << manifest(200, "1.0") << QString();
        QTest::newRow("older") << manifest(200, "0.9.9") << QString();
        QTest::newRow("mac null") << manifest(200, nullptr) << QString();
        QTest::newRow("broken mac") << QJsonObject{{u"status"_s, 200}, {u"body"_s, QJsonObject{{u"mac"_s, QJsonObject{{u"version"_s, u"3"_s}}}}}}
                                    << QString();
        QTest::newRow("html") << QJsonObject{{u"status"_s, 500}, {u"rawBody"_s, u"<b>x</b>"_s}} << QString();
        QTest::newRow("no network") << QJsonObject{{u"dropConnection"_s, true}} << QString();
    }
    void check() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, offered);
        TestEnv env;
        QVERIFY(env.defaults().setString(u"kestrava-token"_s, u"tok-1"_s).ok());
        serve(reply);
        const std::optional<Updater::Info> info = awaitTask(Updater::check());
        QCOMPARE(info ? info->version : QString(), offered);
        const QJsonArray reqs = m_service.requests();
        QCOMPARE(reqs.size(), 1);
        QCOMPARE(reqs.first()[u"path"_s].toString(), QString::fromLatin1(Updater::manifestPath));
        for (const char* h : {"Authorization", "X-Kestrava-Device", "Content-Type"})
            QVERIFY2(!hasRecordedHeader(reqs.first().toObject(), QString::fromUtf8(h)), h);
    }

    void neverServedFromCache() {
        serve({{u"status"_s, 200},
               {u"headers"_s, QJsonObject{{u"Cache-Control"_s, u"max-age=3600"_s}}},
               {u"body"_s, QJsonObject{{u"mac"_s, QJsonValue::Null}}}});
        for (int i = 0; i < 2; ++i) (void)awaitTask(Updater::check());
        QCOMPARE(m_service.requests().size(), 2);
    }
};

QTEST_GUILESS_MAIN(UpdateCheckTest)
#include "update_check_test.moc"
