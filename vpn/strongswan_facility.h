#pragma once

#include "vpn/vici_client.h"
#include "vpn/vpn_facility.h"

#include <QPointer>
#include <QSet>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace strongswan {

// The name of our connection, its IKE_SA, its CHILD_SA and its shared key inside charon.
inline const QByteArray connectionName = QByteArrayLiteral("kestrava");

// What happened to the tunnel, as far as the status cares.
enum class TunnelEvent {
    StartRequested, // startTunnel() passed its checks
    InitiateFailed, // charon's initiate reply said no, or the attempt ran out of time
    IkeUp,          // ike-updown up=yes
    IkeDown,        // ike-updown without up
    ChildUp,        // child-updown up=yes, or list-sas shows the CHILD_SA installed
    ChildDown,      // child-updown without up, or list-sas shows none installed
    Rekeyed,        // ike-rekey, child-rekey or ike-update (new keys or addresses)
    StopRequested,  // stopTunnel()
    TerminateDone,  // charon's terminate reply came back
    ServiceLost,    // the event connection to charon closed
};

// The status table. Only a CHILD_SA coming up means connected: an IKE_SA alone carries no traffic.
// "=" keeps the current status; invalid (no stored profile) is never left through this table.
//
//  event \ from     disconnected  connecting    connected     reasserting   disconnecting
//  StartRequested   connecting    =             =             =             connecting
//  InitiateFailed   =             disconnected  =             =             disconnected
//  IkeUp            connecting    =             =             =             =
//  IkeDown          =             disconnected  disconnected  disconnected  disconnected
//  ChildUp          connected     connected     =             connected     =
//  ChildDown        =             =             disconnected  disconnected  =
//  Rekeyed          =             =             reasserting   =             =
//  StopRequested    =             disconnecting disconnecting disconnecting =
//  TerminateDone    =             =             =             =             disconnected
//  ServiceLost      =             disconnected  disconnected  disconnected  disconnected
//
// Reasserting ends when list-sas, asked right after the rekey event, shows the new CHILD_SA (ChildUp)
// or none (ChildDown).
VpnStatus nextStatus(VpnStatus current, TunnelEvent event);

// The meaning of one VICI event for our connection; nothing when it concerns another one.
std::optional<TunnelEvent> classifyEvent(const QByteArray& event, const vici::Section& message);

// The status that list-sas answers (one list-sa message per IKE_SA) stand for.
VpnStatus statusFromSas(const std::vector<vici::Section>& sas);

// The readable reason an attempt or a tunnel ended, from charon's log lines for our IKE_SA (oldest
// first) and the error text of its reply. The detail holds a stable token (AUTHENTICATION_FAILED,
// NO_PROPOSAL_CHOSEN, PEER_NOT_RESPONDING, ...); the code the IKEv2 notify number where there is one.
Error describeFailure(const QStringList& logLines, const QString& errmsg, const QString& fallback);

// charon's proposal text for the parameters ("aes256-sha256-modp2048"), or why there is none.
Result<QByteArray> proposalFor(const IkeSaParameters& parameters, bool forIke);

// The load-conn message for a profile, or why the profile cannot be used.
Result<vici::Section> connectionMessage(const IkeV2Protocol& protocol);
// The load-shared message carrying the secret for the profile's identities.
vici::Section sharedSecretMessage(const IkeV2Protocol& protocol, const QByteArray& secret);

// The profile file: every field of the profile, the keychain reference in base64, never a secret.
QByteArray encodeProfile(const VpnProfile& profile);
Result<VpnProfile> decodeProfile(QByteArrayView data);

namespace detail {
// Lets coroutines wait for a one-off condition set elsewhere.
class Wakeup : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void fired();
};
} // namespace detail

} // namespace strongswan

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
class StrongSwanFacility final : public VpnFacility {
    Q_OBJECT
public:
    using SecretResolver = std::function<QCoro::Task<std::optional<QByteArray>>(QByteArray reference)>;

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
    // $XDG_CONFIG_HOME/kestrava/vpn-profile.json, or ~/.config/kestrava/vpn-profile.json.
    static QString defaultProfilePath();

    void setLimits(Limits limits) { m_limits = limits; }
    QString profilePath() const { return m_profilePath; }
    QString setAsidePath() const { return m_setAside; }

    QCoro::Task<Result<void>> load() override;
    QCoro::Task<Result<void>> save() override;
    QCoro::Task<Result<void>> remove() override;
    Result<void> startTunnel() override;
    void stopTunnel() override;
    QCoro::Task<std::optional<Error>> fetchLastDisconnectError() override;
    VpnStatus status() const override { return m_status; }
    QString backendName() const override { return QStringLiteral("strongswan"); }

private:
    void setStatus(VpnStatus status);
    void apply(strongswan::TunnelEvent event);
    bool canReachSocketNow() const;
    Result<void> writeProfileFile(const VpnProfile& profile);
    QCoro::Task<Result<void>> ensureChannels();
    QCoro::Task<Result<void>> openChannels();
    QCoro::Task<Result<void>> pushConfiguration(VpnProfile profile);
    QCoro::Task<Result<void>> withdrawConfiguration();
    QCoro::Task<Result<VpnStatus>> queryStatus();
    QCoro::Task<> runStart(quint64 attempt);
    QCoro::Task<> runStop(quint64 attempt);
    QCoro::Task<> confirmAfterRekey();
    void onEvent(const QByteArray& name, const vici::Section& message);
    void noteSa(const QByteArray& uniqueId);
    void terminateLeftover(QByteArray uniqueId);
    void onEventsLost(const QString& reason);

    QString m_socketPath;
    QString m_profilePath;
    QString m_setAside;
    SecretResolver m_resolver;
    Limits m_limits;

    std::optional<VpnProfile> m_stored; // as last loaded or saved; what a start uses
    VpnStatus m_status = VpnStatus::invalid;
    std::optional<Error> m_lastError;
    QStringList m_recentLog;
    quint64 m_attempt = 0; // a stop or a newer start makes older attempts stand down
    bool m_userStop = false;
    bool m_initiating = false; // an initiate of the current attempt awaits its reply
    // IKE_SAs of this attempt, and those of earlier ones whose late down events must not end this one.
    QSet<QByteArray> m_knownSas;
    QSet<QByteArray> m_retiredSas;

    vici::Connection* m_commands = nullptr;
    vici::Connection* m_events = nullptr;
    bool m_opening = false;
    std::optional<Error> m_openError;
    strongswan::detail::Wakeup m_opened;
};
