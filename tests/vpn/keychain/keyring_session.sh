#!/bin/sh
# Runs a command on a private session bus with a real keychain, in a throw-away home:
#   keyring_session.sh [gnome|kwallet] COMMAND...
# gnome: gnome-keyring with its login collection unlocked by a test password; with Xvfb, xdotool and
# gcr-prompter here, its dialogs show on a private display (DISPLAY) that a test can type into.
# kwallet: kwalletd5 (the only keychain the bus can start, by its own name, as on KDE) with the default
# wallet made at a first login (pamOpen), then restarted so that it offers that wallet, opened again as
# a login would. Its dialogs need a display; run it with QT_QPA_PLATFORM=offscreen where there is none.
# Without the tools the command runs as is and skips its keyring cases.
set -u
mode=gnome
case "${1:-}" in gnome | kwallet) mode=$1; shift ;; esac
need="dbus-daemon gdbus"
[ "$mode" = gnome ] && need="$need gnome-keyring-daemon" || need="$need kwalletd5"
for tool in $need; do
    command -v "$tool" >/dev/null 2>&1 || { echo "keyring_session: $tool missing" >&2; exec "$@"; }
done
home=$(mktemp -d)
bus_pid=
keychain_pid=
xvfb_pid=
end_process() { # pid: SIGTERM, a bounded wait, then SIGKILL (kwalletd5 may not end on SIGTERM)
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do [ -d "/proc/$1" ] || return 0; sleep 0.1; done
    kill -9 "$1" 2>/dev/null
}
cleanup() {
    # The keychain ends before its home goes, then the bus. Whatever holds its names now counts too: the
    # command may have had the bus start another.
    pids=$keychain_pid
    if [ -n "$bus_pid" ]; then
        for name in org.freedesktop.secrets org.kde.kwalletd5; do
            pids="$pids $(pid_of "$name" 2>/dev/null)"
        done
    fi
    for p in $pids; do end_process "$p"; done
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/run" "$home/data" "$home/config" "$home/services"
chmod 700 "$home/run"
unset DISPLAY WAYLAND_DISPLAY
display() {
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$home/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$home/display" ] && break; sleep 0.1; done
    [ -s "$home/display" ] || { echo "keyring_session: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(cat "$home/display")"
}
if [ "$mode" = gnome ]; then
    cp /usr/share/dbus-1/services/org.freedesktop.secrets.service "$home/services/" 2>/dev/null
    if [ -x /usr/libexec/gcr-prompter ] && command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1; then
        # The bus starts the prompter on gnome-keyring's first dialog, on this display.
        display
        cp /usr/share/dbus-1/services/org.gnome.keyring.SystemPrompter.service \
            /usr/share/dbus-1/services/org.gnome.keyring.PrivatePrompter.service "$home/services/"
    fi
else
    # KWallet draws its dialogs itself, on this display (not offscreen, which a test cannot answer).
    if command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1; then
        display
        unset QT_QPA_PLATFORM
    fi
    cp /usr/share/dbus-1/services/org.kde.kwalletd5.service "$home/services/"
fi
cat >"$home/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$home/run</listen>
  <auth>EXTERNAL</auth>
  <!-- kwalletd5 can take longer than the default 25 s to start on a loaded machine. -->
  <limit name="service_start_timeout">120000</limit>
  <servicedir>$home/services</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
EOF
export HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
# What the bus starts inherits this environment, so its keychain lives in the throw-away home too.
# Into a file: a daemon forked with its output on a pipe stops answering once the pipe is gone.
dbus-daemon --config-file="$home/bus.conf" --fork --print-address=1 --print-pid=1 >"$home/bus.out" </dev/null || exit 1
DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$home/bus.out")
bus_pid=$(sed -n 2p "$home/bus.out")
export DBUS_SESSION_BUS_ADDRESS
bus() { gdbus call --session --timeout 120 -d org.freedesktop.DBus -o /org/freedesktop/DBus -m "org.freedesktop.DBus.$@"; }
owned() { bus NameHasOwner "$1" | grep -q true; }
pid_of() { bus GetConnectionUnixProcessID "$1" | sed -n 's/.*uint32 \([0-9]*\).*/\1/p'; }
wait_for() { # name, present|gone
    for _ in $(seq 100); do
        if owned "$1"; then [ "$2" = present ] && return 0; else [ "$2" = gone ] && return 0; fi
        sleep 0.1
    done
    echo "keyring_session: $1 not $2" >&2; return 1
}
if [ "$mode" = gnome ]; then
    printf "test-password" | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 1
    # The daemon forks; its name comes a moment later.
    wait_for org.freedesktop.secrets present || exit 1
else
    kwallet() { gdbus call --session -d org.kde.kwalletd5 -o /modules/kwalletd5 -m "org.kde.KWallet.$@"; }
    hash="[$(seq 1 56 | sed 's/.*/byte &/' | paste -sd, -)]"
    bus StartServiceByName org.kde.kwalletd5 0 >/dev/null && wait_for org.freedesktop.secrets present || exit 1
    kwallet pamOpen kdewallet "$hash" 0 >/dev/null || exit 1
    kwallet_pid=$(pid_of org.kde.kwalletd5)
    end_process "$kwallet_pid" && wait_for org.kde.kwalletd5 gone || exit 1
    bus StartServiceByName org.kde.kwalletd5 0 >/dev/null && wait_for org.freedesktop.secrets present || exit 1
    kwallet pamOpen kdewallet "$hash" 0 >/dev/null || exit 1
fi
keychain_pid=$(pid_of org.freedesktop.secrets)
KESTRAVA_TEST_KEYRING=$mode "$@"
