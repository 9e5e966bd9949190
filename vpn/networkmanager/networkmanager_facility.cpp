#include "vpn/networkmanager/networkmanager_facility.h"

#include "vpn/networkmanager/nm_bus.h"
#include "vpn/networkmanager/nm_failures.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QPointer>
#include <QUuid>

#include <qcoro/qcorodbuspendingcall.h>
#include <qcoro/qcorotimer.h>

using namespace std::chrono_literals;

namespace {

// NM_ACTIVE_CONNECTION_STATE_REASON_DEVICE_DISCONNECTED: the parent connection went down.
constexpr uint deviceDisconnectedReason = 3;

// Registrations tried with a new NetworkManager, 0.1 s apart and doubling: about 6 s in all.
constexpr int agentAttempts = 7;

// Where NetworkManager looks for VPN plugin descriptions.
const char* const pluginFiles[] = {
    "/usr/lib/NetworkManager/VPN/nm-strongswan-service.name",
    "/etc/NetworkManager/VPN/nm-strongswan-service.name",
};

} // namespace

using namespace networkmanager;
using namespace networkmanager::bus;

NetworkManagerFacility::NetworkManagerFacility(QDBusConnection bus, SecretResolver resolver, QObject* parent)
    : LiveFacility(QStringLiteral("networkmanager"), parent), m_bus(std::move(bus)), m_owner(currentUserName()) {
    registerTypes();
    m_agent = new SecretAgent(m_bus, std::move(resolver), this);
    if (!m_bus.isConnected()) return;
    m_agentExported =
        m_bus.registerObject(QString::fromLatin1(agentPath), m_agent, QDBusConnection::ExportScriptableSlots);
    const QString nm = QString::fromLatin1(service);
    // Any path: the active connection's path is known only once ActivateConnection answers.
    m_bus.connect(nm, QString(), vpnInterface, QStringLiteral("VpnStateChanged"), this,
                  SLOT(onVpnStateChanged(QDBusMessage)));
    m_bus.connect(nm, QString(), activeInterface, QStringLiteral("StateChanged"), this,
                  SLOT(onActiveStateChanged(QDBusMessage)));
    m_bus.connect(nm, QString(), connectionInterface, QStringLiteral("Removed"), this,
                  SLOT(onConnectionRemoved(QDBusMessage)));
    m_bus.connect(nm, managerPath, managerInterface, QStringLiteral("StateChanged"), this,
                  SLOT(onNetworkStateChanged(QDBusMessage)));
    m_bus.connect(QString::fromLatin1(pluginService), pluginPath, pluginInterface, QStringLiteral("Failure"), this,
                  SLOT(onPluginFailure(QDBusMessage)));
    m_watcher = new QDBusServiceWatcher(nm, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                // A new NetworkManager knows neither our agent nor our active connection.
                if (!oldOwner.isEmpty()) onServiceGone();
                // Our connection may be turned on from outside at any time: the new one learns of us at once.
                if (!newOwner.isEmpty()) rejoin();
            });
}

NetworkManagerFacility::~NetworkManagerFacility() {
    if (!m_bus.isConnected()) return;
    if (m_agentRegistered) {
        // No waiting for the answer on the way out.
        QDBusMessage bye = QDBusMessage::createMethodCall(QString::fromLatin1(service), agentManagerPath,
                                                          agentManagerInterface, QStringLiteral("Unregister"));
        bye.setAutoStartService(false);
        m_bus.send(bye);
    }
    if (m_agentExported) m_bus.unregisterObject(QString::fromLatin1(agentPath));
}

bool NetworkManagerFacility::available(const QDBusConnection& bus, std::chrono::milliseconds limit) {
    bool plugin = false;
    for (const char* f : pluginFiles) plugin = plugin || QFileInfo::exists(QString::fromLatin1(f));
    if (!plugin || !bus.isConnected()) return false;
    QDBusMessage ping = QDBusMessage::createMethodCall(QString::fromLatin1(service), managerPath, propertiesInterface,
                                                       QStringLiteral("Get"));
    ping << managerInterface << QStringLiteral("Version");
    ping.setAutoStartService(false); // asking must not start NetworkManager

    return bus.call(ping, QDBus::Block, int(limit.count())).type() == QDBusMessage::ReplyMessage;
}

