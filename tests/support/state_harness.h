#pragma once

#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/manual_clock.h"
#include "support/test_env.h"
#include "vpn/keychain/memory_keychain.h"
#include "vpn/simulated/simulated_facility.h"

#include <QJsonObject>
#include <QList>
#include <QUrl>

#include <functional>
#include <memory>

// An AppState over the simulated facility, an in-memory keychain and a manual clock, with the
// link opener and the installer observable.
struct StateHarness {
    ManualClock clock;
    SimulatedFacility facility{clock};
    MemoryKeychain keychain;
    QList<QUrl> opened;
    int installs = 0;
    // What the next install reports; it completes when the clock passes installDelayMs.
    Result<void> installResult;
    qint64 installDelayMs = 0;

    StateHarness();
    std::unique_ptr<AppState> make(DefaultsStore& store, bool startWork = false);
    // Turns the event loop, moving the clock by stepMs between turns, until pred holds (at most maxSteps turns).
    bool drive(const std::function<bool()>& pred, int maxSteps = 400, qint64 stepMs = 50);
    // Turns the event loop without moving the clock until pred holds (bounded by real time).
    static bool spin(const std::function<bool()>& pred, int limitMs = 10'000);
};

// A task started and left running; done turns true when it ends.
struct Running {
    std::shared_ptr<bool> done;
    QCoro::Task<> task;
};
Running startTask(QCoro::Task<>&& task);

// The state tests' fixture: the stand-in service for the process, and per case a fresh home,
// harness and AppState on the basic scenario.
struct StateFixture {
    DevService service;
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<StateHarness> h;
    std::unique_ptr<AppState> state;

    bool start();                // initTestCase
    bool reset();                // init
    void clear();                // cleanup
    void remake(bool startWork); // a new AppState, as after a restart
    // Runs a task to its end while driving the harness.
    bool run(QCoro::Task<>&& task, int maxSteps = 400);
    bool signIn();
    bool useReply(const char* method, const char* path, const QJsonObject& reply);
    // Sets the system's tunnel status and returns once what listens to it (queued) has run.
    bool systemStatus(VpnStatus status);
    std::optional<QString> stored(const QString& key) const { return env->defaults().string(key); }
    // "METHOD /path" of each request the service got, in order, without flush()'s own.
    QStringList sent();
    // Sends a request of its own and waits for its answer, so what the state sent before has arrived.
    QStringList flush();
};
