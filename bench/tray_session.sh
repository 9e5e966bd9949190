# Sourced by scripts/bench: a desktop as a tray user has one, on a display of its own. Xvfb, a private
# session bus without a StatusNotifierWatcher (so Qt puts its icon in the XEmbed tray), openbox as the
# window manager and trayer as the tray host at the top right (shared/notes/desktop).
# start_tray_session DIR sets DISPLAY, DBUS_SESSION_BUS_ADDRESS and tray_host_pid; returns 1 on failure.
# stop_tray_session ends what it started.
tray_session_pids=()

start_tray_session() { # DIR WATCH_TOOL
    local dir=$1 watch=$2 i
    mkdir -p "$dir"
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$dir/display" >/dev/null 2>&1 &
    tray_session_pids+=($!)
    for i in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
    [ -s "$dir/display" ] || return 1
    export DISPLAY=":$(head -n1 "$dir/display")"
    local bus
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 --address="unix:path=$dir/bus") || return 1
    export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
    tray_session_pids+=("$(sed -n 2p <<<"$bus")")
    openbox --sm-disable >/dev/null 2>&1 &
    tray_session_pids+=($!)
    trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
    tray_session_pids+=($!)
    tray_host_pid=$("$watch" --tray) || return 1
    # openbox takes its screen after trayer may have: wait until it says so on the root window.
    for i in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.1; done
}

stop_tray_session() {
    local i
    for ((i = ${#tray_session_pids[@]} - 1; i >= 0; i--)); do
        kill "${tray_session_pids[i]}" 2>/dev/null || true
    done
    for i in "${tray_session_pids[@]}"; do wait "$i" 2>/dev/null || true; done
    tray_session_pids=()
}
