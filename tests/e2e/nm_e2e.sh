#!/bin/bash
# The whole program over NetworkManager, as a desktop user meets it: NetworkManager with its strongSwan
# plugin on a private system bus in the client namespace, the gateway and the stand-in service in the
# other. The program (headless, watching) connects; then the tunnel is turned down and up from outside
# (nmcli, as the desktop's network menu does). The program follows, its agent hands NetworkManager the
# key, and the exit address is never taken for the user's own, in what it shows or what it stores.
#   nm_e2e.sh PROGRAM DEVSERVICE SCENARIO [PRESS_DRIVER]
# Exit 77: this machine cannot do it (not root, no NetworkManager, no namespaces, no keyring).
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
program=$1 devservice=$2 scenario=$3 presses=${4:-}
BACKEND=networkmanager . "$here/setup.sh" || exit $?
start_service

# The last value printed for a field after line $2 of the watcher's output ("none" when none).
last_value() { # field, from line
    tail -n +"$2" "$D/watch.out" | python3 -c '
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
    for _ in $(seq "$4"); do [ "$(last_value "$1" "$3")" = "$2" ] && return 0; sleep 0.1; done
    return 1
}
stored_own_ip() {
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get("kestrava-original-ip"))' \
        "$D/config/kestrava/defaults.json" 2>/dev/null
}
lines() { wc -l < "$D/watch.out"; }
# The stand-in service's count of address lookups.
lookups() { ip netns exec "$NS_GW" curl -s http://127.0.0.1:8080/__control/requests | grep -o '"path":"/geo"' | wc -l; }

watch_start watch '"state"' --login "$EMAIL" --connect
wait_value status connected 1 900 || { echo "nm-e2e: no connect"; tail -20 "$D/watch.out"; exit 1; }
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
# Past the next 30-second refresh, seen by the service: the lookup through the tunnel must not become the
# user's own.
seen=$(lookups)
for _ in $(seq 450); do [ "$(lookups)" -gt "$seen" ] && break; sleep 0.1; done
check "a refresh looked the address up" "$([ "$(lookups)" -gt "$seen" ] && echo yes)" yes
wait_value originalIp "$EXIT_IP" "$from" 20
check "after a refresh: the own address shown" "$(last_value originalIp 1)" "$REAL_IP"
check "after a refresh: the own address stored" "$(stored_own_ip)" "$REAL_IP"
check "the exit address was never taken for the own" \
    "$(grep -c "\"originalIp\",\"value\":\"$EXIT_IP\"" "$D/watch.out")" 0

nmcli connection down Kestrava >/dev/null 2>&1
watch_stop
[ -n "$presses" ] && presses_check "$presses"
echo "nm-e2e: $failures failure(s)"
[ "$failures" -eq 0 ]
