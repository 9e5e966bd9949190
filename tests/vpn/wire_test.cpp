// What leaves the client's link while our tunnel is up, through our charon or through NetworkManager,
// and after it went down in each way it can: a ping to an outside host of each family and a name
// lookup, watched on the wire (wire-probe.sh), for a gateway with an IPv4 pool only and a dual-stack one.
// Needs root; skips elsewhere.
#include "vpn/keychain/memory_keychain.h"
#include "vpn/networkmanager/networkmanager_facility.h"
#include "vpn/strongswan/strongswan_facility.h"
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
#include <map>
#include <memory>
#include <unistd.h>

namespace {

const QString charon = QStringLiteral("charon");
const QString nm = QStringLiteral("NetworkManager");

QString pairScript(const QString& backend) {
    return QStringLiteral(KESTRAVA_NETNS_DIR) + (backend == charon ? QStringLiteral("/ikev2-pair.sh") : QStringLiteral("/nm-pair.sh"));
}
QString envFile(const QString& backend) { return backend == charon ? QStringLiteral("pair.env") : QStringLiteral("nm.env"); }

// The program as each backend has it: the facility, its keychain and, for NetworkManager, its bus.
struct Program {
    MemoryKeychain keychain;
    QString busName;
    std::unique_ptr<QDBusConnection> bus;
    std::unique_ptr<VpnFacility> facility;

