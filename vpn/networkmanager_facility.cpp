#include "vpn/networkmanager_facility.h"

#include "vpn/strongswan_facility.h"
#include "vpn/vpn_controller.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>
#include <QPointer>
#include <QUuid>

#include <qcoro/qcorodbuspendingcall.h>

namespace networkmanager {

namespace {

const QString managerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString settingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString agentManagerPath = QStringLiteral("/org/freedesktop/NetworkManager/AgentManager");
const QString managerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString settingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString connectionInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString activeInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString vpnInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString agentManagerInterface = QStringLiteral("org.freedesktop.NetworkManager.AgentManager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString pluginType = QStringLiteral("org.freedesktop.NetworkManager.strongswan");
const QString pluginPath = QStringLiteral("/org/freedesktop/NetworkManager/VPN/Plugin");
const QString pluginInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Plugin");

// Where NetworkManager looks for VPN plugin descriptions.
const char* const pluginFiles[] = {
    "/usr/lib/NetworkManager/VPN/nm-strongswan-service.name",
    "/etc/NetworkManager/VPN/nm-strongswan-service.name",
};

// The user data flags we keep beside the plugin's own keys.
const char* const enabledKey = "app.kestrava.enabled";
const char* const onDemandKey = "app.kestrava.on-demand";
const char* const sleepKey = "app.kestrava.disconnect-on-sleep";
const char* const dpdKey = "app.kestrava.dpd-rate";

QString key(const char* s) { return QString::fromLatin1(s); }
QString yesNo(bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); }

std::optional<IkeSaParameters> parametersFrom(const QString& proposal, bool forIke) {
    // Every combination charon's tokens can express; the first that spells the same text wins.
    static const int encryptions[] = {4, 3, 6, 5, 7, 2};
    static const int integrities[] = {3, 4, 5, 1, 2};
    static const int groups[] = {14, 15, 16, 17, 18, 19, 20, 21, 31, 32, 5, 2, 1};
    const QByteArray wanted = proposal.trimmed().toLatin1();
    for (int e : encryptions)
        for (int i : integrities)
            for (int g : groups) {
                const IkeSaParameters p{e, i, g};
                const auto text = strongswan::proposalFor(p, forIke);
                if (text.ok() && text.value() == wanted) return p;
            }
    return std::nullopt;
}

QString text(const char* s) { return QString::fromUtf8(s); }

} // namespace

void registerTypes() {
    static const bool once = [] {
        qDBusRegisterMetaType<NMStringMap>();
        qDBusRegisterMetaType<NMSettings>();
        // The agent's slots name the aliases; QtDBus looks their types up by name.
        qRegisterMetaType<NMStringMap>("NMStringMap");
        qRegisterMetaType<NMSettings>("NMSettings");
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        return true;
    }();
    (void)once;
}

VpnStatus nextStatus(VpnStatus current, TunnelEvent event) {
    using S = VpnStatus;
    if (current == S::invalid) return current;
    const bool active = current == S::connecting || current == S::connected || current == S::reasserting;
    switch (event) {
    case TunnelEvent::StartRequested:
        return current == S::disconnected || current == S::disconnecting ? S::connecting : current;
    case TunnelEvent::ActivateFailed:
        return current == S::connecting || current == S::disconnecting ? S::disconnected : current;
    case TunnelEvent::Preparing:
        return current == S::disconnecting ? current : S::connecting;
    case TunnelEvent::Activated:
        return current == S::disconnecting ? current : S::connected;
    case TunnelEvent::Ended:
    case TunnelEvent::ServiceLost:
        return active || current == S::disconnecting ? S::disconnected : current;
    case TunnelEvent::Deactivating:
    case TunnelEvent::StopRequested:
        return active ? S::disconnecting : current;
    }
    return current;
}

std::optional<TunnelEvent> eventFor(VpnState state) {
    switch (state) {
    case VpnState::prepare:
    case VpnState::needAuth:
    case VpnState::connect:
    case VpnState::ipConfigGet: return TunnelEvent::Preparing;
    case VpnState::activated: return TunnelEvent::Activated;
    case VpnState::failed:
    case VpnState::disconnected: return TunnelEvent::Ended;
    case VpnState::unknown: break;
    }
    return std::nullopt;
}

std::optional<Error> describeReason(uint reason, std::optional<uint> pluginFailure) {
    // The plugin's own failure says more than NetworkManager's reason, which is often "unknown".
    if (pluginFailure) {
        switch (*pluginFailure) {
        case 0:
            return Error{Error::Kind::Rejected,
                         text("Kimlik doğrulama başarısız: sunucu paylaşılan anahtarı veya kimliği kabul etmedi."), 0,
                         QStringLiteral("LOGIN_FAILED")};
        case 1:
            return Error{Error::Kind::Rejected, text("Sunucuyla bağlantı kurulamadı."), 0,
                         QStringLiteral("CONNECT_FAILED")};
        case 2:
            return Error{Error::Kind::Rejected, text("Sunucu geçerli bir VPN adresi vermedi."), 0,
                         QStringLiteral("BAD_IP_CONFIG")};
        default: break;
        }
    }
    struct Row {
        uint reason;
        const char* token;
        const char* text;
    };
    static const Row rows[] = {
        {0, "UNKNOWN", "NetworkManager bağlantıyı kuramadı (neden bildirilmedi)."},
        {3, "DEVICE_DISCONNECTED", "Ağ bağlantısı kesildi."},
        {4, "SERVICE_STOPPED", "VPN hizmeti durdu."},
        {5, "IP_CONFIG_INVALID", "Sunucunun verdiği VPN adresi kullanılamadı."},
        {6, "CONNECT_TIMEOUT", "Sunucu zamanında yanıt vermedi."},
        {7, "SERVICE_START_TIMEOUT", "VPN hizmeti zamanında başlamadı."},
        {8, "SERVICE_START_FAILED", "VPN hizmeti başlatılamadı."},
        {9, "NO_SECRETS", "Bu bağlantının paylaşılan anahtarı bulunamadı."},
        {10, "LOGIN_FAILED", "Kimlik doğrulama başarısız: sunucu paylaşılan anahtarı veya kimliği kabul etmedi."},
        {11, "CONNECTION_REMOVED", "VPN profili silindi."},
        {12, "DEPENDENCY_FAILED", "Bağlantının dayandığı ağ bağlantısı kurulamadı."},
        {13, "DEVICE_REALIZE_FAILED", "VPN aygıtı oluşturulamadı."},
        {14, "DEVICE_REMOVED", "Ağ aygıtı kaldırıldı."},
    };
    if (reason == 1 || reason == 2) return std::nullopt; // none, or the user disconnected
    for (const Row& r : rows)
        if (r.reason == reason) return Error{Error::Kind::Rejected, text(r.text), int(reason), QLatin1String(r.token)};
    return Error{Error::Kind::Rejected, QStringLiteral("NetworkManager bağlantıyı sonlandırdı (neden %1).").arg(reason),
                 int(reason), QStringLiteral("REASON_%1").arg(reason)};
}

NMStringMap stringMap(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) return qdbus_cast<NMStringMap>(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<NMStringMap>()) return value.value<NMStringMap>();
    NMStringMap out;
    const QVariantMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) out.insert(it.key(), it.value().toString());
    return out;
}

