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
. "$here/setup.sh" || exit $?
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
