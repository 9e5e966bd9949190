#!/bin/bash
# Two network namespaces joined by a veth pair: an IKEv2 gateway charon in one (PSK, address pool, an
# address on its lo that only the tunnel reaches), and in the other either a bare client charon driven
# over VICI (as ikev2-pair.sh) or NetworkManager with its strongSwan plugin on a private system bus (as
# nm-pair.sh): under a private mount namespace, /sys read-only so that it manages devices without udev,
# a base ethernet profile on the veth end. The data path runs in user space: this kernel carries no ESP.
#   up DIR [OWNER_PID]         set up; DIR/pair.env (nm.env) says what; torn down once OWNER_PID is gone
#   down DIR                   stop what we started by pid, delete our namespaces
#   restart-client DIR [hard]  start the client charon anew (hard: after kill -9, as a crash)
#   restart-nm DIR             stop NetworkManager by pid and start it again
#   stop-plugin DIR            end the plugin's charon (charon-nm) of our client namespace
#   as-user DIR CMD...         run CMD as NM_DESKTOP_USER inside that user's desktop session
# At "up": PAIR_TAG, a second set-up for the same owner; GW_EXTRA_TS, networks (a,b) the gateway offers
# besides its own address; NM_DESKTOP_USER=NAME, polkit on with the machine's own rules and NAME in an
# active local session, as Debian grants it. WIRE=yes (and GW_IPV6=yes) for the leak tests: the link
# carries IPv4 and IPv6 with the gateway as router; the gateway holds an outside host of each family
# (OUT4, OUT6) and the resolver it assigns (TUNNEL_DNS4/6), the link the user's own (USER_DNS); the
# client's resolv.conf is charon's RESOLV_CONF, or NetworkManager's (/proc/NM_PID/root/run/...).
# Exit status 77: this machine cannot do it (not root, a package missing, no namespaces); 1: it broke.
set -u
me=$(basename "$0" .sh)
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:-}; D=${2:-}
die() { echo "$me: $*" >&2; exit 1; }
cannot() { echo "$me: $*" >&2; exit 77; }
[ -n "$cmd" ] && [ -n "$D" ] || die "usage: $0 up|down DIR [OWNER_PID]"
N=$D/nm
within() { # TENTHS CMD...: CMD until it succeeds, for at most TENTHS tenths of a second
    local n=$1 i; shift
    for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
    "$@"
}
gone() { ! kill -0 "$1" 2>/dev/null; }
stop_pid() { # PID_FILE: TERM, 5 s, then KILL
    [ -f "$1" ] || return 0
    local p; p=$(cat "$1")
    kill "$p" 2>/dev/null; within 50 gone "$p"; kill -9 "$p" 2>/dev/null
    rm -f "$1"
}
kill_client_ns() { # SIGNAL [COMM]: what runs in our client namespace is ours (charon-nm outlives NetworkManager)
    local p
    for p in $(ip netns pids "$(cat "$D/ns.client" 2>/dev/null)" 2>/dev/null); do
        [ -z "${2:-}" ] || [ "$(cat /proc/$p/comm 2>/dev/null)" = "$2" ] && kill "-$1" "$p" 2>/dev/null && echo "$p"
    done
}
teardown() { # every step tolerates what is already gone
    local f g p
    stop_pid "$N/nm.pid"
    stop_pid "$N/polkit.pid"
    if [ -f "$N/cgroups" ]; then
        while read -r g; do
            for p in $(cat "$g/cgroup.procs" 2>/dev/null); do kill "$p" 2>/dev/null; done
            # The slices are shared with other set-ups of the same user: only when empty.
            rmdir "$g" "$(dirname "$g")" "$(dirname "$(dirname "$g")")" 2>/dev/null
        done < "$N/cgroups"
        rm -f "$N/cgroups"
    fi
    if [ -d "$N" ]; then
        kill_client_ns TERM >/dev/null
        within 20 eval '[ -z "$(kill_client_ns 0)" ]'
        kill_client_ns KILL >/dev/null
    fi
    stop_pid "$N/dbus.pid"
    for f in "$D/client/charon.pid" "$D/gw/charon.pid" "$D/dns.pid"; do stop_pid "$f"; done
    [ -f "$D/ns.client" ] && rm -rf "/etc/netns/$(cat "$D/ns.client")"
    for f in "$D/ns.client" "$D/ns.gw"; do
        [ -f "$f" ] && ip netns del "$(cat "$f")" 2>/dev/null
        rm -f "$f"
    done
}
fail() { echo "$me: $*" >&2; teardown; exit 1; }

