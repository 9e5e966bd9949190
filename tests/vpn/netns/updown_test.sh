#!/bin/bash
# charon's hook for our CHILD_SA (charon-updown.sh), run as charon runs it, in a namespace of its own:
# what it leaves in charon's routing table for each kind of CHILD_SA, up and down again; and what a
# charon killed -9 leaves when the next one starts with our start-up file (kestrava-charon.conf).
#   updown_test.sh SCRIPT CONF      exit 77 when this machine cannot (not root, no namespaces)
set -u
script=$1 conf=$2
[ "$(id -u)" -eq 0 ] || { echo "updown: needs root"; exit 77; }
ns=kvu$$
ip netns add "$ns" 2>/dev/null || { echo "updown: cannot create a namespace"; exit 77; }
dir=$(mktemp -d)
charon_pid=
cleanup() {
    [ -n "$charon_pid" ] && kill -9 "$charon_pid" 2>/dev/null && wait "$charon_pid" 2>/dev/null
    ip netns del "$ns"
    rm -rf "$dir"
}
trap cleanup EXIT
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

# charon killed -9 while its CHILD_SAs used the kernel's IPsec (no TUN device to take the blocks along):
# they stay, and go when charon starts again; a route of anyone else in the table stays.
CHARON=${CHARON:-/usr/lib/ipsec/charon}
# Polls a condition for up to $1 tenths of a second.
within() { local n=$1 i; shift; for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
start_charon() {
    STRONGSWAN_CONF=$dir/strongswan.conf ip netns exec "$ns" \
        unshare --mount sh -c 'mount -t tmpfs tmpfs /run && exec "$0"' "$CHARON" </dev/null >/dev/null 2>&1 &
    charon_pid=$!
}
# charon has run its start script to the end: it logged it and waits on no child any more.
started() { grep -q "executing start script 'kestrava'" "$dir/charon.log" 2>/dev/null && [ -z "$(cat /proc/"$charon_pid"/task/*/children 2>/dev/null)" ]; }
kill_charon() { kill -9 "$charon_pid"; wait "$charon_pid" 2>/dev/null; charon_pid=; }
if [ -x "$CHARON" ]; then
    # The file as shipped, but running the hook under test.
    sed "s|= /usr/lib/kestrava/Kestrava.app/lib/kestrava/charon-updown |= $script |" "$conf" > "$dir/kestrava.conf"
    check "start-up file runs the packaged hook" "$(grep -c "= $script charon-start$" "$dir/kestrava.conf")" 1
    cat > "$dir/strongswan.conf" <<CONF
charon {
    load = random nonce sha1 sha2 hmac kernel-netlink socket-default
    filelog {
        log {
            path = $dir/charon.log
            default = 1
            flush_line = yes
        }
    }
}
include $dir/kestrava.conf
CONF
    start_charon
    within 100 started || check "charon starts" "$(cat "$dir/charon.log" 2>/dev/null)" "its start script run"
    ip -n "$ns" route add 10.77.0.0/16 dev lo table 220
    hook up-client PLUTO_PEER=192.0.2.1 PLUTO_MY_SOURCEIP=2001:db8:99::1 PLUTO_MY_SOURCEIP6_1=2001:db8:99::1
    hook up-client-v6 PLUTO_PEER=2001:db8:1::1 PLUTO_MY_SOURCEIP=10.99.0.1
    blocked="$(table)"
    check "kernel IPsec: blocks of both families" "$blocked" "unreachable default metric 4000000000;10.77.0.0/16 dev lo scope link;throw 192.0.2.1 metric 4000000000;throw 2001:db8:1::1 dev lo metric 4000000000 pref medium;$unreachable"
    kill_charon
    check "kernel IPsec, charon killed: blocks stay" "$(table)" "$blocked"
    : > "$dir/charon.log"
    start_charon
    within 100 started || check "charon starts again" "$(cat "$dir/charon.log" 2>/dev/null)" "its start script run"
    check "kernel IPsec, charon started again: blocks gone" "$(table)" "10.77.0.0/16 dev lo scope link;"
    kill_charon
else
    echo "skip stale blocks: no charon at $CHARON"
fi

echo "updown: $failures failures"
[ $failures -eq 0 ]
