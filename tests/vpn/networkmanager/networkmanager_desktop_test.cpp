// NetworkManager as an ordinary desktop user meets it: polkit on, with the machine's own rules, and the
// program run as a user in an active local session who is in no administrators' group. Such a user may
// change their own connections and control the network, not the machine's connections. Needs root to
// set it up; skips elsewhere.
#include "vpn/keychain/memory_keychain.h"
#include "vpn/networkmanager/networkmanager_facility.h"
#include "vpn/vpn_controller.h"

#include "support/await.h"
#include "support/netns_pair.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

const QString pairScript = QStringLiteral(KESTRAVA_NETNS_DIR "/nm-pair.sh");
const QString desktopUser = QStringLiteral("nobody");

// The program's part, run as the desktop user (a process cannot drop to another user and come back):
// install, connect, wait for the stop file, disconnect and remove, one line per step.
//   networkmanager_desktop_test probe BUS GATEWAY GATEWAY_ID PSK STOP_FILE
int probe(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 7) return 2;
    const auto say = [](const QString& step, const Result<void>& r) {
        std::printf("%s: %s\n", qPrintable(step), qPrintable(r.ok() ? QStringLiteral("ok") : r.error().message));
        std::fflush(stdout);
    };
    QDBusConnection bus = QDBusConnection::connectToBus(a.at(2), QStringLiteral("probe"));
    MemoryKeychain keychain;
    NetworkManagerFacility facility(bus, secretResolver(keychain));
    const Result<void> installed = awaitTask(VPNController::install(facility, keychain, a.at(3), a.at(4), a.at(5)));
    say(QStringLiteral("install"), installed);
    if (!installed) return 3;
    const Result<void> started = awaitTask(VPNController::start(facility, Clock::system()));
    say(QStringLiteral("start"), started);
    if (!started) {
        (void)awaitTask(facility.remove());
        return 4;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    const bool told = QTest::qWaitFor([&] { return QFile::exists(a.at(6)); }, 120'000);
    VPNController::stop(facility);
    const bool down = waitForStatus(facility, VpnStatus::disconnected);
    say(QStringLiteral("stop"), down ? Result<void>() : Result<void>(Error{Error::Kind::Io, QStringLiteral("still up")}));
    const Result<void> removed = awaitTask(facility.remove());
    say(QStringLiteral("remove"), removed);
    return told && down && removed ? 0 : 5;
}

} // namespace

class NetworkManagerDesktopTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    NetnsPair m_pair{pairScript, m_dir.path() + QStringLiteral("/pair"), QStringLiteral("nm.env"),
                     {QStringLiteral("NM_DESKTOP_USER=") + desktopUser}};
    QString m_probe;

    QString env(const char* key) const { return m_pair.env(key); }
    QString stopFile() const { return m_dir.path() + QStringLiteral("/stop"); }

    // The probe as a process of the desktop user's session, or with `as` of another user outside it.
    void startProbe(QProcess& p, const QStringList& as = {}) {
        QFile::remove(stopFile());
        const QStringList args{env("BUS"), env("GW_ADDR"), env("GW_ID"), env("PSK"), stopFile()};
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (as.isEmpty()) p.start(QStringLiteral("bash"), QStringList{pairScript, QStringLiteral("as-user"), m_pair.dir(), m_probe, QStringLiteral("probe")} + args);
        else p.start(QStringLiteral("setpriv"), as + QStringList{m_probe, QStringLiteral("probe")} + args);
        QVERIFY(p.waitForStarted(10'000));
    }

    // Waits, bounded, until the probe printed a line starting with what; its whole output so far.
    static bool waitForLine(QProcess& p, const QByteArray& what, QByteArray& out, int limitMs) {
        return QTest::qWaitFor(
            [&] {
                out += p.readAll();
                for (const QByteArray& line : out.split('\n'))
                    if (line.startsWith(what)) return true;
                return p.state() == QProcess::NotRunning && (out += p.readAll(), false);
            },
            limitMs);
    }

    // Another local user, with no session.
    const QStringList otherUser = QStringLiteral("--reuid=1 --regid=1 --clear-groups").split(u' ');

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_dir.setAutoRemove(!qEnvironmentVariableIsSet("KESTRAVA_KEEP_TEST_DIR"));
        // The user reaches the bus socket and the stop file, nothing else here.
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0711) == 0);
        // A copy of this program where the user can run it, whatever the build folder's modes.
        m_probe = m_dir.path() + QStringLiteral("/probe");
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), m_probe));
        QVERIFY(QFile::setPermissions(m_probe, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));

        NETNS_PAIR_UP(m_pair, 60'000);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", env("BUS").toUtf8());
        // The set-up is what a desktop user has: their own connections yes, the machine's no.
        const Run permissions = run(QStringLiteral("bash"), QStringList{pairScript, QStringLiteral("as-user"), m_pair.dir()}
                                                                + QStringLiteral("nmcli -t general permissions").split(u' '));
        for (const char* granted : {"settings.modify.own:yes", "network-control:yes", "settings.modify.system:auth"})
            QVERIFY2(permissions.output.contains(QByteArray("org.freedesktop.NetworkManager.") + granted), permissions.output.constData());
    }

    // Install, connect, disconnect and remove with no administrator: the connection is the user's own,
    // and no other user sees it.
    void desktopUserConnectsWithoutAdministrator() {
        QProcess probe;
        // Whatever fails below, the probe is told to take its tunnel down and waited for.
        auto finish = qScopeGuard([&] {
            QFile(stopFile()).open(QIODevice::WriteOnly);
            if (!probe.waitForFinished(60'000)) probe.kill();
            probe.waitForFinished(5'000);
        });
        startProbe(probe);
        QByteArray out;
        const bool connected = waitForLine(probe, "connected", out, 90'000);
        QVERIFY2(connected, out.constData());
        QVERIFY(out.contains("start: ok"));
        QVERIFY(m_pair.tunnelAddressAnswers());

        const Run owner = run(QStringLiteral("nmcli"), QStringLiteral("-g connection.permissions connection show Kestrava").split(u' '));
        QCOMPARE(owner.output.trimmed(), QByteArray("user\\:") + desktopUser.toUtf8()); // -g escapes the colon
        // Another local user's network menu does not list it.
        const QByteArray others = run(QStringLiteral("setpriv"), otherUser + QStringLiteral("nmcli -t -f NAME connection show").split(u' ')).output;
        QVERIFY2(!others.contains("Kestrava"), others.constData());

        QVERIFY(QFile(stopFile()).open(QIODevice::WriteOnly));
        QVERIFY(probe.waitForFinished(60'000));
        out += probe.readAll();
        QVERIFY2(probe.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("stop: ok") && out.contains("remove: ok"), out.constData());
        QVERIFY(!m_pair.tunnelAddressAnswers());
    }

    // A user with no session (as over ssh, or a service) is refused by polkit at once, and told so
    // in words, not as an unreachable NetworkManager.
    void refusalIsPlainAndQuick() {
        QProcess probe;
        startProbe(probe, otherUser);
        QVERIFY(probe.waitForFinished(60'000));
        const QByteArray out = probe.readAll();
        QCOMPARE(probe.exitCode(), 3);
        const QString text = QString::fromUtf8(out);
        QVERIFY2(text.contains(QStringLiteral("izin verilmedi")), out.constData());
        QVERIFY2(!text.contains(QStringLiteral("çalışıyor mu")), out.constData());
    }
};

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], "probe") == 0) return probe(argc, argv);
    QCoreApplication app(argc, argv);
    NetworkManagerDesktopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "networkmanager_desktop_test.moc"
