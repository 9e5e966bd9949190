#!/bin/sh
# Runs a command on a private session bus with a fresh gnome-keyring, unlocked with a test password,
# in a throw-away home. Without the tools the command runs as is and skips its keyring cases.
set -u
if ! command -v dbus-run-session >/dev/null 2>&1 || ! command -v gnome-keyring-daemon >/dev/null 2>&1; then
    echo "keyring_session: dbus-run-session or gnome-keyring-daemon missing" >&2
    exec "$@"
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/run" "$home/data" "$home/config"
chmod 700 "$home/run"
HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
KESTRAVA_TEST_KEYRING=1 \
dbus-run-session -- sh -c 'printf "test-password" | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@"
