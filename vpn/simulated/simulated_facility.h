#pragma once

#include "platform/clock.h"
#include "vpn/vpn_facility.h"

#include <QList>

#include <memory>

// An in-process VPN facility for the demo and tests. It keeps a stored profile apart from the
// working one, walks scripted status sequences on a Clock, and can be told to refuse any step.
class SimulatedFacility final : public VpnFacility {
    Q_OBJECT
public:
    struct Step {
        VpnStatus status;
        qint64 afterMs; // after the previous step
    };

    explicit SimulatedFacility(Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~SimulatedFacility() override;

    QCoro::Task<Result<void>> load() override;
    QCoro::Task<Result<void>> save() override;
    QCoro::Task<Result<void>> remove() override;
    Result<void> startTunnel() override;
    void stopTunnel() override;
    QCoro::Task<std::optional<Error>> fetchLastDisconnectError() override;
    VpnStatus status() const override { return m_status; }
    QString backendName() const override { return QStringLiteral("simulated"); }

    // Script. A start walks startSteps (default: connecting at once, connected after 600 ms);
    // a stop walks stopSteps (default: disconnecting at once, disconnected after 150 ms).
    QList<Step> startSteps{{VpnStatus::connecting, 0}, {VpnStatus::connected, 600}};
    QList<Step> stopSteps{{VpnStatus::disconnecting, 0}, {VpnStatus::disconnected, 150}};
    // Scripts for the next starts, one each, before falling back to startSteps.
    QList<QList<Step>> nextStarts;
    std::optional<Error> loadError, saveError, removeError, startError;
    std::optional<Error> disconnectError;
    // Completes each load/save/remove/fetch after this long (0 = on the next event-loop turn).
    qint64 operationDelayMs = 0;

    // What the system holds, as a later load would read it.
    std::optional<VpnProfile> storedProfile;

    // Changes the status as the system would on its own (another program, a dropped link).
    // With notify false the change is silent, as a status read between notifications would see it.
    void setStatus(VpnStatus status, bool notify = true);
    // Runs a status sequence as if the system did it.
    void play(const QList<Step>& steps);

    int loads = 0, saves = 0, removes = 0, starts = 0, stops = 0;

private:
    QCoro::Task<> pause();
    // Waits as a platform call would; then how the call ends if not as asked: the facility gone
    // meanwhile, or the error the script set for it.
    QCoro::Task<std::optional<Error>> settle(std::optional<Error> SimulatedFacility::*scripted);
    Clock& m_clock;
    VpnStatus m_status = VpnStatus::disconnected;
    QList<Step> m_pending;
    std::unique_ptr<ClockTimer> m_stepTimer;
    void runNextStep();
};
