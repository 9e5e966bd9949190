#!/bin/bash
# The whole program over NetworkManager, as a desktop user meets it: NetworkManager with its strongSwan
# plugin on a private system bus in the client namespace, the gateway and the stand-in service in the
# other. The program (headless, watching) connects; then the tunnel is turned down and up from outside
# (nmcli, as the desktop's network menu does). The program follows, its agent hands NetworkManager the
# key, and the exit address is never taken for the user's own, in what it shows or what it stores.
#   nm_e2e.sh PROGRAM DEVSERVICE SCENARIO [PRESS_DRIVER]
# Exit 77: this machine cannot do it (not root, no NetworkManager, no namespaces, no keyring).
set -u
program=$1 devservice=$2 scenario=$3 presses=${4:-}
top=$(cd "$(dirname "$0")/../.." && pwd)
API_ADDR=203.0.113.1 REAL_IP=192.0.2.2 EXIT_IP=198.51.100.77
EMAIL=demo@kestrava.app PASSWORD=demo1234

[ "$(id -u)" -eq 0 ] || { echo "nm-e2e: needs root"; exit 77; }
command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null ||
    { echo "nm-e2e: needs dbus-run-session and gnome-keyring-daemon"; exit 77; }

D=$(mktemp -d /tmp/kestrava-nm-e2e.XXXXXX)
service_pid= watch_pid=
failures=0
cleanup() {
    [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
    "$top/tests/vpn/netns/nm-pair.sh" down "$D/pair" >/dev/null 2>&1
    rm -rf "$D"
}
trap cleanup EXIT
GW_EXTRA_TS=$API_ADDR/32 "$top/tests/vpn/netns/nm-pair.sh" up "$D/pair" $$
rc=$?
[ $rc -eq 0 ] || exit $rc
. "$D/pair/nm.env"
export DBUS_SYSTEM_BUS_ADDRESS=$BUS
ip -n "$NS_GW" addr add $API_ADDR/32 dev lo || exit 1
ip -n "$NS_CLIENT" route add $API_ADDR/32 via "$GW_ADDR" || exit 1

# The demo scenario with the gateway's credentials for every server, and the address lookup by source:
# over the link the user's own, through the tunnel the exit address.
/usr/bin/python3 - "$scenario" "$PSK" "$GW_ADDR" "$GW_ID" > "$D/scenario.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
gw = {"host": sys.argv[3], "remoteId": sys.argv[4], "secret": sys.argv[2]}
d["gateways"] = {s["id"]: gw for s in d["servers"]}
d["geoBySource"] = {"192.0.2.2": {"ip": "192.0.2.2", "city": "Ankara", "countryCode": "TR"}}
pool = {"ip": "198.51.100.77", "city": "Amsterdam", "countryCode": "NL"}
for i in range(1, 20):
    d["geoBySource"]["10.99.0.%d" % i] = pool
print(json.dumps(d))
PY
ip netns exec "$NS_GW" "$devservice" --scenario "$D/scenario.json" --host 0.0.0.0 --port 8080 >"$D/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 50); do grep -q listening "$D/service.out" && break; sleep 0.1; done
grep -q listening "$D/service.out" || { echo "nm-e2e: the service did not start: $(cat "$D/service.out")"; exit 1; }

check() { # name, got, expected
    if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}
# The last value printed for a field after line $2 of the watcher's output (null when none).
last_value() { # field, from line
    tail -n +"$2" "$D/watch.out" | /usr/bin/python3 -c '
import json, sys
v = "none"
for line in sys.stdin:
    try: o = json.loads(line)
    except ValueError: continue
    if o.get("field") == sys.argv[1]: v = o.get("value")
    elif "state" in o: v = o["state"].get(sys.argv[1], v)
print("null" if v is None else v)' "$1"
}
# Waits, bounded (tenths of a second), for the field to be printed with that value after line $3.
wait_value() { # field, value, from line, tenths
    local i
    for i in $(seq "$4"); do [ "$(last_value "$1" "$3")" = "$2" ] && return 0; sleep 0.1; done
    return 1
}
stored_own_ip() {
    /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get("kestrava-original-ip"))' \
        "$D/config/kestrava/defaults.json" 2>/dev/null
}
lines() { wc -l < "$D/watch.out"; }

