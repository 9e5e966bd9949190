#!/bin/bash
# The tray and the popup on a wlroots Wayland desktop: sway (its X11 backend inside a private Xvfb, as
# sway refuses root it runs as nobody) with waybar's StatusNotifierItem tray, the program started by
# sway (so through XWayland), the stand-in service on loopback. A real click on the tray icon opens
# the popup as a floating, undecorated window, never a tiled one; a second click puts it away. The
# icon's contrast with the tray is measured from a screenshot.
#   sway_check.sh KESTRAVA DEVSERVICE SCENARIO ARTEFACTS
# Exit 77 when a part is missing on this machine.
set -u
program=$1 devservice=$2 scenario=$3 artefacts=$4
here=$(cd "$(dirname "$0")" && pwd)
for tool in sway waybar Xwayland Xvfb dbus-daemon xdotool import convert setpriv busctl; do
    command -v "$tool" >/dev/null || { echo "sway: $tool missing"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "sway: needs root to run the session as another user"; exit 77; }
mkdir -p "$artefacts"

W=$(mktemp -d /tmp/kestrava-sway.XXXXXX)
chmod 755 "$W"
pids=() bus_pid=
finish() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    rm -rf "$W"
}
trap finish EXIT
fail() { echo "FAIL sway: $*"; for f in "$W"/*.log "$W"/home/*.log; do [ -f "$f" ] && { echo "--- $f"; tail -15 "$f"; }; done; exit 1; }
within() { local n=$1 i; shift; for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }

# The session's user owns its home, runtime folder and a copy of the program it can run.
mkdir -p "$W/home/.config/sway" "$W/home/.config/waybar" "$W/run"
chmod 700 "$W/run"
cp "$program" "$W/kestrava"
cat > "$W/home/.config/waybar/config" <<'JSON'
{ "layer": "top", "position": "top", "height": 26, "modules-left": ["sway/workspaces"],
  "modules-right": ["tray", "clock"], "tray": {"icon-size": 18, "spacing": 8}, "clock": {"format": "{:%H:%M}"} }
JSON
printf 'output * resolution 1920x1080 position 0,0 bg #5b7fa6 solid_color\nfocus_follows_mouse no\n' > "$W/home/.config/sway/config"
chown -R 65534:65534 "$W/home" "$W/run"

Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp -ac 5>"$W/display" >"$W/xvfb.log" 2>&1 &
pids+=($!)
within 100 test -s "$W/display" || fail "Xvfb did not start"
outer=:$(cat "$W/display")

as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$W/home" \
    XDG_RUNTIME_DIR="$W/run" DBUS_SESSION_BUS_ADDRESS="unix:path=$W/run/bus" "$@"; }
read -r _ bus_pid < <(as_user dbus-daemon --session --fork --print-address=1 --print-pid=1 \
    --address="unix:path=$W/run/bus" | tr '\n' ' ')
[ -n "$bus_pid" ] || fail "no session bus"
as_user DISPLAY="$outer" WLR_BACKENDS=x11 WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    sway -c "$W/home/.config/sway/config" >"$W/sway.log" 2>&1 &
pids+=($!)
sock() { ls "$W"/run/sway-ipc.*.sock 2>/dev/null | head -1; }
has_sock() { [ -n "$(sock)" ]; }
within 100 has_sock || fail "sway did not start"
swaymsg_() { as_user SWAYSOCK="$(sock)" swaymsg "$@"; }

"$devservice" --scenario "$scenario" --port 0 >"$W/service.log" 2>&1 &
pids+=($!)
within 100 grep -q '^listening on ' "$W/service.log" || fail "the stand-in service did not start"
origin=$(sed -n 's/^listening on //p' "$W/service.log")

# At login the program may come up before the bar: it opens as a window, and its icon must reach the
# tray when the bar comes.
swaymsg_ exec "env KESTRAVA_API_ORIGIN=$origin KESTRAVA_WEB_ORIGIN=$origin KESTRAVA_VPN_BACKEND=simulated \
XDG_CONFIG_HOME=$W/home/.config $W/kestrava > $W/home/app.log 2>&1" >/dev/null || fail "swaymsg exec"
within 200 grep -q 'sistem tepsisi yok' "$W/home/app.log" || fail "no word of the missing tray"
# What sway manages under our name: a tiled "con" would reflow the user's windows.
managed() { swaymsg_ -t get_tree | /usr/bin/python3 -c '
import json, sys
def walk(n):
    if n.get("name") == "Kestrava":
        print(n["type"], n.get("border"), n["deco_rect"]["height"])
    for c in n.get("nodes", []) + n.get("floating_nodes", []): walk(c)
walk(json.load(sys.stdin))'; }
shown() { [ -n "$(managed)" ]; }
hidden() { [ -z "$(managed)" ]; }
within 200 shown || fail "no window without a tray"
swaymsg_ exec "waybar > $W/home/waybar.log 2>&1" >/dev/null || fail "swaymsg exec waybar"
registered() { as_user busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems 2>/dev/null | grep -q StatusNotifierItem; }
within 200 registered || fail "the icon never reached waybar's tray"
# The window put away; from now on the icon opens the popup.
swaymsg_ '[title="Kestrava"] kill' >/dev/null || fail "swaymsg kill"
within 100 hidden || fail "the window stayed after it was closed"
sleep 1 # waybar draws the new item

shot() { DISPLAY=$outer import -window root "$artefacts/sway-$1.png"; }
# The tray module's box in the bar: waybar's default style paints it #2980B9.
shot tray
read -r tray_x tray_w < <(convert "$artefacts/sway-tray.png" -crop 1920x1+0+12 +repage txt:- |
    /usr/bin/python3 -c '
import sys
xs = [int(l.split(",")[0]) for l in sys.stdin if "#2980B9" in l.upper()]
print(min(xs), max(xs) - min(xs) + 1) if xs else print(-1, 0)')
[ "$tray_x" -ge 0 ] || fail "no tray box in waybar"
icon_x=$((tray_x + tray_w / 2))
echo "sway: the tray box at x=$tray_x, $tray_w wide"
# The icon's ink (its pixel farthest from the tray's colour) against the tray's colour, measured as the
# other desktop tests measure it.
contrast=$(convert "$artefacts/sway-tray.png" -crop 18x18+$((icon_x - 9))+4 +repage txt:- | PYTHONPATH="$here" /usr/bin/python3 -c '
import sys
from desktop_check import contrast, luminance
rgb = lambda h: tuple(int(h[i:i + 2], 16) for i in (1, 3, 5))
tray = rgb("#2980B9")
px = [rgb(l.split()[2][:7]) for l in sys.stdin if not l.startswith("#")]
ink = max(px, key=lambda p: abs(luminance(p) - luminance(tray)))
print("%.2f" % contrast(ink, tray))')
echo "sway: icon contrast on the tray $contrast:1"
/usr/bin/python3 -c "import sys; sys.exit(0 if float('$contrast') >= 3 else 1)" || fail "icon contrast $contrast:1"

# Pixels darker than the bar's below the bar: the card, if it is shown (the desktop and bar are lighter).
dark_pixels() { shot "$1"; convert "$artefacts/sway-$1.png" -crop 1920x1040+0+40 +repage -colorspace gray -threshold 16% \
    -negate -format "%[fx:round(mean*w*h)]" info:; }
card_box() { convert "$artefacts/sway-$1.png" -crop 1920x1040+0+40 +repage -colorspace gray -threshold 16% -negate \
    -trim -format "%w %h" info:; }
opened() { [ "$(dark_pixels open)" -gt 50000 ]; }
closed() { [ "$(dark_pixels closed)" -lt 1000 ]; }

[ "$(dark_pixels before)" -lt 1000 ] || fail "something dark on the desktop before the click"
DISPLAY=$outer xdotool mousemove "$icon_x" 12 click 1
within 30 opened || fail "a click on the icon opened nothing"
read -r width height < <(card_box open)
echo "sway: the card is ${width}x$height; sway manages it as: $(managed | tr '\n' ' ')"
[ "$width" -ge 390 ] && [ "$width" -le 410 ] && [ "$height" -le 700 ] || fail "the card is ${width}x$height"
managed | while read -r type border deco; do
    [ "$type" != con ] || fail "sway tiles the popup"
    [ "$deco" = 0 ] && [ "$border" != normal ] || fail "sway frames the popup ($border, title bar $deco px)"
done || exit 1

DISPLAY=$outer xdotool mousemove "$icon_x" 12 click 1
within 30 closed || fail "a second click on the icon left it open"
echo "sway: ok"
