#include "support/state_harness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <qcoro/qcorosignal.h>

StateHarness::StateHarness() { facility.startSteps = {{VpnStatus::connecting, 0}, {VpnStatus::connected, 200}}; }

std::unique_ptr<AppState> StateHarness::make(DefaultsStore& store, bool startWork) {
    AppState::Environment env;
    env.clock = &clock;
    env.facility = &facility;
    env.keychain = &keychain;
    env.openUrl = [this](const QUrl& url) { opened.append(url); };
    env.installUpdate = [this](Updater::Info) -> QCoro::Task<Result<void>> {
        ++installs;
        if (installDelayMs > 0) {
            auto timer = clock.createTimer();
            timer->start(std::chrono::milliseconds(installDelayMs), false);
            co_await qCoro(timer.get(), &ClockTimer::timeout);
        }
        co_return installResult;
    };
    env.startWork = startWork;
    return std::make_unique<AppState>(store, std::move(env));
}

bool StateHarness::drive(const std::function<bool()>& pred, int maxSteps, qint64 stepMs) {
    for (int i = 0; i < maxSteps; ++i) {
        if (pred()) return true;
        // Give loopback replies a moment, then let simulated time move.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(2);
        if (pred()) return true;
        clock.advance(stepMs);
    }
    return pred();
}

bool StateHarness::spin(const std::function<bool()>& pred, int limitMs) { return QTest::qWaitFor(pred, limitMs); }

bool driveTask(StateHarness& h, QCoro::Task<>&& task, int maxSteps) {
    bool done = false;
    auto wrapper = [&]() -> QCoro::Task<> {
        co_await std::move(task);
        done = true;
    };
    auto running = wrapper();
    return h.drive([&] { return done; }, maxSteps);
}
