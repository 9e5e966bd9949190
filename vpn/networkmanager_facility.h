#pragma once

#include "vpn/vpn_facility.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <optional>

class QDBusServiceWatcher;

// NetworkManager's connection settings (a{sa{sv}}) and string dictionaries (a{ss}).
using NMSettings = QMap<QString, QVariantMap>;
using NMStringMap = QMap<QString, QString>;

namespace networkmanager {

inline constexpr const char* service = "org.freedesktop.NetworkManager";
inline constexpr const char* pluginService = "org.freedesktop.NetworkManager.strongswan";
inline constexpr const char* agentPath = "/org/freedesktop/NetworkManager/SecretAgent";
inline constexpr const char* agentIdentifier = "app.kestrava";
// Keys of our own in the profile's "user" setting; the secret itself is never among them.
inline constexpr const char* markerKey = "app.kestrava.profile";
inline constexpr const char* referenceKey = "app.kestrava.secret-reference";

// Registers the D-Bus types above; safe to call more than once.
void registerTypes();

// NetworkManager's VPN connection states (VpnStateChanged, VpnState).
enum class VpnState : uint { unknown = 0, prepare = 1, needAuth = 2, connect = 3, ipConfigGet = 4, activated = 5,
                             failed = 6, disconnected = 7 };
// Active connection states (StateChanged, State).
enum class ActiveState : uint { unknown = 0, activating = 1, activated = 2, deactivating = 3, deactivated = 4 };

// What happened to the tunnel, as far as the status cares.
enum class TunnelEvent {
    StartRequested, // startTunnel() passed its checks
    ActivateFailed, // ActivateConnection or DeactivateConnection answered with an error
    Preparing,      // VPN state prepare, need-auth, connect or ip-config-get
    Activated,      // VPN state activated
    Ended,          // VPN state failed or disconnected, or the active connection deactivated
    Deactivating,   // the active connection is deactivating
    StopRequested,  // stopTunnel()
    ServiceLost,    // NetworkManager left the bus
};

// The status table. "=" keeps the current status; invalid (no stored profile) is never left through it.
// NetworkManager has no state for renegotiation: reasserting never comes from this backend.
//
//  event \ from     disconnected  connecting    connected     reasserting   disconnecting
//  StartRequested   connecting    =             =             =             connecting
//  ActivateFailed   =             disconnected  =             =             disconnected
//  Preparing        connecting    =             connecting    connecting    =
//  Activated        connected     connected     =             connected     =
//  Ended            =             disconnected  disconnected  disconnected  disconnected
//  Deactivating     =             disconnecting disconnecting disconnecting =
//  StopRequested    =             disconnecting disconnecting disconnecting =
//  ServiceLost      =             disconnected  disconnected  disconnected  disconnected
VpnStatus nextStatus(VpnStatus current, TunnelEvent event);

// The event a VPN state stands for; nothing for unknown.
std::optional<TunnelEvent> eventFor(VpnState state);

// The readable reason a VPN connection ended, from NetworkManager's state reason and, where the
// plugin sent one, its failure code. Nothing when the user or the program ended it.
std::optional<Error> describeReason(uint reason, std::optional<uint> pluginFailure);

// The connection settings for a profile (no secret in them), or why the profile cannot be used.
Result<NMSettings> settingsFor(const VpnProfile& profile, const QString& uuid);
// Whether settings are our profile: our marker, or our name on the strongSwan plugin's type.
bool isOurs(const NMSettings& settings);
// The profile the settings hold; settings that are not ours give nothing.
std::optional<VpnProfile> profileFrom(const NMSettings& settings);
// The settings' connection.uuid.
QString uuidOf(const NMSettings& settings);
// a{ss} as it arrives from D-Bus (QDBusArgument) or as built in-process.
NMStringMap stringMap(const QVariant& value);

// The agent that hands our connection's pre-shared key to NetworkManager when the plugin asks.
class SecretAgent : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.SecretAgent")
public:
    using SecretResolver = std::function<QCoro::Task<std::optional<QByteArray>>(QByteArray reference)>;
    SecretAgent(QDBusConnection bus, SecretResolver resolver, QObject* parent = nullptr);

