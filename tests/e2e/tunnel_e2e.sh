#!/bin/bash
# The whole program over a real tunnel, with nothing faked but the provider: the stand-in service and
# a gateway charon in one network namespace, the program (headless) with its own client charon and a
# private keyring in the other. The service sits on an address that the client reaches over the link
# while the tunnel is down and through the tunnel while it is up, so its address lookup answers the
# real address or the exit address as a provider's would.
#
#   tunnel_e2e.sh PROGRAM DEVSERVICE SCENARIO
# Exit 77: this machine cannot do it (not root, no charon, no namespaces).
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
program=$1 devservice=$2 scenario=$3
API_ADDR=203.0.113.1
REAL_IP=192.0.2.2 EXIT_IP=198.51.100.77 VIRTUAL_IP=10.99.0.1
PASSWORD=demo1234 EMAIL=demo@kestrava.app

D=$(mktemp -d /tmp/kestrava-e2e.XXXXXX)
service_pid=
failures=0
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
    "$top/tests/vpn/netns/ikev2-pair.sh" down "$D" >/dev/null 2>&1
    rm -rf "$D"
}
trap cleanup EXIT
GW_EXTRA_TS=$API_ADDR/32 "$top/tests/vpn/netns/ikev2-pair.sh" up "$D" $$
rc=$?
[ $rc -eq 0 ] || exit $rc
. "$D/pair.env"
command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null || {
    echo "e2e: needs dbus-run-session and gnome-keyring-daemon" >&2; exit 77; }
ip -n "$NS_GW" addr add $API_ADDR/32 dev lo || exit 1
ip -n "$NS_CLIENT" route add $API_ADDR/32 via "$GW_ADDR" || exit 1

# The demo scenario with the gateway's real credentials for every server, and the lookup by source.
scenario_with() { # $1 = secret, $2 = gateway host, $3 = reply overrides (JSON)
    python3 - "$scenario" "$1" "$2" "$GW_ID" "${3:-[]}" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["overrides"] = json.loads(sys.argv[5])
gw = {"host": sys.argv[3], "remoteId": sys.argv[4], "secret": sys.argv[2]}
d["gateways"] = {s["id"]: gw for s in d["servers"]}
d["geoBySource"] = {"192.0.2.2": {"ip": "192.0.2.2", "city": "Ankara", "countryCode": "TR"},
                    "10.99.0.1": {"ip": "198.51.100.77", "city": "Amsterdam", "countryCode": "NL"}}
print(json.dumps(d))
PY
}
start_service() {
    scenario_with "${1:-$PSK}" "${2:-$GW_ADDR}" "${3:-[]}" > "$D/scenario.json"
    ip netns exec "$NS_GW" "$devservice" --scenario "$D/scenario.json" --host 0.0.0.0 --port 8080 >"$D/service.out" 2>&1 &
    service_pid=$!
    for _ in $(seq 50); do grep -q listening "$D/service.out" && return 0; sleep 0.1; done
    echo "e2e: the service did not start: $(cat "$D/service.out")" >&2; exit 1
}
stop_service() { kill "$service_pid"; wait "$service_pid" 2>/dev/null; service_pid=; }

