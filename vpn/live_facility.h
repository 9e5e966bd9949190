#pragma once

#include "vpn/vpn_facility.h"

#include <optional>

// What both facilities over a real system service keep alike: the stored profile a start uses, the
// status, the attempt that a stop or a newer start makes older work stand down from, whether the user
// asked for the end, and why the last attempt ended. The backends map their own events onto the status
// with their own tables and call these helpers; none of them keeps a copy of this bookkeeping.
class LiveFacility : public VpnFacility {
    Q_OBJECT
public:
    VpnStatus status() const final { return m_status; }
    QCoro::Task<std::optional<Error>> fetchLastDisconnectError() final;
    QString backendName() const final { return m_name; }

protected:
    LiveFacility(QString name, QObject* parent);

    // Announces a change; the same status again is no change.
    void setStatus(VpnStatus status);
    // Changes the status without announcing it, for a step whose next setStatus() announces where it ends.
    void presetStatus(VpnStatus status) { m_status = status; }

    // A new attempt: the last reason is forgotten and the user has not asked for a stop. Returns its number.
    quint64 beginAttempt();
    // Makes every running attempt stand down; returns the new number.
    quint64 retireAttempts() { return ++m_attempt; }
    quint64 attempt() const { return m_attempt; }
    bool isCurrent(quint64 attempt) const { return attempt == m_attempt; }

    void noteUserStop() { m_userStop = true; }
    bool userStopped() const { return m_userStop; }

    // The first end of an attempt says why; later ones, and ends the user asked for, add nothing.
    void noteEnd(const std::optional<Error>& why);
    // For failures of the attempt's own steps, which are always its reason.
    void setLastError(Error why) { m_lastError = std::move(why); }
    bool hasLastError() const { return m_lastError.has_value(); }

    // Why the stored profile cannot be started at all (none stored, or disabled), or nothing. A backend
    // whose system lost the profile meanwhile says so with stillThere false.
    std::optional<Error> storedProblem(bool stillThere = true) const;

    std::optional<VpnProfile> m_stored; // as last loaded or saved; what a start uses

private:
    QString m_name;
    VpnStatus m_status = VpnStatus::invalid;
    std::optional<Error> m_lastError;
    quint64 m_attempt = 0;
    bool m_userStop = false;
};
