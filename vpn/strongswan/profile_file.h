#pragma once

#include "platform/result.h"
#include "vpn/vpn_facility.h"

#include <QByteArray>
#include <QByteArrayView>

namespace strongswan {

// The profile file: every field of the profile, the keychain reference in base64, never a secret.
QByteArray encodeProfile(const VpnProfile& profile);
Result<VpnProfile> decodeProfile(QByteArrayView data);

inline constexpr qsizetype maxProfileSize = 64 * 1024;

} // namespace strongswan

namespace strongswan {

// What the profile file holds: nothing when there is none. A damaged file has been moved aside (to
// setAside) and counts as none; the next save writes a fresh one.
struct StoredProfile {
    std::optional<VpnProfile> profile;
    QString setAside;
};
// Fails only when the file is there but cannot be opened.
Result<StoredProfile> readProfileFile(const QString& path);
// Atomic and private (0600), as every file of the program.
Result<void> writeProfileFile(const QString& path, const VpnProfile& profile);
// A missing file is as good as removed.
Result<void> removeProfileFile(const QString& path);

} // namespace strongswan
