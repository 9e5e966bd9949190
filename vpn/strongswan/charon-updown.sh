#!/bin/sh
# charon (root) runs this on every change of our CHILD_SA, once per pair of traffic selectors.
#
# We ask the gateway for 0.0.0.0/0 and ::/0. One that grants no IPv6 address leaves the link's own IPv6
# route in place, so IPv6 would leave beside the tunnel in clear. For as long as the CHILD_SA is up,
# ::/0 is made unreachable in charon's routing table (looked up before main); the gateway itself stays
# reachable for IKE. charon removes the block when the CHILD_SA goes down, asked or not. Where charon's
# data path is its own TUN device (kernel-libipsec) the block is bound to that device instead, so it
# goes with charon even if charon is killed.
#
# KESTRAVA_ROUTING_TABLE overrides charon's table (220) for systems configured otherwise.
table=${KESTRAVA_ROUTING_TABLE:-220}
tun=ipsec0

block() {
    if ip link show dev "$tun" >/dev/null 2>&1; then
        # Packets the CHILD_SA has no policy for are dropped by charon's user-space ESP.
        ip -6 route replace default dev "$tun" table "$table" metric 4000000000
    else
        ip -6 route replace unreachable default table "$table" metric 4000000000
    fi
    case "$PLUTO_PEER" in *:*) ip -6 route replace throw "$PLUTO_PEER/128" table "$table" metric 4000000000 ;; esac
}

unblock() {
    ip -6 route del default table "$table" metric 4000000000 2>/dev/null
    case "$PLUTO_PEER" in *:*) ip -6 route del throw "$PLUTO_PEER/128" table "$table" metric 4000000000 2>/dev/null ;; esac
    return 0
}

# Whether the gateway granted an IPv6 virtual address (PLUTO_MY_SOURCEIP, PLUTO_MY_SOURCEIP6_1, ...).
has_ipv6() { env | grep -q '^PLUTO_MY_SOURCEIP[0-9_]*=.*:'; }

# The verbs carry a "-v6" suffix when IKE itself runs over IPv6.
case "$PLUTO_VERB" in
up-*) has_ipv6 || block ;;
down-*) unblock ;;
esac
exit 0
