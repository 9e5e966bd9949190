#include "api/endpoints.h"
#include "app/tray/tray_shell.h"
#include "app/process/application_bus.h"
#include "app/hooks/demo_link.h"
#include "app/process/drop_notice.h"
#include "app/process/single_instance.h"
#include "state/app_state.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/simulated/simulated_facility.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>

Q_DECLARE_METATYPE(VpnStatus)

// Records each Notify as the desktop's notification service would see it.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        uint replaces, id;
        QVariantMap hints;
    };
    QList<Call> calls;
    uint nextId = 7;
public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int) {
        const uint id = replaces ? replaces : nextId++;
        calls << Call{app, icon, summary, body, replaces, id, hints};
        return id;
    }
    QStringList GetCapabilities() { return {u"body"_qs, u"actions"_qs}; }
};

class ActionProbe : public QObject {
    Q_OBJECT
public:
    QList<uint> ids;
public Q_SLOTS:
    void action(uint id, const QString&) { ids << id; }
};

// The shell in-process without a tray, on the demo scenario and a session bus of the test's own;
// second launches are the real program.
class ShellTest : public QObject {
    Q_OBJECT
    QProcess m_busDaemon;
    QString m_busAddress;
    DevService m_service;
    QJsonObject m_scenario;
    QTemporaryDir m_home;
    QList<QProcess*> m_started;
    NotificationServer m_server;

    static TrayShell::Options noTray() {
        TrayShell::Options o;
        o.tray = false;
        return o;
    }
    struct Shell {
        TestEnv env;
        SimulatedFacility facility;
        std::optional<TrayShell> d;
        TrayShell& make(TrayShell::Options o = noTray()) { return d.emplace(env.defaults(), facility, o); }
    };
    // Wired as the program wires the first copy.
    struct FirstCopy : Shell {
        SingleInstance instance;
        ApplicationBus bus;
        FirstCopy(const QString& folder, InstanceIdentity id) : instance(folder), bus(std::move(id)) {
            TrayShell& s = make();
            QObject::connect(&instance, &SingleInstance::quitRequested, &s, &TrayShell::requestQuit);
            QObject::connect(&bus, &ApplicationBus::activateRequested, &s, &TrayShell::showPanel);
            QObject::connect(&bus, &ApplicationBus::quitRequested, &s, &TrayShell::requestQuit);
        }
    };