Result<NMSettings> settingsFor(const VpnProfile& profile, const QString& uuid) {
    if (!profile.protocolConfiguration)
        return Error{Error::Kind::Rejected, QStringLiteral("VPN profili kullanılamıyor: IKEv2 ayarları yok")};
    const IkeV2Protocol& p = *profile.protocolConfiguration;
    // The plugin runs charon: a profile charon cannot take is refused here, with charon's own checks.
    if (auto checked = strongswan::connectionMessage(p); !checked) return checked.error();
    const QByteArray ike = strongswan::proposalFor(p.ikeSecurityAssociationParameters, true).value();
    const QByteArray esp = strongswan::proposalFor(p.childSecurityAssociationParameters, false).value();

    NMStringMap data;
    data.insert(QStringLiteral("address"), p.serverAddress->trimmed());
    data.insert(QStringLiteral("method"), QStringLiteral("psk"));
    data.insert(QStringLiteral("remote-identity"), p.remoteIdentifier->trimmed());
    if (p.localIdentifier && !p.localIdentifier->trimmed().isEmpty())
        data.insert(QStringLiteral("local-identity"), p.localIdentifier->trimmed());
    data.insert(QStringLiteral("virtual"), QStringLiteral("yes"));
    data.insert(QStringLiteral("encap"), QStringLiteral("no"));
    data.insert(QStringLiteral("ipcomp"), QStringLiteral("no"));
    data.insert(QStringLiteral("proposal"), QStringLiteral("yes"));
    data.insert(QStringLiteral("ike"), QString::fromLatin1(ike));
    data.insert(QStringLiteral("esp"), QString::fromLatin1(esp));
    // Agent-owned: NetworkManager asks our agent on each activation and never stores the key.
    data.insert(QStringLiteral("password-flags"), QStringLiteral("1"));

    NMStringMap user;
    user.insert(key(markerKey), QStringLiteral("1"));
    user.insert(key(referenceKey), QString::fromLatin1(p.sharedSecretReference->toBase64()));
    user.insert(key(enabledKey), yesNo(profile.isEnabled));
    user.insert(key(onDemandKey), yesNo(profile.isOnDemandEnabled));
    user.insert(key(sleepKey), yesNo(p.disconnectOnSleep));
    user.insert(key(dpdKey), QString::number(p.deadPeerDetectionRate));

    const QString name = profile.localizedDescription.trimmed().isEmpty()
                             ? QString::fromUtf8(VPNController::profileDescription)
                             : profile.localizedDescription.trimmed();
    NMSettings s;
    s.insert(QStringLiteral("connection"), QVariantMap{
                                               {QStringLiteral("id"), name},
                                               {QStringLiteral("uuid"), uuid},
                                               {QStringLiteral("type"), QStringLiteral("vpn")},
                                               {QStringLiteral("autoconnect"), false},
                                           });
    s.insert(QStringLiteral("vpn"), QVariantMap{
                                        {QStringLiteral("service-type"), pluginType},
                                        {QStringLiteral("data"), QVariant::fromValue(data)},
                                    });
    s.insert(QStringLiteral("user"), QVariantMap{{QStringLiteral("data"), QVariant::fromValue(user)}});
    s.insert(QStringLiteral("ipv4"), QVariantMap{{QStringLiteral("method"), QStringLiteral("auto")}});
    s.insert(QStringLiteral("ipv6"), QVariantMap{{QStringLiteral("method"), QStringLiteral("auto")}});
    return s;
}

