#pragma once

#include "vpn/ike_profile.h"
#include "vpn/strongswan/vici.h"

namespace strongswan {

// The load-conn message for a checked profile: one IKE_SA and one CHILD_SA, both named connectionName.
vici::Section connectionMessage(const IkeProfile::Usable& profile);
// The load-shared message carrying the secret for the profile's identities.
vici::Section sharedSecretMessage(const IkeProfile::Usable& profile, const QByteArray& secret);

} // namespace strongswan
