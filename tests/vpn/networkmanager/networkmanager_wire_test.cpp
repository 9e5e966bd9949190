// What leaves the client's link while our NetworkManager VPN is up, and after it went down in each way
// it can: a ping to an outside host of each family and a name lookup through the resolv.conf that
// NetworkManager writes, watched on the wire (wire-probe.sh). One set-up per kind of gateway: IPv4
// pool only, and dual-stack. Needs root; skips elsewhere.
#include "vpn/keychain/memory_keychain.h"
#include "vpn/networkmanager/networkmanager_facility.h"
#include "vpn/vpn_controller.h"

#include "support/await.h"
#include "support/netns_pair.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

const QString pairScript = QStringLiteral(KESTRAVA_NETNS_DIR "/nm-pair.sh");

struct Program {
    std::unique_ptr<QDBusConnection> bus;
    MemoryKeychain keychain;
    std::unique_ptr<NetworkManagerFacility> facility;
    QString busName;

    explicit Program(const QString& address, const QString& name) : busName(name) {
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, name));
        facility = std::make_unique<NetworkManagerFacility>(*bus, secretResolver(keychain));
    }
    ~Program() {
        facility.reset();
        bus.reset();
        QDBusConnection::disconnectFromBus(busName);
    }
    Result<void> connect(const NetnsPair& p, const QString& secret) {
        const Result<void> installed =
            awaitTask(VPNController::install(*facility, keychain, p.env("GW_ADDR"), p.env("GW_ID"), secret), 30'000);
        if (!installed) return installed;
        return awaitTask(VPNController::start(*facility, Clock::system()), 40'000);
    }
};

// The program in a process of its own, so that it can be killed with -9 while connected: started
// with KESTRAVA_WIRE_HOLD set, it reads the key on standard input, connects, says "connected" and waits.
int holdTunnel(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    char line[256] = {};
    if (!std::fgets(line, sizeof line, stdin)) return 2;
    NetnsPair p(pairScript, qEnvironmentVariable("KESTRAVA_WIRE_DIR"), QStringLiteral("nm.env"));
    if (!p.load()) return 3;
    Program program(p.env("BUS"), QStringLiteral("kestrava-wire-hold"));
    const Result<void> up = program.connect(p, QString::fromUtf8(line).trimmed());
    if (!up) {
        std::fprintf(stderr, "%s\n", qPrintable(up.error().message));
        return 4;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    QTest::qWait(60'000);
    return 5;
}

} // namespace

class NetworkManagerWireTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<NetnsPair> m_v4Only;
    std::unique_ptr<NetnsPair> m_dualStack;

    NetnsPair& pair(const QString& gateway) { return gateway == QLatin1String("v4-only") ? *m_v4Only : *m_dualStack; }

    // NetworkManager's resolv.conf, as /etc/resolv.conf links to it on a desktop.
    static QString resolvConf(const NetnsPair& p) {
        QFile pid(p.dir() + QStringLiteral("/nm/nm.pid"));
        if (!pid.open(QIODevice::ReadOnly)) return {};
        return QStringLiteral("/proc/%1/root/run/NetworkManager/resolv.conf").arg(QString::fromLatin1(pid.readAll().trimmed()));
    }

private Q_SLOTS:
    void initTestCase() {
        if (::geteuid() != 0) QSKIP("needs root: creates network namespaces and runs NetworkManager");
        QVERIFY(m_dir.isValid());
        m_v4Only = std::make_unique<NetnsPair>(pairScript, m_dir.path() + QStringLiteral("/v4-only"), QStringLiteral("nm.env"),
                                               QStringList{QStringLiteral("WIRE=yes")});
        m_dualStack = std::make_unique<NetnsPair>(
            pairScript, m_dir.path() + QStringLiteral("/dual-stack"), QStringLiteral("nm.env"),
            QStringList{QStringLiteral("WIRE=yes"), QStringLiteral("GW_IPV6=yes"), QStringLiteral("PAIR_TAG=d")});
        for (NetnsPair* p : {m_v4Only.get(), m_dualStack.get()}) {
            const Run up = p->up(60'000);
            if (up.exitCode == 77)
                QSKIP(qPrintable(QStringLiteral("cannot run NetworkManager in a namespace here: %1")
                                     .arg(QString::fromUtf8(up.output).trimmed())));
            QVERIFY2(up.exitCode == 0, up.output.constData());
            // Without a tunnel everything goes in clear, and the probe sees it: it can tell a leak.
            const WireReport before = p->probeWire(resolvConf(*p));
            QVERIFY2(before.row() == QLatin1String("v4=clear v6=clear dns=clear"), before.details.constData());
        }
    }

    void cleanupTestCase() {
        m_v4Only.reset();
        m_dualStack.reset();
    }

    void trafficOnTheWire_data() {
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("expected");
        for (const QString& gateway : {QStringLiteral("v4-only"), QStringLiteral("dual-stack")}) {
            const QString up = gateway == QLatin1String("v4-only") ? QStringLiteral("v4=tunnel v6=blocked dns=tunnel")
                                                                   : QStringLiteral("v4=tunnel v6=tunnel dns=tunnel");
            const QString restored = QStringLiteral("v4=clear v6=clear dns=clear");
            auto row = [&](const char* event, const QString& expected) {
                QTest::addRow("%s, %s", qPrintable(gateway), event) << gateway << QString::fromLatin1(event) << expected;
            };
            row("connected", up);
            row("disconnected", restored);
            row("program killed", up);
            // A restarted NetworkManager forgets the VPN while its charon keeps the SA: the tunnel still
            // carries traffic (and our IPv6 route, on the plugin's device, still blocks), but the new
            // resolv.conf names the user's resolver again, reached through the tunnel.
            QString orphaned = up;
            orphaned.replace(QLatin1String("dns=tunnel"), QLatin1String("dns=user"));
            row("NetworkManager restarted", orphaned);
            // Once that charon ends too, nothing of the tunnel is left: nothing blocked, nothing redirected.
            row("plugin ended", restored);
        }
    }
    void trafficOnTheWire() {
        QFETCH(QString, gateway);
        QFETCH(QString, event);
        QFETCH(QString, expected);
        NetnsPair& p = pair(gateway);
        auto program = std::make_unique<Program>(p.env("BUS"), QStringLiteral("kestrava-wire"));

        if (event == QLatin1String("program killed")) {
            QProcess held;
            QStringList env = QProcess::systemEnvironment();
            env << QStringLiteral("KESTRAVA_WIRE_HOLD=1") << QStringLiteral("KESTRAVA_WIRE_DIR=") + p.dir();
            held.setEnvironment(env);
            held.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(held.waitForStarted());
            held.write(p.env("PSK").toUtf8() + '\n');
            held.closeWriteChannel();
            QByteArray out;
            QVERIFY2(QTest::qWaitFor([&] { out += held.readAllStandardOutput();
                                           return out.contains("connected") || held.state() == QProcess::NotRunning; }, 40'000)
                         && held.state() == QProcess::Running,
                     held.readAllStandardError().constData());
            ::kill(pid_t(held.processId()), SIGKILL);
            QVERIFY(held.waitForFinished(5'000));
            // The tunnel outlives the program, and the next start of it finds it up.
            QVERIFY(awaitTask(program->facility->load()).ok());
            QVERIFY(QTest::qWaitFor([&] { return program->facility->status() == VpnStatus::connected; }, 5'000));
        } else {
            const Result<void> up = program->connect(p, p.env("PSK"));
            QVERIFY2(up.ok(), qPrintable(up.ok() ? QString() : up.error().message));
        }

        if (event == QLatin1String("disconnected")) {
            VPNController::stop(*program->facility);
            QVERIFY(waitForStatus(*program->facility, VpnStatus::disconnected));
        } else if (event == QLatin1String("NetworkManager restarted") || event == QLatin1String("plugin ended")) {
            const Run restart = run(QStringLiteral("bash"), {pairScript, QStringLiteral("restart-nm"), p.dir()}, 60'000);
            QVERIFY2(restart.exitCode == 0, restart.output.constData());
            QVERIFY(QTest::qWaitFor([&] { return program->facility->status() != VpnStatus::connected; }, 20'000));
            if (event == QLatin1String("plugin ended")) {
                const Run stop = run(QStringLiteral("bash"), {pairScript, QStringLiteral("stop-plugin"), p.dir()}, 30'000);
                QVERIFY2(stop.exitCode == 0, stop.output.constData());
            }
        }
        // NetworkManager reports a change a moment before its charon and its DNS follow.
        QTest::qWait(1'000);

        // What a crash leaves goes with the dying process, a moment after it is gone: a few looks, bounded.
        WireReport seen;
        for (int look = 1; look <= 3; ++look) {
            seen = p.probeWire(resolvConf(p));
            if (seen.row() == expected && seen.other == 0) break;
            qInfo("look %d: %s", look, seen.details.constData());
            QTest::qWait(1'000);
        }
        qInfo("NetworkManager | %s | %s | %s", qPrintable(gateway), qPrintable(event), qPrintable(seen.row()));
        QVERIFY2(seen.row() == expected, seen.details.constData());
        QVERIFY2(seen.other == 0, seen.details.constData());

        // Leave no tunnel for the next row.
        if (program->facility->status() == VpnStatus::connected) {
            VPNController::stop(*program->facility);
            QVERIFY(waitForStatus(*program->facility, VpnStatus::disconnected));
        }
        if (event == QLatin1String("NetworkManager restarted")) {
            const Run stop = run(QStringLiteral("bash"), {pairScript, QStringLiteral("stop-plugin"), p.dir()}, 30'000);
            QVERIFY2(stop.exitCode == 0, stop.output.constData());
        }
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("KESTRAVA_WIRE_HOLD")) return holdTunnel(argc, argv);
    QCoreApplication app(argc, argv);
    NetworkManagerWireTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "networkmanager_wire_test.moc"