    int requestsAnswered() const { return m_answered; }

public Q_SLOTS:
    Q_SCRIPTABLE NMSettings GetSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath,
                                       const QString& settingName, const QStringList& hints, uint flags,
                                       const QDBusMessage& message);
    Q_SCRIPTABLE void CancelGetSecrets(const QDBusObjectPath& connectionPath, const QString& settingName);
    Q_SCRIPTABLE void SaveSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath);
    Q_SCRIPTABLE void DeleteSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath);

private:
    QCoro::Task<> answer(QByteArray reference, QString connectionPath, QDBusMessage message, quint64 request);

    QDBusConnection m_bus;
    SecretResolver m_resolver;
    quint64 m_request = 0;
    QHash<QString, quint64> m_pending; // connection path -> request still being answered
    int m_answered = 0;
};

} // namespace networkmanager

// The VPN facility over NetworkManager and its strongSwan plugin, on the system bus.
//
// The profile is one connection named "Kestrava" of the plugin's type. Its pre-shared key is
// agent-owned: NetworkManager never stores it, and asks our SecretAgent for it on each activation;
// the agent reads it from the keychain item whose reference the profile's "user" setting holds.
// Every call on the bus is bounded (Limits::call); NetworkManager missing from the bus makes load(),
// save() and remove() fail with a readable error and startTunnel() refuse.
class NetworkManagerFacility final : public VpnFacility {
    Q_OBJECT
public:
    using SecretResolver = networkmanager::SecretAgent::SecretResolver;
    struct Limits {
        std::chrono::milliseconds call{10'000};
    };

    explicit NetworkManagerFacility(QDBusConnection bus = QDBusConnection::systemBus(), SecretResolver resolver = {},
                                    QObject* parent = nullptr);
    ~NetworkManagerFacility() override;

    // Whether NetworkManager answers on the bus and the strongSwan plugin is installed. Bounded.
    static bool available(const QDBusConnection& bus, std::chrono::milliseconds limit = std::chrono::milliseconds(2'000));

    void setLimits(Limits limits) { m_limits = limits; }
    QString connectionPath() const { return m_connectionPath; }
    int secretRequestsAnswered() const { return m_agent->requestsAnswered(); }

    QCoro::Task<Result<void>> load() override;
    QCoro::Task<Result<void>> save() override;
    QCoro::Task<Result<void>> remove() override;
    Result<void> startTunnel() override;
    void stopTunnel() override;
    QCoro::Task<std::optional<Error>> fetchLastDisconnectError() override;
    VpnStatus status() const override { return m_status; }
    QString backendName() const override { return QStringLiteral("networkmanager"); }

private Q_SLOTS:
    void onVpnStateChanged(const QDBusMessage& message);
    void onActiveStateChanged(const QDBusMessage& message);
    void onPluginFailure(const QDBusMessage& message);
    void onConnectionRemoved(const QDBusMessage& message);

private:
    struct Reply {
        QDBusMessage message;
        bool ok() const { return message.type() == QDBusMessage::ReplyMessage; }
    };
    QCoro::Task<Reply> call(QString path, QString interface, QString method, QVariantList args = {});
    QCoro::Task<std::optional<QVariant>> property(QString path, QString interface, QString name);
    QCoro::Task<Result<void>> ensureAgent();
    QCoro::Task<std::optional<QString>> findConnection();
    QCoro::Task<> refreshActive();
    QCoro::Task<> runStart(quint64 attempt);
    QCoro::Task<> runStop(quint64 attempt);
    void apply(networkmanager::TunnelEvent event);
    void setStatus(VpnStatus status);
    void applyVpnState(uint state, uint reason);
    void onServiceGone();
    Error busError(const QDBusMessage& reply, const QString& what) const;

    QDBusConnection m_bus;
    Limits m_limits;
    networkmanager::SecretAgent* m_agent = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_agentExported = false;
    bool m_agentRegistered = false; // by this facility; the agent is registered at the first start

    std::optional<VpnProfile> m_stored; // as last loaded or saved; what a start uses
    QString m_connectionPath;
    QString m_uuid;
    QString m_activePath;
    VpnStatus m_status = VpnStatus::invalid;
    std::optional<Error> m_lastError;
    std::optional<uint> m_pluginFailure;
    quint64 m_attempt = 0;
    bool m_activating = false; // ActivateConnection of the current attempt awaits its reply
    bool m_stopPending = false;
    bool m_userStop = false;
    // VPN states that arrived for active connections we could not place yet (path -> state, reason).
    QHash<QString, std::pair<uint, uint>> m_early;
};
