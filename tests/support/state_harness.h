#pragma once

#include "state/app_state.h"
#include "support/manual_clock.h"
#include "vpn/keychain/memory_keychain.h"
#include "vpn/simulated/simulated_facility.h"

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

    // Runs the event loop, moving the manual clock by stepMs between turns, until pred holds.
    // Bounded by maxSteps turns; returns pred's last value.
    bool drive(const std::function<bool()>& pred, int maxSteps = 400, qint64 stepMs = 50);
    // Runs the event loop without moving the clock until pred holds (bounded by real time).
    static bool spin(const std::function<bool()>& pred, int limitMs = 10'000);
};

// Runs a task to its end while driving the harness (network on the event loop, clock by steps).
bool driveTask(StateHarness& h, QCoro::Task<>&& task, int maxSteps = 400);
