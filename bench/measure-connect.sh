#!/bin/bash
# Connect time through the facility (startTunnel() to connected) against strongSwan's own
# `swanctl --initiate` on the same namespaces, the same charon and the same loaded connection.
# Not a test: it prints numbers.
#
#   measure-connect.sh [ROUNDS] [TIMER]     TIMER defaults to the build's kestrava-connect-timer
set -u
here=$(cd "$(dirname "$0")" && pwd)
pair=$here/../tests/vpn/netns/ikev2-pair.sh
rounds=${1:-15}
timer=${2:-$here/../build/bench/kestrava-connect-timer}
[ -x "$timer" ] || { echo "no timer binary at $timer (build the project first)" >&2; exit 1; }

D=$(mktemp -d /tmp/kestrava-measure.XXXXXX)
trap '"$pair" down "$D"; rm -rf "$D"' EXIT
"$pair" up "$D" $$ || exit 1
. "$D/pair.env"
export STRONGSWAN_CONF=$CLIENT_CONF

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }

"$timer" "$CLIENT_VICI" "$GW_ADDR" "$GW_ID" "$CLIENT_ID" "$PSK" "$rounds" > "$D/facility.txt" || {
    cat "$D/facility.txt"; exit 1; }

: > "$D/swanctl.txt"; : > "$D/floor.txt"
for i in $(seq "$rounds"); do
    t=$(now)
    swanctl --initiate --ike kestrava --child kestrava --timeout 20 >/dev/null 2>&1 || { echo "swanctl initiate failed" >&2; exit 1; }
    echo "scale=3; ($(now) - $t) / 1000000" | bc >> "$D/swanctl.txt"
    swanctl --terminate --ike kestrava --timeout 20 >/dev/null 2>&1
    # What a swanctl run costs before charon does anything: start-up and one VICI round trip.
    t=$(now)
    swanctl --stats >/dev/null 2>&1
    echo "scale=3; ($(now) - $t) / 1000000" | bc >> "$D/floor.txt"
done

fac=$(sed -n 's/^facility round [0-9]*: \([0-9.]*\) ms$/\1/p' "$D/facility.txt" | median)
sw=$(median < "$D/swanctl.txt")
floor=$(median < "$D/floor.txt")
echo "rounds: $rounds"
echo "facility startTunnel() -> connected, ms: $(sed -n 's/^facility round [0-9]*: \([0-9.]*\) ms$/\1/p' "$D/facility.txt" | tr '\n' ' ')"
echo "swanctl --initiate (process wall time), ms: $(tr '\n' ' ' < "$D/swanctl.txt")"
echo "median: facility $fac ms, swanctl --initiate $sw ms (swanctl --stats floor $floor ms)"
echo "ratio facility / swanctl: $(echo "scale=2; $fac / $sw" | bc)"