void NetworkManagerFacility::setUuid(const QString& uuid) {
    m_uuid = uuid;
    m_agent->setConnection(uuid);
}

Error NetworkManagerFacility::busError(const QDBusMessage& reply, const QString& what) const {
    return networkmanager::busError(reply, what, m_bus.isConnected());
}

QCoro::Task<NetworkManagerFacility::Reply> NetworkManagerFacility::call(QString path, QString interface, QString method,
                                                                         QVariantList args, Access access) {
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(service), path, interface, method);
    message.setArguments(args);
    // Lets polkit ask the user (its agent's dialog) instead of refusing at once.
    if (access == Access::change) message.setInteractiveAuthorizationAllowed(true);
    const auto limit = access == Access::change ? m_limits.change : m_limits.call;
    const QDBusPendingCall pending = m_bus.asyncCall(message, int(limit.count()));
    QDBusMessage reply = co_await pending;
    co_return Reply{reply};
}

QCoro::Task<std::optional<QVariant>> NetworkManagerFacility::property(QString path, QString interface, QString name) {
    co_return co_await bus::property(m_bus, std::move(path), std::move(interface), std::move(name), m_limits.call);
}

QCoro::Task<Result<void>> NetworkManagerFacility::ensureAgent() {
    if (m_agentRegistered) co_return Result<void>();
    QPointer<NetworkManagerFacility> self(this);
    // Capability 0: we never ask the user; the keychain has the key or there is none.
    const QVariantList args{QString::fromLatin1(agentIdentifier), QVariant::fromValue(uint(0))};
    const Reply r = co_await call(agentManagerPath, agentManagerInterface, QStringLiteral("RegisterWithCapabilities"), args);
    if (!self) co_return Result<void>();
    // Already registered from this connection (another facility of this process): that agent answers.
    if (!r.ok() && !r.message.errorMessage().contains(QLatin1String("already registered")))
        co_return busError(r.message, QStringLiteral("anahtar aracısını kaydetmedi"));
    m_agentRegistered = r.ok();
    co_return Result<void>();
}

QCoro::Task<std::optional<QString>> NetworkManagerFacility::findConnection() {
    QPointer<NetworkManagerFacility> self(this);
    auto settingsOf = [this](QString path) -> QCoro::Task<std::optional<NMSettings>> {
        const Reply r = co_await call(path, connectionInterface, QStringLiteral("GetSettings"));
        if (!r.ok() || r.message.arguments().isEmpty()) co_return std::nullopt;
        NMSettings s = qdbus_cast<NMSettings>(r.message.arguments().first());
        co_return s;
    };
    auto adopt = [this](const QString& path, const NMSettings& s) {
        m_connectionPath = path;
        setUuid(uuidOf(s));
        m_stored = profileFrom(s);
        m_storedRevision = revisionOf(s);
    };
    if (!m_connectionPath.isEmpty()) {
        const QString cached = m_connectionPath;
        auto s = co_await settingsOf(cached);
        if (!self) co_return std::nullopt;
        if (s && isOurs(*s)) {
            adopt(cached, *s);
            co_return cached;
        }
    }
    const Reply list = co_await call(settingsPath, settingsInterface, QStringLiteral("ListConnections"));
    if (!self) co_return std::nullopt;
    if (!list.ok()) co_return std::nullopt;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(list.message.arguments().value(0));
    for (const QDBusObjectPath& p : paths) {
        auto s = co_await settingsOf(p.path());
        if (!self) co_return std::nullopt;
        if (s && isOurs(*s)) {
            adopt(p.path(), *s);
            co_return p.path();
        }
    }
    m_connectionPath.clear();
    setUuid(QString());
    m_stored.reset();
    co_return std::nullopt;
}

