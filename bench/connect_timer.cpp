// Times startTunnel() to connected through the facility, round after round, and leaves the
// configuration loaded in charon so that swanctl can be timed on the very same connection.
//
//   kestrava-connect-timer VICI_SOCKET SERVER REMOTE_ID LOCAL_ID PSK ROUNDS
//
// Prints one line per round ("facility round N: X.XXX ms") and the median.
#include "vpn/strongswan/strongswan_facility.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

bool waitFor(StrongSwanFacility& f, VpnStatus wanted, int limitMs) {
    if (f.status() == wanted) return true;
    QEventLoop loop;
    QObject::connect(&f, &VpnFacility::statusChanged, &loop, [&] {
        if (f.status() == wanted || f.status() == VpnStatus::disconnected) loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return f.status() == wanted;
}

template <class T> T run(QCoro::Task<T>&& task) {
    std::optional<T> out;
    QEventLoop loop;
    auto body = [](QCoro::Task<T> t, std::optional<T>* out, QEventLoop* loop) -> QCoro::Task<> {
        out->emplace(co_await std::move(t));
        loop->quit();
    }(std::move(task), &out, &loop);
    if (!out) {
        QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!out) qFatal("no answer within 60 s");
    return std::move(*out);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 7) {
        std::fprintf(stderr, "usage: %s VICI_SOCKET SERVER REMOTE_ID LOCAL_ID PSK ROUNDS\n", argv[0]);
        return 2;
    }
    const QByteArray psk = args[5].toUtf8();
    const int rounds = args[6].toInt();
    QTemporaryDir home;
    StrongSwanFacility f(args[1], home.path() + QStringLiteral("/vpn-profile.json"),
                         [psk](QByteArray) -> QCoro::Task<std::optional<QByteArray>> {
                             std::optional<QByteArray> out = psk;
                             co_return out;
                         });
    VpnProfile profile;
    profile.isEnabled = true;
    profile.localizedDescription = QStringLiteral("Kestrava");
    IkeV2Protocol ike;
    ike.serverAddress = args[2];
    ike.remoteIdentifier = args[3];
    ike.localIdentifier = args[4];
    ike.sharedSecretReference = QByteArrayLiteral("measure");
    profile.protocolConfiguration = ike;
    f.profile() = profile;
    if (auto saved = run(f.save()); !saved) {
        std::fprintf(stderr, "save: %s\n", qPrintable(saved.error().message));
        return 1;
    }
    if (auto loaded = run(f.load()); !loaded) {
        std::fprintf(stderr, "load: %s\n", qPrintable(loaded.error().message));
        return 1;
    }

    std::vector<double> times;
    for (int i = 1; i <= rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (auto started = f.startTunnel(); !started) {
            std::fprintf(stderr, "start: %s\n", qPrintable(started.error().message));
            return 1;
        }
        if (!waitFor(f, VpnStatus::connected, 30'000)) {
            const auto why = run(f.fetchLastDisconnectError());
            std::fprintf(stderr, "round %d did not connect: %s\n", i, why ? qPrintable(why->message) : "no reason");
            return 1;
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        times.push_back(ms);
        std::printf("facility round %d: %.3f ms\n", i, ms);
        f.stopTunnel();
        if (!waitFor(f, VpnStatus::disconnected, 30'000)) {
            std::fprintf(stderr, "round %d did not disconnect\n", i);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) std::printf("facility median: %.3f ms\n", times[times.size() / 2]);
    return 0;
}
