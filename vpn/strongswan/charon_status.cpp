#include "vpn/strongswan/charon_status.h"

namespace strongswan {

VpnStatus nextStatus(VpnStatus current, TunnelEvent event) {
    using S = VpnStatus;
    if (current == S::invalid) return current;
    const bool up = Tunnel::isUp(current);
    const bool stopping = current == S::disconnecting;
    switch (event) {
    case TunnelEvent::StartRequested: return up ? current : S::connecting;
    case TunnelEvent::InitiateFailed:
        return current == S::connecting || stopping ? S::disconnected : current;
    case TunnelEvent::IkeUp: return current == S::disconnected ? S::connecting : current;
    case TunnelEvent::IkeDown: return up ? S::disconnected : current;
    case TunnelEvent::ServiceLost: return up || stopping ? S::disconnected : current;
    case TunnelEvent::ChildUp: return stopping ? current : S::connected;
    case TunnelEvent::ChildDown:
        return current == S::connected || current == S::reasserting ? S::disconnected : current;
    case TunnelEvent::Rekeyed: return current == S::connected ? S::reasserting : current;
    case TunnelEvent::StopRequested: return up ? S::disconnecting : current;
    case TunnelEvent::TerminateDone: return stopping ? S::disconnected : current;
    }
    return current;
}

std::optional<TunnelEvent> classifyEvent(const QByteArray& event, const vici::Section& message) {
    const vici::Section* ike = message.section(connectionName);
    if (!ike) return std::nullopt;
    const bool up = message.value("up") == QByteArrayLiteral("yes");
    if (event == "ike-updown") return up ? TunnelEvent::IkeUp : TunnelEvent::IkeDown;
    if (event == "ike-rekey" || event == "ike-update") return TunnelEvent::Rekeyed;
    const vici::Section* children = ike->section("child-sas");
    if (!children) return std::nullopt;
    for (const auto& entry : children->entries()) {
        if (entry.kind != vici::Section::Entry::Kind::Section) continue;
        if (event == "child-updown" && entry.section.value("name") == connectionName)
            return up ? TunnelEvent::ChildUp : TunnelEvent::ChildDown;
        // A rekeyed CHILD_SA is listed under its name with the old and the new SA inside.
        if (event == "child-rekey" && (entry.key == connectionName || entry.section.value("name") == connectionName))
            return TunnelEvent::Rekeyed;
    }
    return std::nullopt;
}

VpnStatus statusFromSas(const std::vector<vici::Section>& sas) {
    VpnStatus best = VpnStatus::disconnected;
    auto rank = [](VpnStatus s) {
        switch (s) {
        case VpnStatus::connected: return 3;
        case VpnStatus::connecting: return 2;
        case VpnStatus::disconnecting: return 1;
        default: return 0;
        }
    };
    for (const vici::Section& message : sas) {
        const vici::Section* ike = message.section(connectionName);
        if (!ike) continue;
        const QByteArray state = ike->value("state").value_or(QByteArray());
        VpnStatus s = VpnStatus::disconnected;
        if (state == "CONNECTING") s = VpnStatus::connecting;
        else if (state == "DELETING" || state == "DESTROYING") s = VpnStatus::disconnecting;
        if (state == "ESTABLISHED" || state == "REKEYING" || state == "REKEYED" || state == "PASSIVE") {
            if (const vici::Section* children = ike->section("child-sas")) {
                for (const auto& entry : children->entries()) {
                    if (entry.kind != vici::Section::Entry::Kind::Section) continue;
                    if (entry.section.value("name") != connectionName) continue;
                    const QByteArray cs = entry.section.value("state").value_or(QByteArray());
                    if (cs == "INSTALLED" || cs == "REKEYING" || cs == "UPDATING") s = VpnStatus::connected;
                    else if ((cs == "CREATED" || cs == "INSTALLING") && s != VpnStatus::connected)
                        s = VpnStatus::connecting;
                }
            }
        }
        if (rank(s) > rank(best)) best = s;
    }
    return best;
}

} // namespace strongswan
