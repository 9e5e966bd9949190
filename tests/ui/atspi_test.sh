#!/bin/bash
# The real program's popup as a screen reader meets it: a private X display and session bus with the
# accessibility bus, the program on the stand-in service and the simulated tunnel, read and driven over
# AT-SPI; the keyboard is a real one (xdotool) typing into the focused field.
#   atspi_test.sh KESTRAVA DEVSERVICE SCENARIO
# Exit 77 when this machine lacks a part.
set -u
app=$1; devservice=$2; scenario=$3
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb dbus-daemon xdotool; do
    command -v "$tool" >/dev/null || { echo "atspi: $tool missing"; exit 77; }
done
[ -x /usr/libexec/at-spi-bus-launcher ] || { echo "atspi: at-spi2-core missing"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "atspi: python3-pyatspi missing"; exit 77; }

W=$(mktemp -d)
pids=()
finish() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    [ -n "${bus_pid:-}" ] && kill "$bus_pid" 2>/dev/null
    rm -rf "$W"
}
trap finish EXIT
die() { echo "atspi: $*"; for f in "$W"/*.txt; do echo "--- $f"; tail -20 "$f"; done; exit 1; }

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$W/display" >"$W/xvfb.txt" 2>&1 &
pids+=($!)
for i in $(seq 100); do [ -s "$W/display" ] && break; sleep 0.05; done
[ -s "$W/display" ] || die "Xvfb did not start"
export DISPLAY=:$(cat "$W/display")

read -r bus_address bus_pid < <(dbus-daemon --session --fork --print-address=1 --print-pid=1 \
    --address="unix:path=$W/bus" | tr '\n' ' ')
[ -n "${bus_pid:-}" ] || die "no session bus"
export DBUS_SESSION_BUS_ADDRESS=$bus_address

"$devservice" --scenario "$scenario" --port 0 >"$W/service.txt" 2>&1 &
pids+=($!)
origin=
for i in $(seq 100); do
    origin=$(sed -n 's/^listening on //p' "$W/service.txt")
    [ -n "$origin" ] && break
    sleep 0.1
done
[ -n "$origin" ] || die "the stand-in service did not start"

mkdir -p "$W/home" "$W/runtime"
chmod 700 "$W/runtime"
HOME=$W/home XDG_CONFIG_HOME=$W/home/.config XDG_RUNTIME_DIR=$W/runtime \
KESTRAVA_API_ORIGIN=$origin KESTRAVA_WEB_ORIGIN=$origin KESTRAVA_VPN_BACKEND=simulated \
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    "$app" --show >"$W/app.txt" 2>&1 &
pids+=($!)

check() { timeout 60 /usr/bin/python3 "$here/atspi_check.py" "$@" || die "check $* failed"; }

check signin
window=
for i in $(seq 50); do
    window=$(xdotool search --onlyvisible --name '^Kestrava$' 2>/dev/null | head -1)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || die "no popup window"
# No window manager here: the pointer's window gets the keys.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
xdotool type --delay 15 'demo@kestrava.app'
xdotool key Tab
xdotool type --delay 15 'demo1234'
check press 'Giriş yap'
check main
echo "atspi: ok"
