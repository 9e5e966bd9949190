#include "app/app_delegate.h"
#include "app/application_bus.h"
#include "app/single_instance.h"
#include "private_bus.h"
#include "state/app_state.h"
#include "support/await.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/simulated/simulated_facility.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The first copy runs in this process, wired as the program wires it, connected on the simulated
// tunnel and owning the bus name on a private session bus; the second is the real program.
class SecondLaunchTest : public QObject {
    Q_OBJECT
    PrivateBus m_bus;
    DevService m_service;
    QTemporaryDir m_home;
    QList<QProcess*> m_started;

    static QString programPath() { return QFileInfo(QStringLiteral(KESTRAVA_APP_PATH)).canonicalFilePath(); }
    static InstanceIdentity program() { return {QStringLiteral(KESTRAVA_VERSION_TEXT), programPath()}; }
    QString runtime() const { return m_home.filePath(u"runtime"_qs); }

    QProcess* launch(const QString& path, const QStringList& args = {}) {
        auto* p = new QProcess(this);
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(u"config"_qs));
        env.insert(u"XDG_RUNTIME_DIR"_qs, runtime());
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, m_bus.address());
        env.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        env.insert(u"QT_QUICK_BACKEND"_qs, u"software"_qs);
        p->setProcessEnvironment(env);
        p->start(path, args);
        m_started << p;
        return p;
    }
    // Waits with the event loop running: the first copy in this process has to answer the second.
    static bool finishes(QProcess* p, int limitMs = 15'000) {
        return QTest::qWaitFor([p] { return p->state() == QProcess::NotRunning; }, limitMs);
    }
    static QString nameOwnerPid() {
        const QDBusReply<uint> pid =
            QDBusConnection::sessionBus().interface()->servicePid(ApplicationBus::name);
        return pid.isValid() ? QString::number(pid.value()) : QString();
    }

    struct FirstCopy {
        SimulatedFacility facility;
        AppDelegate delegate;
        SingleInstance instance;
        ApplicationBus bus;
        FirstCopy(DefaultsStore& store, const QString& folder, InstanceIdentity id)
            : delegate(store, facility, noTray()), instance(folder), bus(std::move(id)) {
            QObject::connect(&instance, &SingleInstance::quitRequested, &delegate, &AppDelegate::requestQuit);
            QObject::connect(&bus, &ApplicationBus::activateRequested, &delegate, &AppDelegate::showPanel);
            QObject::connect(&bus, &ApplicationBus::quitRequested, &delegate, &AppDelegate::requestQuit);
        }
        static AppDelegate::Options noTray() {
            AppDelegate::Options o;
            o.tray = false;
            return o;
        }
    };

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        QVERIFY(QDir().mkpath(runtime()));
        QFile::setPermissions(runtime(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(m_bus.start());
        // Before the first use of the session bus in this process.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY(startServiceForProcess(m_service));
    }
    void cleanup() {
        for (QProcess* p : std::as_const(m_started)) {
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGCONT);
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
        m_started.clear();
        QVERIFY(QTest::qWaitFor([] {
            return !QDBusConnection::sessionBus().interface()->isServiceRegistered(ApplicationBus::name).value();
        }, 5000));
    }

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
        QTest::newRow("same copy, hidden start: stays closed")
            << v << here << false << QStringList{u"--hidden"_qs} << true;
        QTest::newRow("another version takes over") << u"0.9.0"_qs << here << true << QStringList() << false;
        QTest::newRow("another place takes over") << v << u"/opt/elsewhere/kestrava"_qs << true << QStringList()
                                                  << false;
    }
    void secondLaunch() {
        QFETCH(QString, firstVersion);
        QFETCH(QString, firstLocation);
        QFETCH(bool, popupOpen);
        QFETCH(QStringList, args);
        QFETCH(bool, handedOver);
        TestEnv env;
        FirstCopy first(env.defaults(), runtime() + u"/kestrava"_qs, {firstVersion, firstLocation});
        first.delegate.launch();
        first.instance.claim();
        QVERIFY(first.bus.serve());
        QCOMPARE(nameOwnerPid(), QString::number(QCoreApplication::applicationPid()));

        // Connected through the popup's own road: sign in, the list, the power button.
        AppState& state = first.delegate.state();
        awaitTask(state.login(u"a@kestrava.test"_qs, u"pw"_qs));
        awaitTask(state.loadServers());
        QVERIFY(!state.servers().isEmpty());
        awaitTask(state.connect(state.servers().first())); // tr-1, the one with a gateway
        QVERIFY2(state.status() == ConnectionStatus::connected, qPrintable(state.errorMessage().value_or(QString())));
        if (popupOpen) first.delegate.showPanel();
        else first.delegate.closePanel();
        QSignalSpy quits(&first.delegate, &AppDelegate::quitStarted);
        QSignalSpy exits(&first.delegate, &AppDelegate::exiting);
        const int stopsBefore = first.facility.stops;

        QProcess* second = launch(programPath(), args);
        if (handedOver) {
            QVERIFY(finishes(second));
            QCOMPARE(second->exitStatus(), QProcess::NormalExit);
            QCOMPARE(second->exitCode(), 0);
            QVERIFY(second->readAllStandardError().contains("zaten çalışıyor"));
            QTest::qWait(300); // an Activate arrives before the second ends; anything else would come now
            QCOMPARE(state.status(), ConnectionStatus::connected);
            QCOMPARE(first.facility.stops, stopsBefore);
            QCOMPARE(quits.count(), 0);
            QCOMPARE(first.delegate.panelVisible(), popupOpen || !args.contains(u"--hidden"_qs));
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
        QTest::addColumn<bool>("shown");
        QTest::newRow("ordinary start") << false << true;
        QTest::newRow("hidden start") << true << false;
    }
    void startWithoutTray() {
        QFETCH(bool, hidden);
        QFETCH(bool, shown);
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate::Options options; // with a tray asked for; offscreen has none
        options.startHidden = hidden;
        AppDelegate delegate(env.defaults(), facility, options);
        ApplicationBus bus(program());
        QObject::connect(&bus, &ApplicationBus::activateRequested, &delegate, &AppDelegate::showPanel);
        delegate.launch();
        QVERIFY(!delegate.tray());
        QCOMPARE(delegate.panelVisible(), shown);
        QVERIFY(bus.serve());
        QProcess* second = launch(programPath());
        QVERIFY(finishes(second));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(delegate.panelVisible());
    }

    // A running copy that cannot answer holds the name; the newcomer does not wait on it forever.
    void hungOwnerIsReplaced() {
        QProcess* hung = launch(programPath());
        QVERIFY(hung->waitForStarted(10'000));
        QVERIFY(QTest::qWaitFor([&] { return nameOwnerPid() == QString::number(hung->processId()); }, 15'000));
        ::kill(pid_t(hung->processId()), SIGSTOP);
        QProcess* next = launch(programPath());
        QVERIFY(QTest::qWaitFor([&] { return nameOwnerPid() == QString::number(next->processId()); }, 20'000));
        QVERIFY(finishes(hung));
        QCOMPARE(hung->exitStatus(), QProcess::CrashExit);
        QCOMPARE(next->state(), QProcess::Running);
    }

    // The desktop's own calls: an unknown action is refused with a reason, "quit" takes the quit path.
    void actions() {
        TestEnv env;
        FirstCopy first(env.defaults(), runtime() + u"/kestrava"_qs, program());
        first.delegate.launch();
        QVERIFY(first.bus.serve());
        QSignalSpy quits(&first.delegate, &AppDelegate::quitStarted);
        // Called from another connection, as a launcher would.
        QDBusConnection other = QDBusConnection::connectToBus(m_bus.address(), u"launcher"_qs);
        auto call = [&](const QString& member, const QVariantList& args) {
            QDBusMessage m = QDBusMessage::createMethodCall(ApplicationBus::name, ApplicationBus::path,
                                                            u"org.freedesktop.Application"_qs, member);
            m.setArguments(args);
            QDBusPendingCall pending = other.asyncCall(m, 5000);
            (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 6000);
            return pending.reply();
        };
        QDBusMessage r = call(u"ActivateAction"_qs, {u"nonsense"_qs, QVariantList(), QVariantMap()});
        QCOMPARE(r.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(r.errorName(), u"org.freedesktop.DBus.Error.InvalidArgs"_qs);
        QVERIFY(!first.delegate.panelVisible());
        r = call(u"Open"_qs, {QStringList{u"https://example.invalid/"_qs}, QVariantMap()});
        QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
        QVERIFY(first.delegate.panelVisible());
        QCOMPARE(quits.count(), 0);
        r = call(u"ActivateAction"_qs, {u"quit"_qs, QVariantList(), QVariantMap()});
        QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(quits.count(), 1);
        QDBusConnection::disconnectFromBus(u"launcher"_qs);
    }
};

QTEST_MAIN(SecondLaunchTest)
#include "second_launch_test.moc"
