#include "vpn/networkmanager/nm_settings.h"

#include "vpn/ike_profile.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>

#include <pwd.h>
#include <unistd.h>

namespace networkmanager {

namespace {

// The plugin's VPN service type, the settings' vpn.service-type.
const QString pluginType = QString::fromLatin1(pluginService);

// The user data flags we keep beside the plugin's own keys.
const char* const enabledKey = "app.kestrava.enabled";
const char* const onDemandKey = "app.kestrava.on-demand";
const char* const sleepKey = "app.kestrava.disconnect-on-sleep";
const char* const dpdKey = "app.kestrava.dpd-rate";

QString key(const char* s) { return QString::fromLatin1(s); }
QString yesNo(bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); }

// While the tunnel is up, only the resolvers the gateway assigns are asked: a negative priority leaves
// out those of every other connection, and "~." sends every domain to them under systemd-resolved.
constexpr int dnsPriority = -50;
// Lower than any connection's default route, so that no other IPv6 route wins while we are up. Where
// the gateway grants IPv6, charon's own routing table (looked up before main) carries ::/0 into the
// tunnel; where it grants none, IPv6 meets this route instead of leaving beside the tunnel.
constexpr uint ipv6BlockMetric = 1;

QVariantMap ipSettings(bool ipv6) {
    QVariantMap m{
        {QStringLiteral("method"), QStringLiteral("auto")},
        {QStringLiteral("dns-priority"), dnsPriority},
    };
    if (!ipv6) {
        m.insert(QStringLiteral("dns-search"), QStringList{QStringLiteral("~.")});
        return m;
    }
    // A route without a next hop lies on the VPN's own device, which the plugin's charon creates and
    // which carries nothing it has no SA for. It goes with that device: when the VPN goes down, and
    // also when NetworkManager restarts and forgets the VPN while its charon lives on, until that ends.
    // (An "unreachable" route would lie on lo and outlive both.)
    const QVariantMap block{
        {QStringLiteral("dest"), QStringLiteral("::")},
        {QStringLiteral("prefix"), 0u},
        {QStringLiteral("metric"), ipv6BlockMetric},
    };
    m.insert(QStringLiteral("route-data"), QVariant::fromValue(QList<QVariantMap>{block}));
    return m;
}

} // namespace

void registerTypes() {
    static const bool once = [] {
        qDBusRegisterMetaType<NMStringMap>();
        qDBusRegisterMetaType<NMSettings>();
        // The agent's slots name the aliases; QtDBus looks their types up by name.
        qRegisterMetaType<NMStringMap>("NMStringMap");
        qRegisterMetaType<NMSettings>("NMSettings");
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        qDBusRegisterMetaType<QList<QVariantMap>>(); // ipv6.route-data
        return true;
    }();
    (void)once;
}

NMStringMap stringMap(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) return qdbus_cast<NMStringMap>(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<NMStringMap>()) return value.value<NMStringMap>();
    NMStringMap out;
    const QVariantMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) out.insert(it.key(), it.value().toString());
    return out;
}

QString currentUserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw && pw->pw_name ? QString::fromLocal8Bit(pw->pw_name) : QString();
}

