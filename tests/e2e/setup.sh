# The namespaces, the stand-in service and the client wrapper shared by the end-to-end tests and the
# connect benchmark. Sourced; the caller sets top, program, devservice and scenario, and BACKEND=networkmanager
# for NetworkManager with its strongSwan plugin on a private system bus in the client namespace.
# Exits 77 when this machine cannot do it (not root, no charon or NetworkManager, no namespaces, no keyring).
API_ADDR=203.0.113.1
REAL_IP=192.0.2.2 EXIT_IP=198.51.100.77 VIRTUAL_IP=10.99.0.1
PASSWORD=demo1234 EMAIL=demo@kestrava.app

D=$(mktemp -d /tmp/kestrava-e2e.XXXXXX)
service_pid=
failures=0
pair=ikev2-pair.sh wire=yes
[ "${BACKEND:-}" = networkmanager ] && pair=nm-pair.sh wire=
cleanup() {
    [ -n "${watcher:-}" ] && kill "$watcher" 2>/dev/null && wait "$watcher" 2>/dev/null
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
    "$top/tests/vpn/netns/$pair" down "$D" >/dev/null 2>&1
    rm -rf "$D"
}
trap cleanup EXIT
# WIRE: the client's link carries both families and a resolver of the user's own; the gateway grants
# IPv4 only, so IPv6 must be blocked while connected (wire-probe.sh says where each kind of traffic went).
WIRE=$wire GW_EXTRA_TS=$API_ADDR/32 "$top/tests/vpn/netns/$pair" up "$D" $$
rc=$?
[ $rc -eq 0 ] || exit $rc
if [ $pair = nm-pair.sh ]; then . "$D/nm.env"; export DBUS_SYSTEM_BUS_ADDRESS=$BUS; else . "$D/pair.env"; fi
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
d["geoBySource"] = {"192.0.2.2": {"ip": "192.0.2.2", "city": "Ankara", "countryCode": "TR"}}
for i in range(1, 20):  # the pool's addresses
    d["geoBySource"]["10.99.0.%d" % i] = {"ip": "198.51.100.77", "city": "Amsterdam", "countryCode": "NL"}
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
client_script() { # file, the lines that start "$@" on a session bus with the settings in $D/config
    printf '#!/bin/sh\n%s\n%s\n' \
        "mount -t tmpfs tmpfs /run && touch /run/charon.vici && mount --bind \"$CLIENT_VICI\" /run/charon.vici || exit 9" \
        "$2" > "$1"
    chmod +x "$1"
}
client_script "$D/client.sh" "exec \"$top/tests/vpn/keychain/keyring_session.sh\" env XDG_CONFIG_HOME=\"$D/config\" \"\$@\""
program_env=(KESTRAVA_API_ORIGIN=http://$API_ADDR:8080 KESTRAVA_WEB_ORIGIN=http://$API_ADDR:8080 KESTRAVA_VPN_BACKEND=${BACKEND:-strongswan})
in_client() { # command...: run in the client namespace through the wrapper; limit= and client= before the call
    if [ $pair = nm-pair.sh ]; then
        timeout "${limit:-600}" ip netns exec "$NS_CLIENT" env "${program_env[@]}" DBUS_SYSTEM_BUS_ADDRESS="$BUS" \
            "$top/tests/vpn/keychain/keyring_session.sh" env XDG_CONFIG_HOME="${config:-$D/config}" "$@"
        return
    fi
    timeout "${limit:-600}" ip netns exec "$NS_CLIENT" unshare --mount env "${program_env[@]}" \
        "$top/tests/vpn/netns/packaged-hook.sh" "$(mktemp -d -p "$D" hook.XXXX)" "${client:-$D/client.sh}" "$@"
}
runs=0
run() { # headless arguments...; the password on standard input; output in $D/out.N, last in $out
    runs=$((runs + 1)); out=$D/out.$runs
    echo "$PASSWORD" | limit=120 in_client "$program" --headless "$@" >"$out" 2>"$out.err"
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
# A watching copy in the background ($watcher), its output in $D/NAME.out; back once it printed PATTERN.
watch_start() { # name, pattern, headless arguments...
    local name=$1 pattern=$2
    shift 2
    echo "$PASSWORD" | in_client "$program" --headless "$@" --watch >"$D/$name.out" 2>&1 &
    watcher=$!
    for _ in $(seq 100); do grep -q "$pattern" "$D/$name.out" && break; sleep 0.1; done
}
programs() { local p; for p in $(descendants "$watcher"); do [ "$(cat /proc/$p/comm 2>/dev/null)" = kestrava ] && echo "$p"; done; }
watch_stop() { kill -TERM $(programs) 2>/dev/null; wait "$watcher" 2>/dev/null; watcher=; }
# The client's link watched into FILE ("PROTO SRC DST DPORT in|out", IKE left out) until sniff_stop.
sniff_start() { # file
    sniff_file=$1
    ip netns exec "$NS_CLIENT" python3 "$top/tests/vpn/netns/wire.py" sniff "$CLIENT_IF" "$1" "$GW_ADDR" 2>"$1.err" &
    sniffer=$!
    for _ in $(seq 50); do [ -f "$1.ready" ] && break; sleep 0.1; done
}
sniff_stop() { kill "$sniffer"; for _ in $(seq 50); do [ -f "$sniff_file.done" ] && break; sleep 0.1; done; }
wire() { # the first line of wire-probe.sh; what went in clear to standard error
    "$top/tests/vpn/netns/wire-probe.sh" "$D" > "$D/wire.out"
    head -1 "$D/wire.out"
    grep "^# in clear" "$D/wire.out" >&2
}
# The outside host answers in clear too: through the tunnel means answered with nothing of it on the link.
tunnel_answers() { case "$(wire)" in v4=tunnel*) echo yes ;; *) echo no ;; esac; }

# Presses one after another (connect, disconnect, ...) with the press driver, the client's link watched: a
# request of ours that leaves in clear from the tunnel's address was opened over a path already gone, and
# would hold up the press behind it.
presses_check() { # press driver
    sniff_start "$D/presses.wire"
    echo "$PASSWORD" | limit=300 config=$D/presses-config in_client "$1" "$EMAIL" 8 >"$D/presses.out" 2>"$D/presses.err"
    check "presses: all rounds connected and disconnected" "$?" 0
    # The last stop may still be taking the tunnel down as the driver ends; what follows starts idle.
    local i
    for i in $(seq 25); do [ "$(tunnel_answers 2>/dev/null)" = no ] && break; sleep 0.2; done
    check "presses: the tunnel is gone after the last round" "$(tunnel_answers)" no
    sniff_stop
    check "presses: nothing from the tunnel's address in clear" \
        "$(awk -v p="${POOL%.*}." '$5 == "out" && index($2, p) == 1' "$D/presses.wire" | head -3)" ""
    echo "     presses: $(grep medianMs "$D/presses.out")"
}
