#pragma once

#include "vpn/live_facility.h"
#include "vpn/networkmanager/nm_settings.h"
#include "vpn/networkmanager/nm_status.h"
#include "vpn/networkmanager/secret_agent.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QSet>

#include <chrono>
#include <optional>

class QDBusServiceWatcher;

// The VPN facility over NetworkManager and its strongSwan plugin, on the system bus.
//
// The profile is one connection named "Kestrava" of the plugin's type. Its pre-shared key is
// agent-owned: NetworkManager never stores it, and asks our SecretAgent for it on each activation;
// the agent reads it from the keychain item whose reference the profile's "user" setting holds.
// The connection belongs to the user the program runs as (connection.permissions), so that a desktop
// user changes and starts it without an administrator, and other users never see it.
// A tunnel that ended because its network went away (a cable, a Wi-Fi change, sleep) is started again
// once NetworkManager is online, unless the user took it down meanwhile: NetworkManager's own
// vpn.persistent does not do this for this plugin.
// Every call on the bus is bounded (Limits); NetworkManager missing from the bus makes load(),
// save() and remove() fail with a readable error and startTunnel() refuse.
class NetworkManagerFacility final : public LiveFacility {
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds call{10'000};
        // A change may wait on polkit's password dialog: a person reading and typing, not a hung daemon.
        std::chrono::milliseconds change{300'000};
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

private Q_SLOTS:
    void onVpnStateChanged(const QDBusMessage& message);
    void onActiveStateChanged(const QDBusMessage& message);
    void onPluginFailure(const QDBusMessage& message);
    void onConnectionRemoved(const QDBusMessage& message);
    void onNetworkStateChanged(const QDBusMessage& message);

private:
    struct Reply {
        QDBusMessage message;
        bool ok() const { return message.type() == QDBusMessage::ReplyMessage; }
    };
    enum class Access { read, change };
    QCoro::Task<Reply> call(QString path, QString interface, QString method, QVariantList args = {},
                            Access access = Access::read);
    QCoro::Task<std::optional<QVariant>> property(QString path, QString interface, QString name);
    QCoro::Task<Result<void>> ensureAgent();
    QCoro::Task<std::optional<QString>> findConnection();
    QCoro::Task<> refreshActive();
    QCoro::Task<> runStart(quint64 attempt);
    // Writes a connection an earlier build saved in today's form; where NetworkManager refuses, it
    // stays as it was and the next start tries again.
    QCoro::Task<> bringUpToDate();
    QCoro::Task<> runStop(quint64 attempt);
    void apply(networkmanager::TunnelEvent event);
    void applyVpnState(uint state, uint reason);
    void onServiceGone();
    // Our connection's UUID, which the agent answers for alone.
    void setUuid(const QString& uuid);
    QCoro::Task<> placeOutsideActivation(QString activePath);
    // After NetworkManager restarted: our agent, our connection and its state, anew.
    void rejoin();
    Error busError(const QDBusMessage& reply, const QString& what) const;

    QDBusConnection m_bus;
    Limits m_limits;
    QString m_owner; // the user our connection belongs to
    networkmanager::SecretAgent* m_agent = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_agentExported = false;
    bool m_agentRegistered = false; // by this facility; the agent is registered at the first start

    QString m_connectionPath;
    QString m_uuid;
    int m_storedRevision = 0; // networkmanager::revisionOf the stored connection
    QString m_activePath;
    std::optional<uint> m_pluginFailure;
    bool m_activating = false; // ActivateConnection of the current attempt awaits its reply
    bool m_stopPending = false;
    // The user had the tunnel up and did not take it down: it comes back when the network does.
    bool m_keepUp = false;
    bool m_resumeWhenOnline = false;
    // VPN states that arrived for active connections we could not place yet (path -> state, reason).
    QHash<QString, std::pair<uint, uint>> m_early;
    // Active connections being looked at, and those not to follow: another connection's, or ours ended.
    QSet<QString> m_placing;
    QSet<QString> m_notOurs;
};