QCoro::Task<> NetworkManagerFacility::refreshActive() {
    QPointer<NetworkManagerFacility> self(this);
    const auto actives = co_await property(managerPath, managerInterface, QStringLiteral("ActiveConnections"));
    if (!self || !actives) co_return;
    QString found;
    for (const QDBusObjectPath& p : qdbus_cast<QList<QDBusObjectPath>>(*actives)) {
        const auto conn = co_await property(p.path(), activeInterface, QStringLiteral("Connection"));
        if (!self) co_return;
        if (conn && qdbus_cast<QDBusObjectPath>(*conn).path() == m_connectionPath) {
            found = p.path();
            break;
        }
    }
    if (m_activating) co_return; // the attempt's own reply and signals decide
    if (found.isEmpty()) {
        m_activePath.clear();
        setStatus(VpnStatus::disconnected);
        co_return;
    }
    m_activePath = found;
    const auto state = co_await property(found, activeInterface, QStringLiteral("State"));
    const auto vpn = co_await property(found, vpnInterface, QStringLiteral("VpnState"));
    if (!self || m_activating || m_activePath != found) co_return;
    VpnStatus s = VpnStatus::disconnected;
    if (vpn) {
        const auto e = eventFor(VpnState(vpn->toUInt()));
        if (e == TunnelEvent::Preparing) s = VpnStatus::connecting;
        else if (e == TunnelEvent::Activated) s = VpnStatus::connected;
    }
    if (state && ActiveState(state->toUInt()) == ActiveState::deactivating) s = VpnStatus::disconnecting;
    setStatus(s);
}

QCoro::Task<Result<void>> NetworkManagerFacility::load() {
    QPointer<NetworkManagerFacility> self(this);
    if (!m_bus.isConnected())
        co_return noBusError(m_bus.lastError().message());
    // A reachable NetworkManager answers this; an unreachable one is an error, not an empty profile.
    const Reply probe = co_await call(settingsPath, settingsInterface, QStringLiteral("ListConnections"));
    if (!self) co_return Result<void>();
    if (!probe.ok()) co_return busError(probe.message, QStringLiteral("profilleri okuyamadı"));
    // From now on, not only at our first start: the desktop's menu or nmcli may turn the tunnel on, and
    // then NetworkManager asks the registered agents for the key. A failure here is met again at start.
    (void)co_await ensureAgent();
    if (!self) co_return Result<void>();
    const auto path = co_await findConnection();
    if (!self) co_return Result<void>();
    if (!path) {
        m_profile = VpnProfile{};
        m_activePath.clear();
        setStatus(VpnStatus::invalid);
        co_return Result<void>();
    }
    m_profile = *m_stored;
    if (status() == VpnStatus::invalid) presetStatus(VpnStatus::disconnected); // the refresh below announces it
    co_await refreshActive();
    co_return Result<void>();
}

QCoro::Task<Result<void>> NetworkManagerFacility::save() {
    QPointer<NetworkManagerFacility> self(this);
    const QString uuid = m_uuid.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : m_uuid;
    const Result<NMSettings> settings = settingsFor(m_profile, uuid, m_owner);
    if (!settings) co_return settings.error();
    const VpnProfile saving = m_profile;
    const QVariant arg = QVariant::fromValue(settings.value());
    if (!m_connectionPath.isEmpty()) {
        const QVariantList args{arg};
        const Reply r = co_await call(m_connectionPath, connectionInterface, QStringLiteral("Update"), args, Access::change);
        if (!self) co_return Result<void>();
        if (r.ok()) {
            m_stored = saving;
            m_storedRevision = settingsRevision;
            setUuid(uuid);
            if (status() == VpnStatus::invalid) setStatus(VpnStatus::disconnected);
            co_return Result<void>();
        }
        // Removed behind our back: add it anew.
        if (!r.message.errorName().endsWith(QLatin1String(".UnknownMethod")) &&
            !r.message.errorName().endsWith(QLatin1String(".UnknownObject")) &&
            !r.message.errorName().endsWith(QLatin1String("Settings.InvalidConnection")))
            co_return busError(r.message, QStringLiteral("profili kaydetmedi"));
        m_connectionPath.clear();
    }
    const QVariantList addArgs{arg};
    const Reply r = co_await call(settingsPath, settingsInterface, QStringLiteral("AddConnection"), addArgs, Access::change);
    if (!self) co_return Result<void>();
    if (!r.ok()) co_return busError(r.message, QStringLiteral("profili kaydetmedi"));
    m_connectionPath = qdbus_cast<QDBusObjectPath>(r.message.arguments().value(0)).path();
    setUuid(uuid);
    m_stored = saving;
    m_storedRevision = settingsRevision;
    if (status() == VpnStatus::invalid) setStatus(VpnStatus::disconnected);
    co_return Result<void>();
}

