#include "app/app_delegate.h"
#include "app/placement.h"
#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/simulated/simulated_facility.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(VpnStatus)

// The shell in-process, without a tray: the panel's life, its placement, the icon and the quit path.
class ShellTest : public QObject {
    Q_OBJECT
    DevService m_service;

    static AppDelegate::Options noTray() {
        AppDelegate::Options o;
        o.tray = false;
        return o;
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        QVERIFY(startServiceForProcess(m_service));
    }

    void panelIsMadeOnceAndPlacedEachTime() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate shell(env.defaults(), facility, noTray());
        shell.launch();
        QVERIFY(!shell.panel());
        QScreen* screen = QGuiApplication::primaryScreen();
        QVERIFY(screen);
        const QRect area = screen->availableGeometry();

        // Pointer at the top right: the popup's right edge 8 inside the area, top 6 below the pointer.
        shell.setPointerAtActivation(QPoint(area.right() - 2, area.top() + 10));
        shell.togglePanel();
        QVERIFY(shell.panelVisible());
        QQuickWindow* first = shell.panel();
        QVERIFY(QTest::qWaitForWindowExposed(first));
        const int margin = 24;
        QQuickItem* popup = shell.popupItem();
        QVERIFY(popup);
        QCOMPARE(int(popup->width()), 400);
        QCOMPARE(first->x() + margin + 400, area.x() + area.width() - 8);
        QCOMPARE(first->y() + margin, area.top() + 10 + 6);

        shell.togglePanel();
        QVERIFY(!shell.panelVisible());

        // Shown again: the same window, placed anew under the new pointer.
        shell.setPointerAtActivation(QPoint(area.left() + 300, area.top() + 40));
        shell.togglePanel();
        QVERIFY(shell.panelVisible());
        QCOMPARE(shell.panel(), first);
        QCOMPARE(first->x() + margin, area.left() + 300 - 200);
        QCOMPARE(first->y() + margin, area.top() + 40 + 6);
    }

    void pressOutsideClosesInsideDoesNot() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate shell(env.defaults(), facility, noTray());
        shell.launch();
        shell.showPanel();
        QQuickWindow* w = shell.panel();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QQuickItem* popup = shell.popupItem();
        const QPoint inside = popup->mapToScene(QPointF(popup->width() / 2, 30)).toPoint();
        QTest::mouseClick(w, Qt::LeftButton, {}, inside);
        QVERIFY(shell.panelVisible());
        // The shadow margin is outside the popup, for either button.
        QTest::mouseClick(w, Qt::RightButton, {}, QPoint(4, 4));
        QVERIFY(!shell.panelVisible());
        shell.showPanel();
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() - 3, w->height() - 3));
        QVERIFY(!shell.panelVisible());
    }

    void iconFollowsTheStatus() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate shell(env.defaults(), facility, noTray());
        shell.launch();
        QCOMPARE(shell.currentIconName(), u"shield-slash"_qs);
        facility.setStatus(VpnStatus::connecting);
        QVERIFY(QTest::qWaitFor([&] { return shell.state().status() == ConnectionStatus::connecting; }, 5000));
        QCOMPARE(shell.currentIconName(), u"shield-slash"_qs);
        facility.setStatus(VpnStatus::connected);
        QVERIFY(QTest::qWaitFor([&] { return shell.currentIconName() == u"shield"_qs; }, 5000));
        facility.setStatus(VpnStatus::disconnected);
        QVERIFY(QTest::qWaitFor([&] { return shell.currentIconName() == u"shield-slash"_qs; }, 5000));
        // Both images exist and differ, so the two states stay apart in the bar.
        const QImage on = AppDelegate::statusIcon(true).pixmap(22, 22).toImage();
        const QImage off = AppDelegate::statusIcon(false).pixmap(22, 22).toImage();
        QVERIFY(!on.isNull() && !off.isNull());
        QVERIFY(on != off);
    }

    void quitPath_data() {
        QTest::addColumn<VpnStatus>("status");
        QTest::addColumn<bool>("loadFails");
        QTest::addColumn<bool>("stopping");
        QTest::newRow("connected") << VpnStatus::connected << false << true;
        QTest::newRow("connecting") << VpnStatus::connecting << false << true;
        QTest::newRow("reasserting") << VpnStatus::reasserting << false << true;
        QTest::newRow("connected, load fails") << VpnStatus::connected << true << true;
        QTest::newRow("disconnecting") << VpnStatus::disconnecting << false << false;
        QTest::newRow("disconnected") << VpnStatus::disconnected << false << false;
        QTest::newRow("invalid") << VpnStatus::invalid << false << false;
    }
    void quitPath() {
        QFETCH(VpnStatus, status);
        QFETCH(bool, loadFails);
        QFETCH(bool, stopping);
        TestEnv env;
        SimulatedFacility facility;
        // A stop that takes far longer than the quit delay: the quit does not wait for it.
        facility.stopSteps = {{VpnStatus::disconnecting, 0}, {VpnStatus::disconnected, 10'000}};
        if (loadFails) facility.loadError = Error{Error::Kind::Io, u"yüklenemedi"_qs};
        facility.setStatus(status, false);
        AppDelegate shell(env.defaults(), facility, noTray());
        shell.launch();
        QVERIFY(QTest::qWaitFor([&] { return facility.loads > 0; }, 5000)); // the start-up load
        const int loadsBefore = facility.loads;
        QSignalSpy started(&shell, &AppDelegate::quitStarted);
        QSignalSpy exiting(&shell, &AppDelegate::exiting);
        QElapsedTimer t;
        t.start();
        // The updater's hand-off and the session quit through QEvent::Quit; it takes the same path.
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).toBool(), stopping);
        if (!stopping) {
            QCOMPARE(exiting.count(), 1);
            QCOMPARE(facility.stops, 0);
            return;
        }
        QCOMPARE(exiting.count(), 0);
        QVERIFY(exiting.wait(5000));
        QVERIFY2(t.elapsed() >= 1450, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(facility.loads, loadsBefore + 1);
        QCOMPARE(facility.stops, 1);
        QCOMPARE(facility.status(), VpnStatus::disconnecting);
        // A second request while quitting changes nothing.
        shell.requestQuit();
        QCOMPARE(started.count(), 1);
    }

    // The tunnel went down on its own while the quit was loading the profile: no stop is sent.
    void noStopWhenDownAfterLoad() {
        TestEnv env;
        SimulatedFacility facility;
        facility.operationDelayMs = 200;
        facility.setStatus(VpnStatus::connected, false);
        AppDelegate shell(env.defaults(), facility, noTray());
        QSignalSpy exiting(&shell, &AppDelegate::exiting);
        const int loadsBefore = facility.loads;
        shell.requestQuit();
        facility.setStatus(VpnStatus::disconnected, false);
        QVERIFY(exiting.wait(5000));
        QCOMPARE(facility.loads, loadsBefore + 1);
        QCOMPARE(facility.stops, 0);
    }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
