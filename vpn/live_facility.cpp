#include "vpn/live_facility.h"

LiveFacility::LiveFacility(QString name, QObject* parent) : VpnFacility(parent), m_name(std::move(name)) {}

QCoro::Task<std::optional<Error>> LiveFacility::fetchLastDisconnectError() {
    // A copy on purpose: g++ 12 moves from a member named in co_return.
    const std::optional<Error> copy = m_lastError;
    co_return copy;
}

void LiveFacility::setStatus(VpnStatus status) {
    if (status == m_status) return;
    m_status = status;
    Q_EMIT statusChanged();
}

quint64 LiveFacility::beginAttempt() {
    m_lastError.reset();
    m_userStop = false;
    return ++m_attempt;
}

void LiveFacility::noteEnd(const std::optional<Error>& why) {
    if (!m_userStop && !m_lastError) m_lastError = why;
}

std::optional<Error> LiveFacility::storedProblem(bool stillThere) const {
    if (!m_stored || !m_stored->protocolConfiguration || !stillThere)
        return Error{Error::Kind::Rejected, QStringLiteral("Kayıtlı bir VPN profili yok.")};
    if (!m_stored->isEnabled) return Error{Error::Kind::Rejected, QStringLiteral("VPN profili etkin değil.")};
    return std::nullopt;
}