    Program(const QString& backend, const NetnsPair& p, const QString& name) {
        if (backend == charon) {
            auto f = std::make_unique<StrongSwanFacility>(p.env("CLIENT_VICI"), p.dir() + QStringLiteral("/profile.json"),
                                                          secretResolver(keychain));
            f->setUpdownScript(QStringLiteral(KESTRAVA_UPDOWN_SCRIPT));
            facility = std::move(f);
            return;
        }
        busName = name;
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(p.env("BUS"), name));
        facility = std::make_unique<NetworkManagerFacility>(*bus, secretResolver(keychain));
    }
    ~Program() {
        facility.reset();
        bus.reset();
        if (!busName.isEmpty()) QDBusConnection::disconnectFromBus(busName);
    }
    Result<void> connect(const NetnsPair& p, const QString& secret) {
        const Result<void> installed = awaitTask(
            VPNController::install(*facility, keychain, p.env("GW_ADDR"), p.env("GW_ID"), secret), 30'000);
        return installed ? awaitTask(VPNController::start(*facility, Clock::system()), 40'000) : installed;
    }
};

// The program in a process of its own, so that it can be killed with -9 while connected: it reads the
// key on standard input, connects, says "connected" and waits to be killed.
int holdTunnel(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    char line[256] = {};
    const QString backend = qEnvironmentVariable("KESTRAVA_WIRE_HOLD");
    NetnsPair p(pairScript(backend), qEnvironmentVariable("KESTRAVA_WIRE_DIR"), envFile(backend));
    if (!std::fgets(line, sizeof line, stdin) || !p.load()) return 2;
    Program program(backend, p, QStringLiteral("kestrava-wire-hold"));
    const Result<void> up = program.connect(p, QString::fromUtf8(line).trimmed());
    if (!up) {
        std::fprintf(stderr, "%s\n", qPrintable(up.error().message));
        return 3;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    QTest::qWait(60'000);
    return 4;
}

} // namespace

class WireTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::map<QString, std::unique_ptr<NetnsPair>> m_pairs; // by "backend, gateway"; none: cannot run here
    QString m_cannot;

    // NetworkManager's resolv.conf, as /etc/resolv.conf links to it on a desktop; charon writes the real one.
    static QString resolvConf(const QString& backend, const NetnsPair& p) {
        QFile pid(p.dir() + QStringLiteral("/nm/nm.pid"));
        if (backend == charon || !pid.open(QIODevice::ReadOnly)) return {};
        return QStringLiteral("/proc/%1/root/run/NetworkManager/resolv.conf").arg(QString::fromLatin1(pid.readAll().trimmed()));
    }
    static bool ok(const Run& r) {
        if (r.exitCode != 0) qWarning("%s", r.output.constData());
        return r.exitCode == 0;
    }
    static bool script(const NetnsPair& p, const QString& backend, const char* verb, const QString& extra = {}) {
        QStringList args{pairScript(backend), QLatin1String(verb), p.dir()};
        if (!extra.isEmpty()) args << extra;
        return ok(run(QStringLiteral("bash"), args, 60'000));
    }

private Q_SLOTS:
    void initTestCase() {
        if (::geteuid() != 0) QSKIP("needs root: creates network namespaces, runs charon and NetworkManager");
        QVERIFY(m_dir.isValid());
        for (const QString& backend : {charon, nm})
            for (const QString& gateway : {QStringLiteral("v4-only"), QStringLiteral("dual-stack")}) {
                const QString key = backend + QStringLiteral(", ") + gateway;
                // Each set-up needs namespaces and links of its own names.
                const bool dual = gateway == QLatin1String("dual-stack");
                const QString tag = backend.left(1) + (dual ? u'd' : u'4');
                QStringList env{QStringLiteral("WIRE=yes"), QStringLiteral("PAIR_TAG=") + tag};
                if (dual) env << QStringLiteral("GW_IPV6=yes");
                auto p = std::make_unique<NetnsPair>(pairScript(backend), m_dir.path() + u'/' + tag, envFile(backend), env);
                const Run up = p->up(60'000);
                if (up.exitCode == 77) {
                    m_cannot += QString::fromUtf8(up.output);
                    continue;
                }
                QVERIFY2(up.exitCode == 0, up.output.constData());
                // Without a tunnel everything goes in clear, and the probe sees it: it can tell a leak.
                const WireReport before = p->probeWire(resolvConf(backend, *p));
                QVERIFY2(before.row() == QLatin1String("v4=clear v6=clear dns=clear"), before.details.constData());
                m_pairs[key] = std::move(p);
            }
    }

    void cleanupTestCase() { m_pairs.clear(); }

    void trafficOnTheWire_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("expected");
        const QString restored = QStringLiteral("v4=clear v6=clear dns=clear");
        for (const QString& backend : {charon, nm})
            for (const QString& gateway : {QStringLiteral("v4-only"), QStringLiteral("dual-stack")}) {
                const QString up = gateway == QLatin1String("v4-only") ? QStringLiteral("v4=tunnel v6=blocked dns=tunnel")
                                                                       : QStringLiteral("v4=tunnel v6=tunnel dns=tunnel");
                auto row = [&](const char* event, const QString& expected) {
                    QTest::addRow("%s, %s, %s", qPrintable(backend), qPrintable(gateway), event)
                        << backend << gateway << QString::fromLatin1(event) << expected;
                };
                row("connected", up);
                row("disconnected", restored);
                row("program killed", up);
                if (backend == charon) {
                    // The link lost (charon keeps the SA without a route) while the gateway forgets the
                    // tunnel: once the link is back the SA is found dead, and the facility starts it again.
                    row("link lost and back", up);
                    row("charon restarted", restored);
                    // Last: its resolve plugin's line stays in resolv.conf until the next tunnel comes and
                    // goes, so the lookup goes in clear to the gateway's resolver.
                    row("charon killed", restored);
                } else {
                    // A restarted NetworkManager forgets the VPN while its charon keeps the SA: traffic
                    // still goes through it, but the new resolv.conf names the user's resolver again.
                    row("NetworkManager restarted", QString(up).replace(QLatin1String("dns=tunnel"), QLatin1String("dns=user")));
                    // Once that charon ends too, nothing of the tunnel is left: nothing blocked or redirected.
                    row("plugin ended", restored);
                }
            }
    }
    void trafficOnTheWire() {
        QFETCH(QString, backend);
        QFETCH(QString, gateway);
        QFETCH(QString, event);
        QFETCH(QString, expected);
        const auto found = m_pairs.find(backend + QStringLiteral(", ") + gateway);
        if (found == m_pairs.end()) QSKIP(qPrintable(QStringLiteral("cannot set this up here: ") + m_cannot.trimmed()));
        NetnsPair& p = *found->second;
        auto program = std::make_unique<Program>(backend, p, QStringLiteral("kestrava-wire"));
        VpnFacility& f = *program->facility;

        if (event == QLatin1String("program killed")) {
            QProcess held;
            held.setEnvironment(QProcess::systemEnvironment() << QStringLiteral("KESTRAVA_WIRE_HOLD=") + backend
                                                              << QStringLiteral("KESTRAVA_WIRE_DIR=") + p.dir());
            held.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(held.waitForStarted());
            held.write(p.env("PSK").toUtf8() + '\n');
            held.closeWriteChannel();
            QByteArray out;
            QVERIFY2(QTest::qWaitFor([&] { out += held.readAllStandardOutput();
                                           return out.contains("connected") || held.state() == QProcess::NotRunning; }, 60'000)
                         && held.state() == QProcess::Running,
                     held.readAllStandardError().constData());
            ::kill(pid_t(held.processId()), SIGKILL);
            QVERIFY(held.waitForFinished(5'000));
            // The tunnel outlives the program, and the next start of it finds it up.
            QVERIFY(awaitTask(f.load()).ok());
            QVERIFY(QTest::qWaitFor([&] { return f.status() == VpnStatus::connected; }, 5'000));
        } else {
            const Result<void> up = program->connect(p, p.env("PSK"));
            QVERIFY2(up.ok(), qPrintable(up.ok() ? QString() : up.error().message));
        }

        if (event == QLatin1String("disconnected")) {
            VPNController::stop(f);
            QVERIFY(waitForStatus(f, VpnStatus::disconnected));
        } else if (event == QLatin1String("link lost and back")) {
            const QString link = p.env("CLIENT_IF");
            const auto inClient = [&](const QString& line) { return ok(p.inClient(line.split(u' '))); };
            const QStringList gwConf{QStringLiteral("STRONGSWAN_CONF=") + p.env("GW_CONF")};
            QVERIFY(inClient(QStringLiteral("ip link set %1 down").arg(link)));
            QVERIFY(ok(run(QStringLiteral("swanctl"), QStringLiteral("--terminate --ike rw --force").split(u' '), 30'000, gwConf)));
            // Its DELETE waits for the link in the neighbour queue; a gateway that forgot us sends none.
            QVERIFY(ok(run(QStringLiteral("ip"), {QStringLiteral("-n"), p.env("NS_GW"), QStringLiteral("neigh"),
                                                  QStringLiteral("flush"), QStringLiteral("all")})));
            QList<VpnStatus> seen;
            QObject watch;
            connect(&f, &VpnFacility::statusChanged, &watch, [&] { seen.append(f.status()); });
            QVERIFY(inClient(QStringLiteral("ip link set %1 up").arg(link)));
            QVERIFY(inClient(QStringLiteral("ip route replace default via %1").arg(p.env("GW_ADDR"))));
            // The link's IPv6 address and route went with it; later rows need both.
            QVERIFY(inClient(QStringLiteral("ip -6 addr replace %1/64 dev %2 nodad").arg(p.env("CLIENT_ADDR6"), link)));
            QVERIFY(QTest::qWaitFor([&] { return inClient(QStringLiteral("ip -6 route replace default via %1").arg(p.env("GW_ADDR6"))); },
                                    10'000));
            // Down first (the status says so), then up again without anyone asking.
            QVERIFY(QTest::qWaitFor(
                [&] { return seen.contains(VpnStatus::disconnected) && f.status() == VpnStatus::connected; }, 90'000));
        } else if (event.startsWith(charon)) {
            // The hook must have run before charon goes: one killed while its hook still runs leaves
            // what the hook does next (a gap too narrow to meet outside a test).
            QVERIFY(QTest::qWaitFor([&] {
                const Run table = p.inClient(QStringLiteral("ip -6 route show table 220").split(u' '));
                return table.output.contains("metric 4000000000") == (gateway == QLatin1String("v4-only"));
            }, 5'000));
            QVERIFY(script(p, backend, "restart-client", event == QLatin1String("charon killed") ? QStringLiteral("hard") : QString()));
            QList<VpnStatus> after;
            const bool down = waitForStatus(f, VpnStatus::disconnected, &after);
            QString told;
            for (const VpnStatus s : after) told += QString::number(int(s)) + u' ';
            QVERIFY2(down, qPrintable(QStringLiteral("status %1 after %2").arg(int(f.status())).arg(told)));
        } else if (event != QLatin1String("connected") && event != QLatin1String("program killed")) {
            QVERIFY(script(p, backend, "restart-nm"));
            QVERIFY(QTest::qWaitFor([&] { return f.status() != VpnStatus::connected; }, 20'000));
            if (event == QLatin1String("plugin ended")) QVERIFY(script(p, backend, "stop-plugin"));
        }

        // What a crash leaves goes a moment after the process, and NetworkManager reports a change a
        // moment before its charon and resolver follow: looks until it holds, bounded.
        WireReport seen;
        (void)QTest::qWaitFor([&] {
            seen = p.probeWire(resolvConf(backend, p));
            return seen.row() == expected && seen.other == 0;
        }, 15'000);
        QVERIFY2(seen.row() == expected, seen.details.constData());
        QVERIFY2(seen.other == 0, seen.details.constData());

        // Leave no tunnel, and nothing of charon's, for the next row.
        if (f.status() != VpnStatus::disconnected && f.status() != VpnStatus::invalid) {
            VPNController::stop(f);
            QVERIFY(waitForStatus(f, VpnStatus::disconnected));
        }
        if (backend == charon) (void)awaitTask(f.remove(), 30'000);
        if (event == QLatin1String("NetworkManager restarted")) QVERIFY(script(p, backend, "stop-plugin"));
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("KESTRAVA_WIRE_HOLD")) return holdTunnel(argc, argv);
    QCoreApplication app(argc, argv);
    WireTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "wire_test.moc"
