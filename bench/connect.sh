#!/bin/bash
# Power button to connected on the namespace tunnel (the state, the service's connect request, the
# keychain and the charon facility), against strongSwan's own `swanctl --initiate` plus one HTTP
# request to the same service on the same set-up. Not a test: it prints numbers. Needs root.
#
#   bench/connect.sh BUILD ROUNDS
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
build=$1 rounds=${2:-15}
program=$build/bench/kestrava-bench-connect devservice=$build/devservice/kestrava-devservice
scenario=$top/devservice/scenarios/demo.json
[ -x "$program" ] || { echo "no $program (build the project first)" >&2; exit 1; }
. "$top/tests/e2e/setup.sh" || exit $?
start_service
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "$PASSWORD" | in_client "$program" "$EMAIL" "$rounds" >"$D/app.txt" 2>"$D/app.err"
echo "exit $?" >> "$D/app.err"
if grep -q '"error"' "$D/app.txt" || ! grep -q medianMs "$D/app.txt"; then
    echo "the power-button run failed:" >&2; cat "$D/app.txt" "$D/app.err" >&2; exit 1
fi

# The floor, on the connection the program left loaded in the client charon: one request to the
# service's connect endpoint from the client namespace, then swanctl's initiate.
token=$(ip netns exec "$NS_CLIENT" curl -sS -H 'Content-Type: application/json' \
    -d "{\"email\":\"$EMAIL\",\"password\":\"$PASSWORD\"}" "http://$API_ADDR:8080/auth/login" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])') || { echo "floor: no token" >&2; exit 1; }
server=$(ip netns exec "$NS_CLIENT" curl -sf -H "Authorization: Bearer $token" "http://$API_ADDR:8080/servers" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["servers"][0]["id"])')
export STRONGSWAN_CONF=$CLIENT_CONF
: > "$D/floor.txt"
for _ in $(seq "$rounds"); do
    t=$(date +%s%N)
    ip netns exec "$NS_CLIENT" curl -sf -o /dev/null -H 'Content-Type: application/json' \
        -H "Authorization: Bearer $token" -d "{\"serverId\":\"$server\"}" "http://$API_ADDR:8080/connect" ||
        { echo "floor: connect request failed" >&2; exit 1; }
    swanctl --initiate --ike kestrava --child kestrava --timeout 20 >/dev/null 2>&1 ||
        { echo "floor: swanctl initiate failed" >&2; exit 1; }
    echo "scale=3; ($(date +%s%N) - $t) / 1000000" | bc >> "$D/floor.txt"
    swanctl --terminate --ike kestrava --timeout 20 >/dev/null 2>&1
done

app=$(python3 -c 'import json,sys; print([json.loads(l)["medianMs"] for l in open(sys.argv[1]) if "medianMs" in l][0])' "$D/app.txt")
floor=$(median < "$D/floor.txt")
echo "rounds: $rounds"
echo "power button -> connected, ms: $(python3 -c 'import json,sys; print(" ".join("%.1f" % json.loads(l)["ms"] for l in open(sys.argv[1]) if "\"round\"" in l))' "$D/app.txt")"
echo "curl connect + swanctl --initiate, ms: $(tr '\n' ' ' < "$D/floor.txt")"
echo "median: power button $app ms, request + swanctl --initiate $floor ms"
