#include "vpn/networkmanager/nm_status.h"

namespace networkmanager {

VpnStatus nextStatus(VpnStatus current, TunnelEvent event) {
    // No stored profile: nothing NetworkManager reports moves it.
    if (current == VpnStatus::invalid) return current;
    switch (event) {
    case TunnelEvent::StartRequested: return Tunnel::isUp(current) ? current : VpnStatus::connecting;
    case TunnelEvent::ActivateFailed:
        return current == VpnStatus::connecting || current == VpnStatus::disconnecting ? VpnStatus::disconnected
                                                                                        : current;
    // A late report of an attempt we already stop does not bring it back.
    case TunnelEvent::Preparing: return current == VpnStatus::disconnecting ? current : VpnStatus::connecting;
    case TunnelEvent::Activated: return current == VpnStatus::disconnecting ? current : VpnStatus::connected;
    case TunnelEvent::Ended:
    case TunnelEvent::ServiceLost: return VpnStatus::disconnected;
    case TunnelEvent::Deactivating:
    case TunnelEvent::StopRequested: return Tunnel::isUp(current) ? VpnStatus::disconnecting : current;
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

} // namespace networkmanager