    static QString programPath() { return QFileInfo(QStringLiteral(KESTRAVA_APP_PATH)).canonicalFilePath(); }
    static InstanceIdentity program() { return {QStringLiteral(KESTRAVA_VERSION_TEXT), programPath()}; }
    QString runtime() const { return m_home.filePath(u"runtime"_qs); }
    QProcess* launch(const QStringList& args = {}) {
        auto* p = new QProcess(this);
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(u"config"_qs));
        env.insert(u"XDG_RUNTIME_DIR"_qs, runtime());
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, m_busAddress);
        env.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        p->setProcessEnvironment(env);
        p->start(programPath(), args);
        m_started << p;
        return p;
    }
    // With the event loop running: the first copy in this process has to answer the second.
    static bool finishes(QProcess* p) {
        return QTest::qWaitFor([p] { return p->state() == QProcess::NotRunning; }, 15'000);
    }
    static QString nameOwnerPid() {
        const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(ApplicationBus::name);
        return pid.isValid() ? QString::number(pid.value()) : QString();
    }
    QDBusConnection notifications() { return QDBusConnection(u"notifications"_qs); }
    bool serveNotifications(bool on) {
        QDBusConnection c = notifications();
        if (!on) {
            c.unregisterObject(u"/org/freedesktop/Notifications"_qs);
            return c.unregisterService(u"org.freedesktop.Notifications"_qs);
        }
        return c.registerObject(u"/org/freedesktop/Notifications"_qs, &m_server, QDBusConnection::ExportAllSlots) &&
               c.registerService(u"org.freedesktop.Notifications"_qs);
    }
    // A call to the copy that owns the name from another connection, as a launcher makes it.
    QDBusMessage callApp(const QString& member, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(ApplicationBus::name, ApplicationBus::path,
                                                        u"org.freedesktop.Application"_qs, member);
        m.setArguments(args);
        QDBusPendingCall pending = QDBusConnection::connectToBus(m_busAddress, u"launcher"_qs).asyncCall(m, 5000);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 6000);
        return pending.reply();
    }
    // An unknown action, refused without a side effect: its answer comes after what reached the owner before.
    QDBusMessage refused() { return callApp(u"ActivateAction"_qs, {u"nonsense"_qs, QVariantList(), QVariantMap()}); }
    // Up as the system reports it, seen by the state.
    static bool up(Shell& s) {
        s.facility.setStatus(VpnStatus::connected);
        return QTest::qWaitFor([&] { return s.d->state().status() == ConnectionStatus::connected; }, 5000);
    }
    void signIn(AppState& state) {
        awaitTask(state.login(u"demo@kestrava.app"_qs, u"demo1234"_qs));
        QVERIFY(state.signedIn());
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        QVERIFY(QDir().mkpath(runtime()));
        QFile::setPermissions(runtime(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        m_busDaemon.start(u"dbus-daemon"_qs, {u"--session"_qs, u"--nofork"_qs, u"--print-address"_qs});
        QVERIFY(QTest::qWaitFor([&] { return m_busDaemon.canReadLine(); }, 10'000));
        m_busAddress = QString::fromUtf8(m_busDaemon.readLine()).trimmed();
        // Before the first use of the session bus in this process.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        qputenv("KESTRAVA_DEMO_SERVICE", "1");
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY(QDBusConnection::connectToBus(m_busAddress, u"notifications"_qs).isConnected());
        QVERIFY(serveNotifications(true));
        QFile f(QStringLiteral(KESTRAVA_DEMO_SCENARIO));
        QVERIFY(f.open(QIODevice::ReadOnly));
        m_scenario = QJsonDocument::fromJson(f.readAll()).object();
        QVERIFY(startServiceForProcess(m_service, m_scenario));
    }
    void cleanupTestCase() {
        m_busDaemon.terminate();
        m_busDaemon.waitForFinished(5000);
    }
    void init() { m_server.calls.clear(); }
    void cleanup() {
        endPrograms(m_started);
        QVERIFY(QTest::qWaitFor([] {
            return !QDBusConnection::sessionBus().interface()->isServiceRegistered(ApplicationBus::name).value();
        }, 5000));
    }

    // --- the panel, the icon and the quit path ---------------------------------------------------------
    void panelIsMadeOnceAndPlacedEachTime() {
        Shell s;
        TrayShell& shell = s.make();
        shell.launch();
        QVERIFY(!shell.panel());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        // Pointer at the top right: the popup's right edge 8 inside the area, top 6 below the pointer.
        shell.setPointerAtActivation(QPoint(area.right() - 2, area.top() + 10));
        shell.togglePanel();
        QQuickWindow* first = shell.panel();
        QVERIFY(QTest::qWaitForWindowExposed(first));
        const int margin = 24;
        QCOMPARE(int(shell.popupItem()->width()), 400);
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
        Shell s;
        TrayShell& shell = s.make();
        shell.launch();
        shell.showPanel();
        QQuickWindow* w = shell.panel();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QQuickItem* popup = shell.popupItem();
        QTest::mouseClick(w, Qt::LeftButton, {}, popup->mapToScene(QPointF(popup->width() / 2, 30)).toPoint());
        QVERIFY(shell.panelVisible());
        // The shadow margin is outside the popup, for either button.
        QTest::mouseClick(w, Qt::RightButton, {}, QPoint(4, 4));
        QVERIFY(!shell.panelVisible());
        shell.showPanel();
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() - 3, w->height() - 3));
        QVERIFY(!shell.panelVisible());
    }

    void iconFollowsTheStatus() {
        Shell s;
        TrayShell& shell = s.make();
        shell.launch();
        QCOMPARE(shell.currentIconName(), u"shield-slash"_qs);
        s.facility.setStatus(VpnStatus::connecting);
        QVERIFY(QTest::qWaitFor([&] { return shell.state().status() == ConnectionStatus::connecting; }, 5000));
        QCOMPARE(shell.currentIconName(), u"shield-slash"_qs);
        s.facility.setStatus(VpnStatus::connected);
        QVERIFY(QTest::qWaitFor([&] { return shell.currentIconName() == u"shield"_qs; }, 5000));
        s.facility.setStatus(VpnStatus::disconnected);
        QVERIFY(QTest::qWaitFor([&] { return shell.currentIconName() == u"shield-slash"_qs; }, 5000));
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
        Shell s;
        // A stop that takes far longer than the quit delay: the quit does not wait for it.
        s.facility.stopSteps = {{VpnStatus::disconnecting, 0}, {VpnStatus::disconnected, 10'000}};
        if (loadFails) s.facility.loadError = Error{Error::Kind::Io, u"yüklenemedi"_qs};
        s.facility.setStatus(status, false);
        TrayShell& shell = s.make();
        shell.launch();
        QVERIFY(QTest::qWaitFor([&] { return s.facility.loads > 0; }, 5000)); // the start-up load
        const int loadsBefore = s.facility.loads;
        QSignalSpy started(&shell, &TrayShell::quitStarted);
        QSignalSpy exiting(&shell, &TrayShell::exiting);
        QElapsedTimer t;
        t.start();
        // The updater's hand-off and the session quit through QEvent::Quit; it takes the same path.
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).toBool(), stopping);
        if (!stopping) {
            QCOMPARE(exiting.count(), 1);
            QCOMPARE(s.facility.stops, 0);
            return;
        }
        QCOMPARE(exiting.count(), 0);
        QVERIFY(exiting.wait(5000));
        QVERIFY2(t.elapsed() >= 1450, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(s.facility.loads, loadsBefore + 1);
        QCOMPARE(s.facility.stops, 1);
        QCOMPARE(s.facility.status(), VpnStatus::disconnecting);
        shell.requestQuit(); // a second request while quitting changes nothing
        QCOMPARE(started.count(), 1);
    }

    // The tunnel went down on its own while the quit was loading the profile: no stop is sent.
    void noStopWhenDownAfterLoad() {
        Shell s;
        s.facility.operationDelayMs = 200;
        s.facility.setStatus(VpnStatus::connected, false);
        TrayShell& shell = s.make();
        QSignalSpy exiting(&shell, &TrayShell::exiting);
        const int loadsBefore = s.facility.loads;
        shell.requestQuit();
        s.facility.setStatus(VpnStatus::disconnected, false);
        QVERIFY(exiting.wait(5000));
        QCOMPARE(s.facility.loads, loadsBefore + 1);
        QCOMPARE(s.facility.stops, 0);
    }

    // --- the demo, as scripts/run starts it ----------------------------------------------------------
    void signInThenFirstPressConnects() {
        Shell s;
        qputenv("KESTRAVA_DEMO_SERVICE", "0"); // only the demo is ever linked
        QVERIFY(!DemoLink::ifDemo(s.facility));
        qputenv("KESTRAVA_DEMO_SERVICE", "1");
        const std::unique_ptr<DemoLink> link = DemoLink::ifDemo(s.facility);
        QVERIFY(link);
        TrayShell& shell = s.make();
        shell.launch();
        AppState& state = shell.state();
        QVERIFY(QTest::qWaitFor([&] { return !state.startingUp(); }, 30'000));
        // The list came with the start-up work, before signing in: no wait for the next refresh.
        QVERIFY(!state.servers().isEmpty());
        signIn(state);
        const QString realAddress = m_scenario.value(u"geo"_qs).toObject().value(u"ip"_qs).toString();
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);
        awaitTask(state.toggle());
        QVERIFY2(state.status() == ConnectionStatus::connected, qPrintable(state.errorMessage().value_or(QString())));
        const QString exit =
            m_scenario.value(u"exitIps"_qs).toObject().value(state.activeServerId().value_or(QString())).toString();
        QVERIFY(!exit.isEmpty());
        QCOMPARE(state.exitIp().value_or(QString()), exit);
        // The lookup through the simulated tunnel, and the popup's refresh from it, give the exit.
        const auto lookedUp = [] { const auto geo = awaitTask(API::publicGeo()); return geo ? geo->ip : QString(); };
        QCOMPARE(lookedUp(), exit);
        awaitTask(state.refreshIps());
        QCOMPARE(state.exitIp().value_or(QString()), exit);
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);
        // Down again: the lookup is the user's own address once more (the report reaches the service a
        // moment later), and the popup keeps it.
        awaitTask(state.toggle());
        QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::idle; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return lookedUp() == realAddress; }, 5000));
        awaitTask(state.refreshIps());
        QCOMPARE(state.originalIp().value_or(QString()), realAddress);
    }

    // --- a second launch: the first copy here owns the bus name, the second is the real program -------
    void secondLaunch_data() {
        QTest::addColumn<QString>("firstVersion");
        QTest::addColumn<QString>("firstLocation");
        QTest::addColumn<bool>("popupOpen");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("handedOver");
        const QString v = QStringLiteral(KESTRAVA_VERSION_TEXT);
        const QString here = programPath();
        QTest::newRow("same copy, popup open") << v << here << true << QStringList() << true;
        QTest::newRow("same copy, popup closed: opens it") << v << here << false << QStringList() << true;
        QTest::newRow("same copy, hidden start: stays closed") << v << here << false << QStringList{u"--hidden"_qs} << true;
        QTest::newRow("another version takes over") << u"0.9.0"_qs << here << true << QStringList() << false;
        QTest::newRow("another place takes over") << v << u"/opt/elsewhere/kestrava"_qs << true << QStringList() << false;
    }
    void secondLaunch() {
        QFETCH(QString, firstVersion);
        QFETCH(QString, firstLocation);
        QFETCH(bool, popupOpen);
        QFETCH(QStringList, args);
        QFETCH(bool, handedOver);
        FirstCopy first(runtime() + u"/kestrava"_qs, {firstVersion, firstLocation});
        TrayShell& shell = *first.d;
        shell.launch();
        first.instance.claim();
        QVERIFY(first.bus.serve());
        QCOMPARE(nameOwnerPid(), QString::number(QCoreApplication::applicationPid()));
        // Connected through the popup's own road: sign in, the list, the power button.
        AppState& state = shell.state();
        signIn(state);
        awaitTask(state.loadServers());
        QVERIFY(!state.servers().isEmpty());
        awaitTask(state.connect(state.servers().first()));
        QVERIFY2(state.status() == ConnectionStatus::connected, qPrintable(state.errorMessage().value_or(QString())));
        if (popupOpen) shell.showPanel();
        else shell.closePanel();
        QSignalSpy quits(&shell, &TrayShell::quitStarted);
        QSignalSpy exits(&shell, &TrayShell::exiting);
        const int stopsBefore = first.facility.stops;
        QProcess* second = launch(args);
        if (handedOver) {
            QVERIFY(finishes(second));
            QCOMPARE(second->exitStatus(), QProcess::NormalExit);
            QCOMPARE(second->exitCode(), 0);
            QVERIFY(second->readAllStandardError().contains("zaten çalışıyor"));
            // The second's messages came before it ended: answered after them, this call sees them done.
            QCOMPARE(refused().errorName(), u"org.freedesktop.DBus.Error.InvalidArgs"_qs);
            QCOMPARE(state.status(), ConnectionStatus::connected);
            QCOMPARE(first.facility.stops, stopsBefore);
            QCOMPARE(quits.count(), 0);
            QCOMPARE(shell.panelVisible(), popupOpen || !args.contains(u"--hidden"_qs));
            QCOMPARE(nameOwnerPid(), QString::number(QCoreApplication::applicationPid()));
            return;
        }
        // The newcomer asks this copy to quit: the quit path stops the tunnel and ends 1.5 s later.
        QVERIFY(QTest::qWaitFor([&] { return quits.count() == 1; }, 15'000));
        QCOMPARE(quits.first().first().toBool(), true);
        QVERIFY(QTest::qWaitFor([&] { return exits.count() == 1; }, 5000));
        QCOMPARE(first.facility.stops, stopsBefore + 1);
        QVERIFY(QTest::qWaitFor([&] { return nameOwnerPid() == QString::number(second->processId()); }, 10'000));
        QCOMPARE(second->state(), QProcess::Running);
    }

    // Without a tray host the popup is the only way in, so it opens at start, unless the start is the
    // hidden one at login: then it waits for a launcher click (an Activate).
    void startWithoutTray_data() {
        QTest::addColumn<bool>("hidden");
        QTest::newRow("ordinary start") << false;
        QTest::newRow("hidden start") << true;
    }
    void startWithoutTray() {
        QFETCH(bool, hidden);
        Shell s;
        TrayShell::Options options; // with a tray asked for; offscreen has none
        options.startHidden = hidden;
        TrayShell& shell = s.make(options);
        ApplicationBus bus(program());
        QObject::connect(&bus, &ApplicationBus::activateRequested, &shell, &TrayShell::showPanel);
        shell.launch();
        QVERIFY(!shell.tray());
        QCOMPARE(shell.panelVisible(), !hidden);
        QVERIFY(bus.serve());
        QProcess* second = launch();
        QVERIFY(finishes(second));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(shell.panelVisible());
    }

    // A running copy that cannot answer holds the name; the newcomer does not wait on it forever.
    void hungOwnerIsReplaced() {
        QProcess* hung = launch();
        QVERIFY(QTest::qWaitFor([&] { return nameOwnerPid() == QString::number(hung->processId()); }, 15'000));
        ::kill(pid_t(hung->processId()), SIGSTOP);
        QProcess* next = launch();
        QVERIFY(QTest::qWaitFor([&] { return nameOwnerPid() == QString::number(next->processId()); }, 20'000));
        QVERIFY(finishes(hung));
        QCOMPARE(hung->exitStatus(), QProcess::CrashExit);
        QCOMPARE(next->state(), QProcess::Running);
    }

    // The desktop's own calls: an unknown action is refused with a reason, "quit" takes the quit path.
    void actions() {
        FirstCopy first(runtime() + u"/kestrava"_qs, program());
        TrayShell& shell = *first.d;
        shell.launch();
        QVERIFY(first.bus.serve());
        QSignalSpy quits(&shell, &TrayShell::quitStarted);
        QCOMPARE(refused().errorName(), u"org.freedesktop.DBus.Error.InvalidArgs"_qs);
        QVERIFY(!shell.panelVisible());
        QCOMPARE(callApp(u"Open"_qs, {QStringList{u"https://example.invalid/"_qs}, QVariantMap()}).type(),
                 QDBusMessage::ReplyMessage);
        QVERIFY(shell.panelVisible());
        QCOMPARE(quits.count(), 0);
        QCOMPARE(callApp(u"ActivateAction"_qs, {u"quit"_qs, QVariantList(), QVariantMap()}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(quits.count(), 1);
    }

    // --- the drop notice, read back from a stand-in notification service ----------------------------
    // A click on our notice opens the popup; one on someone else's does not.
    void clickOpensThePopup() {
        Shell s;
        TrayShell& shell = s.make();
        DropNotice notice(shell, QDBusConnection::sessionBus());
        shell.launch();
        QVERIFY(up(s));
        s.facility.setStatus(VpnStatus::disconnected);
        QVERIFY(QTest::qWaitFor([&] { return m_server.calls.size() == 1 && notice.shownId() == m_server.calls.first().id; }, 5000));
        QDBusMessage signal = QDBusMessage::createSignal(u"/org/freedesktop/Notifications"_qs,
                                                         u"org.freedesktop.Notifications"_qs, u"ActionInvoked"_qs);
        signal << uint(12345) << u"default"_qs;
        // Heard here once the notice's own receiver has it too: the same message, the same dispatch.
        ActionProbe probe;
        QVERIFY(QDBusConnection::sessionBus().connect(QString(), u"/org/freedesktop/Notifications"_qs,
                                                      u"org.freedesktop.Notifications"_qs, u"ActionInvoked"_qs, &probe,
                                                      SLOT(action(uint,QString))));
        QVERIFY(notifications().send(signal));
        QVERIFY(QTest::qWaitFor([&] { return probe.ids.contains(12345u); }, 5000));
        QCoreApplication::processEvents();
        QVERIFY(!shell.panelVisible());
        signal.setArguments({m_server.calls.first().id, u"default"_qs});
        QVERIFY(notifications().send(signal));
        QVERIFY(QTest::qWaitFor([&] { return shell.panelVisible(); }, 5000));
    }

    void whoEndedIt_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("popupOpen");
        QTest::addColumn<int>("notices");
        QTest::newRow("the system drops it") << u"system"_qs << false << 1;
        QTest::newRow("the link reasserts, then fails") << u"reassert"_qs << false << 1;
        QTest::newRow("the system drops it, popup open and showing it") << u"system"_qs << true << 0;
        QTest::newRow("the power button") << u"toggle"_qs << false << 0;
        QTest::newRow("sign-out") << u"logout"_qs << false << 0;
        QTest::newRow("quitting") << u"quit"_qs << false << 0;
        QTest::newRow("down twice: one notice, replaced") << u"twice"_qs << false << 2;
        // Still handled, nothing hangs or breaks. (Last: the service is not brought back for later cases.)
        QTest::newRow("no notification service") << u"noservice"_qs << false << 0;
    }
    void whoEndedIt() {
        QFETCH(QString, how);
        QFETCH(bool, popupOpen);
        QFETCH(int, notices);
        if (how == u"noservice"_qs) QVERIFY(serveNotifications(false));
        Shell s;
        TrayShell& shell = s.make();
        DropNotice notice(shell, QDBusConnection::sessionBus());
        shell.launch();
        QVERIFY(up(s));
        if (popupOpen) shell.showPanel();
        AppState& state = shell.state();
        if (how == u"reassert"_qs) {
            s.facility.setStatus(VpnStatus::reasserting);
            QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::connecting; }, 5000));
            s.facility.setStatus(VpnStatus::disconnected);
        } else if (how == u"toggle"_qs) {
            state.startToggle();
        } else if (how == u"logout"_qs) {
            state.logout();
        } else if (how == u"quit"_qs) {
            shell.requestQuit();
        } else {
            s.facility.setStatus(VpnStatus::disconnected);
        }
        QVERIFY(QTest::qWaitFor([&] { return s.facility.status() == VpnStatus::disconnected; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::idle; }, 5000));
        if (how == u"twice"_qs) {
            QVERIFY(QTest::qWaitFor([&] { return m_server.calls.size() == 1; }, 5000));
            QVERIFY(up(s));
            s.facility.setStatus(VpnStatus::disconnected);
        }
        QVERIFY(QTest::qWaitFor([&] { return m_server.calls.size() >= notices; }, 5000));
        // A notice sent by now reaches the service before this call on the same connection is answered.
        if (how != u"noservice"_qs) {
            QDBusPendingCall barrier = QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
                u"org.freedesktop.Notifications"_qs, u"/org/freedesktop/Notifications"_qs,
                u"org.freedesktop.Notifications"_qs, u"GetCapabilities"_qs));
            QVERIFY(QTest::qWaitFor([&] { return barrier.isFinished(); }, 5000));
        }
        QCOMPARE(m_server.calls.size(), notices);
        for (int i = 0; i < m_server.calls.size(); ++i) {
            const NotificationServer::Call& c = m_server.calls.at(i);
            QCOMPARE(c.app, u"Kestrava"_qs);
            QCOMPARE(c.icon, u"app.kestrava.linux-shield-slash-symbolic"_qs);
            QCOMPARE(c.summary, u"VPN bağlantısı kesildi"_qs);
            QVERIFY2(c.body.contains(u"siz kapatmadan"_qs), qPrintable(c.body));
            QCOMPARE(c.hints.value(u"desktop-entry"_qs).toString(), u"app.kestrava.linux"_qs);
            QCOMPARE(c.replaces, i == 0 ? 0u : m_server.calls.at(i - 1).id); // the second replaces the first
        }
    }

};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
