// A simulated day of an idle, signed-in program: the state core on a manual clock against the
// stand-in service. Counts every timer wake-up and every request, to compare with what the refresh
// timers ask for (one tick every 30 s, an update check every 6 h).
//   kestrava-bench-idle SCENARIO.json [HOURS]
#include "platform/defaults_keys.h"
#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/manual_clock.h"
#include "support/service_fixture.h"
#include "support/test_env.h"
#include "vpn/keychain/memory_keychain.h"
#include "vpn/simulated/simulated_facility.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <cstdio>

namespace {

// Every timer made through it counts its timeouts.
class CountingClock final : public Clock {
public:
    std::unique_ptr<ClockTimer> createTimer() override {
        auto t = inner.createTimer();
        QObject::connect(t.get(), &ClockTimer::timeout, [this] { ++wakeUps; });
        return t;
    }
    qint64 nowMs() const override { return inner.nowMs(); }
    ManualClock inner;
    long wakeUps = 0;
};

// Lets loopback replies land until the predicate holds or a second of real time has gone.
bool settle(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: kestrava-bench-idle SCENARIO.json [HOURS]\n", stderr);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) return 2;
    const QJsonObject scenario = QJsonDocument::fromJson(file.readAll()).object();
    const int hours = argc > 2 ? std::max(1, std::atoi(argv[2])) : 24;
    DevService service;
    if (!startServiceForProcess(service, scenario)) return 1;

    TestEnv env;
    const QJsonObject account = scenario.value(QStringLiteral("accounts")).toArray().at(0).toObject();
    (void)env.defaults().setString(DefaultsKeys::token, account.value(QStringLiteral("token")).toString());
    (void)env.defaults().setString(DefaultsKeys::email, account.value(QStringLiteral("email")).toString());

    CountingClock clock;
    SimulatedFacility facility(clock.inner);
    MemoryKeychain keychain;
    AppState::Environment e;
    e.clock = &clock;
    e.facility = &facility;
    e.keychain = &keychain;
    e.openUrl = [](const QUrl&) {};
    long notices = 0;
    AppState state(env.defaults(), std::move(e));
    QObject::connect(&state, &AppState::noticeChanged, [&] { ++notices; });
    settle([&] { return !state.servers().isEmpty() && notices > 0; });

    // Each tick ends with the notices; wait for them before the next one.
    const long ticks = hours * 3600L / 30;
    long late = 0;
    const long wakeUpsAtStart = clock.wakeUps;
    for (long i = 0; i < ticks; ++i) {
        const long before = notices;
        clock.inner.advance(30'000);
        if (!settle([&] { return notices > before; })) ++late;
    }
    settle([] { return false; }); // the last replies
    QMap<QString, long> byPath;
    const QJsonArray requests = service.requests();
    for (const QJsonValue& r : requests) byPath[r[QStringLiteral("path")].toString()] += 1;
    QJsonObject paths;
    for (auto it = byPath.cbegin(); it != byPath.cend(); ++it) paths.insert(it.key(), qint64(it.value()));
    const QJsonObject out{{QStringLiteral("hours"), hours},
                          {QStringLiteral("wakeUps"), qint64(clock.wakeUps - wakeUpsAtStart)},
                          {QStringLiteral("expectedWakeUps"), qint64(ticks + hours / 6)},
                          {QStringLiteral("requests"), qint64(requests.size())},
                          {QStringLiteral("byPath"), paths},
                          {QStringLiteral("lateTicks"), qint64(late)}};
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    return 0;
}
