#include "vpn/simulated/simulated_facility.h"

#include <QPointer>
#include <QTimer>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

SimulatedFacility::SimulatedFacility(Clock& clock, QObject* parent)
    : VpnFacility(parent), m_clock(clock), m_stepTimer(clock.createTimer()) {
    connect(m_stepTimer.get(), &ClockTimer::timeout, this, &SimulatedFacility::runNextStep);
}

SimulatedFacility::~SimulatedFacility() = default;

namespace {
// What an operation reports when the facility went away while it was under way.
Error gone() { return Error{Error::Kind::Io, QStringLiteral("VPN altyapısı kapatıldı")}; }
} // namespace

QCoro::Task<> SimulatedFacility::pause() {
    // Completion callbacks of a real facility never arrive inside the call that asked for them.
    if (operationDelayMs <= 0) {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(0);
        co_await timer;
        co_return;
    }
    auto timer = m_clock.createTimer();
    timer->start(std::chrono::milliseconds(operationDelayMs), false);
    co_await qCoro(timer.get(), &ClockTimer::timeout);
}

QCoro::Task<std::optional<Error>> SimulatedFacility::settle(std::optional<Error> SimulatedFacility::*scripted) {
    QPointer<SimulatedFacility> self(this);
    co_await pause();
    if (!self) co_return gone();
    // A copy: the script keeps its error for the next call.
    const std::optional<Error> e = this->*scripted;
    co_return e;
}

QCoro::Task<Result<void>> SimulatedFacility::load() {
    ++loads;
    if (const auto e = co_await settle(&SimulatedFacility::loadError)) co_return *e;
    m_profile = storedProfile.value_or(VpnProfile{});
    co_return Result<void>();
}

QCoro::Task<Result<void>> SimulatedFacility::save() {
    ++saves;
    const VpnProfile toStore = m_profile;
    if (const auto e = co_await settle(&SimulatedFacility::saveError)) co_return *e;
    storedProfile = toStore;
    co_return Result<void>();
}

QCoro::Task<Result<void>> SimulatedFacility::remove() {
    ++removes;
    if (const auto e = co_await settle(&SimulatedFacility::removeError)) co_return *e;
    if (!storedProfile) co_return Error{Error::Kind::Io, QStringLiteral("Kaldırılacak VPN profili yok")};
    storedProfile.reset();
    m_profile = VpnProfile{};
    co_return Result<void>();
}

Result<void> SimulatedFacility::startTunnel() {
    ++starts;
    if (startError) return *startError;
    if (!storedProfile || !storedProfile->protocolConfiguration || !storedProfile->isEnabled)
        return Error{Error::Kind::Io, QStringLiteral("VPN profili yüklü değil")};
    play(nextStarts.isEmpty() ? startSteps : nextStarts.takeFirst());
    return {};
}

void SimulatedFacility::stopTunnel() {
    ++stops;
    play(stopSteps);
}

QCoro::Task<std::optional<Error>> SimulatedFacility::fetchLastDisconnectError() {
    const std::optional<Error> e = disconnectError;
    co_await pause(); // touches nothing of ours afterwards: the facility may be gone by then
    co_return e;
}

void SimulatedFacility::setStatus(VpnStatus status, bool notify) {
    m_status = status;
    if (notify) Q_EMIT statusChanged();
}

void SimulatedFacility::play(const QList<Step>& steps) {
    m_stepTimer->stop();
    m_pending = steps;
    if (m_pending.isEmpty()) return;
    // A first step at 0 ms lands at once, as a system reports "connecting" right after a start.
    if (m_pending.first().afterMs <= 0) {
        runNextStep();
        return;
    }
    m_stepTimer->start(std::chrono::milliseconds(m_pending.first().afterMs), false);
}

void SimulatedFacility::runNextStep() {
    while (!m_pending.isEmpty()) {
        const Step step = m_pending.takeFirst();
        setStatus(step.status);
        if (m_pending.isEmpty()) return;
        if (m_pending.first().afterMs > 0) {
            m_stepTimer->start(std::chrono::milliseconds(m_pending.first().afterMs), false);
            return;
        }
    }
}