# In the client namespace, with private mounts: the client charon's socket where the program looks for
# charon's, a keyring on a private session bus, and settings that outlive each run.
cat > "$D/client.sh" <<EOF2
#!/bin/sh
mount -t tmpfs tmpfs /run && touch /run/charon.vici && mount --bind "$CLIENT_VICI" /run/charon.vici || exit 9
exec "$top/tests/vpn/keyring_session.sh" env XDG_CONFIG_HOME="$D/config" "\$@"
EOF2
chmod +x "$D/client.sh"
program_env=(KESTRAVA_API_ORIGIN=http://$API_ADDR:8080 KESTRAVA_WEB_ORIGIN=http://$API_ADDR:8080 KESTRAVA_VPN_BACKEND=strongswan)
runs=0
run() { # headless arguments...; the password on standard input; output in $D/out.N, last in $out
    runs=$((runs + 1)); out=$D/out.$runs
    echo "$PASSWORD" | timeout 120 ip netns exec "$NS_CLIENT" unshare --mount env "${program_env[@]}" "$D/client.sh" \
        "$program" --headless "$@" >"$out" 2>"$out.err"
    code=$?
}
final() { # the final state's field
    python3 - "$out" "$1" <<'PY'
import json, sys
last = None
for line in open(sys.argv[1]):
    if line.startswith("{") and '"state"' in line:
        last = json.loads(line)["state"]
v = (last or {}).get(sys.argv[2])
print("null" if v is None else v if isinstance(v, str) else json.dumps(v))
PY
}
check() { # name, got, expected
    if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}
descendants() { local c; for c in $(pgrep -P "$1"); do echo "$c"; descendants "$c"; done; }
tunnel_answers() { ip netns exec "$NS_CLIENT" ping -c 1 -W 2 "$TUNNEL_ADDR" >/dev/null 2>&1 && echo yes || echo no; }

start_service

# Sign in; the list arrives; connect through the system facility; the service handed out the real key.
run --login "$EMAIL" --connect
check "connect exits 0" "$code" 0
check "connected" "$(final status)" connected
check "real address recorded before" "$(final originalIp)" "$REAL_IP"
check "traffic goes through the tunnel" "$(tunnel_answers)" yes
check "the servers arrived" "$(final servers | python3 -c 'import json,sys; print(len(json.load(sys.stdin)) > 0)')" True

# Started again while connected (as after a kill): the tunnel shows as up, the lookup through it is the
# exit address, and the real address is the stored one.
run
check "restart: connected" "$(final status)" connected
check "restart: exit address seen through the tunnel" "$(final exitIp)" "$EXIT_IP"
check "restart: stored real address" "$(final originalIp)" "$REAL_IP"

# Killed while connected, started again: the same.
echo "$PASSWORD" | ip netns exec "$NS_CLIENT" unshare --mount env "${program_env[@]}" "$D/client.sh" \
    "$program" --headless --watch >"$D/watch.out" 2>&1 &
watch_pid=$!
for _ in $(seq 100); do grep -q '"state"' "$D/watch.out" && break; sleep 0.1; done
killed=no
for pid in $(descendants "$watch_pid"); do
    [ "$(cat /proc/$pid/comm 2>/dev/null)" = kestrava ] && kill -KILL "$pid" && killed=yes
done
wait "$watch_pid" 2>/dev/null
check "the watching copy was killed with -9" "$killed" yes
run
check "after kill -9: connected" "$(final status)" connected
check "after kill -9: stored real address" "$(final originalIp)" "$REAL_IP"

# Press again: down, and the real address returns.
run --disconnect
check "disconnect exits 0" "$code" 0
check "disconnected" "$(final status)" idle
check "no exit address" "$(final exitIp)" null
check "tunnel gone" "$(tunnel_answers)" no
run
check "after disconnect: real address" "$(final originalIp)" "$REAL_IP"

# The gateway refuses the key the service handed out.
stop_service; start_service "wrong-key-0000000000"
run --connect
check "wrong key: exit 1" "$code" 1
check "wrong key: idle" "$(final status)" idle
case "$(final errorMessage)" in "Sistem VPN bağlantıyı reddetti"*) r=refused ;; *) r="$(final errorMessage)" ;; esac
check "wrong key: the refusal text" "$r" refused

# The gateway does not answer.
stop_service; start_service "$PSK" 192.0.2.99
run --connect
check "unreachable: exit 1" "$code" 1
check "unreachable: idle" "$(final status)" idle
echo "     unreachable says: $(final errorMessage)"
check "unreachable: an error is shown" "$([ "$(final errorMessage)" != null ] && echo yes)" yes

# The service is down at start: nothing shown as an error; connect says the list has not arrived.
stop_service
run --connect
check "service down: exit 1" "$code" 1
check "service down: idle" "$(final status)" idle
check "service down: the list is missing" "$(final errorMessage)" "Sunucu listesi henüz yüklenmedi"

# The service fails during connect: its own text, and no tunnel.
start_service "$PSK" "$GW_ADDR" '[{"method":"POST","path":"/connect","status":503,"body":{"message":"Bakım çalışması sürüyor"}}]'
run --connect
check "service fails at connect: exit 1" "$code" 1
check "service fails at connect: idle" "$(final status)" idle
check "service fails at connect: its text" "$(final errorMessage)" "Bakım çalışması sürüyor"
check "service fails at connect: no tunnel" "$(tunnel_answers)" no
stop_service

# Back up: the next connect works and the stored key survived all of the above.
start_service
run --connect
check "recovered: connected" "$(final status)" connected
run --disconnect
check "recovered: disconnected" "$(final status)" idle

# Neither the pre-shared key nor the password is written anywhere the program writes or prints.
leaks=$(grep -rlsaF -e "$PSK" -e "$PASSWORD" "$D/config" "$D"/out.* "$D/watch.out" 2>/dev/null | tr '\n' ' ')
check "no secret in settings or output" "$leaks" ""

echo "e2e: $failures failures"
[ $failures -eq 0 ]
