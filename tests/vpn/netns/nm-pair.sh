#!/bin/bash
# The gateway of ikev2-pair.sh, and on the client side NetworkManager with its strongSwan plugin on a
# private system bus, under a private mount namespace (its configuration, state and /run are ours; /sys
# read-only, so it manages devices without udev) with a base ethernet profile on the veth end.
#   nm-pair.sh up DIR [OWNER_PID]   set up; DIR/nm.env says what
#   nm-pair.sh down DIR             stop what we started, delete our namespaces
#   nm-pair.sh restart-nm DIR       stop NetworkManager by pid and start it again
#   nm-pair.sh stop-plugin DIR      end the plugin's charon (charon-nm) of our client namespace
#   nm-pair.sh as-user DIR CMD...   run CMD as NM_DESKTOP_USER inside that user's desktop session
# NM_DESKTOP_USER=NAME at "up": polkit on with the machine's own rules, NAME in an active local session
# (logind's state files in our /run, a session scope in the cgroup trees), as Debian grants it.
# WIRE=yes (GW_IPV6=yes) as for ikev2-pair.sh; NetworkManager's resolv.conf is then at
# /proc/$(cat DIR/nm/nm.pid)/root/run/NetworkManager/resolv.conf.
# Exit status 77: this machine cannot do it; 1: it broke.
set -u
. "$(dirname "$(readlink -f "$0")")/pair-lib.sh"
cmd=${1:-}; D=${2:-}
[ -n "$cmd" ] && [ -n "$D" ] || die "usage: $0 up|down DIR [OWNER_PID]"

kill_client_ns() { # SIGNAL [COMM]: what runs in our client namespace is ours (charon-nm outlives NetworkManager)
    local p
    for p in $(ip netns pids "$(cat "$D/ns.client" 2>/dev/null)" 2>/dev/null); do
        [ -z "${2:-}" ] || [ "$(cat /proc/$p/comm 2>/dev/null)" = "$2" ] && kill "-$1" "$p" 2>/dev/null && echo "$p"
    done
}
teardown() {
    local g p
    stop_pid "$D/nm/nm.pid"
    stop_pid "$D/nm/polkit.pid"
    if [ -f "$D/nm/cgroups" ]; then
        while read -r g; do
            for p in $(cat "$g/cgroup.procs" 2>/dev/null); do kill "$p" 2>/dev/null; done
            # The slices are shared with other set-ups of the same user: only when empty.
            rmdir "$g" "$(dirname "$g")" "$(dirname "$(dirname "$g")")" 2>/dev/null
        done < "$D/nm/cgroups"
        rm -f "$D/nm/cgroups"
    fi
    kill_client_ns TERM >/dev/null
    within 20 eval '[ -z "$(kill_client_ns 0)" ]'
    kill_client_ns KILL >/dev/null
    stop_pid "$D/nm/dbus.pid"
    "$here/ikev2-pair.sh" down "$D"
}

nm_running() { nmcli -t -f RUNNING general 2>/dev/null | grep -q running || { gone "$(cat "$N/nm.pid")" && fail "NetworkManager ended: $(tail -20 "$N/log/nm.txt")"; false; }; }
# Starts NetworkManager in the client namespace and brings the base connection up; $N, $NS_CLIENT and $BUS set.
start_nm() {
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
    # The parent connection on the veth end, as a machine's own would come up at boot.
    within 50 eval 'nmcli connection up base >"$N/log/base-up.txt" 2>&1' ||
        fail "base connection did not come up: $(cat "$N/log/base-up.txt"); $(tail -20 "$N/log/nm.txt")"
}

if [ "$cmd" = restart-nm ]; then
    # As after an upgrade or a crash of the daemon: NetworkManager stops and starts again; its
    # charon and the tunnel are left to what NetworkManager does with them.
    . "$D/nm.env" || die "no set-up in $D"
    N=$D/nm
    fail() { die "$*"; }
    stop_pid "$N/nm.pid"
    start_nm
    exit 0
