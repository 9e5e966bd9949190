#include "app/app_delegate.h"
#include "app/drop_notice.h"
#include "private_bus.h"
#include "state/app_state.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/simulated/simulated_facility.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTest>

Q_DECLARE_METATYPE(VpnStatus)

// A stand-in notification service on its own bus connection: records each Notify as the desktop's would see it.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        uint replaces;
        uint id; // what the service answered
        QStringList actions;
        QVariantMap hints;
    };
    QList<Call> calls;
    uint nextId = 7;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int) {
        const uint id = replaces ? replaces : nextId++;
        calls << Call{app, icon, summary, body, replaces, id, actions, hints};
        return id;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("actions")}; }
};

class ActionProbe : public QObject {
    Q_OBJECT
public:
    QList<uint> ids;
public Q_SLOTS:
    void action(uint id, const QString&) { ids << id; }
};

class DropNoticeTest : public QObject {
    Q_OBJECT
    PrivateBus m_bus;
    DevService m_service;
    NotificationServer m_server;

    QDBusConnection serverConnection() { return QDBusConnection(u"notifications"_qs); }
    bool serve(bool on) {
        QDBusConnection c = serverConnection();
        if (!on) {
            c.unregisterObject(u"/org/freedesktop/Notifications"_qs);
            return c.unregisterService(u"org.freedesktop.Notifications"_qs);
        }
        return c.registerObject(u"/org/freedesktop/Notifications"_qs, &m_server, QDBusConnection::ExportAllSlots) &&
               c.registerService(u"org.freedesktop.Notifications"_qs);
    }
    static AppDelegate::Options noTray() {
        AppDelegate::Options o;
        o.tray = false;
        return o;
    }
    // Up as the system reports it, seen by the state.
    static bool up(SimulatedFacility& f, AppDelegate& d) {
        f.setStatus(VpnStatus::connected);
        return QTest::qWaitFor([&] { return d.state().status() == ConnectionStatus::connected; }, 5000);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_bus.start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        QVERIFY(QDBusConnection::connectToBus(m_bus.address(), u"notifications"_qs).isConnected());
        QVERIFY(serve(true));
        QVERIFY(startServiceForProcess(m_service));
    }
    void init() { m_server.calls.clear(); }

    // How the tunnel goes down, and whether the user hears of it from the desktop.
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
    }
    void whoEndedIt() {
        QFETCH(QString, how);
        QFETCH(bool, popupOpen);
        QFETCH(int, notices);
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate delegate(env.defaults(), facility, noTray());
        DropNotice notice(delegate, QDBusConnection::sessionBus());
        delegate.launch();
        QVERIFY(up(facility, delegate));
        if (popupOpen) delegate.showPanel();
        AppState& state = delegate.state();
        if (how == u"system"_qs || how == u"twice"_qs) {
            facility.setStatus(VpnStatus::disconnected);
        } else if (how == u"reassert"_qs) {
            facility.setStatus(VpnStatus::reasserting);
            QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::connecting; }, 5000));
            facility.setStatus(VpnStatus::disconnected);
        } else if (how == u"toggle"_qs) {
            state.startToggle();
        } else if (how == u"logout"_qs) {
            state.logout();
        } else if (how == u"quit"_qs) {
            delegate.requestQuit();
        }
        QVERIFY(QTest::qWaitFor([&] { return facility.status() == VpnStatus::disconnected; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return state.status() == ConnectionStatus::idle; }, 5000));
        if (how == u"twice"_qs) {
            QVERIFY(QTest::qWaitFor([&] { return m_server.calls.size() == 1; }, 5000));
            QVERIFY(up(facility, delegate));
            facility.setStatus(VpnStatus::disconnected);
        }
        // A notice comes in milliseconds; one that should not come has had this long to show up.
        (void)QTest::qWaitFor([&] { return m_server.calls.size() >= notices && notices > 0; }, 1500);
        QCOMPARE(m_server.calls.size(), notices);
        for (int i = 0; i < m_server.calls.size(); ++i) {
            const NotificationServer::Call& c = m_server.calls.at(i);
            QCOMPARE(c.app, u"Kestrava"_qs);
            QCOMPARE(c.icon, u"app.kestrava.linux-shield-slash-symbolic"_qs);
            QCOMPARE(c.summary, u"VPN bağlantısı kesildi"_qs);
            QVERIFY2(c.body.contains(u"siz kapatmadan"_qs), qPrintable(c.body));
            QCOMPARE(c.hints.value(u"desktop-entry"_qs).toString(), u"app.kestrava.linux"_qs);
            // The second replaces the first on screen.
            QCOMPARE(c.replaces, i == 0 ? 0u : m_server.calls.at(i - 1).id);
        }
    }

    // A click on the notice opens the popup.
    void clickOpensThePopup() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate delegate(env.defaults(), facility, noTray());
        DropNotice notice(delegate, QDBusConnection::sessionBus());
        delegate.launch();
        QVERIFY(up(facility, delegate));
        facility.setStatus(VpnStatus::disconnected);
        QVERIFY(QTest::qWaitFor([&] { return m_server.calls.size() == 1 && notice.shownId() == m_server.calls.first().id; }, 5000));
        QDBusMessage signal = QDBusMessage::createSignal(u"/org/freedesktop/Notifications"_qs,
                                                         u"org.freedesktop.Notifications"_qs, u"ActionInvoked"_qs);
        signal << uint(12345) << u"default"_qs; // someone else's notice: not ours to answer
        // Heard here once the notice's own receiver has it too: the same message, the same dispatch.
        ActionProbe probe;
        QVERIFY(QDBusConnection::sessionBus().connect(QString(), u"/org/freedesktop/Notifications"_qs,
                                                      u"org.freedesktop.Notifications"_qs, u"ActionInvoked"_qs, &probe,
                                                      SLOT(action(uint,QString))));
        QVERIFY(serverConnection().send(signal));
        QVERIFY(QTest::qWaitFor([&] { return probe.ids.contains(12345u); }, 5000));
        QCoreApplication::processEvents();
        QVERIFY(!delegate.panelVisible());
        signal.setArguments({m_server.calls.first().id, u"default"_qs});
        QVERIFY(serverConnection().send(signal));
        QVERIFY(QTest::qWaitFor([&] { return delegate.panelVisible(); }, 5000));
    }

    // No notification service on the desktop: the drop is still handled, nothing hangs or breaks.
    void noServiceNoHarm() {
        QVERIFY(serve(false));
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate delegate(env.defaults(), facility, noTray());
        DropNotice notice(delegate, QDBusConnection::sessionBus());
        delegate.launch();
        QVERIFY(up(facility, delegate));
        facility.setStatus(VpnStatus::disconnected);
        QVERIFY(QTest::qWaitFor([&] { return delegate.state().status() == ConnectionStatus::idle; }, 5000));
        QTest::qWait(300);
        QVERIFY(m_server.calls.isEmpty());
        QVERIFY(serve(true));
    }
};

QTEST_MAIN(DropNoticeTest)
#include "drop_notice_test.moc"
