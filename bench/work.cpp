// Workloads for the instruction-count benchmarks, each run under callgrind by scripts/bench.
//   make N FILE     writes a server list of N entries as the service sends it
//   read FILE       reads the file only (the baseline both below are measured against)
//   parse FILE      the floor: a bare QJsonDocument parse of the same bytes
//   decode FILE     the product: strict decoding of the list and choosing the best server
//   status N        N system status changes through AppState and the shell's icon choice
#include "api/records.h"
#include "app/hooks/measure.h"
#include "app/tray/tray_shell.h"
#include "platform/defaults_store.h"
#include "state/app_state.h"
#include "vpn/simulated/simulated_facility.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int make(int n, const QString& path) {
    static const char* const codes[] = {"TR", "DE", "NL", "US", "GB", "FR", "SE", "JP", "SG", "CA"};
    QJsonArray servers;
    for (int i = 0; i < n; ++i) {
        const QString code = QString::fromLatin1(codes[i % 10]);
        QJsonObject s{{QStringLiteral("id"), QStringLiteral("srv-%1").arg(i)},
                      {QStringLiteral("name"), QStringLiteral("Sunucu %1").arg(i)},
                      {QStringLiteral("country"), code},
                      {QStringLiteral("countryCode"), code},
                      {QStringLiteral("city"), QStringLiteral("Şehir %1").arg(i % 97)},
                      {QStringLiteral("load"), (i * 37) % 100},
                      {QStringLiteral("tier"), i % 3 ? QStringLiteral("FREE") : QStringLiteral("PLUS")}};
        if (i % 4) s.insert(QStringLiteral("pingMs"), 10 + (i * 13) % 190);
        servers.append(s);
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    f.write(QJsonDocument(QJsonObject{{QStringLiteral("servers"), servers}}).toJson(QJsonDocument::Compact));
    return 0;
}

int statusChanges(int n) {
    QTemporaryDir dir;
    DefaultsStore store(dir.filePath(QStringLiteral("defaults.json")));
    SimulatedFacility facility;
    TrayShell::Options options;
    options.tray = false;
    TrayShell shell(store, facility, options);
    shell.launch();
    long icons = 0;
    QObject::connect(&shell.state(), &AppState::statusChanged, [&] {
        // What the tray does on each change: the image for the new status.
        icons += !TrayShell::statusIcon(shell.state().status() == ConnectionStatus::connected).isNull();
    });
    // Each change asks for the addresses again; the next change waits for that reply, as a system
    // changing its status at a human pace would, so replies never pile up.
    long replies = 0;
    QObject::connect(&shell.state(), &AppState::exitIpChanged, [&] { replies += shell.state().exitIp().has_value(); });
    QObject::connect(&shell.state(), &AppState::originalIpChanged, [&] { ++replies; });
    for (int turn = 0; turn < 100000 && replies == 0; ++turn) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (int i = 0; i < n; ++i) {
        const bool up = i % 2 == 0;
        const long before = replies;
        facility.setStatus(up ? VpnStatus::connected : VpnStatus::disconnected);
        const QString want = TrayShell::statusIconName(up);
        for (int turn = 0; turn < 100000 && (shell.currentIconName() != want || replies == before); ++turn)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (i + 1 == n / 2 || i + 1 == n) {
            std::printf("{\"changes\":%d,\"icons\":%ld,\"privateKiB\":%ld}\n", i + 1, icons, Measure::memory().privateKiB);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "status") {
        QApplication app(argc, argv);
        return statusChanges(argc > 2 ? std::atoi(argv[2]) : 1000);
    }
    if (argc < 3) {
        std::fputs("usage: kestrava-bench-work make N FILE | read FILE | parse FILE | decode FILE | status N\n", stderr);
        return 2;
    }
    if (mode == "make") return argc > 3 ? make(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3])) : 2;
    // Every mode makes the same state object, so the baseline takes its cost out of both.
    QTemporaryDir dir;
    DefaultsStore store(dir.filePath(QStringLiteral("defaults.json")));
    AppState::Environment env;
    env.startWork = false;
    AppState state(store, env);
    const QByteArray bytes = readAll(QString::fromLocal8Bit(argv[2]));
    if (mode == "read") {
        std::printf("{\"bytes\":%lld}\n", static_cast<long long>(bytes.size()));
        return 0;
    }
    if (mode == "parse") {
        const QJsonDocument doc = QJsonDocument::fromJson(bytes);
        std::printf("{\"servers\":%lld}\n", static_cast<long long>(doc.object().value(QStringLiteral("servers")).toArray().size()));
        return 0;
    }
    if (mode == "decode") {
        const Result<ServersResponse> r = ServersResponse::fromJson(bytes);
        if (!r.ok()) return 1;
        state.setServers(r.value().servers);
        const std::optional<Server> best = state.bestServer();
        std::printf("{\"servers\":%lld,\"best\":\"%s\"}\n", static_cast<long long>(state.servers().size()),
                    best ? qPrintable(best->id) : "");
        return 0;
    }
    return 2;
}
