// Not a test by itself: networkmanager_desktop_test runs it as an ordinary desktop user, since a process
// cannot drop to another user and come back. It installs the profile, connects, waits for the stop
// file, disconnects and removes the profile, printing one line per step.
//   nm_user_probe BUS GATEWAY GATEWAY_ID PSK STOP_FILE
#include "vpn/keychain/memory_keychain.h"
#include "vpn/networkmanager/networkmanager_facility.h"
#include "vpn/vpn_controller.h"

#include "support/await.h"
#include "support/netns_pair.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTest>

#include <cstdio>

namespace {

void say(const QString& line) {
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString outcome(const Result<void>& r) { return r.ok() ? QStringLiteral("ok") : r.error().message; }

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 6) {
        say(QStringLiteral("usage: nm_user_probe BUS GATEWAY GATEWAY_ID PSK STOP_FILE"));
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(a.at(1), QStringLiteral("probe"));
    if (!bus.isConnected()) {
        say(QStringLiteral("bus: ") + bus.lastError().message());
        return 2;
    }
    MemoryKeychain keychain;
    NetworkManagerFacility facility(bus, secretResolver(keychain));
    const Result<void> installed = awaitTask(VPNController::install(facility, keychain, a.at(2), a.at(3), a.at(4)));
    say(QStringLiteral("install: ") + outcome(installed));
    if (!installed) return 3;
    say(QStringLiteral("path: ") + facility.connectionPath());
    const Result<void> started = awaitTask(VPNController::start(facility, Clock::system()));
    say(QStringLiteral("start: ") + outcome(started));
    if (!started) {
        (void)awaitTask(facility.remove());
        return 4;
    }
    say(QStringLiteral("connected"));
    const bool told = QTest::qWaitFor([&] { return QFile::exists(a.at(5)); }, 120'000);
    VPNController::stop(facility);
    const bool down = waitForStatus(facility, VpnStatus::disconnected);
    say(QStringLiteral("stop: ") + (down ? QStringLiteral("ok") : QStringLiteral("still %1").arg(int(facility.status()))));
    const Result<void> removed = awaitTask(facility.remove());
    say(QStringLiteral("remove: ") + outcome(removed));
    return told && down && removed ? 0 : 5;
}
