#include "api/endpoints.h"
#include "app/app_delegate.h"
#include "app/demo_link.h"
#include "state/app_state.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/simulated/simulated_facility.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

// What a newcomer sees on the demo: the real demo scenario and the simulated tunnel, wired as the
// program wires them when scripts/run starts it.
class DemoTest : public QObject {
    Q_OBJECT
    DevService m_service;
    QJsonObject m_scenario;

    static AppDelegate::Options noTray() {
        AppDelegate::Options o;
        o.tray = false;
        return o;
    }
    static QString lookedUpAddress() {
        const std::optional<PublicGeo> geo = awaitTask(API::publicGeo());
        return geo ? geo->ip : QString();
    }

private Q_SLOTS:
    void initTestCase() {
        QFile f(QStringLiteral(KESTRAVA_DEMO_SCENARIO));
        QVERIFY(f.open(QIODevice::ReadOnly));
        m_scenario = QJsonDocument::fromJson(f.readAll()).object();
        QVERIFY(!m_scenario.isEmpty());
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        qputenv("KESTRAVA_DEMO_SERVICE", "1");
        QVERIFY(startServiceForProcess(m_service, m_scenario));
    }

    void signInThenFirstPressConnects() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate delegate(env.defaults(), facility, noTray());
        const std::unique_ptr<DemoLink> link = DemoLink::ifDemo(facility);
        QVERIFY(link);
        delegate.launch();
        AppState& state = delegate.state();
        QVERIFY(QTest::qWaitFor([&] { return !state.startingUp(); }, 30'000));
        // The list came with the start-up work, before signing in: no wait for the next refresh.
        QVERIFY(!state.servers().isEmpty());
        awaitTask(state.login(u"demo@kestrava.app"_qs, u"demo1234"_qs));
        QVERIFY(state.signedIn());
        QVERIFY(!state.servers().isEmpty());
        const QString realAddress = m_scenario.value(u"geo"_qs).toObject().value(u"ip"_qs).toString();
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);

        awaitTask(state.toggle());
        QVERIFY2(state.status() == ConnectionStatus::connected, qPrintable(state.errorMessage().value_or(QString())));
        const QString server = state.activeServerId().value_or(QString());
        const QString exit = m_scenario.value(u"exitIps"_qs).toObject().value(server).toString();
        QVERIFY(!exit.isEmpty());
        QCOMPARE(state.exitIp().value_or(QString()), exit);
        // The lookup through the simulated tunnel, and the popup's refresh from it, give the exit.
        QCOMPARE(lookedUpAddress(), exit);
        awaitTask(state.refreshIps());
        QCOMPARE(state.exitIp().value_or(QString()), exit);
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);

        // Down again: the lookup is the user's own address once more, and the popup keeps it.
        awaitTask(state.toggle());
        QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::idle; }, 5000));
        // The report that follows the change reaches the service a moment later.
        QVERIFY(QTest::qWaitFor([&] { return lookedUpAddress() == realAddress; }, 5000));
        awaitTask(state.refreshIps());
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);
    }

    // Only the demo is ever linked: not without the switch, not with a service elsewhere.
    void linkOnlyInTheDemo() {
        SimulatedFacility facility;
        qputenv("KESTRAVA_DEMO_SERVICE", "0");
        QVERIFY(!DemoLink::ifDemo(facility));
        qputenv("KESTRAVA_DEMO_SERVICE", "1");
        QVERIFY(DemoLink::ifDemo(facility));
    }
};

QTEST_MAIN(DemoTest)
#include "demo_test.moc"
