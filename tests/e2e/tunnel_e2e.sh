#!/bin/bash
# The whole program over a real tunnel, with nothing faked but the provider: the stand-in service and
# a gateway charon in one network namespace, the program (headless) with its own client charon and a
# private keyring in the other. The service sits on an address that the client reaches over the link
# while the tunnel is down and through the tunnel while it is up, so its address lookup answers the
# real address or the exit address as a provider's would.
#
#   tunnel_e2e.sh PROGRAM DEVSERVICE SCENARIO [POPUP_DRIVER] [PRESS_DRIVER]
# Exit 77: this machine cannot do it (not root, no charon, no namespaces).
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
program=$1 devservice=$2 scenario=$3 popup=${4:-} presses=${5:-}
. "$here/setup.sh" || exit $?
start_service

# Sign in; the list arrives; connect through the system facility; the service handed out the real key.
run --login "$EMAIL" --connect
check "connect exits 0" "$code" 0
check "connected" "$(final status)" connected
check "real address recorded before" "$(final originalIp)" "$REAL_IP"
check "traffic goes through the tunnel" "$(tunnel_answers)" yes
# The gateway grants no IPv6: IPv6 is blocked, not sent beside the tunnel; names go to its resolver.
check "on the wire while connected" "$(wire)" "v4=tunnel v6=blocked dns=tunnel other=0"
check "the servers arrived" "$(final servers | python3 -c 'import json,sys; print(len(json.load(sys.stdin)) > 0)')" True

# Started again while connected (as after a kill): the tunnel shows as up, the lookup through it is the
# exit address, and the real address is the stored one.
run
check "restart: connected" "$(final status)" connected
check "restart: exit address seen through the tunnel" "$(final exitIp)" "$EXIT_IP"
check "restart: stored real address" "$(final originalIp)" "$REAL_IP"

# Killed while connected, started again: the same.
watch_start watch '"state"'
killed=no exposed=
for pid in $(programs); do
    # Neither secret is in the running program's environment or command line.
    for f in environ cmdline; do
        grep -qaF -e "$PSK" -e "$PASSWORD" "/proc/$pid/$f" && exposed="$exposed $f"
    done
    kill -KILL "$pid" && killed=yes
done
check "no secret in the environment or command line" "$exposed" ""
wait "$watcher" 2>/dev/null
check "the watching copy was killed with -9" "$killed" yes
run
check "after kill -9: connected" "$(final status)" connected
check "after kill -9: stored real address" "$(final originalIp)" "$REAL_IP"
check "after kill -9: on the wire" "$(wire)" "v4=tunnel v6=blocked dns=tunnel other=0"

# Press again: down, and the real address returns.
run --disconnect
check "disconnect exits 0" "$code" 0
check "disconnected" "$(final status)" idle
check "no exit address" "$(final exitIp)" null
check "tunnel gone" "$(tunnel_answers)" no
# With no tunnel there is nothing to leak: the program's own traffic with the service goes in clear
# then, as it should, so what else went in clear is not counted here.
check "after disconnect: everything in clear again" "$(wire | cut -d' ' -f1-3)" "v4=clear v6=clear dns=clear"
run
check "after disconnect: real address" "$(final originalIp)" "$REAL_IP"

[ -n "$presses" ] && presses_check "$presses"

# The popup's half, under X in the client namespace, for the user signed in above: the power button
# brings the tunnel up, the exit card shows the lookup through it while the real card keeps the
# recorded address; pressed again, the tunnel goes down.
if [ -n "$popup" ] && command -v xvfb-run >/dev/null; then
    limit=180 in_client xvfb-run -a -s "-screen 0 1280x800x24" "$popup" "$REAL_IP" "$EXIT_IP" >"$D/popup.out" 2>"$D/popup.err"
    code=$?
    cat "$D/popup.out"
    failures=$((failures + $(grep -c '^FAIL' "$D/popup.out")))
    check "popup: exits 0" "$code" 0
    check "popup: the tunnel is gone" "$(tunnel_answers)" no
else
    echo "skip popup: no driver or no xvfb-run"
fi

# A connect that fails: exit 1, idle, a text matching PATTERN (a glob), and no tunnel.
refused() { # name, pattern
    run --connect
    check "$1: exit 1" "$code" 1
    check "$1: idle" "$(final status)" idle
    local said; said=$(final errorMessage)
    echo "     $1 says: $said"
    case "$said" in null) said="no text" ;; $2) said=ok ;; esac
    check "$1: its text" "$said" ok
    check "$1: no tunnel" "$(tunnel_answers)" no
}
# The gateway refuses the key the service handed out; it does not answer; the service is down at start
# (nothing shown as an error but the list missing at connect); the service fails during connect.
stop_service; start_service "wrong-key-0000000000"
refused "wrong key" "Sistem VPN bağlantıyı reddetti*"
stop_service; start_service "$PSK" 192.0.2.99
refused unreachable "?*"
stop_service
refused "service down" "Sunucu listesi henüz yüklenmedi"
start_service "$PSK" "$GW_ADDR" '[{"method":"POST","path":"/connect","status":503,"body":{"message":"Bakım çalışması sürüyor"}}]'
refused "service fails at connect" "Bakım çalışması sürüyor"
stop_service

# Back up: the next connect works and the stored key survived all of the above.
start_service
run --connect
check "recovered: connected" "$(final status)" connected
run --disconnect
check "recovered: disconnected" "$(final status)" idle

