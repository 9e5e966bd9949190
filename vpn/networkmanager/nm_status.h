#pragma once

#include "vpn/vpn_status.h"

#include <QtGlobal>

#include <optional>

namespace networkmanager {

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
// NetworkManager has no state for renegotiation: reasserting never comes from this backend. The table
// test reads this comment, cell by cell.
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

} // namespace networkmanager