# Signs in, connects and keeps watching, in the client namespace with a keyring of its own.
echo "$PASSWORD" | ip netns exec "$NS_CLIENT" env DBUS_SYSTEM_BUS_ADDRESS="$BUS" \
    KESTRAVA_API_ORIGIN=http://$API_ADDR:8080 KESTRAVA_WEB_ORIGIN=http://$API_ADDR:8080 \
    KESTRAVA_VPN_BACKEND=networkmanager \
    "$top/tests/vpn/keychain/keyring_session.sh" env XDG_CONFIG_HOME="$D/config" \
    "$program" --headless --login "$EMAIL" --connect --watch >"$D/watch.out" 2>"$D/watch.err" &
watch_pid=$!

wait_value status connected 1 900 || { echo "nm-e2e: no connect"; tail -20 "$D/watch.out" "$D/watch.err"; exit 1; }
check "connected through NetworkManager" "$(last_value status 1)" connected
wait_value exitIp "$EXIT_IP" 1 300
check "the exit address through the tunnel" "$(last_value exitIp 1)" "$EXIT_IP"
check "the user's own address" "$(last_value originalIp 1)" "$REAL_IP"
check "the user's own address, stored" "$(stored_own_ip)" "$REAL_IP"

# Down from outside: the program shows it down.
from=$(lines)
nmcli connection down Kestrava >"$D/nmcli.out" 2>&1 || cat "$D/nmcli.out"
wait_value status idle "$from" 300
check "down from outside: idle" "$(last_value status "$from")" idle

# Up from outside, while the program runs: its agent gives the key, and it shows the tunnel up.
from=$(lines)
nmcli connection up Kestrava >"$D/nmcli.out" 2>&1 || cat "$D/nmcli.out"
wait_value status connected "$from" 600
check "up from outside: connected" "$(last_value status "$from")" connected
wait_value exitIp "$EXIT_IP" "$from" 300
check "up from outside: the exit address" "$(last_value exitIp "$from")" "$EXIT_IP"
# Past the next 30-second refresh: the lookup through the tunnel must not become the user's own.
sleep 33
check "after a refresh: the own address shown" "$(last_value originalIp 1)" "$REAL_IP"
check "after a refresh: the own address stored" "$(stored_own_ip)" "$REAL_IP"
check "the exit address was never taken for the own" \
    "$(grep -c "\"originalIp\",\"value\":\"$EXIT_IP\"" "$D/watch.out")" 0

nmcli connection down Kestrava >/dev/null 2>&1
kill "$watch_pid" 2>/dev/null; wait "$watch_pid" 2>/dev/null; watch_pid=

# Presses one after another (connect, disconnect, ...), with the client's link watched: a request of
# ours that leaves in clear from the tunnel's address was opened over a path already gone.
if [ -n "$presses" ]; then
    cap=$D/presses.wire
    ip netns exec "$NS_CLIENT" /usr/bin/python3 "$top/tests/vpn/netns/wire.py" sniff "$CLIENT_IF" "$cap" "$GW_ADDR" \
        2>"$cap.err" &
    sniffer=$!
    for _ in $(seq 50); do [ -f "$cap.ready" ] && break; sleep 0.1; done
    echo "$PASSWORD" | timeout 300 ip netns exec "$NS_CLIENT" env DBUS_SYSTEM_BUS_ADDRESS="$BUS" \
        KESTRAVA_API_ORIGIN=http://$API_ADDR:8080 KESTRAVA_WEB_ORIGIN=http://$API_ADDR:8080 \
        KESTRAVA_VPN_BACKEND=networkmanager "$top/tests/vpn/keychain/keyring_session.sh" \
        env XDG_CONFIG_HOME="$D/presses-config" "$presses" "$EMAIL" 8 >"$D/presses.out" 2>"$D/presses.err"
    check "presses: all rounds connected and disconnected" "$?" 0
    kill "$sniffer"; for _ in $(seq 50); do [ -f "$cap.done" ] && break; sleep 0.1; done
    check "presses: nothing from the tunnel's address in clear" \
        "$(awk -v p="${POOL%.*}." '$5 == "out" && index($2, p) == 1' "$cap" | head -3)" ""
    echo "     presses: $(grep medianMs "$D/presses.out")"
fi
echo "nm-e2e: $failures failure(s)"
[ "$failures" -eq 0 ]
