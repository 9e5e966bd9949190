#include "support/netns_pair.h"

#include "support/await.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QTest>

Run run(const QString& program, const QStringList& args, int limitMs, const QStringList& extraEnv) {
    QProcess p;
    if (!extraEnv.isEmpty()) p.setEnvironment(QProcess::systemEnvironment() + extraEnv);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.closeWriteChannel();
    Run r;
    if (!p.waitForStarted(limitMs)) return r;
    // The event loop runs meanwhile: the command may need an answer from this very process (our
    // secret agent, when nmcli turns the tunnel on).
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, limitMs)) {
        p.kill();
        p.waitForFinished(5'000);
        r.output = p.readAll();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = p.readAll();
    return r;
}

bool waitForStatus(VpnFacility& facility, VpnStatus wanted, QList<VpnStatus>* seen, int limitMs) {
    QObject ctx;
    if (seen) QObject::connect(&facility, &VpnFacility::statusChanged, &ctx, [&] { seen->append(facility.status()); });
    return QTest::qWaitFor([&] { return facility.status() == wanted; }, limitMs);
}

void leaveNothing(VpnFacility& facility) {
    if (facility.status() != VpnStatus::disconnected && facility.status() != VpnStatus::invalid) {
        facility.stopTunnel();
        waitForStatus(facility, VpnStatus::disconnected);
    }
    (void)awaitTask(facility.remove(), 30'000);
}

NetnsPair::NetnsPair(QString script, QString dir, QString envFile, QStringList upEnv)
    : m_script(std::move(script)), m_dir(std::move(dir)), m_envFile(std::move(envFile)), m_upEnv(std::move(upEnv)) {}

NetnsPair::~NetnsPair() {
    if (m_up) run(QStringLiteral("bash"), {m_script, QStringLiteral("down"), m_dir});
}

Run NetnsPair::up(int limitMs) {
    // The script ties the namespaces' life to ours: they go when this process does.
    Run r = run(QStringLiteral("bash"),
                {m_script, QStringLiteral("up"), m_dir, QString::number(QCoreApplication::applicationPid())}, limitMs,
                m_upEnv);
    if (r.exitCode != 0) return r;
    m_up = true;
    if (!load()) return Run{-1, "no environment file " + QFile::encodeName(m_dir + QLatin1Char('/') + m_envFile)};
    return r;
}

bool NetnsPair::load() {
    QFile envFile(m_dir + QLatin1Char('/') + m_envFile);
    if (!envFile.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : envFile.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0) m_env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return true;
}

Run NetnsPair::inClient(const QStringList& command, int limitMs) const {
    return run(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), env("NS_CLIENT")} + command,
               limitMs);
}

bool NetnsPair::tunnelAddressAnswers() const {
    return inClient({QStringLiteral("ping"), QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-W"),
                     QStringLiteral("2"), env("TUNNEL_ADDR")})
               .exitCode
        == 0;
}

WireReport NetnsPair::probeWire(const QString& resolvConf) const {
    const QString probe = QFileInfo(env("WIRE_PY")).absolutePath() + QStringLiteral("/wire-probe.sh");
    QStringList args{probe, m_dir};
    if (!resolvConf.isEmpty()) args.append(resolvConf);
    const Run r = run(QStringLiteral("bash"), args, 60'000);
    WireReport report;
    report.details = r.output;
    const QByteArray first = r.output.left(r.output.indexOf('\n'));
    for (const QByteArray& field : first.split(' ')) {
        const int eq = field.indexOf('=');
        if (eq < 0) continue;
        const QByteArray k = field.left(eq);
        const QString v = QString::fromUtf8(field.mid(eq + 1));
        if (k == "v4") report.v4 = v;
        else if (k == "v6") report.v6 = v;
        else if (k == "dns") report.dns = v;
        else if (k == "other") report.other = v.toInt();
    }
    return report;
}
