#pragma once

#include "vpn/strongswan/strongswan_facility.h"

// Which facility the program uses when none is forced: the one file that knows every wing.
namespace Backends {

enum class Choice {
    networkManager, // the desktop's own VPN facility
    strongSwan,     // a bare charon, on machines without NetworkManager
    charonDenied,   // charon runs, but its socket is closed to this user: say so
    none,           // neither: connecting says what to install
};

// NetworkManager when it runs with the strongSwan plugin; else charon when its socket is there and not
// closed to this user (one that refuses connections is charon stopped, which may start again).
Choice choose(bool networkManagerAvailable, StrongSwanFacility::SocketAccess charon);

} // namespace Backends
