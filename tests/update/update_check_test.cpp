#include "update/updater.h"

#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QTest>

class UpdateCheckTest : public QObject {
    Q_OBJECT
    DevService m_service;

    void serve(const QJsonObject& replySpec) {
        QJsonObject o = replySpec;
        o.insert(QStringLiteral("method"), QStringLiteral("GET"));
        o.insert(QStringLiteral("path"), QString::fromLatin1(Updater::manifestPath));
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"), QJsonArray{o});
        QVERIFY(m_service.setScenario(scenario));
        m_service.clearRequests();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }

    void check_data() {
        QTest::addColumn<QJsonObject>("replySpec");
        QTest::addColumn<QString>("offered");
        const auto manifest = [](int status, const QJsonValue& mac) {
            return QJsonObject{{QStringLiteral("status"), status},
                               {QStringLiteral("body"), QJsonObject{{QStringLiteral("mac"), mac}}}};
        };
        const auto info = [](const char* v) {
            return QJsonObject{{QStringLiteral("version"), QString::fromUtf8(v)},
                               {QStringLiteral("url"), QStringLiteral("https://kestrava.app/desktop/k.sqfs")}};
        };
        QTest::newRow("newer") << manifest(200, info("1.0.1")) << QStringLiteral("1.0.1");
        QTest::newRow("404 page with a valid manifest is used") << manifest(404, info("2.0")) << QStringLiteral("2.0");
        // Statuses that Qt reports as errors of its own name still bring their body.
        QTest::newRow("407 with a valid manifest is used") << manifest(407, info("2.1")) << QStringLiteral("2.1");
        QJsonObject challenged = manifest(407, info("2.2"));
        challenged.insert(QStringLiteral("headers"),
                          QJsonObject{{QStringLiteral("Proxy-Authenticate"), QStringLiteral("Basic realm=\"k\"")}});
        QTest::newRow("407 challenge with a valid manifest is used") << challenged << QStringLiteral("2.2");
        challenged = manifest(401, info("2.3"));
        challenged.insert(QStringLiteral("headers"),
                          QJsonObject{{QStringLiteral("WWW-Authenticate"), QStringLiteral("Basic realm=\"k\"")}});
        QTest::newRow("401 challenge with a valid manifest is used") << challenged << QStringLiteral("2.3");
        QTest::newRow("410 with a valid manifest is used") << manifest(410, info("2.4")) << QStringLiteral("2.4");
        QTest::newRow("503 with a valid manifest is used") << manifest(503, info("2.5")) << QStringLiteral("2.5");
        QTest::newRow("same") << manifest(200, info("1.0")) << QString();
        QTest::newRow("older") << manifest(200, info("0.9.9")) << QString();
        QTest::newRow("mac null") << manifest(200, QJsonValue::Null) << QString();
        QTest::newRow("broken mac") << manifest(200, QJsonObject{{QStringLiteral("version"), QStringLiteral("3")}})
                                    << QString();
        QTest::newRow("html") << QJsonObject{{QStringLiteral("status"), 500}, {QStringLiteral("rawBody"), QStringLiteral("<b>x</b>")}}
                              << QString();
        QTest::newRow("no network") << QJsonObject{{QStringLiteral("dropConnection"), true}} << QString();
    }
    void check() {
        QFETCH(QJsonObject, replySpec);
        QFETCH(QString, offered);
        TestEnv env;
        QVERIFY(env.defaults().setString(QStringLiteral("kestrava-token"), QStringLiteral("tok-1")).ok());
        serve(replySpec);
        const std::optional<Updater::Info> info = awaitTask(Updater::check());
        QCOMPARE(info.has_value(), !offered.isEmpty());
        if (info) QCOMPARE(info->version, offered);
        const QJsonArray reqs = m_service.requests();
        QCOMPARE(reqs.size(), 1);
        const QJsonObject req = reqs.first().toObject();
        QCOMPARE(req.value(QStringLiteral("path")).toString(), QString::fromLatin1(Updater::manifestPath));
        for (const char* h : {"Authorization", "X-Kestrava-Device", "Content-Type"})
            QVERIFY2(!hasRecordedHeader(req, QString::fromUtf8(h)), h);
    }

    void neverServedFromCache() {
        serve(QJsonObject{{QStringLiteral("status"), 200},
                          {QStringLiteral("headers"), QJsonObject{{QStringLiteral("Cache-Control"), QStringLiteral("max-age=3600")}}},
                          {QStringLiteral("body"), QJsonObject{{QStringLiteral("mac"), QJsonValue::Null}}}});
        (void)awaitTask(Updater::check());
        (void)awaitTask(Updater::check());
        QCOMPARE(m_service.requests().size(), 2);
    }
};

QTEST_GUILESS_MAIN(UpdateCheckTest)
#include "update_check_test.moc"