up_or_gone() { [ -S "$1" ] || gone "$2"; }
start_charon() { # gw|client NAMESPACE; charon's pid file under a private /run, the hook where the package puts it
    STRONGSWAN_CONF=$D/$1/strongswan.conf ip netns exec "$2" unshare --mount sh -c 'mount -t tmpfs tmpfs /run && exec "$0" "$@"' \
        "$here/packaged-hook.sh" "$(mktemp -d -p "$D/$1" hook.XXXX)" "$CHARON" </dev/null >"$D/$1/stdout" 2>&1 &
    echo $! > "$D/$1/charon.pid"
    within 50 up_or_gone "$D/$1/charon.vici" $!; [ -S "$D/$1/charon.vici" ]
}
nm_running() { nmcli -t -f RUNNING general 2>/dev/null | grep -q running || { gone "$(cat "$N/nm.pid")" && fail "NetworkManager ended: $(tail -20 "$N/log/nm.txt")"; false; }; }
start_nm() { # in the client namespace, then the base connection up, as a machine's own comes up at boot
    ip netns exec "$NS_CLIENT" unshare --mount --propagation private sh -c '
        set -e
        N=$1
        mount -t tmpfs tmpfs /run
        mkdir /run/systemd && mount --bind "$N/systemd" /run/systemd
        mount --bind "$N/etc" /etc/NetworkManager
        mount --bind "$N/varlib" /var/lib/NetworkManager
        mount --bind "$N/strongswan.conf" /etc/strongswan.conf
        mount -o remount,bind,ro /sys
        export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$N/system_bus_socket
        exec NetworkManager --no-daemon --debug --pid-file=/run/NetworkManager.pid' nm-inside "$N" \
        </dev/null >>"$N/log/nm.txt" 2>&1 &
    echo $! > "$N/nm.pid"
    export DBUS_SYSTEM_BUS_ADDRESS=$BUS
    within 100 nm_running || fail "NetworkManager did not come up: $(tail -20 "$N/log/nm.txt")"
    within 50 eval 'nmcli connection up base >"$N/log/base-up.txt" 2>&1' ||
        fail "base connection did not come up: $(cat "$N/log/base-up.txt"); $(tail -20 "$N/log/nm.txt")"
}
charon_conf() { # DAEMON LOG EXTRA_PLUGINS PLUGIN_SECTIONS
    cat <<CONF
$1 {
  load = random nonce openssl kdf pem pkcs1 x509 revocation constraints kernel-libipsec kernel-netlink socket-default$3
  # A gateway that never answers gives up after about 4.75 s instead of 165 s.
  retransmit_tries = 2
  retransmit_timeout = 1.0
  retransmit_base = 1.5
  plugins {
    $4
  }
  filelog {
    log {
      path = $2
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
CONF
}

CHARON=${CHARON:-/usr/lib/ipsec/charon}
case $cmd in
restart-client) # as after a crash (hard) or an upgrade: every SA and connection gone
    [ -f "$D/client/charon.pid" ] || die "no client charon in $D"
    [ "${3:-}" = hard ] && kill -9 "$(cat "$D/client/charon.pid")" 2>/dev/null
    stop_pid "$D/client/charon.pid"
    rm -f "$D/client/charon.vici"
    # The old TUN device goes a moment after charon; a new charon cannot take its name before.
    within 50 eval "! ip -n $(cat "$D/ns.client") link show ipsec0 >/dev/null 2>&1"
    start_charon client "$(cat "$D/ns.client")" || die "client charon did not start again: $(cat "$D/client/stdout")"
    exit 0 ;;
restart-nm) # as after an upgrade or a crash of the daemon; its charon and the tunnel are left to it
    . "$D/nm.env" || die "no set-up in $D"
    fail() { die "$*"; }
    stop_pid "$N/nm.pid"
    start_nm
    exit 0 ;;
stop-plugin)
    kill_client_ns TERM charon-nm >/dev/null
    within 50 eval '[ -z "$(kill_client_ns 0 charon-nm)" ]'
    kill_client_ns KILL charon-nm >/dev/null
    exit 0 ;;
as-user)
    shift 2
    [ -f "$N/desktop.env" ] || die "set up without NM_DESKTOP_USER"
    . "$N/desktop.env"
    . "$D/nm.env"
    while read -r g; do echo $$ > "$g/cgroup.procs" || die "cannot join $g"; done < "$N/cgroups"
    export DBUS_SYSTEM_BUS_ADDRESS=$BUS
    exec setpriv --reuid="$(id -u "$DESKTOP_USER")" --regid="$(id -g "$DESKTOP_USER")" --init-groups "$@" ;;
