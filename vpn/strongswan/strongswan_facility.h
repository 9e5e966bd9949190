#pragma once

#include "vpn/ike_profile.h"
#include "vpn/live_facility.h"
#include "vpn/strongswan/charon_status.h"
#include "vpn/strongswan/vici.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QStringList>

#include <chrono>
#include <optional>

namespace strongswan::detail {
// Lets coroutines wait for a one-off condition set elsewhere.
class Wakeup : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void fired();
};
} // namespace strongswan::detail

// The VPN facility over strongSwan's charon and its VICI socket.
//
// The profile lives in a per-user file and is pushed into charon (load-conn, load-shared) on save and
// again before each start, since charon forgets it when it restarts. Commands go over one connection;
// events (ike-updown, child-updown, rekeys, log) over a second; each initiate over a connection of its
// own, so that a stop can pass while charon is still trying to reach the gateway.
//
// charon being unreachable is not an error for load(): the stored profile is reported and the status is
// disconnected. save() then stores the file and succeeds; the configuration reaches charon on connect.
// startTunnel() is where an unreachable charon is reported. A file that cannot be read as a profile is
// moved aside (setAsidePath()) and load() succeeds without a profile.
class StrongSwanFacility final : public LiveFacility {
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds command{10'000};
        // How long one connection attempt may take before we stop waiting for the gateway.
        std::chrono::milliseconds attempt{30'000};
        // Graceful delete of the IKE_SA before charon drops it without the gateway's answer.
        std::chrono::milliseconds terminate{3'000};
    };

    explicit StrongSwanFacility(QString socketPath = defaultSocketPath(), QString profilePath = defaultProfilePath(),
                                SecretResolver resolver = {}, QObject* parent = nullptr);
    ~StrongSwanFacility() override;

    static QString defaultSocketPath();

    // What this user meets at charon's socket, without waiting: a unix socket connects or refuses at once.
    enum class SocketAccess { reachable, missing, refused, denied };
    static SocketAccess probeSocket(const QString& path);
    // vpn-profile.json in the program's per-user configuration folder.
    static QString defaultProfilePath();

    void setLimits(Limits limits) { m_limits = limits; }
    // The script charon runs as our CHILD_SA comes and goes (charon-updown.sh, installed with the
    // package): it blocks IPv6 while the gateway grants none. Not handed on, and the user told so, when
    // it is not there or when anyone but root could change it (see updown_hook.h).
    static QString defaultUpdownScript();
    void setUpdownScript(QString path) { m_updown = std::move(path); }
    QString profilePath() const { return m_profilePath; }
    QString setAsidePath() const { return m_setAside; }

    QCoro::Task<Result<void>> load() override;
    QCoro::Task<Result<void>> save() override;
    QCoro::Task<Result<void>> remove() override;
    Result<void> startTunnel() override;
    void stopTunnel() override;

private:
    void apply(strongswan::TunnelEvent event);
    QCoro::Task<Result<void>> ensureChannels();
    QCoro::Task<vici::Outcome<void>> openChannels();
    // How a command's success=no counts: as the failure, not at all (list-sas), or not when what it
    // would remove is not there.
    enum class Refusal { fails, ignored, unlessAbsent };
    QCoro::Task<Result<vici::Reply>> command(QByteArray name, vici::Section args, Refusal refusal = Refusal::fails);
    QCoro::Task<Result<void>> pushConfiguration(IkeProfile::Usable profile);
    QCoro::Task<Result<void>> withdrawConfiguration();
    QCoro::Task<Result<VpnStatus>> queryStatus();
    QCoro::Task<vici::Outcome<vici::Reply>> terminate(QByteArray ikeSelector, QByteArray value);
    QCoro::Task<> runStart(quint64 attempt, IkeProfile::Usable profile);
    QCoro::Task<> runStop(quint64 attempt);
    QCoro::Task<> confirmAfterRekey();
    void onEvent(const QByteArray& name, const vici::Section& message);
    void noteSa(const QByteArray& uniqueId);
    void terminateLeftover(QByteArray uniqueId);
    void onEventsLost(const vici::Failure& why);
    // A log line naming the reason of a drop that came without one.
    void takeLateReason();
    // After the path died under an up tunnel: start it again once the gateway can be reached.
    void armComeBack();
    void disarmComeBack();
    void tryComeBack();

    QString m_socketPath;
    QString m_profilePath;
    QString m_setAside;
    QString m_updown = defaultUpdownScript();
    SecretResolver m_resolver;
    Limits m_limits;

    QStringList m_recentLog;
    bool m_initiating = false; // an initiate of the current attempt awaits its reply
    // IKE_SAs of this attempt, and those of earlier ones whose late down events must not end this one.
    QSet<QByteArray> m_knownSas;
    QSet<QByteArray> m_retiredSas;

    // The tunnel was lost with its path (dead-peer detection or retransmits gave up) while the user had
    // it up; one start follows once the host has a route to the gateway again.
    bool m_comeBack = false;
    QSocketNotifier* m_networkWatch = nullptr;
    // charon sends its log after its events: a drop whose reason is not in yet may be told it until then.
    QDeadlineTimer m_lateReasonUntil;

    vici::Connection* m_commands = nullptr;
    vici::Connection* m_events = nullptr;
    bool m_opening = false;
    std::optional<Error> m_openError;
    strongswan::detail::Wakeup m_opened;
};
