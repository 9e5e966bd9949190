#!/bin/bash
# Two network namespaces joined by a veth pair, a charon in each: an IKEv2 gateway (responder, PSK,
# virtual address pool, an address on its lo that only the tunnel reaches) and a bare client charon that
# the caller configures over its VICI socket.
#
#   ikev2-pair.sh up DIR [OWNER_PID]   set up; DIR/pair.env tells the caller what it got
#   ikev2-pair.sh down DIR             stop our charons by pid, delete our namespaces
#   ikev2-pair.sh restart-client DIR   stop the client charon by pid and start a fresh one
#
# CLIENT_CHARON=no sets up everything but the client charon. GW_EXTRA_TS adds networks (a,b) that the
# gateway offers through the tunnel besides its tunnel-only address.
#
# With OWNER_PID a watcher tears everything down once that process is gone, so a crashed test leaves
# nothing behind. The data path runs in user space (kernel-libipsec): this kernel carries no ESP.
# Exit status 77: this machine cannot do it (not root, no charon, no namespaces); 1: it broke.
set -u

die() { echo "ikev2-pair: $*" >&2; exit 1; }
cannot() { echo "ikev2-pair: $*" >&2; exit 77; }

cmd=${1:-}; D=${2:-}
[ -n "$cmd" ] && [ -n "$D" ] || die "usage: $0 up|down DIR [OWNER_PID]"

# Reads the state of an earlier "up" and undoes it; every step tolerates what is already gone.
teardown() {
    local d=$1 ns p i
    for n in client gw; do
        [ -f "$d/$n/charon.pid" ] || continue
        p=$(cat "$d/$n/charon.pid")
        kill "$p" 2>/dev/null
        for i in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$p" 2>/dev/null
        rm -f "$d/$n/charon.pid"
    done
    for f in "$d/ns.client" "$d/ns.gw"; do
        [ -f "$f" ] || continue
        ns=$(cat "$f")
        ip netns del "$ns" 2>/dev/null
        rm -f "$f"
    done
}

start_charon() { # $1 = gw|client, $2 = namespace
    # charon writes a compiled-in pid file under /run: give it a private one.
    STRONGSWAN_CONF=$D/$1/strongswan.conf ip netns exec "$2" \
        unshare --mount sh -c 'mount -t tmpfs tmpfs /run && exec "$0"' "$CHARON" \
        </dev/null >"$D/$1/stdout" 2>&1 &
    echo $! > "$D/$1/charon.pid"
    local i
    for i in $(seq 100); do
        [ -S "$D/$1/charon.vici" ] && return 0
        kill -0 "$(cat "$D/$1/charon.pid")" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

if [ "$cmd" = restart-client ]; then
    # As after a crash or an upgrade of the system's daemon: every SA and loaded connection is gone.
    p=$(cat "$D/client/charon.pid") || die "no client charon in $D"
    kill "$p" 2>/dev/null
    for i in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
    rm -f "$D/client/charon.vici"
    CHARON=${CHARON:-/usr/lib/ipsec/charon}
    start_charon client "$(cat "$D/ns.client")" || die "client charon did not start again: $(cat "$D/client/stdout")"
    exit 0
fi
if [ "$cmd" = down ]; then
    if [ -f "$D/watcher.pid" ]; then
        # The watcher itself ends up here too, under the same pid.
        w=$(cat "$D/watcher.pid")
        [ "$w" = "$$" ] || kill "$w" 2>/dev/null
        rm -f "$D/watcher.pid"
    fi
    teardown "$D"
    exit 0
fi
[ "$cmd" = up ] || die "unknown command $cmd"

[ "$(id -u)" -eq 0 ] || cannot "needs root"
CHARON=${CHARON:-/usr/lib/ipsec/charon}
[ -x "$CHARON" ] || cannot "charon not found at $CHARON (package strongswan-charon)"
command -v swanctl >/dev/null || cannot "swanctl not found (package strongswan-swanctl)"
[ -f /usr/lib/ipsec/plugins/libstrongswan-kernel-libipsec.so ] || cannot "kernel-libipsec missing (package libcharon-extra-plugins)"

owner=${3:-}
tag=${owner:-$$}
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

if [ -n "$owner" ]; then
    # Detached from our stdio so that the caller's pipes close when this script ends.
    setsid bash -c '
        while kill -0 "$1" 2>/dev/null; do sleep 1; done
        exec "$2" down "$3"' watcher "$owner" "$(readlink -f "$0")" "$D" </dev/null >/dev/null 2>&1 &
    echo $! > "$D/watcher.pid"
fi

fail() { echo "ikev2-pair: $*" >&2; teardown "$D"; exit 1; }

ip link add "g$tag" netns "$NG" type veth peer name "c$tag" netns "$NC" || fail "veth pair"
ip -n "$NG" addr add $GW_ADDR/24 dev "g$tag" || fail "gateway address"
ip -n "$NC" addr add $CLIENT_ADDR/24 dev "c$tag" || fail "client address"
# Reachable from the client only through the tunnel: no route to it outside.
ip -n "$NG" addr add $TUNNEL_ADDR/32 dev lo || fail "tunnel-only address"
for ns in "$NG" "$NC"; do ip -n "$ns" link set lo up || fail "lo up"; done
ip -n "$NG" link set "g$tag" up && ip -n "$NC" link set "c$tag" up || fail "veth up"

for n in gw client; do
    cat > "$D/$n/strongswan.conf" <<EOF
charon {
  load = random nonce openssl kdf pem pkcs1 x509 revocation constraints kernel-libipsec kernel-netlink socket-default vici
  # A gateway that never answers gives up after about 4.75 s instead of 165 s.
  retransmit_tries = 2
  retransmit_timeout = 1.0
  retransmit_base = 1.5
  plugins {
    vici {
      socket = unix://$D/$n/charon.vici
    }
  }
  filelog {
    main {
      path = $D/$n/charon.log
      time_format = %H:%M:%S
      time_add_ms = yes
      default = 1
      ike_name = yes
      flush_line = yes
    }
  }
  syslog {
    daemon {
      default = -1
    }
  }
}
swanctl {
  socket = unix://$D/$n/charon.vici
  load = pem pkcs1 x509 revocation constraints openssl random
}
EOF
done

cat > "$D/gw/swanctl.conf" <<EOF
connections {
  rw {
    version = 2
    local_addrs = $GW_ADDR
    proposals = aes256-sha256-modp2048
    pools = pool4
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
        local_ts = $TUNNEL_ADDR/32${GW_EXTRA_TS:+,$GW_EXTRA_TS}
        esp_proposals = aes256-sha256-modp2048
      }
    }
  }
}
pools {
  pool4 {
    addrs = $POOL
  }
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
EOF
exit 0
