#!/bin/bash
# The power button on the namespace tunnel (the state, the service's connect request, the keychain and
# the system facility): to connected right after a disconnect, and to idle right after a connect, round
# after round; against the backend's own start (swanctl --initiate, or nmcli connection up) plus one
# HTTP request to the same service on the same set-up. While the presses run, the client's link is
# watched: a request of ours from the tunnel's address in clear is one opened over a path already gone.
# Not a test: it prints numbers. Needs root.
#
#   bench/connect.sh BUILD ROUNDS [strongswan|networkmanager]
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
build=$1 rounds=${2:-15} backend=${3:-strongswan}
program=$build/bench/kestrava-bench-connect devservice=$build/devservice/kestrava-devservice
scenario=$top/devservice/scenarios/demo.json
[ -x "$program" ] || { echo "no $program (build the project first)" >&2; exit 1; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

if [ "$backend" = networkmanager ]; then
    [ "$(id -u)" -eq 0 ] || { echo "connect: needs root" >&2; exit 77; }
    API_ADDR=203.0.113.1 PASSWORD=demo1234 EMAIL=demo@kestrava.app
    D=$(mktemp -d /tmp/kestrava-bench-nm.XXXXXX)
    service_pid=
    cleanup() {
        [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
        "$top/tests/vpn/netns/nm-pair.sh" down "$D/pair" >/dev/null 2>&1
        rm -rf "$D"
    }
    trap cleanup EXIT
    GW_EXTRA_TS=$API_ADDR/32 "$top/tests/vpn/netns/nm-pair.sh" up "$D/pair" $$ || exit $?
    . "$D/pair/nm.env"
    export DBUS_SYSTEM_BUS_ADDRESS=$BUS
    ip -n "$NS_GW" addr add $API_ADDR/32 dev lo || exit 1
    ip -n "$NS_CLIENT" route add $API_ADDR/32 via "$GW_ADDR" || exit 1
    python3 - "$scenario" "$PSK" "$GW_ADDR" "$GW_ID" > "$D/scenario.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["gateways"] = {s["id"]: {"host": sys.argv[3], "remoteId": sys.argv[4], "secret": sys.argv[2]} for s in d["servers"]}
print(json.dumps(d))
PY
    ip netns exec "$NS_GW" "$devservice" --scenario "$D/scenario.json" --host 0.0.0.0 --port 8080 >"$D/service.out" 2>&1 &
    service_pid=$!
    for _ in $(seq 50); do grep -q listening "$D/service.out" && break; sleep 0.1; done
    in_client() {
        timeout 900 ip netns exec "$NS_CLIENT" env DBUS_SYSTEM_BUS_ADDRESS="$BUS" \
            KESTRAVA_API_ORIGIN=http://$API_ADDR:8080 KESTRAVA_WEB_ORIGIN=http://$API_ADDR:8080 \
            KESTRAVA_VPN_BACKEND=networkmanager "$top/tests/vpn/keychain/keyring_session.sh" \
            env XDG_CONFIG_HOME="$D/config" "$@"
    }
    # The floor's profile keeps its key itself: no agent is left to ask once the program is gone.
    floor_start() {
        [ -f "$D/keyed" ] || { nmcli connection modify Kestrava +vpn.data password-flags=0 vpn.secrets "password=$PSK" &&
            touch "$D/keyed"; } || return 1
        nmcli connection up Kestrava >"$D/nmcli.out" 2>&1 || { cat "$D/nmcli.out" >&2; false; }
    }
    floor_stop() { nmcli connection down Kestrava >/dev/null 2>&1; }
    floor_name="nmcli connection up"
else
    . "$top/tests/e2e/setup.sh" || exit $?
    start_service
    export STRONGSWAN_CONF=$CLIENT_CONF
    floor_start() { swanctl --initiate --ike kestrava --child kestrava --timeout 20 >/dev/null 2>&1; }
    floor_stop() { swanctl --terminate --ike kestrava --timeout 20 >/dev/null 2>&1; }
    floor_name="swanctl --initiate"
fi

# The client's link while the presses run: every packet but IKE, as "PROTO SRC DST DPORT in|out".
ip netns exec "$NS_CLIENT" python3 "$top/tests/vpn/netns/wire.py" sniff "$CLIENT_IF" "$D/presses.wire" "$GW_ADDR" \
    2>"$D/sniff.err" &
sniffer=$!
for _ in $(seq 50); do [ -f "$D/presses.wire.ready" ] && break; sleep 0.1; done
echo "$PASSWORD" | in_client "$program" "$EMAIL" "$rounds" >"$D/app.txt" 2>"$D/app.err"
echo "exit $?" >> "$D/app.err"
kill "$sniffer"
for _ in $(seq 50); do [ -f "$D/presses.wire.done" ] && break; sleep 0.1; done
if grep -q '"error"' "$D/app.txt" || ! grep -q medianMs "$D/app.txt"; then
    echo "the power-button run failed:" >&2; cat "$D/app.txt" "$D/app.err" >&2; exit 1
fi
pool=${POOL%.*}.
stale=$(awk -v p="$pool" '$5 == "out" && index($2, p) == 1' "$D/presses.wire" | wc -l)

# The floor, on the connection the program left in place: one request to the service's connect
# endpoint from the client namespace, then the backend's own start.
token=$(ip netns exec "$NS_CLIENT" curl -sS -H 'Content-Type: application/json' \
    -d "{\"email\":\"$EMAIL\",\"password\":\"$PASSWORD\"}" "http://$API_ADDR:8080/auth/login" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])') || { echo "floor: no token" >&2; exit 1; }
server=$(ip netns exec "$NS_CLIENT" curl -sf -H "Authorization: Bearer $token" "http://$API_ADDR:8080/servers" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["servers"][0]["id"])')
: > "$D/floor.txt"
for _ in $(seq "$rounds"); do
    t=$(date +%s%N)
    ip netns exec "$NS_CLIENT" curl -sf -o /dev/null -H 'Content-Type: application/json' \
        -H "Authorization: Bearer $token" -d "{\"serverId\":\"$server\"}" "http://$API_ADDR:8080/connect" ||
        { echo "floor: connect request failed" >&2; exit 1; }
    floor_start || { echo "floor: $floor_name failed" >&2; exit 1; }
    echo "scale=3; ($(date +%s%N) - $t) / 1000000" | bc >> "$D/floor.txt"
    floor_stop
done

python3 - "$D/app.txt" "$D/floor.txt" "$backend" "$floor_name" "$stale" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
rounds = [l for l in lines if "round" in l]
s = [l for l in lines if "medianMs" in l][0]
floor = sorted(float(x) for x in open(sys.argv[2]) if x.strip())
fmed = floor[(len(floor) - 1) // 2]
backend, name, stale = sys.argv[3], sys.argv[4], int(sys.argv[5])
print("rounds: %d (%s)" % (len(rounds), backend))
print("power button -> connected, ms: " + " ".join("%.1f" % r["ms"] for r in rounds))
print("power button -> idle, ms: " + " ".join("%.1f" % r["downMs"] for r in rounds))
print("request + %s, ms: %s" % (name, " ".join("%.1f" % x for x in floor)))
print("%s connect after disconnect min/median/max: %.1f / %.1f / %.1f ms; slowest %.2fx median (%s)" % (
    backend, s["minMs"], s["medianMs"], s["maxMs"], s["maxMs"] / s["medianMs"],
    "within 2x" if s["maxMs"] <= 2 * s["medianMs"] else "over 2x"))
print("%s disconnect after connect min/median/max: %.1f / %.1f / %.1f ms" % (
    backend, s["downMinMs"], s["downMedianMs"], s["downMaxMs"]))
print("%s floor (request + %s) min/median/max: %.1f / %.1f / %.1f ms" % (backend, name, floor[0], fmed, floor[-1]))
print("%s requests in clear from the tunnel's address: %d" % (backend, stale))
print("median: power button %.1f ms, request + %s %.1f ms" % (s["medianMs"], name, fmed))
PY
