#pragma once

#include "platform/result.h"
#include "vpn/vpn_facility.h"

#include <QMap>
#include <QString>
#include <QVariantMap>

#include <optional>

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
// Which version of our settings a connection holds. 2: the user's own (connection.permissions), only
// the gateway's resolvers, and IPv6 held while the gateway grants none. A connection saved by an
// earlier build is written anew before it is used, although its profile has not changed.
inline constexpr const char* revisionKey = "app.kestrava.settings-revision";
inline constexpr int settingsRevision = 2;

// Registers the D-Bus types above; safe to call more than once.
void registerTypes();

// The connection settings for a profile (no secret in them), or why the profile cannot be used.
// With an owner (a user name) the connection is that user's alone: only they see and use it, and
// changing it needs no administrator. Without one it is the machine's, for every user.
Result<NMSettings> settingsFor(const VpnProfile& profile, const QString& uuid, const QString& owner = {});
// The user this process runs as, by name; empty when the system does not know it.
QString currentUserName();
// Whether settings are our profile: our marker, or our name on the strongSwan plugin's type.
bool isOurs(const NMSettings& settings);
// The profile the settings hold; settings that are not ours give nothing.
std::optional<VpnProfile> profileFrom(const NMSettings& settings);
// The settings' connection.uuid.
QString uuidOf(const NMSettings& settings);
// The revision our settings were written with; 0 for an earlier build's or a hand-made connection.
int revisionOf(const NMSettings& settings);
// a{ss} as it arrives from D-Bus (QDBusArgument) or as built in-process.
NMStringMap stringMap(const QVariant& value);

} // namespace networkmanager
