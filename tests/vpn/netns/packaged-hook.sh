#!/bin/sh
# Runs a command with charon's hook at the path the package installs it to, the only one the program
# hands to charon. Call it inside a private mount namespace: where the package is not installed, /usr/lib
# gains the hook from the source tree through an overlay that nothing outside this namespace sees.
# Usage: packaged-hook.sh SCRATCH_DIR command...
hook=/usr/lib/kestrava/Kestrava.app/lib/kestrava/charon-updown
source_hook=$(cd "$(dirname "$0")/../../../vpn/strongswan" && pwd)/charon-updown.sh
scratch=$1
shift
if [ ! -e "$hook" ]; then
    mkdir -p "$scratch/upper${hook%/*}" "$scratch/work" || exit 9
    # The program checks every folder on the way: root's and writable by root alone.
    chmod 0755 "$scratch" "$scratch/upper" && find "$scratch/upper" -type d -exec chmod 0755 {} + &&
        install -m 0755 "$source_hook" "$scratch/upper$hook" &&
        mount -t overlay overlay -o "lowerdir=/usr/lib,upperdir=$scratch/upper/usr/lib,workdir=$scratch/work" /usr/lib ||
        { echo "packaged-hook: cannot put the hook at $hook" >&2; exit 9; }
fi
exec "$@"
