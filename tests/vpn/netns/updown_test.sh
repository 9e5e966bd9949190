#!/bin/bash
# charon's hook for our CHILD_SA (charon-updown.sh), run as charon runs it, in a namespace of its own:
# what it leaves in charon's routing table for each kind of CHILD_SA, up and down again.
#   updown_test.sh SCRIPT      exit 77 when this machine cannot (not root, no namespaces)
set -u
script=$1
[ "$(id -u)" -eq 0 ] || { echo "updown: needs root"; exit 77; }
ns=kvu$$
ip netns add "$ns" 2>/dev/null || { echo "updown: cannot create a namespace"; exit 77; }
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
failures=0
# The table, both families, as one line.
table() { { ip -n "$ns" route show table 220; ip -n "$ns" -6 route show table 220; } 2>/dev/null | sed 's/ \+$//' | tr '\n' ';'; }
hook() { # VERB, then NAME=VALUE...
    local verb=$1; shift
    ip netns exec "$ns" env -i PATH="$PATH" PLUTO_VERB="$verb" "$@" "$script"
}
check() { # name, got, expected
    if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}
unreachable="unreachable default dev lo metric 4000000000 pref medium;"

# name | environment of the up call | table while up
while IFS='|' read -r name env expected; do
    [ -n "$name" ] || continue
    # shellcheck disable=SC2086
    hook up-client PLUTO_PEER=192.0.2.1 $env
    check "$name: up" "$(table)" "$expected"
    # shellcheck disable=SC2086
    hook down-client PLUTO_PEER=192.0.2.1 $env
    check "$name: down" "$(table)" ""
done <<ROWS
IPv4 address only|PLUTO_MY_SOURCEIP=10.99.0.1 PLUTO_MY_SOURCEIP4_1=10.99.0.1|$unreachable
both families|PLUTO_MY_SOURCEIP=10.99.0.1 PLUTO_MY_SOURCEIP4_1=10.99.0.1 PLUTO_MY_SOURCEIP6_1=2001:db8:99::1|
IPv6 address only|PLUTO_MY_SOURCEIP=2001:db8:99::1 PLUTO_MY_SOURCEIP6_1=2001:db8:99::1|unreachable default metric 4000000000;throw 192.0.2.1 metric 4000000000;
ROWS

# IKE over IPv6: the gateway itself stays reachable beside the block; "-v6" verbs are handled alike.
hook up-client-v6 PLUTO_PEER=2001:db8:1::1 PLUTO_MY_SOURCEIP=10.99.0.1
check "IPv6 gateway: up" "$(table)" "throw 2001:db8:1::1 dev lo metric 4000000000 pref medium;$unreachable"
hook down-client-v6 PLUTO_PEER=2001:db8:1::1 PLUTO_MY_SOURCEIP=10.99.0.1
check "IPv6 gateway: down" "$(table)" ""

# charon's data path on its own TUN device, which a restarted charon may get under another name while the
# old one is still going away: the block lies on that device and goes with it, as when charon is killed.
ip -n "$ns" tuntap add dev ipsec1 mode tun && ip -n "$ns" link set ipsec1 up
ip -n "$ns" addr add 10.99.0.1/32 dev lo
ip -n "$ns" route add default dev ipsec1 table 220 proto static src 10.99.0.1
charons="default dev ipsec1 proto static scope link src 10.99.0.1 linkdown;"
hook up-client PLUTO_PEER=192.0.2.1 PLUTO_MY_SOURCEIP=10.99.0.1
check "charon's TUN: up" "$(table)" "${charons}default dev ipsec1 metric 4000000000 linkdown pref medium;"
hook down-client PLUTO_PEER=192.0.2.1 PLUTO_MY_SOURCEIP=10.99.0.1
check "charon's TUN: down" "$(table)" "$charons"
hook up-client PLUTO_PEER=192.0.2.1 PLUTO_MY_SOURCEIP=10.99.0.1
ip -n "$ns" link del ipsec1
check "charon's TUN gone: nothing left" "$(table)" ""
# Before charon has installed its own route: its TUN device all the same.
ip -n "$ns" tuntap add dev ipsec2 mode tun && ip -n "$ns" link set ipsec2 up
hook up-client PLUTO_PEER=192.0.2.1 PLUTO_MY_SOURCEIP=10.99.0.1
check "charon's TUN before its route: up" "$(table)" "default dev ipsec2 metric 4000000000 linkdown pref medium;"
ip -n "$ns" link del ipsec2
check "charon's TUN before its route: gone with it" "$(table)" ""

echo "updown: $failures failures"
[ $failures -eq 0 ]
