#!/usr/bin/env bash
# The Debian package as a user gets it: built, checked (desktop-file-validate, appstreamcli,
# lintian), installed with apt-get on this machine, started from its menu and autostart entries
# under Xvfb on a private session bus, its launcher's choice between the packaged and a per-user
# copy, and purged again without a file left. Needs root; the package is removed even on failure.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
top=$1; build=$2
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root (installs the package)"; exit 77; }
if dpkg-query -W kestrava >/dev/null 2>&1; then
    echo "SKIP: a kestrava package is on this machine already; the test does not touch it"; exit 77
fi

work=$(mktemp -d)
installed=false
bus_pid=; x_pid=; started=()
cleanup() {
    set +e
    local p
    for p in "${started[@]}"; do kill -CONT "$p" 2>/dev/null; kill -KILL "$p" 2>/dev/null || true; done
    [ -n "$x_pid" ] && kill "$x_pid" 2>/dev/null
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    if $installed; then DEBIAN_FRONTEND=noninteractive apt-get purge -o DPkg::Lock::Timeout=300 -y -q kestrava >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*"; }
# Polls a condition for up to $1 tenths of a second.
within() { local n=$1 i; shift; for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }

step "build the package"
deb=$("$top/scripts/make-deb" "$build" "$work/deb")
ls -l "$deb"
mkdir "$work/x" && dpkg-deb -x "$deb" "$work/x"

step "check the desktop entries, the metainfo and the package"
desktop-file-validate "$work/x/usr/share/applications/app.kestrava.linux.desktop"
desktop-file-validate "$work/x/etc/xdg/autostart/app.kestrava.linux.desktop"
appstreamcli validate --no-net "$work/x/usr/share/metainfo/app.kestrava.linux.metainfo.xml"
# Every tag down to the informational ones, for the log.
# Its temporary files in our folder: run as root, lintian leaves some behind.
TMPDIR=$work lintian -I "$deb" 2>&1 | grep -v 'root privileges' || true
TMPDIR=$work lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

# What of the package's paths exists before it comes: those must stay, everything else must go.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' > "$work/paths"
while read -r p; do [ -e "$p" ] && echo "$p"; done < "$work/paths" > "$work/before"

step "install with apt-get"
installed=true
DEBIAN_FRONTEND=noninteractive apt-get install -o DPkg::Lock::Timeout=300 -y -q --no-install-recommends "$deb" > "$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install"; }
dpkg -L kestrava > "$work/listed"
[ "$(command -v kestrava)" = /usr/bin/kestrava ] || fail "kestrava is not on the PATH"
# charon runs its hook as root: only a root-owned, root-only-writable one is handed to it.
hook=/usr/lib/kestrava/Kestrava.app/lib/kestrava/charon-updown
[ -x "$hook" ] || fail "charon's hook is not installed"
[ "$(stat -c '%U %A' "$hook")" = "root -rwxr-xr-x" ] || fail "charon's hook: $(stat -c '%U %A' "$hook")"
# charon runs that same hook at its start, to clear what a killed charon left blocked.
grep -q "= $hook charon-start\$" /etc/strongswan.d/kestrava.conf || fail "charon's start does not run the hook"

step "the man page names every option the program's --help lists"
kestrava --help > "$work/help" || fail "kestrava --help: exit $?"
zcat /usr/share/man/man1/kestrava.1.gz | sed 's/\\-/-/g' > "$work/man"
options=$(grep -o -- '--[a-z][a-z-]*' "$work/help" | sort -u)
[ -n "$options" ] || fail "kestrava --help lists no option"
for o in $options; do grep -q -- "$o" "$work/man" || fail "the man page does not name $o"; done
[ -s /usr/share/doc/kestrava/README.md ] || fail "the README the man page points to is not installed"

step "start the installed program under Xvfb on a private session bus"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
exec 5> "$work/display" 6> "$work/bus"
Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x800x24 >/dev/null 2>&1 6>&- & x_pid=$!
dbus-daemon --session --nofork --print-address=6 >/dev/null 2>&1 5>&- & bus_pid=$!
exec 5>&- 6>&-
within 100 test -s "$work/display" || fail "Xvfb did not start"
within 100 test -s "$work/bus" || fail "dbus-daemon did not start"
export DISPLAY=":$(head -n1 "$work/display")" DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
# The demo's tunnel and no service (a closed loopback port): nothing leaves this machine.
export KESTRAVA_VPN_BACKEND=simulated KESTRAVA_API_ORIGIN=http://127.0.0.1:9 KESTRAVA_WEB_ORIGIN=http://127.0.0.1:9
export QT_QUICK_BACKEND=software

# The popup draws its first frame: the QML modules and fonts it needs came with the package.
timeout 60 kestrava --quit-after-first-frame > "$work/frame" 2>&1 || { cat "$work/frame"; fail "no first frame"; }
grep -q 'firstFrameMs' "$work/frame" || { cat "$work/frame"; fail "no first frame line"; }

owner_pid() {
    gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
        -m org.freedesktop.DBus.GetConnectionUnixProcessID app.kestrava.linux 2>/dev/null | sed -n 's/.*uint32 \([0-9]*\).*/\1/p'
}
owned() { [ -n "$(owner_pid)" ]; }
not_owned() { [ -z "$(owner_pid)" ]; }
quit_running() {
    gdbus call --session -d app.kestrava.linux -o /app/kestrava/linux \
        -m org.freedesktop.Application.ActivateAction quit '[]' '{}' >/dev/null
    within 100 not_owned || fail "the running copy did not quit"
}

