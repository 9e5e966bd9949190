#pragma once

#include "vpn/strongswan/vici.h"
#include "vpn/vpn_status.h"

#include <optional>
#include <vector>

namespace strongswan {

// The name of our connection, its IKE_SA, its CHILD_SA and its shared key inside charon.
inline const QByteArray connectionName = QByteArrayLiteral("kestrava");

// What happened to the tunnel, as far as the status cares.
enum class TunnelEvent {
    StartRequested, // startTunnel() passed its checks
    InitiateFailed, // charon's initiate reply said no, or the attempt ran out of time
    IkeUp,          // ike-updown up=yes
    IkeDown,        // ike-updown without up
    ChildUp,        // child-updown up=yes, or list-sas shows the CHILD_SA installed
    ChildDown,      // child-updown without up, or list-sas shows none installed
    Rekeyed,        // ike-rekey, child-rekey or ike-update (new keys or addresses)
    StopRequested,  // stopTunnel()
    TerminateDone,  // charon's terminate reply came back
    ServiceLost,    // the event connection to charon closed
};

// The status table. Only a CHILD_SA coming up means connected: an IKE_SA alone carries no traffic.
// During our own stop the terminate's answer settles it (TerminateDone): charon announces the IKE_SA
// down before it has removed the virtual address and its route, and a connection made in between keeps
// that address and hangs. "=" keeps the current status; invalid (no stored profile) is never left
// through this table. The table test reads this comment, cell by cell.
//
//  event \ from     disconnected  connecting    connected     reasserting   disconnecting
//  StartRequested   connecting    =             =             =             connecting
//  InitiateFailed   =             disconnected  =             =             disconnected
//  IkeUp            connecting    =             =             =             =
//  IkeDown          =             disconnected  disconnected  disconnected  =
//  ChildUp          connected     connected     =             connected     =
//  ChildDown        =             =             disconnected  disconnected  =
//  Rekeyed          =             =             reasserting   =             =
//  StopRequested    =             disconnecting disconnecting disconnecting =
//  TerminateDone    =             =             =             =             disconnected
//  ServiceLost      =             disconnected  disconnected  disconnected  disconnected
//
// Reasserting ends when list-sas, asked right after the rekey event, shows the new CHILD_SA (ChildUp)
// or none (ChildDown).
VpnStatus nextStatus(VpnStatus current, TunnelEvent event);

// The meaning of one VICI event for our connection; nothing when it concerns another one.
std::optional<TunnelEvent> classifyEvent(const QByteArray& event, const vici::Section& message);

// The status that list-sas answers (one list-sa message per IKE_SA) stand for.
VpnStatus statusFromSas(const std::vector<vici::Section>& sas);

} // namespace strongswan
