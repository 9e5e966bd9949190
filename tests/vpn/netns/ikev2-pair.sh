#!/bin/bash
# Two network namespaces joined by a veth pair, a charon in each: an IKEv2 gateway (PSK, address pool,
# an address on its lo that only the tunnel reaches) and a bare client charon configured over VICI.
#   ikev2-pair.sh up DIR [OWNER_PID]          set up, DIR/pair.env says what; torn down once OWNER_PID is gone
#   ikev2-pair.sh down DIR                    stop our charons by pid, delete our namespaces
#   ikev2-pair.sh restart-client DIR [hard]   start the client charon anew (hard: after kill -9, as a crash)
# CLIENT_CHARON=no: no client charon. GW_EXTRA_TS: networks (a,b) the gateway offers besides its own
# address. PAIR_TAG: a second set-up for the same owner. WIRE=yes (and GW_IPV6=yes) for the leak tests:
# the link carries IPv4 and IPv6 with the gateway as router; the gateway holds an outside host of each
# family (OUT4, OUT6) and the resolver it assigns (TUNNEL_DNS4/6), the link the user's own (USER_DNS);
# charon's resolve plugin rewrites the client's RESOLV_CONF; wire.py sniffs CLIENT_IF.
# The data path runs in user space (kernel-libipsec): this kernel carries no ESP.
# Exit status 77: this machine cannot do it (not root, no charon, no namespaces); 1: it broke.
set -u
. "$(dirname "$(readlink -f "$0")")/pair-lib.sh"
cmd=${1:-}; D=${2:-}
[ -n "$cmd" ] && [ -n "$D" ] || die "usage: $0 up|down DIR [OWNER_PID]"

teardown() { # every step tolerates what is already gone
    local d=$1 f
    for f in "$d/client/charon.pid" "$d/gw/charon.pid" "$d/dns.pid"; do stop_pid "$f"; done
    [ -f "$d/ns.client" ] && rm -rf "/etc/netns/$(cat "$d/ns.client")"
    for f in "$d/ns.client" "$d/ns.gw"; do
        [ -f "$f" ] && ip netns del "$(cat "$f")" 2>/dev/null
        rm -f "$f"
    done
}

up_or_gone() { [ -S "$1" ] || gone "$2"; }
start_charon() { # gw|client NAMESPACE; charon's pid file under a private /run, the hook where the package puts it
    STRONGSWAN_CONF=$D/$1/strongswan.conf ip netns exec "$2" unshare --mount sh -c 'mount -t tmpfs tmpfs /run && exec "$0" "$@"' \
        "$here/packaged-hook.sh" "$(mktemp -d -p "$D/$1" hook.XXXX)" "$CHARON" </dev/null >"$D/$1/stdout" 2>&1 &
    echo $! > "$D/$1/charon.pid"
    within 50 up_or_gone "$D/$1/charon.vici" $!; [ -S "$D/$1/charon.vici" ]
}

CHARON=${CHARON:-/usr/lib/ipsec/charon}
if [ "$cmd" = restart-client ]; then # as after a crash (hard) or an upgrade: every SA and connection gone
    [ -f "$D/client/charon.pid" ] || die "no client charon in $D"
    [ "${3:-}" = hard ] && kill -9 "$(cat "$D/client/charon.pid")" 2>/dev/null
    stop_pid "$D/client/charon.pid"
    rm -f "$D/client/charon.vici"
    # The old TUN device goes a moment after charon; a new charon cannot take its name before.
    within 50 eval "! ip -n $(cat "$D/ns.client") link show ipsec0 >/dev/null 2>&1"
    start_charon client "$(cat "$D/ns.client")" || die "client charon did not start again: $(cat "$D/client/stdout")"
    exit 0
fi
if [ "$cmd" = down ]; then
    unwatch "$D/watcher.pid"
    teardown "$D"
    exit 0
fi
[ "$cmd" = up ] || die "unknown command $cmd"

[ "$(id -u)" -eq 0 ] || cannot "needs root"
[ -x "$CHARON" ] || cannot "charon not found at $CHARON (package strongswan-charon)"
command -v swanctl >/dev/null || cannot "swanctl not found (package strongswan-swanctl)"
[ -f /usr/lib/ipsec/plugins/libstrongswan-kernel-libipsec.so ] || cannot "kernel-libipsec missing (package libcharon-extra-plugins)"

