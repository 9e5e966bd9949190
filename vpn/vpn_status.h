#pragma once

// The six statuses of the system's VPN connection, with the system's raw values, and what callers ask
// of them. Every caller uses these predicates rather than listing statuses of its own.
enum class VpnStatus { invalid = 0, disconnected = 1, connecting = 2, connected = 3, reasserting = 4, disconnecting = 5 };

namespace Tunnel {

// Up or coming up: a start has nothing to do, and quitting stops it.
constexpr bool isUp(VpnStatus s) {
    return s == VpnStatus::connecting || s == VpnStatus::connected || s == VpnStatus::reasserting;
}

// The tunnel's route is in place: traffic, a lookup of our address among it, leaves through the tunnel.
// A tunnel going down keeps its route until it is gone.
constexpr bool carriesTraffic(VpnStatus s) {
    return s == VpnStatus::connected || s == VpnStatus::reasserting || s == VpnStatus::disconnecting;
}

// There is something to stop: anything but no profile and down.
constexpr bool mayStop(VpnStatus s) { return s != VpnStatus::invalid && s != VpnStatus::disconnected; }

} // namespace Tunnel