kestrava > "$work/first.log" 2>&1 & first=$!; started+=("$first")
within 150 owned || { cat "$work/first.log"; fail "the installed program did not take its bus name"; }
[ "$(owner_pid)" = "$first" ] || fail "the bus name is not the first copy's"
[ "$(readlink "/proc/$first/exe")" = /usr/lib/kestrava/Kestrava.app/bin/kestrava ] || fail "not the packaged copy"
timeout 30 kestrava > "$work/second.log" 2>&1 || { cat "$work/second.log"; fail "a second launch did not end with 0"; }
grep -q 'zaten çalışıyor' "$work/second.log" || fail "the second launch did not hand over"
kill -0 "$first" || fail "the second launch ended the first"
quit_running
wait "$first" || fail "the first copy's quit path did not end with 0"

step "autostart: dex starts it hidden at login; switched off, it does not"
export XDG_CONFIG_DIRS=/etc/xdg
dex -a -e GNOME > "$work/dex.log" 2>&1 || { cat "$work/dex.log"; fail "dex"; }
within 150 owned || { cat "$work/dex.log"; fail "the autostart entry did not start the program"; }
pid=$(owner_pid); started+=("$pid")
tr '\0' ' ' < "/proc/$pid/cmdline" | grep -q -- '--hidden' || fail "autostart did not start it hidden"
quit_running
mkdir -p "$XDG_CONFIG_HOME/autostart"
# What the desktop's start-up settings write when the user switches it off.
printf '[Desktop Entry]\nType=Application\nName=Kestrava\nExec=kestrava --hidden\nHidden=true\n' \
    > "$XDG_CONFIG_HOME/autostart/app.kestrava.linux.desktop"
dex -a -v -e GNOME > "$work/dex2.log" 2>&1 || true
# dex has ended and said what it skipped and what it ran: by then it would have started us.
grep -qF "hidden attribute is set: $XDG_CONFIG_HOME/autostart/app.kestrava.linux.desktop" "$work/dex2.log" ||
    { cat "$work/dex2.log"; fail "dex did not read the switched-off entry"; }
! grep -q "^Executing command: .*kestrava" "$work/dex2.log" && not_owned ||
    { started+=("$(owner_pid)"); fail "switched off, the autostart entry still started the program"; }
rm -r "$XDG_CONFIG_HOME/autostart"

step "the launcher: the newer of the packaged copy and the per-user one in ~/Applications"
packaged_version=$(sed -n 's/.*"version": *"\(.*\)".*/\1/p' /usr/lib/kestrava/Kestrava.app/Info.json)
bundle=$HOME/Applications/Kestrava.app
# A per-user copy whose program only says that it ran: echo, a real program of this machine (the
# packaged copy hands over to nothing else).
make_user_copy() { # VERSION|broken|noprogram
    rm -rf "$bundle"; mkdir -p "$bundle/bin"
    case $1 in
    broken) echo '{ not json' > "$bundle/Info.json" ;;
    *) printf '{\n  "name": "Kestrava",\n  "version": "%s"\n}\n' "$1" > "$bundle/Info.json" ;;
    esac
    [ "$1" = noprogram ] && return
    cp /bin/echo "$bundle/bin/kestrava"
}
which_copy() {
    local out; out=$(kestrava --headless --no-such-option 2>&1 || true)
    case $out in "--headless --no-such-option") echo per-user ;; *"Bilinmeyen seçenek"*) echo packaged ;; *) echo "?$out" ;; esac
}
IFS=. read -r major minor patch <<< "$packaged_version"
[ "$major" -ge 1 ] || fail "the rows below assume a packaged version of 1.0 or later"
while read -r name user expect; do
    if [ "$user" = none ]; then rm -rf "$bundle"; else make_user_copy "$user"; fi
    got=$(which_copy)
    [ "$got" = "$expect" ] || fail "launcher, $name: ran the $got copy, expected the $expect one"
    echo "ok: $name -> $got"
done <<ROWS
no-per-user-copy none packaged
per-user-copy-newer $((major + 1)).0.0 per-user
per-user-copy-newer-in-a-two-digit-part $major.$minor.$((patch + 10)) per-user
per-user-copy-equal $packaged_version packaged
per-user-copy-older-(a-package-upgrade-went-past-it) $((major - 1)).99.99 packaged
per-user-copy-unreadable broken packaged
per-user-copy-without-its-program noprogram packaged
ROWS
rm -rf "$bundle"

step "purge: nothing of the package is left"
DEBIAN_FRONTEND=noninteractive apt-get purge -o DPkg::Lock::Timeout=300 -y -q kestrava > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge"; }
installed=false
left=0
while read -r p; do
    [ "$p" = /. ] && continue
    [ -e "$p" ] || [ -L "$p" ] || continue
    grep -qxF "$p" "$work/before" && continue
    echo "left behind: $p" >&2; left=1
done < <(cat "$work/listed" "$work/paths" | sort -u)
[ $left = 0 ] || fail "files left after purge"
dpkg-query -W kestrava >/dev/null 2>&1 && fail "dpkg still knows the package"
echo "PASS"
