#pragma once

#include "vpn/ike_profile.h"
#include "vpn/strongswan/vici.h"

namespace strongswan {

// The load-conn message for a checked profile: one IKE_SA and one CHILD_SA, both named connectionName,
// asking for both address families. updown: the script charon runs as the CHILD_SA comes and goes
// (none when empty).
vici::Section connectionMessage(const IkeProfile::Usable& profile, const QByteArray& updown = {});
// The load-shared message carrying the secret for the profile's identities.
vici::Section sharedSecretMessage(const IkeProfile::Usable& profile, const QByteArray& secret);

} // namespace strongswan