owner=${3:-}
tag=${owner:-$$}${PAIR_TAG:-} # PAIR_TAG: a second set-up for the same owner
NG=kvg$tag; NC=kvc$tag
GW_ADDR=192.0.2.1; CLIENT_ADDR=192.0.2.2
TUNNEL_ADDR=198.51.100.1
POOL=10.99.0.0/24
GW_ID=gw.kestrava.test; CLIENT_ID=client.kestrava.test
PSK=kestrava-test-psk-0123456789

mkdir -p "$D/gw" "$D/client" || die "cannot create $D"

ip netns add "$NG" || cannot "ip netns add failed"
echo "$NG" > "$D/ns.gw"
ip netns add "$NC" || { teardown "$D"; cannot "ip netns add failed"; }
echo "$NC" > "$D/ns.client"

watch_owner "$owner" "$D/watcher.pid"
fail() { echo "$me: $*" >&2; teardown "$D"; exit 1; }

ip link add "g$tag" netns "$NG" type veth peer name "c$tag" netns "$NC" || fail "veth pair"
ip -n "$NG" addr add $GW_ADDR/24 dev "g$tag" || fail "gateway address"
ip -n "$NC" addr add $CLIENT_ADDR/24 dev "c$tag" || fail "client address"
# Reachable from the client only through the tunnel: no route to it outside.
ip -n "$NG" addr add $TUNNEL_ADDR/32 dev lo || fail "tunnel-only address"
for ns in "$NG" "$NC"; do ip -n "$ns" link set lo up || fail "lo up"; done
ip -n "$NG" link set "g$tag" up && ip -n "$NC" link set "c$tag" up || fail "veth up"

WIRE=${WIRE:-no}
GW_IPV6=${GW_IPV6:-no}
GW_ADDR6=2001:db8:1::1 CLIENT_ADDR6=2001:db8:1::2
OUT4=198.51.100.80 OUT6=2001:db8:80::80
TUNNEL_DNS4=198.51.100.53 TUNNEL_DNS6=2001:db8:80::53
USER_DNS=192.0.2.53 USER_DNS_ANSWER=192.0.2.200
POOL6=2001:db8:99::/120
WIRE_NAME=outside.kestrava.test
RESOLV_CONF=/etc/netns/$NC/resolv.conf
if [ "$WIRE" = yes ]; then
    ip -n "$NG" addr add $GW_ADDR6/64 dev "g$tag" nodad || fail "gateway IPv6 address"
    ip -n "$NG" addr add $USER_DNS/24 dev "g$tag" || fail "user resolver address"
    for a in $OUT4/32 $TUNNEL_DNS4/32; do ip -n "$NG" addr add $a dev lo || fail "outside address $a"; done
    for a in $OUT6/128 $TUNNEL_DNS6/128; do ip -n "$NG" addr add $a dev lo nodad || fail "outside address $a"; done
    # NetworkManager sets the client's side up from its base connection.
    if [ "${CLIENT_CHARON:-yes}" != no ]; then
        ip -n "$NC" addr add $CLIENT_ADDR6/64 dev "c$tag" nodad || fail "client IPv6 address"
        ip -n "$NC" route add default via $GW_ADDR || fail "client IPv4 default route"
        ip -n "$NC" -6 route add default via $GW_ADDR6 || fail "client IPv6 default route"
    fi
    ip netns exec "$NG" python3 "$here/wire.py" dns "$D/dns.log" \
        "$TUNNEL_DNS4=$WIRE_NAME:4=$OUT4,$WIRE_NAME:6=$OUT6" "$TUNNEL_DNS6=$WIRE_NAME:4=$OUT4,$WIRE_NAME:6=$OUT6" \
        "$USER_DNS=$WIRE_NAME:4=$USER_DNS_ANSWER" </dev/null >"$D/dns.out" 2>&1 &
    echo $! > "$D/dns.pid"
    # ip netns exec puts this over /etc/resolv.conf for everything run in the client namespace.
    mkdir -p "/etc/netns/$NC" || fail "cannot create /etc/netns/$NC"
    printf 'nameserver %s\noptions timeout:1 attempts:1\n' $USER_DNS > "$RESOLV_CONF" || fail "resolv.conf"
    within 50 eval "ip netns exec $NG ss -Hlun | grep -q '$USER_DNS:53'"
