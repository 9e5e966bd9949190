#include "support/state_harness.h"

#include "api/request.h"
#include "support/await.h"
#include "support/service_fixture.h"

#include <QCoreApplication>
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
    for (int i = 0; i < maxSteps && !pred(); ++i) {
        // Give loopback replies a moment, then let simulated time move.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(2);
        if (!pred()) clock.advance(stepMs);
    }
    return pred();
}

bool StateHarness::spin(const std::function<bool()>& pred, int limitMs) { return QTest::qWaitFor(pred, limitMs); }

Running startTask(QCoro::Task<>&& task) {
    auto done = std::make_shared<bool>(false);
    // No captures: the arguments live in the coroutine's frame.
    auto wrap = [](QCoro::Task<> t, std::shared_ptr<bool> flag) -> QCoro::Task<> {
        co_await std::move(t);
        *flag = true;
    };
    return Running{done, wrap(std::move(task), done)};
}

bool StateFixture::start() { return startServiceForProcess(service); }

bool StateFixture::reset() {
    env = std::make_unique<TestEnv>();
    h = std::make_unique<StateHarness>();
    state = h->make(env->defaults());
    return service.setScenario(basicScenario()) && service.clearRequests();
}

void StateFixture::clear() {
    state.reset();
    h.reset();
    env.reset();
}

void StateFixture::remake(bool startWork) {
    state.reset();
    state = h->make(env->restartDefaults(), startWork);
}

bool StateFixture::run(QCoro::Task<>&& task, int maxSteps) {
    const Running r = startTask(std::move(task));
    return h->drive([&] { return *r.done; }, maxSteps);
}

bool StateFixture::signIn() { return run(state->login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw"))) && state->token(); }

bool StateFixture::useReply(const char* method, const char* path, const QJsonObject& reply) {
    return service.setScenario(withReply(method, path, reply));
}

bool StateFixture::systemStatus(VpnStatus status) {
    bool seen = false;
    const auto marker = QObject::connect(&h->facility, &VpnFacility::statusChanged, &h->facility,
                                         [&] { seen = true; }, Qt::QueuedConnection);
    h->facility.setStatus(status);
    const bool ok = StateHarness::spin([&] { return seen; });
    QObject::disconnect(marker);
    return ok;
}

QStringList StateFixture::sent() {
    QStringList out = requestLines(service.requests());
    out.removeAll(QStringLiteral("GET /flush"));
    return out;
}

QStringList StateFixture::flush() {
    (void)awaitTask(API::send(QStringLiteral("/flush"), QStringLiteral("GET"), std::nullopt, QJsonObject{}), 30'000);
    return sent();
}