fi
if [ "$cmd" = stop-plugin ]; then
    kill_client_ns TERM charon-nm >/dev/null
    within 50 eval '[ -z "$(kill_client_ns 0 charon-nm)" ]'
    kill_client_ns KILL charon-nm >/dev/null
    exit 0
fi
if [ "$cmd" = as-user ]; then
    shift 2
    [ -f "$D/nm/desktop.env" ] || die "set up without NM_DESKTOP_USER"
    . "$D/nm/desktop.env"
    . "$D/nm.env"
    while read -r g; do echo $$ > "$g/cgroup.procs" || die "cannot join $g"; done < "$D/nm/cgroups"
    export DBUS_SYSTEM_BUS_ADDRESS=$BUS
    exec setpriv --reuid="$(id -u "$DESKTOP_USER")" --regid="$(id -g "$DESKTOP_USER")" --init-groups "$@"
fi
if [ "$cmd" = down ]; then
    unwatch "$D/nm-watcher.pid"
    teardown
    exit 0
fi
[ "$cmd" = up ] || die "unknown command $cmd"

[ "$(id -u)" -eq 0 ] || cannot "needs root"
command -v NetworkManager >/dev/null || cannot "NetworkManager not found (package network-manager)"
[ -x /usr/lib/ipsec/charon-nm ] || cannot "charon-nm not found (package strongswan-nm)"
[ -f /usr/lib/NetworkManager/VPN/nm-strongswan-service.name ] || cannot "strongSwan plugin missing (package network-manager-strongswan)"
command -v dbus-daemon >/dev/null || cannot "dbus-daemon not found"
command -v nmcli >/dev/null || cannot "nmcli not found"

owner=${3:-}
CLIENT_CHARON=no "$here/ikev2-pair.sh" up "$D" || exit $?
. "$D/pair.env"
tag=${NS_CLIENT#kvc}

watch_owner "$owner" "$D/nm-watcher.pid"

fail() { echo "$me: $*" >&2; teardown; exit 1; }

N=$D/nm
mkdir -p "$N/etc/system-connections" "$N/varlib" "$N/log" "$N/systemd" || fail "cannot create $N"
BUS=unix:path=$N/system_bus_socket
polkit=false
bus_users='<allow user="root"/>'
if [ -n "${NM_DESKTOP_USER:-}" ]; then
    [ -x /usr/lib/polkit-1/polkitd ] || cannot "polkitd not found (package polkitd)"
    uid=$(id -u "$NM_DESKTOP_USER") || fail "no user $NM_DESKTOP_USER"
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
        mkdir -p "$h/user.slice/user-$uid.slice/session-$sid.scope" || cannot "cannot make a session cgroup under $h"
        echo "$h/user.slice/user-$uid.slice/session-$sid.scope" >> "$N/cgroups"
    done
    [ -s "$N/cgroups" ] || cannot "no writable cgroup tree for a session"
    printf 'DESKTOP_USER=%s\n' "$NM_DESKTOP_USER" > "$N/desktop.env"
    # The user reaches the bus socket, nothing else of ours.
    chmod o+x "$D" "$N"
fi

cat > "$N/dbus.conf" <<EOF
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
EOF

nm_dns=none base_gw=192.0.2.254 base_dns= base_ipv6="method=disabled"
if [ "${WIRE:-no}" = yes ]; then
    nm_dns=default base_gw=$GW_ADDR base_dns="dns=$USER_DNS;"
    base_ipv6="method=manual
address1=$CLIENT_ADDR6/64,$GW_ADDR6"
fi
cat > "$N/etc/NetworkManager.conf" <<EOF
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
EOF

cat > "$N/etc/system-connections/base.nmconnection" <<EOF
[connection]
id=base
uuid=fa27bdc6-9853-4a2b-b7b7-011dc8a8a2b4
type=ethernet
autoconnect=false
interface-name=c$tag

[ipv4]
address1=192.0.2.2/24,$base_gw
$base_dns
method=manual

[ipv6]
$base_ipv6
EOF
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
cat >> "$D/nm.env" <<EOF
BUS=$BUS
NM_LOG=$N/log/nm.txt
CHARON_NM_LOG=$N/log/charon-nm.log
EOF
exit 0