bool isOurs(const NMSettings& settings) {
    const QVariantMap connection = settings.value(QStringLiteral("connection"));
    const QVariantMap vpn = settings.value(QStringLiteral("vpn"));
    if (connection.value(QStringLiteral("type")).toString() != QLatin1String("vpn")) return false;
    if (vpn.value(QStringLiteral("service-type")).toString() != pluginType) return false;
    const NMStringMap user = stringMap(settings.value(QStringLiteral("user")).value(QStringLiteral("data")));
    return user.value(key(markerKey)) == QLatin1String("1") ||
           connection.value(QStringLiteral("id")).toString() == QString::fromUtf8(VPNController::profileDescription);
}

QString uuidOf(const NMSettings& settings) {
    return settings.value(QStringLiteral("connection")).value(QStringLiteral("uuid")).toString();
}

std::optional<VpnProfile> profileFrom(const NMSettings& settings) {
    if (!isOurs(settings)) return std::nullopt;
    const NMStringMap data = stringMap(settings.value(QStringLiteral("vpn")).value(QStringLiteral("data")));
    const NMStringMap user = stringMap(settings.value(QStringLiteral("user")).value(QStringLiteral("data")));
    auto optional = [](const NMStringMap& m, const QString& k) -> std::optional<QString> {
        if (!m.contains(k)) return std::nullopt;
        return m.value(k);
    };

    IkeV2Protocol p;
    p.serverAddress = optional(data, QStringLiteral("address"));
    p.remoteIdentifier = optional(data, QStringLiteral("remote-identity"));
    p.localIdentifier = optional(data, QStringLiteral("local-identity"));
    // Anything but a pre-shared key (certificates, EAP) is a profile someone else changed.
    p.authenticationMethod = data.value(QStringLiteral("method")) == QLatin1String("psk") ? 2 : 0;
    const auto ike = parametersFrom(data.value(QStringLiteral("ike")), true);
    const auto esp = parametersFrom(data.value(QStringLiteral("esp")), false);
    p.ikeSecurityAssociationParameters = ike.value_or(IkeSaParameters{0, 0, 0});
    p.childSecurityAssociationParameters = esp.value_or(IkeSaParameters{0, 0, 0});
    if (const auto ref = optional(user, key(referenceKey))) {
        auto decoded = QByteArray::fromBase64Encoding(ref->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded && !decoded.decoded.isEmpty()) p.sharedSecretReference = decoded.decoded;
    }
    p.disconnectOnSleep = user.value(key(sleepKey)) == QLatin1String("yes");
    bool ok = false;
    const int dpd = user.value(key(dpdKey)).toInt(&ok);
    p.deadPeerDetectionRate = ok ? dpd : 2;

    VpnProfile profile;
    profile.protocolConfiguration = p;
    profile.localizedDescription = settings.value(QStringLiteral("connection")).value(QStringLiteral("id")).toString();
    // A profile without our flags was made by hand: it is not the one the program enabled.
    profile.isEnabled = user.value(key(enabledKey)) == QLatin1String("yes");
    profile.isOnDemandEnabled = user.value(key(onDemandKey)) == QLatin1String("yes");
    return profile;
}