QCoro::Task<Result<void>> NetworkManagerFacility::remove() {
    QPointer<NetworkManagerFacility> self(this);
    if (m_connectionPath.isEmpty()) {
        (void)co_await findConnection();
        if (!self) co_return Result<void>();
    }
    if (!m_connectionPath.isEmpty()) {
        const Reply r = co_await call(m_connectionPath, connectionInterface, QStringLiteral("Delete"), {}, Access::change);
        if (!self) co_return Result<void>();
        if (!r.ok() && !r.message.errorName().endsWith(QLatin1String(".UnknownObject")) &&
            !r.message.errorName().endsWith(QLatin1String(".UnknownMethod")))
            co_return busError(r.message, QStringLiteral("profili silmedi"));
    }
    m_connectionPath.clear();
    setUuid(QString());
    m_stored.reset();
    m_profile = VpnProfile{};
    m_activePath.clear();
    retireAttempts();
    m_activating = false;
    m_keepUp = m_resumeWhenOnline = false;
    setStatus(VpnStatus::invalid);
    co_return Result<void>();
}

Result<void> NetworkManagerFacility::startTunnel() {
    // A profile that vanished from NetworkManager is no profile either.
    if (auto problem = storedProblem(!m_connectionPath.isEmpty())) return *problem;
    if (!m_bus.isConnected()) return noBusToStartError();
    if (Tunnel::isUp(status())) return {};
    m_pluginFailure.reset();
    m_stopPending = false;
    m_early.clear();
    const quint64 attempt = beginAttempt();
    m_activating = true;
    apply(TunnelEvent::StartRequested);
    runStart(attempt);
    return {};
}

QCoro::Task<> NetworkManagerFacility::bringUpToDate() {
    QPointer<NetworkManagerFacility> self(this);
    if (!m_stored || m_connectionPath.isEmpty() || m_uuid.isEmpty()) co_return;
    const Result<NMSettings> settings = settingsFor(*m_stored, m_uuid, m_owner);
    if (!settings) co_return;
    const QVariantList args{QVariant::fromValue(settings.value())};
    const Reply r = co_await call(m_connectionPath, connectionInterface, QStringLiteral("Update"), args, Access::change);
    if (self && r.ok()) m_storedRevision = settingsRevision;
}

QCoro::Task<> NetworkManagerFacility::runStart(quint64 attempt) {
    QPointer<NetworkManagerFacility> self(this);
    auto current = [&] { return self && isCurrent(attempt); };
    auto giveUp = [&](const Error& error) {
        m_activating = false;
        setLastError(error);
        apply(TunnelEvent::ActivateFailed);
    };
    const Result<void> agent = co_await ensureAgent();
    if (!current()) co_return;
    if (!agent) co_return giveUp(agent.error());
    // Refused (a machine-wide connection of an earlier build needs an administrator to change): the
    // tunnel still comes up as it was saved, and the next connect tries again.
    if (m_storedRevision < settingsRevision) {
        co_await bringUpToDate();
        if (!current()) co_return;
    }
    const QVariantList args{QVariant::fromValue(QDBusObjectPath(m_connectionPath)),
                            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/"))),
                            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))};
    const Reply r = co_await call(managerPath, managerInterface, QStringLiteral("ActivateConnection"), args, Access::change);
    if (!current()) co_return;
    if (!r.ok()) co_return giveUp(busError(r.message, QStringLiteral("bağlantıyı başlatmadı")));
    m_activating = false;
    m_activePath = qdbus_cast<QDBusObjectPath>(r.message.arguments().value(0)).path();
    const auto early = m_early.take(m_activePath);
    m_early.clear();
    if (m_stopPending) {
        runStop(attempt);
        co_return;
    }
    if (early.first != 0 || early.second != 0) applyVpnState(early.first, early.second);
}