down) # the watcher itself ends up here too, under the same pid
    if [ -f "$D/watcher.pid" ]; then
        [ "$(cat "$D/watcher.pid")" = "$$" ] || kill "$(cat "$D/watcher.pid")" 2>/dev/null
        rm -f "$D/watcher.pid"
    fi
    teardown
    exit 0 ;;
up) ;;
*) die "unknown command $cmd" ;;
esac

nm=no
[ "$me" = nm-pair ] && nm=yes
[ "$(id -u)" -eq 0 ] || cannot "needs root"
[ -x "$CHARON" ] || cannot "charon not found at $CHARON (package strongswan-charon)"
command -v swanctl >/dev/null || cannot "swanctl not found (package strongswan-swanctl)"
[ -f /usr/lib/ipsec/plugins/libstrongswan-kernel-libipsec.so ] || cannot "kernel-libipsec missing (package libcharon-extra-plugins)"
if [ $nm = yes ]; then
    command -v NetworkManager >/dev/null || cannot "NetworkManager not found (package network-manager)"
    [ -x /usr/lib/ipsec/charon-nm ] || cannot "charon-nm not found (package strongswan-nm)"
    [ -f /usr/lib/NetworkManager/VPN/nm-strongswan-service.name ] || cannot "strongSwan plugin missing (package network-manager-strongswan)"
    command -v dbus-daemon >/dev/null || cannot "dbus-daemon not found"
    command -v nmcli >/dev/null || cannot "nmcli not found"
    if [ -n "${NM_DESKTOP_USER:-}" ]; then
        [ -x /usr/lib/polkit-1/polkitd ] || cannot "polkitd not found (package polkitd)"
        uid=$(id -u "$NM_DESKTOP_USER") || die "no user $NM_DESKTOP_USER"
    fi
fi

owner=${3:-}
tag=${owner:-$$}${PAIR_TAG:-}
NG=kvg$tag; NC=kvc$tag
GW_ADDR=192.0.2.1; CLIENT_ADDR=192.0.2.2
TUNNEL_ADDR=198.51.100.1
POOL=10.99.0.0/24
GW_ID=gw.kestrava.test; CLIENT_ID=client.kestrava.test
PSK=kestrava-test-psk-0123456789

mkdir -p "$D/gw" "$D/client" || die "cannot create $D"
ip netns add "$NG" || cannot "ip netns add failed"
echo "$NG" > "$D/ns.gw"
ip netns add "$NC" || { teardown; cannot "ip netns add failed"; }
echo "$NC" > "$D/ns.client"
if [ -n "$owner" ]; then # detached from our stdio so that the caller's pipes close
    setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec "$2" down "$3"' \
        watcher "$owner" "$here/$me.sh" "$D" </dev/null >/dev/null 2>&1 &
    echo $! > "$D/watcher.pid"
fi

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
    if [ $nm = no ]; then
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
cat > "$D/gw/swanctl.conf" <<CONF
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
CONF

start_charon gw "$NG" || fail "gateway charon did not start: $(cat "$D/gw/stdout")"
STRONGSWAN_CONF=$D/gw/strongswan.conf swanctl --load-all --noprompt --file "$D/gw/swanctl.conf" \
    >"$D/gw/load.txt" 2>&1 || fail "gateway configuration: $(cat "$D/gw/load.txt")"
if [ $nm = no ]; then
    start_charon client "$NC" || fail "client charon did not start: $(cat "$D/client/stdout")"
fi

cat > "$D/pair.env" <<ENV
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
ENV
if [ "$WIRE" = yes ]; then
    cat >> "$D/pair.env" <<ENV
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
ENV
fi
[ $nm = yes ] || exit 0