// --- secret agent ---

SecretAgent::SecretAgent(QDBusConnection bus, SecretResolver resolver, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_resolver(std::move(resolver)) {}

NMSettings SecretAgent::GetSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath,
                                   const QString& settingName, const QStringList&, uint, const QDBusMessage& message) {
    auto refuse = [&](const char* why) {
        m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.NoSecrets"),
                                            QString::fromLatin1(why)));
        return NMSettings{};
    };
    message.setDelayedReply(true);
    // Only our own profile's key, and only to NetworkManager itself.
    if (settingName != QLatin1String("vpn") || !isOurs(connection)) return refuse("not a Kestrava connection");
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(QString::fromLatin1(service));
    if (!owner.isValid() || owner.value() != message.service()) return refuse("not asked by NetworkManager");
    const NMStringMap user = stringMap(connection.value(QStringLiteral("user")).value(QStringLiteral("data")));
    auto reference =
        QByteArray::fromBase64Encoding(user.value(key(referenceKey)).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!reference || reference.decoded.isEmpty() || !m_resolver) return refuse("no keychain reference");
    const quint64 request = ++m_request;
    m_pending.insert(connectionPath.path(), request);
    answer(*reference, connectionPath.path(), message, request);
    return {};
}

QCoro::Task<> SecretAgent::answer(QByteArray reference, QString connectionPath, QDBusMessage message, quint64 request) {
    QPointer<SecretAgent> self(this);
    std::optional<QByteArray> secret = co_await m_resolver(reference);
    if (!self) co_return;
    if (m_pending.value(connectionPath) != request) co_return; // cancelled; NetworkManager had its answer
    m_pending.remove(connectionPath);
    if (!secret || secret->isEmpty()) {
        m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.NoSecrets"),
                                            QStringLiteral("the keychain has no such item")));
        co_return;
    }
    NMStringMap secrets;
    secrets.insert(QStringLiteral("password"), QString::fromUtf8(*secret));
    secret->fill('\0');
    NMSettings reply;
    reply.insert(QStringLiteral("vpn"), QVariantMap{{QStringLiteral("secrets"), QVariant::fromValue(secrets)}});
    m_bus.send(message.createReply(QVariant::fromValue(reply)));
    ++m_answered;
}

void SecretAgent::CancelGetSecrets(const QDBusObjectPath& connectionPath, const QString&) {
    m_pending.remove(connectionPath.path());
}

// The key lives in the keychain; NetworkManager has nothing of ours to save or delete.
void SecretAgent::SaveSecrets(const NMSettings&, const QDBusObjectPath&) {}
void SecretAgent::DeleteSecrets(const NMSettings&, const QDBusObjectPath&) {}

} // namespace networkmanager

using namespace networkmanager;

