#!/bin/sh
# charon (root) runs this on every change of our CHILD_SA, once per pair of traffic selectors.
#
# We ask the gateway for an address of each family and for 0.0.0.0/0 and ::/0. One that grants no
# address of a family (usually IPv6) leaves the link's own route for it in place, so that family would
# leave beside the tunnel in clear. For as long as the CHILD_SA is up, the family's default is made
# unreachable in charon's routing table (looked up before main); the gateway itself stays reachable for
# IKE. charon removes the block when the CHILD_SA goes down, asked or not. Where charon's data path is
# its own TUN device (kernel-libipsec) the block is bound to that device instead, so it goes with charon
# even if charon is killed. With the kernel's IPsec nothing of charon's goes when it is killed, so charon
# also runs this at its start ("charon-start", from kestrava-charon.conf) and the blocks of its
# predecessor go then: no CHILD_SA of the new charon can be up yet, and only root may remove them.
# The local network's IPv6 stays blocked too while connected: like IPv4, nothing but the tunnel leaves.
#
# KESTRAVA_ROUTING_TABLE overrides charon's table (220) for systems configured otherwise.
table=${KESTRAVA_ROUTING_TABLE:-220}
# Ours alone in that table: charon installs its routes without a metric.
metric=4000000000

# charon's TUN device, if its data path is one (kernel-libipsec names them ipsec0, ipsec1, ...): the
# highest such name, as a restarted charon gets the next one while its predecessor's is still going
# away. Asked for by name: a dump of all links can come back incomplete while charon changes them.
charon_tun() {
    local n found
    for n in 0 1 2 3 4 5 6 7 8 9; do
        [ -n "$(ip -o link show dev "ipsec$n" 2>/dev/null)" ] && found=ipsec$n
    done
    [ -n "${found:-}" ] && echo "$found"
}

# Whether our block is in place on that device (it goes with the device).
blocked_on() { # -4|-6, device
    ip "$1" route show table "$table" default metric $metric 2>/dev/null | grep -q "dev $2 "
}

block() { # -4|-6
    local tun try
    tun=$(charon_tun)
    if [ -n "$tun" ]; then
        # Bound to charon's TUN device: packets the CHILD_SA has no policy for are dropped by charon's
        # user-space ESP. Should the device go meanwhile (charon killed), so does the need for a block.
        for try in 1 2 3 4 5; do
            ip "$1" route replace default dev "$tun" table "$table" metric $metric 2>/dev/null
            blocked_on "$1" "$tun" && break
            [ "$(charon_tun)" = "$tun" ] || break
            sleep 0.1
        done
    else
        ip "$1" route replace unreachable default table "$table" metric $metric
    fi
    if peer_is "$1"; then
        ip "$1" route replace throw "$PLUTO_PEER" table "$table" metric $metric
    fi
}

unblock() { # -4|-6
    ip "$1" route del default table "$table" metric $metric 2>/dev/null
    if peer_is "$1"; then
        ip "$1" route del throw "$PLUTO_PEER" table "$table" metric $metric 2>/dev/null
    fi
    return 0
}

peer_is() { # -4|-6: whether IKE runs over that family
    case "$PLUTO_PEER" in *:*) [ "$1" = -6 ] ;; *) [ "$1" = -4 ] ;; esac
}

# Whether the gateway granted a virtual address of the family (PLUTO_MY_SOURCEIP, ..._SOURCEIP6_1, ...).
granted() { # -4|-6
    if [ "$1" = -6 ]; then
        env | grep -q '^PLUTO_MY_SOURCEIP[0-9_]*=.*:'
    else
        env | grep -q '^PLUTO_MY_SOURCEIP[0-9_]*=[0-9.]*$'
    fi
}

# Every route of ours in the table, of both families, whatever it points at.
unblock_all() {
    local family route first second
    for family in -4 -6; do
        # Bounded: a route that will not go must not hold up charon's start.
        for _ in 1 2 3 4 5 6 7 8; do
            route=$(ip "$family" route show table "$table" 2>/dev/null | grep -m1 " metric $metric\( \|$\)") || break
            read -r first second _ <<ROUTE
$route
ROUTE
            case "$first" in
            unreachable | throw | blackhole | prohibit) ip "$family" route del "$first" "$second" table "$table" metric $metric ;;
            *) ip "$family" route del "$first" table "$table" metric $metric ;;
            esac 2>/dev/null
        done
    done
    return 0
}

if [ "${1:-}" = charon-start ]; then
    unblock_all
    exit 0
fi

# The verbs carry a "-v6" suffix when IKE itself runs over IPv6.
case "$PLUTO_VERB" in
up-*)
    for family in -4 -6; do granted $family || block $family; done ;;
down-*)
    for family in -4 -6; do unblock $family; done ;;
esac
exit 0