NS_CLIENT=$NC
mkdir -p "$N/etc/system-connections" "$N/varlib" "$N/log" "$N/systemd" || fail "cannot create $N"
BUS=unix:path=$N/system_bus_socket
polkit=false
bus_users='<allow user="root"/>'
if [ -n "${NM_DESKTOP_USER:-}" ]; then
    polkit=true
    bus_users='<allow user="*"/>'
    # One seat, one active graphical session of the user: what logind writes for a desktop login.
    sid=k$tag
    mkdir -p "$N/systemd/system" "$N/systemd/sessions" "$N/systemd/users" "$N/systemd/seats" "$N/systemd/machines"
    printf 'UID=%s\nUSER=%s\nACTIVE=1\nSTATE=active\nREMOTE=0\nTYPE=x11\nCLASS=user\nSEAT=seat0\nDISPLAY=:0\n' \
        "$uid" "$NM_DESKTOP_USER" > "$N/systemd/sessions/$sid"
    printf 'NAME=%s\nSTATE=active\nDISPLAY=%s\nSESSIONS=%s\nACTIVE_SESSIONS=%s\nONLINE_SESSIONS=%s\nSEATS=seat0\nACTIVE_SEATS=seat0\nONLINE_SEATS=seat0\n' \
        "$NM_DESKTOP_USER" "$sid" "$sid" "$sid" "$sid" > "$N/systemd/users/$uid"
    printf 'IS_SEAT0=1\nCAN_MULTI_SESSION=1\nCAN_TTY=1\nCAN_GRAPHICAL=1\nACTIVE=%s\nACTIVE_UID=%s\nSESSIONS=%s\nUIDS=%s\n' \
        "$sid" "$uid" "$sid" "$uid" > "$N/systemd/seats/seat0"
    : > "$N/cgroups"
    for h in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
        [ -f "$h/cgroup.procs" ] || continue
        mkdir -p "$h/user.slice/user-$uid.slice/session-$sid.scope" || { teardown; cannot "cannot make a session cgroup under $h"; }
        echo "$h/user.slice/user-$uid.slice/session-$sid.scope" >> "$N/cgroups"
    done
    [ -s "$N/cgroups" ] || { teardown; cannot "no writable cgroup tree for a session"; }
    printf 'DESKTOP_USER=%s\n' "$NM_DESKTOP_USER" > "$N/desktop.env"
    # The user reaches the bus socket, nothing else of ours.
    chmod o+x "$D" "$N"
fi

cat > "$N/dbus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$N/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    $bus_users
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF

nm_dns=none base_gw=192.0.2.254 base_dns= base_ipv6="method=disabled"
if [ "$WIRE" = yes ]; then
    nm_dns=default base_gw=$GW_ADDR base_dns="dns=$USER_DNS;"
    base_ipv6="method=manual
address1=$CLIENT_ADDR6/64,$GW_ADDR6"
fi
cat > "$N/etc/NetworkManager.conf" <<CONF
[main]
plugins=keyfile
auth-polkit=$polkit
dns=$nm_dns
rc-manager=unmanaged
no-auto-default=*

[keyfile]
path=/etc/NetworkManager/system-connections

[logging]
level=INFO
domains=DEFAULT,VPN:DEBUG,VPN_PLUGIN:DEBUG,AGENTS:DEBUG
CONF

cat > "$N/etc/system-connections/base.nmconnection" <<CONF
[connection]
id=base
uuid=fa27bdc6-9853-4a2b-b7b7-011dc8a8a2b4
type=ethernet
autoconnect=false
interface-name=c$tag

[ipv4]
address1=$CLIENT_ADDR/24,$base_gw
$base_dns
method=manual

[ipv6]
$base_ipv6
CONF
chmod 600 "$N/etc/system-connections/base.nmconnection"
# charon-nm reads /etc/strongswan.conf.
charon_conf charon-nm "$N/log/charon-nm.log" "" "" > "$N/strongswan.conf"

dbus-daemon --config-file="$N/dbus.conf" --nofork --nopidfile </dev/null >"$N/log/dbus.txt" 2>&1 &
echo $! > "$N/dbus.pid"
within 50 test -S "$N/system_bus_socket" || fail "private bus did not start: $(cat "$N/log/dbus.txt")"
if [ "$polkit" = true ]; then
    # polkitd as on the machine (its own user, the machine's rules), but on our bus and our /run.
    unshare --mount --propagation private sh -c '
        set -e
        mount -t tmpfs tmpfs /run
        mkdir /run/systemd && mount --bind "$1/systemd" /run/systemd
        export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$1/system_bus_socket
        exec /usr/lib/polkit-1/polkitd --no-debug' polkit-inside "$N" </dev/null >>"$N/log/polkit.txt" 2>&1 &
    echo $! > "$N/polkit.pid"
    within 100 eval 'DBUS_SYSTEM_BUS_ADDRESS=$BUS busctl --system status org.freedesktop.PolicyKit1 >/dev/null 2>&1' ||
        fail "polkitd did not come up: $(tail -20 "$N/log/polkit.txt")"
fi
start_nm
cp "$D/pair.env" "$D/nm.env"
printf 'BUS=%s\nNM_LOG=%s\nCHARON_NM_LOG=%s\n' "$BUS" "$N/log/nm.txt" "$N/log/charon-nm.log" >> "$D/nm.env"