void NetworkManagerFacility::stopTunnel() {
    noteUserStop();
    m_keepUp = m_resumeWhenOnline = false;
    apply(TunnelEvent::StopRequested);
    if (m_activating) {
        m_stopPending = true; // once ActivateConnection answers
        return;
    }
    if (!m_activePath.isEmpty()) runStop(attempt());
}

QCoro::Task<> NetworkManagerFacility::runStop(quint64 attempt) {
    QPointer<NetworkManagerFacility> self(this);
    const QString active = m_activePath;
    const QVariantList args{QVariant::fromValue(QDBusObjectPath(active))};
    const Reply r = co_await call(managerPath, managerInterface, QStringLiteral("DeactivateConnection"), args, Access::change);
    if (!self || !isCurrent(attempt)) co_return;
    // Already gone is as good as stopped.
    if (!r.ok() && status() == VpnStatus::disconnecting) {
        m_activePath.clear();
        apply(TunnelEvent::Ended);
    }
}

void NetworkManagerFacility::apply(TunnelEvent event) { setStatus(networkmanager::nextStatus(status(), event)); }

void NetworkManagerFacility::applyVpnState(uint state, uint reason) {
    const auto event = eventFor(VpnState(state));
    if (!event) return;
    if (*event == TunnelEvent::Activated) {
        m_keepUp = true;
        m_resumeWhenOnline = false;
    }
    if (*event == TunnelEvent::Ended) {
        // Its network went away under it; any other end (the user, the gateway, a failure) stays ended.
        if (m_keepUp) m_resumeWhenOnline = reason == deviceDisconnectedReason;
        m_keepUp = false;
        // The first end of an attempt says why; the disconnected that follows a failure says less.
        noteEnd(describeReason(reason, m_pluginFailure));
        // What that activation still reports (a disconnected after failed) is not a new one to follow.
        if (!m_activePath.isEmpty()) m_notOurs.insert(m_activePath);
        m_activePath.clear();
    }
    apply(*event);
}

void NetworkManagerFacility::onVpnStateChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2) return;
    const uint state = args.at(0).toUInt();
    const uint reason = args.at(1).toUInt();
    if (!m_activePath.isEmpty() && message.path() == m_activePath) return applyVpnState(state, reason);
    // Not placed yet: ours before ActivateConnection answered (the reply places it), or an activation
    // that someone else started. Only the latest state counts.
    m_early.insert(message.path(), {state, reason});
    if (!m_activating) placeOutsideActivation(message.path());
}