NetworkManagerFacility::NetworkManagerFacility(QDBusConnection bus, SecretResolver resolver, QObject* parent)
    : VpnFacility(parent), m_bus(std::move(bus)) {
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
    m_bus.connect(QString::fromLatin1(pluginService), pluginPath, pluginInterface, QStringLiteral("Failure"), this,
                  SLOT(onPluginFailure(QDBusMessage)));
    m_watcher = new QDBusServiceWatcher(nm, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString&) {
                // A new NetworkManager knows neither our agent nor our active connection.
                if (!oldOwner.isEmpty()) onServiceGone();
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

Error NetworkManagerFacility::busError(const QDBusMessage& reply, const QString& what) const {
    QString why = reply.errorMessage();
    if (why.isEmpty()) why = reply.errorName();
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Disconnected") || !m_bus.isConnected())
        return Error{Error::Kind::Transport,
                     QStringLiteral("NetworkManager'a ulaşılamadı (%1). NetworkManager çalışıyor mu?")
                         .arg(why.isEmpty() ? QStringLiteral("sistem veri yolu yok") : why),
                     0, reply.errorName()};
    return Error{Error::Kind::Rejected, QStringLiteral("NetworkManager %1: %2").arg(what, why), 0, reply.errorName()};
}

QCoro::Task<NetworkManagerFacility::Reply> NetworkManagerFacility::call(QString path, QString interface, QString method,
                                                                         QVariantList args) {
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(service), path, interface, method);
    message.setArguments(args);
    const QDBusPendingCall pending = m_bus.asyncCall(message, int(m_limits.call.count()));
    QDBusMessage reply = co_await pending;
    co_return Reply{reply};
}

QCoro::Task<std::optional<QVariant>> NetworkManagerFacility::property(QString path, QString interface, QString name) {
    const QVariantList args{interface, name};
    const Reply r = co_await call(path, propertiesInterface, QStringLiteral("Get"), args);
    if (!r.ok() || r.message.arguments().isEmpty()) co_return std::nullopt;
    const QVariant value = r.message.arguments().first().value<QDBusVariant>().variant();
    co_return value;
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
        m_uuid = uuidOf(s);
        m_stored = profileFrom(s);
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
    m_uuid.clear();
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
        co_return Error{Error::Kind::Transport,
                        QStringLiteral("NetworkManager'a ulaşılamadı: sistem veri yoluna bağlanılamadı (%1)")
                            .arg(m_bus.lastError().message())};
    // A reachable NetworkManager answers this; an unreachable one is an error, not an empty profile.
    const Reply probe = co_await call(settingsPath, settingsInterface, QStringLiteral("ListConnections"));
    if (!self) co_return Result<void>();
    if (!probe.ok()) co_return busError(probe.message, QStringLiteral("profilleri okuyamadı"));
    const auto path = co_await findConnection();
    if (!self) co_return Result<void>();
    if (!path) {
        m_profile = VpnProfile{};
        m_activePath.clear();
        setStatus(VpnStatus::invalid);
        co_return Result<void>();
    }
    m_profile = *m_stored;
    if (m_status == VpnStatus::invalid) m_status = VpnStatus::disconnected; // the refresh below announces it
    co_await refreshActive();
    co_return Result<void>();
}

QCoro::Task<Result<void>> NetworkManagerFacility::save() {
    QPointer<NetworkManagerFacility> self(this);
    const QString uuid = m_uuid.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : m_uuid;
    const Result<NMSettings> settings = settingsFor(m_profile, uuid);
    if (!settings) co_return settings.error();
    const VpnProfile saving = m_profile;
    const QVariant arg = QVariant::fromValue(settings.value());
    if (!m_connectionPath.isEmpty()) {
        const QVariantList args{arg};
        const Reply r = co_await call(m_connectionPath, connectionInterface, QStringLiteral("Update"), args);
        if (!self) co_return Result<void>();
        if (r.ok()) {
            m_stored = saving;
            m_uuid = uuid;
            if (m_status == VpnStatus::invalid) setStatus(VpnStatus::disconnected);
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
    const Reply r = co_await call(settingsPath, settingsInterface, QStringLiteral("AddConnection"), addArgs);
    if (!self) co_return Result<void>();
    if (!r.ok()) co_return busError(r.message, QStringLiteral("profili kaydetmedi"));
    m_connectionPath = qdbus_cast<QDBusObjectPath>(r.message.arguments().value(0)).path();
    m_uuid = uuid;
    m_stored = saving;
    if (m_status == VpnStatus::invalid) setStatus(VpnStatus::disconnected);
    co_return Result<void>();
}

QCoro::Task<Result<void>> NetworkManagerFacility::remove() {
    QPointer<NetworkManagerFacility> self(this);
    if (m_connectionPath.isEmpty()) {
        (void)co_await findConnection();
        if (!self) co_return Result<void>();
    }
    if (!m_connectionPath.isEmpty()) {
        const Reply r = co_await call(m_connectionPath, connectionInterface, QStringLiteral("Delete"));
        if (!self) co_return Result<void>();
        if (!r.ok() && !r.message.errorName().endsWith(QLatin1String(".UnknownObject")) &&
            !r.message.errorName().endsWith(QLatin1String(".UnknownMethod")))
            co_return busError(r.message, QStringLiteral("profili silmedi"));
    }
    m_connectionPath.clear();
    m_uuid.clear();
    m_stored.reset();
    m_profile = VpnProfile{};
    m_activePath.clear();
    m_attempt++;
    m_activating = false;
    setStatus(VpnStatus::invalid);
    co_return Result<void>();
}

Result<void> NetworkManagerFacility::startTunnel() {
    if (!m_stored || !m_stored->protocolConfiguration || m_connectionPath.isEmpty())
        return Error{Error::Kind::Rejected, QStringLiteral("Kayıtlı bir VPN profili yok.")};
    if (!m_stored->isEnabled) return Error{Error::Kind::Rejected, QStringLiteral("VPN profili etkin değil.")};
    if (!m_bus.isConnected())
        return Error{Error::Kind::Transport, QStringLiteral("NetworkManager'a ulaşılamadı: sistem veri yolu yok.")};
    if (m_status == VpnStatus::connecting || m_status == VpnStatus::connected || m_status == VpnStatus::reasserting)
        return {};
    m_lastError.reset();
    m_pluginFailure.reset();
    m_userStop = false;
    m_stopPending = false;
    m_early.clear();
    const quint64 attempt = ++m_attempt;
    m_activating = true;
    apply(TunnelEvent::StartRequested);
    runStart(attempt);
    return {};
}

QCoro::Task<> NetworkManagerFacility::runStart(quint64 attempt) {
    QPointer<NetworkManagerFacility> self(this);
    auto current = [&] { return self && m_attempt == attempt; };
    auto giveUp = [&](const Error& error) {
        m_activating = false;
        m_lastError = error;
        apply(TunnelEvent::ActivateFailed);
    };
    const Result<void> agent = co_await ensureAgent();
    if (!current()) co_return;
    if (!agent) co_return giveUp(agent.error());
    const QVariantList args{QVariant::fromValue(QDBusObjectPath(m_connectionPath)),
                            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/"))),
                            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))};
    const Reply r = co_await call(managerPath, managerInterface, QStringLiteral("ActivateConnection"), args);
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
    m_userStop = true;
    apply(TunnelEvent::StopRequested);
    if (m_activating) {
        m_stopPending = true; // once ActivateConnection answers
        return;
    }
    if (!m_activePath.isEmpty()) runStop(m_attempt);
}

QCoro::Task<> NetworkManagerFacility::runStop(quint64 attempt) {
    QPointer<NetworkManagerFacility> self(this);
    const QString active = m_activePath;
    const QVariantList args{QVariant::fromValue(QDBusObjectPath(active))};
    const Reply r = co_await call(managerPath, managerInterface, QStringLiteral("DeactivateConnection"), args);
    if (!self || m_attempt != attempt) co_return;
    // Already gone is as good as stopped.
    if (!r.ok() && m_status == VpnStatus::disconnecting) {
        m_activePath.clear();
        apply(TunnelEvent::Ended);
    }
}

QCoro::Task<std::optional<Error>> NetworkManagerFacility::fetchLastDisconnectError() {
    const std::optional<Error> e = m_lastError;
    co_return e;
}

void NetworkManagerFacility::setStatus(VpnStatus status) {
    if (status == m_status) return;
    m_status = status;
    Q_EMIT statusChanged();
}

void NetworkManagerFacility::apply(TunnelEvent event) { setStatus(networkmanager::nextStatus(m_status, event)); }

void NetworkManagerFacility::applyVpnState(uint state, uint reason) {
    const auto event = eventFor(VpnState(state));
    if (!event) return;
    if (*event == TunnelEvent::Ended) {
        // The first end of an attempt says why; the disconnected that follows a failure says less.
        if (!m_userStop && !m_lastError) m_lastError = describeReason(reason, m_pluginFailure);
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
    // Ours before ActivateConnection answered: keep the latest, the reply places it.
    if (m_activating) m_early.insert(message.path(), {state, reason});
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
    if (m_status == VpnStatus::connecting || m_activating) m_pluginFailure = message.arguments().first().toUInt();
}

void NetworkManagerFacility::onConnectionRemoved(const QDBusMessage& message) {
    if (m_connectionPath.isEmpty() || message.path() != m_connectionPath) return;
    m_connectionPath.clear();
    m_uuid.clear();
    m_stored.reset();
    m_profile = VpnProfile{};
    m_activePath.clear();
    m_activating = false;
    ++m_attempt;
    setStatus(VpnStatus::invalid);
}

void NetworkManagerFacility::onServiceGone() {
    m_agentRegistered = false;
    m_activePath.clear();
    if (m_activating) {
        m_activating = false;
        ++m_attempt;
    }
    if (!m_userStop && !m_lastError && m_status != VpnStatus::disconnected && m_status != VpnStatus::invalid)
        m_lastError = Error{Error::Kind::Rejected, QStringLiteral("NetworkManager durdu."), 0,
                            QStringLiteral("SERVICE_LOST")};
    apply(TunnelEvent::ServiceLost);
}