Result<NMSettings> settingsFor(const VpnProfile& profile, const QString& uuid, const QString& owner) {
    if (!profile.protocolConfiguration)
        return Error{Error::Kind::Rejected, QStringLiteral("VPN profili kullanılamıyor: IKEv2 ayarları yok")};
    const IkeV2Protocol& p = *profile.protocolConfiguration;
    // The plugin runs charon: a profile it cannot take is refused here, by the shared rules.
    const Result<IkeProfile::Usable> checked = IkeProfile::check(p);
    if (!checked) return checked.error();
    const IkeProfile::Usable& u = *checked;

    NMStringMap data;
    data.insert(QStringLiteral("address"), u.server);
    data.insert(QStringLiteral("method"), QStringLiteral("psk"));
    data.insert(QStringLiteral("remote-identity"), u.remoteId);
    if (u.localId) data.insert(QStringLiteral("local-identity"), *u.localId);
    data.insert(QStringLiteral("virtual"), QStringLiteral("yes"));
    data.insert(QStringLiteral("encap"), QStringLiteral("no"));
    data.insert(QStringLiteral("ipcomp"), QStringLiteral("no"));
    data.insert(QStringLiteral("proposal"), QStringLiteral("yes"));
    data.insert(QStringLiteral("ike"), QString::fromLatin1(u.ikeProposal));
    data.insert(QStringLiteral("esp"), QString::fromLatin1(u.espProposal));
    // Agent-owned: NetworkManager asks our agent on each activation and never stores the key.
    data.insert(QStringLiteral("password-flags"), QStringLiteral("1"));

    NMStringMap user;
    user.insert(key(markerKey), QStringLiteral("1"));
    user.insert(key(referenceKey), QString::fromLatin1(u.secretReference.toBase64()));
    user.insert(key(revisionKey), QString::number(settingsRevision));
    user.insert(key(enabledKey), yesNo(profile.isEnabled));
    user.insert(key(onDemandKey), yesNo(profile.isOnDemandEnabled));
    user.insert(key(sleepKey), yesNo(p.disconnectOnSleep));
    user.insert(key(dpdKey), QString::number(p.deadPeerDetectionRate));

    const QString name = profile.localizedDescription.trimmed().isEmpty()
                             ? QString::fromUtf8(IkeProfile::name)
                             : profile.localizedDescription.trimmed();
    QVariantMap connection{
        {QStringLiteral("id"), name},
        {QStringLiteral("uuid"), uuid},
        {QStringLiteral("type"), QStringLiteral("vpn")},
        {QStringLiteral("autoconnect"), false},
    };
    // NetworkManager's ACL entry form is "user:NAME:" (the last field is reserved).
    if (!owner.isEmpty())
        connection.insert(QStringLiteral("permissions"), QStringList{QStringLiteral("user:%1:").arg(owner)});
    NMSettings s;
    s.insert(QStringLiteral("connection"), connection);
    s.insert(QStringLiteral("vpn"), QVariantMap{
                                        {QStringLiteral("service-type"), pluginType},
                                        {QStringLiteral("data"), QVariant::fromValue(data)},
                                    });
    s.insert(QStringLiteral("user"), QVariantMap{{QStringLiteral("data"), QVariant::fromValue(user)}});
    s.insert(QStringLiteral("ipv4"), ipSettings(false));
    s.insert(QStringLiteral("ipv6"), ipSettings(true));
    return s;
}

bool isOurs(const NMSettings& settings) {
    const QVariantMap connection = settings.value(QStringLiteral("connection"));
    const QVariantMap vpn = settings.value(QStringLiteral("vpn"));
    if (connection.value(QStringLiteral("type")).toString() != QLatin1String("vpn")) return false;
    if (vpn.value(QStringLiteral("service-type")).toString() != pluginType) return false;
    const NMStringMap user = stringMap(settings.value(QStringLiteral("user")).value(QStringLiteral("data")));
    return user.value(key(markerKey)) == QLatin1String("1") ||
           connection.value(QStringLiteral("id")).toString() == QString::fromUtf8(IkeProfile::name);
}

int revisionOf(const NMSettings& settings) {
    const NMStringMap user = stringMap(settings.value(QStringLiteral("user")).value(QStringLiteral("data")));
    bool ok = false;
    const int r = user.value(key(revisionKey)).toInt(&ok);
    return ok && r > 0 ? r : 0;
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
    const auto ike = IkeProfile::parameters(data.value(QStringLiteral("ike")).toLatin1(), true);
    const auto esp = IkeProfile::parameters(data.value(QStringLiteral("esp")).toLatin1(), false);
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

} // namespace networkmanager