# The system's charon restarts while connected: every SA is gone. The program shows idle, and the next
# connect loads the connection and the key into the new daemon.
run --connect
check "before charon restart: connected" "$(final status)" connected
"$top/tests/vpn/netns/ikev2-pair.sh" restart-client "$D" || exit 1
run
check "after charon restart: idle" "$(final status)" idle
check "after charon restart: no tunnel" "$(tunnel_answers)" no
check "after charon restart: nothing left blocked" "$(wire | cut -d' ' -f1-3)" "v4=clear v6=clear dns=clear"
run --connect
check "after charon restart: connect works" "$(final status)" connected

# The path dies while connected (the far end of the link goes down; the client keeps its route, as
# behind a router that lost its uplink): once charon's dead-peer detection gives up, the watching
# copy shows idle; with the link back the next connect works. With its own interface down instead,
# charon keeps the SA and waits for a route to come back (roaming), so that is not a lost tunnel.
veth=$(ip -n "$NS_GW" -o link show type veth | awk -F': ' '{print $2}' | cut -d@ -f1)
# Only what it prints after the cut counts; at start it may pass through idle on its way to connected.
# Settled once the exit address has come through the tunnel.
watch_start cut "\"field\":\"exitIp\",\"value\":\"$EXIT_IP\""
seen=$(wc -l < "$D/cut.out") cut_at=$SECONDS
ip -n "$NS_GW" link set "$veth" down
went_idle=no
for _ in $(seq 90); do
    tail -n +$((seen + 1)) "$D/cut.out" | grep -q '"field":"status","value":"idle"' && { went_idle=yes; break; }
    sleep 1
done
echo "     link cut: idle after $((SECONDS - cut_at)) s"
check "link cut: the watching copy shows idle" "$went_idle" yes
ip -n "$NS_GW" link set "$veth" up
watch_stop
run --connect
check "link back: connect works" "$(final status)" connected

# The client's own link goes away (Wi-Fi lost) and the gateway forgets the tunnel meanwhile: charon
# keeps the SA while it has no route (MOBIKE), learns that it is dead once the link is back, and the
# program starts it again by itself, once; its status shows it down in between. The wire is watched
# from the loss to the tunnel's return.
# It connects itself, from down: each run has a keyring of its own, and the start after the loss needs
# the key there.
run --disconnect
watch_start wifi "\"field\":\"exitIp\",\"value\":\"$EXIT_IP\"" --connect
seen=$(wc -l < "$D/wifi.out")
ip -n "$NS_CLIENT" link set "$CLIENT_IF" down
STRONGSWAN_CONF=$GW_CONF swanctl --terminate --ike rw --force >/dev/null 2>&1
# Its DELETE waits for the link in the neighbour queue; a gateway that forgot us sends none.
ip -n "$NS_GW" neigh flush all
sniff_start "$D/wifi.wire"
ip -n "$NS_CLIENT" link set "$CLIENT_IF" up
ip -n "$NS_CLIENT" route replace default via "$GW_ADDR"
ip -n "$NS_CLIENT" route replace $API_ADDR/32 via "$GW_ADDR"
# The link's IPv6 address and default went with it (addresses are not kept on a link that goes down).
ip -n "$NS_CLIENT" -6 addr replace "$CLIENT_ADDR6/64" dev "$CLIENT_IF" nodad
for _ in $(seq 100); do ip -n "$NS_CLIENT" -6 route replace default via "$GW_ADDR6" 2>/dev/null && break; sleep 0.1; done
went_down=no back=no
for _ in $(seq 300); do
    tail -n +$((seen + 1)) "$D/wifi.out" | grep -q '"field":"status","value":"idle"' && went_down=yes
    [ $went_down = yes ] && tail -n +$((seen + 1)) "$D/wifi.out" | grep -q '"field":"status","value":"connected"' &&
        { back=yes; break; }
    sleep 0.1
done
sniff_stop
check "link lost: the status showed it down" "$went_down" yes
check "link back: the tunnel came back by itself" "$back" yes
[ $back = yes ] || tail -n +$((seen + 1)) "$D/wifi.out" | grep -E '"(status|errorMessage)"' | tail -6
check "link back: nothing in clear meanwhile" "$(awk '$1 != "ike" && $5 == "out"' "$D/wifi.wire" | sort | uniq -c | head -5)" ""
check "link back: on the wire" "$(wire)" "v4=tunnel v6=blocked dns=tunnel other=0"
watch_stop
run --disconnect
check "link back: disconnected" "$(final status)" idle

# No session bus (so no keyring), then a keyring that stays locked (no collection unlocked, no prompter): connect fails with a text and no
# tunnel, in bounded time; nothing that was stored is lost, so the next connect with a keyring works.
keyring_case() { # name, the command that runs the program on a session bus
    client_script "$D/client-$1.sh" 'home=$(mktemp -d -p '"$D"' home.XXXXXX) && mkdir -p -m 0700 "$home/run" || exit 9
export HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="'"$D/config"'"
'"$2"
    client="$D/client-$1.sh" refused "keyring $1" "?*"
}
keyring_case absent 'DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus exec "$@"'
keyring_case locked 'exec dbus-run-session -- sh -c '"'"'gnome-keyring-daemon --start --components=secrets >/dev/null 2>&1; exec "$@"'"'"' sh "$@"'
run --connect
check "keyring back: connected" "$(final status)" connected
run --disconnect
check "keyring back: disconnected" "$(final status)" idle

# Neither the pre-shared key nor the password is written anywhere the program writes or prints.
leaks=$(grep -rlsaF -e "$PSK" -e "$PASSWORD" "$D/config" "$D"/out.* "$D/watch.out" "$D/cut.out" "$D"/popup.* 2>/dev/null | tr '\n' ' ')
check "no secret in settings or output" "$leaks" ""

echo "e2e: $failures failures"
[ $failures -eq 0 ]