fi

for n in gw client; do
    extra= resolve=
    if [ "$WIRE" = yes ] && [ $n = client ]; then
        # The resolvers the gateway assigns go into the client's resolv.conf while the tunnel is up.
        extra=" updown resolve"
        resolve="resolve {
      file = $RESOLV_CONF
    }"
    fi
    { charon_conf charon "$D/$n/charon.log" " vici$extra" "vici {
      socket = unix://$D/$n/charon.vici
    }
    $resolve"
      printf 'swanctl {\n  socket = unix://%s\n  load = pem pkcs1 x509 revocation constraints openssl random\n}\n' "$D/$n/charon.vici"
    } > "$D/$n/strongswan.conf"
done

gw_ts=$TUNNEL_ADDR/32${GW_EXTRA_TS:+,$GW_EXTRA_TS} gw_pools=pool4 pool4_dns= pool6=
if [ "$WIRE" = yes ]; then
    gw_ts=0.0.0.0/0 pool4_dns="dns = $TUNNEL_DNS4"
    if [ "$GW_IPV6" = yes ]; then
        gw_ts=0.0.0.0/0,::/0 gw_pools=pool4,pool6
        pool6="pool6 {
    addrs = $POOL6
    dns = $TUNNEL_DNS6
  }"
    fi
fi
cat > "$D/gw/swanctl.conf" <<EOF
connections {
  rw {
    version = 2
    local_addrs = $GW_ADDR
    proposals = aes256-sha256-modp2048
    pools = $gw_pools
    local {
      auth = psk
      id = $GW_ID
    }
    remote {
      auth = psk
      id = %any
    }
    children {
      net {
        local_ts = $gw_ts
        esp_proposals = aes256-sha256-modp2048
      }
    }
  }
}
pools {
  pool4 {
    addrs = $POOL
    $pool4_dns
  }
  $pool6
}
secrets {
  ike-client {
    id-gw = $GW_ID
    id-client = $CLIENT_ID
    secret = "$PSK"
  }
  ike-app {
    id-gw = $GW_ID
    id-client = kestrava-macos
    secret = "$PSK"
  }
}
EOF

start_charon gw "$NG" || fail "gateway charon did not start: $(cat "$D/gw/stdout")"
STRONGSWAN_CONF=$D/gw/strongswan.conf swanctl --load-all --noprompt --file "$D/gw/swanctl.conf" \
    >"$D/gw/load.txt" 2>&1 || fail "gateway configuration: $(cat "$D/gw/load.txt")"
# CLIENT_CHARON=no leaves the client side to someone else (NetworkManager's own charon).
if [ "${CLIENT_CHARON:-yes}" != no ]; then
    start_charon client "$NC" || fail "client charon did not start: $(cat "$D/client/stdout")"
fi

cat > "$D/pair.env" <<EOF
NS_GW=$NG
NS_CLIENT=$NC
GW_ADDR=$GW_ADDR
TUNNEL_ADDR=$TUNNEL_ADDR
POOL=$POOL
GW_ID=$GW_ID
CLIENT_ID=$CLIENT_ID
PSK=$PSK
CLIENT_VICI=$D/client/charon.vici
CLIENT_CONF=$D/client/strongswan.conf
CLIENT_LOG=$D/client/charon.log
GW_VICI=$D/gw/charon.vici
GW_CONF=$D/gw/strongswan.conf
CLIENT_IF=c$tag
EOF
if [ "$WIRE" = yes ]; then
    cat >> "$D/pair.env" <<EOF
WIRE_PY=$here/wire.py
GW_ADDR6=$GW_ADDR6
CLIENT_ADDR6=$CLIENT_ADDR6
OUT4=$OUT4
OUT6=$OUT6
TUNNEL_DNS4=$TUNNEL_DNS4
TUNNEL_DNS6=$TUNNEL_DNS6
USER_DNS=$USER_DNS
USER_DNS_ANSWER=$USER_DNS_ANSWER
WIRE_NAME=$WIRE_NAME
RESOLV_CONF=$RESOLV_CONF
DNS_LOG=$D/dns.log
POOL6=$POOL6
EOF
fi
exit 0