QCoro::Task<> NetworkManagerFacility::placeOutsideActivation(QString activePath) {
    if (m_notOurs.contains(activePath) || m_placing.contains(activePath)) co_return;
    QPointer<NetworkManagerFacility> self(this);
    m_placing.insert(activePath);
    const auto connection = co_await property(activePath, activeInterface, QStringLiteral("Connection"));
    if (!self) co_return;
    const QString connectionPath = connection ? qdbus_cast<QDBusObjectPath>(*connection).path() : QString();
    bool ours = !connectionPath.isEmpty() && connectionPath == m_connectionPath;
    if (!ours && !connectionPath.isEmpty() && !m_uuid.isEmpty()) {
        // Known by another path (NetworkManager restarted, or the profile was made again): its UUID tells.
        const Reply settings = co_await call(connectionPath, connectionInterface, QStringLiteral("GetSettings"));
        if (!self) co_return;
        ours = settings.ok() && !settings.message.arguments().isEmpty()
            && uuidOf(qdbus_cast<NMSettings>(settings.message.arguments().first())) == m_uuid;
        if (ours) m_connectionPath = connectionPath;
    }
    m_placing.remove(activePath);
    const auto latest = m_early.take(activePath);
    // Only a connection coming up is news; the end of one we never followed changes nothing.
    if (ours && eventFor(VpnState(latest.first)) == TunnelEvent::Ended) co_return;
    if (!ours) {
        // Another VPN of the user's; a few of them at most, but never let the set grow without end.
        if (m_notOurs.size() > 64) m_notOurs.clear();
        if (!connectionPath.isEmpty()) m_notOurs.insert(activePath);
        co_return;
    }
    // Our own start meanwhile, or this one already placed: theirs decides.
    if (m_activating || m_activePath == activePath) co_return;
    m_activePath = activePath;
    // An attempt of its own: why it ends is news, whatever the user stopped before.
    beginAttempt();
    applyVpnState(latest.first, latest.second);
}

void NetworkManagerFacility::rejoin() {
    [](QPointer<NetworkManagerFacility> self) -> QCoro::Task<> {
        // NetworkManager takes its name before its agent manager is on the bus: a refusal in that
        // moment is asked again, a few times, or a connect from the menu would find no agent.
        auto wait = 100ms;
        for (int tried = 1; self; ++tried, wait *= 2) {
            const Result<void> registered = co_await self->ensureAgent();
            if (!self || registered.ok() || tried == agentAttempts) break;
            co_await QCoro::sleepFor(wait);
        }
        // Object paths are the new NetworkManager's own: find our connection again.
        if (!self || self->m_activating) co_return;
        if (co_await self->findConnection() && self) co_await self->refreshActive();
    }(QPointer<NetworkManagerFacility>(this));
}

void NetworkManagerFacility::onActiveStateChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.isEmpty() || m_activePath.isEmpty() || message.path() != m_activePath) return;
    const auto state = ActiveState(args.at(0).toUInt());
    if (state == ActiveState::deactivating) apply(TunnelEvent::Deactivating);
    else if (state == ActiveState::deactivated) applyVpnState(uint(VpnState::disconnected), args.value(1).toUInt());
}

void NetworkManagerFacility::onPluginFailure(const QDBusMessage& message) {
    if (message.arguments().isEmpty()) return;
    if (status() == VpnStatus::connecting || m_activating) m_pluginFailure = message.arguments().first().toUInt();
}

void NetworkManagerFacility::onConnectionRemoved(const QDBusMessage& message) {
    if (m_connectionPath.isEmpty() || message.path() != m_connectionPath) return;
    m_connectionPath.clear();
    setUuid(QString());
    m_stored.reset();
    m_profile = VpnProfile{};
    m_activePath.clear();
    m_activating = false;
    m_keepUp = m_resumeWhenOnline = false;
    retireAttempts();
    setStatus(VpnStatus::invalid);
}

void NetworkManagerFacility::onNetworkStateChanged(const QDBusMessage& message) {
    if (message.arguments().isEmpty() || !m_resumeWhenOnline) return;
    // NM_STATE_CONNECTED_SITE and _GLOBAL: a network to reach the gateway over. Once per loss.
    if (message.arguments().first().toUInt() < 60) return;
    m_resumeWhenOnline = false;
    if (status() != VpnStatus::disconnected || m_activating) return;
    (void)startTunnel();
}

void NetworkManagerFacility::onServiceGone() {
    m_agentRegistered = false;
    m_keepUp = m_resumeWhenOnline = false;
    // A new NetworkManager counts its active connections from the start again.
    m_notOurs.clear();
    m_early.clear();
    m_activePath.clear();
    if (m_activating) {
        m_activating = false;
        retireAttempts();
    }
    if (Tunnel::mayStop(status())) noteEnd(serviceStoppedError());
    apply(TunnelEvent::ServiceLost);
}
