// NetworkManager as an ordinary desktop user meets it: polkit on, with the machine's own rules, and the
// program run as a user in an active local session who is in no administrators' group. Such a user may
// change their own connections and control the network, not the machine's connections. Needs root to
// set it up; skips elsewhere.
#include "support/netns_pair.h"

#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString pairScript = QStringLiteral(KESTRAVA_NETNS_DIR "/nm-pair.sh");
const QString desktopUser = QStringLiteral("nobody");

} // namespace

class NetworkManagerDesktopTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    NetnsPair m_pair{pairScript, m_dir.path() + QStringLiteral("/pair"), QStringLiteral("nm.env")};
    QString m_probe;

    QString env(const char* key) const { return m_pair.env(key); }
    QString stopFile() const { return m_dir.path() + QStringLiteral("/stop"); }

    // The probe as a process of the desktop user's session, or with `as` of another user outside it.
    void startProbe(QProcess& p, const QStringList& as = {}) {
        QFile::remove(stopFile());
        const QStringList args{env("BUS"), env("GW_ADDR"), env("GW_ID"), env("PSK"), stopFile()};
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (as.isEmpty()) p.start(QStringLiteral("bash"), QStringList{pairScript, QStringLiteral("as-user"), m_pair.dir(), m_probe} + args);
        else p.start(QStringLiteral("setpriv"), as + QStringList{m_probe} + args);
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

    QByteArray nmcliAs(const QStringList& as, const QStringList& args) {
        return run(QStringLiteral("setpriv"), as + QStringList{QStringLiteral("nmcli")} + args).output;
    }

private Q_SLOTS:
    void initTestCase() {
        if (::geteuid() != 0) QSKIP("needs root: creates network namespaces, runs NetworkManager and polkitd");
        QVERIFY(m_dir.isValid());
        if (qEnvironmentVariableIsSet("KESTRAVA_KEEP_TEST_DIR")) {
            m_dir.setAutoRemove(false);
            qInfo("keeping %s", qPrintable(m_dir.path()));
        }
        // The user reaches the bus socket and the stop file, nothing else here.
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0711) == 0);
        // A copy of the probe where the user can run it, whatever the build folder's modes.
        m_probe = m_dir.path() + QStringLiteral("/nm_user_probe");
        QVERIFY(QFile::copy(QStringLiteral(KESTRAVA_USER_PROBE), m_probe));
        QVERIFY(QFile::setPermissions(m_probe, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));

        qputenv("NM_DESKTOP_USER", desktopUser.toUtf8());
        const Run up = m_pair.up(60'000);
        qunsetenv("NM_DESKTOP_USER");
        if (up.exitCode == 77)
            QSKIP(qPrintable(QStringLiteral("cannot run a desktop session with polkit here: %1")
                                 .arg(QString::fromUtf8(up.output).trimmed())));
        QVERIFY2(up.exitCode == 0, up.output.constData());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", env("BUS").toUtf8());
        // The set-up is what a desktop user has: their own connections yes, the machine's no.
        const Run permissions = run(QStringLiteral("bash"),
                                    {pairScript, QStringLiteral("as-user"), m_pair.dir(), QStringLiteral("nmcli"),
                                     QStringLiteral("-t"), QStringLiteral("general"), QStringLiteral("permissions")});
        QVERIFY2(permissions.output.contains("org.freedesktop.NetworkManager.settings.modify.own:yes"), permissions.output.constData());
        QVERIFY2(permissions.output.contains("org.freedesktop.NetworkManager.network-control:yes"), permissions.output.constData());
        QVERIFY2(permissions.output.contains("org.freedesktop.NetworkManager.settings.modify.system:auth"), permissions.output.constData());
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

        const Run owner = run(QStringLiteral("nmcli"), {QStringLiteral("-g"), QStringLiteral("connection.permissions"),
                                                        QStringLiteral("connection"), QStringLiteral("show"),
                                                        QStringLiteral("Kestrava")});
        QCOMPARE(owner.output.trimmed(), QByteArray("user\\:") + desktopUser.toUtf8()); // -g escapes the colon
        // Another local user's network menu does not list it.
        const QByteArray others = nmcliAs({QStringLiteral("--reuid=1"), QStringLiteral("--regid=1"), QStringLiteral("--clear-groups")},
                                          {QStringLiteral("-t"), QStringLiteral("-f"), QStringLiteral("NAME"),
                                           QStringLiteral("connection"), QStringLiteral("show")});
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
        startProbe(probe, {QStringLiteral("--reuid=1"), QStringLiteral("--regid=1"), QStringLiteral("--clear-groups")});
        QElapsedTimer timer;
        timer.start();
        QVERIFY(probe.waitForFinished(60'000));
        const QByteArray out = probe.readAll();
        qInfo("refused after %lld ms: %s", timer.elapsed(), out.constData());
        QCOMPARE(probe.exitCode(), 3);
        const QString text = QString::fromUtf8(out);
        QVERIFY2(text.contains(QStringLiteral("izin verilmedi")), out.constData());
        QVERIFY2(!text.contains(QStringLiteral("çalışıyor mu")), out.constData());
    }
};

QTEST_GUILESS_MAIN(NetworkManagerDesktopTest)

#include "networkmanager_desktop_test.moc"
