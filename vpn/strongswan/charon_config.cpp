#include "vpn/strongswan/charon_config.h"

#include "vpn/strongswan/charon_status.h"

namespace strongswan {

namespace {

QByteArray dpdDelay(int rate) {
    switch (rate) {
    case 0: return QByteArrayLiteral("0s");
    case 1: return QByteArrayLiteral("120s");
    case 3: return QByteArrayLiteral("10s");
    default: return QByteArrayLiteral("30s");
    }
}

} // namespace

vici::Section connectionMessage(const IkeProfile::Usable& p, const QByteArray& updown) {
    vici::Section message;
    vici::Section& conn = message.addSection(connectionName);
    conn.set("version", QByteArrayLiteral("2"));
    conn.setList("remote_addrs", {p.server.toUtf8()});
    // An address of each family; a gateway without an IPv6 pool grants the IPv4 one alone.
    conn.setList("vips", {QByteArrayLiteral("0.0.0.0"), QByteArrayLiteral("::")});
    conn.setList("proposals", {p.ikeProposal});
    conn.set("dpd_delay", dpdDelay(p.deadPeerDetectionRate));
    // One attempt per start: a retry loop inside charon would hide the failure from the user.
    conn.set("keyingtries", QByteArrayLiteral("1"));
    conn.set("mobike", QByteArrayLiteral("yes"));
    conn.set("send_certreq", QByteArrayLiteral("no"));
    vici::Section& local = conn.addSection("local");
    local.set("auth", QByteArrayLiteral("psk"));
    if (p.localId) local.set("id", *p.localId);
    vici::Section& remote = conn.addSection("remote");
    remote.set("auth", QByteArrayLiteral("psk"));
    remote.set("id", p.remoteId);
    vici::Section& child = conn.addSection("children").addSection(connectionName);
    // Everything of both families through the tunnel; a gateway that offers less narrows it.
    child.setList("remote_ts", {QByteArrayLiteral("0.0.0.0/0"), QByteArrayLiteral("::/0")});
    // The hook blocks IPv6 while the CHILD_SA is up without an IPv6 address (see charon-updown.sh).
    if (!updown.isEmpty()) child.set("updown", updown);
    child.setList("esp_proposals", {p.espProposal});
    child.set("start_action", QByteArrayLiteral("none"));
    child.set("close_action", QByteArrayLiteral("none"));
    return message;
}

vici::Section sharedSecretMessage(const IkeProfile::Usable& p, const QByteArray& secret) {
    vici::Section message;
    message.set("id", connectionName);
    message.set("type", QByteArrayLiteral("IKE"));
    message.set("data", secret);
    QList<QByteArray> owners;
    if (p.localId) owners.append(p.localId->toUtf8());
    owners.append(p.remoteId.toUtf8());
    message.setList("owners", owners);
    return message;
}

} // namespace strongswan
