# Sourced by ikev2-pair.sh and nm-pair.sh: messages, bounded waits, stopping by pid, the watcher that
# tears a set-up down once its owner is gone, and charon's strongswan.conf.
me=$(basename "$0" .sh)
here=$(cd "$(dirname "$0")" && pwd)
die() { echo "$me: $*" >&2; exit 1; }
cannot() { echo "$me: $*" >&2; exit 77; }
within() { # TENTHS CMD...: CMD until it succeeds, for at most TENTHS tenths of a second
    local n=$1 i; shift
    for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
    "$@"
}
gone() { ! kill -0 "$1" 2>/dev/null; }
stop_pid() { # PID_FILE: TERM, 5 s, then KILL
    [ -f "$1" ] || return 0
    local p; p=$(cat "$1")
    kill "$p" 2>/dev/null; within 50 gone "$p"; kill -9 "$p" 2>/dev/null
    rm -f "$1"
}
watch_owner() { # OWNER_PID PID_FILE; detached from our stdio so that the caller's pipes close
    [ -n "$1" ] || return 0
    setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec "$2" down "$3"' \
        watcher "$1" "$here/$me.sh" "$D" </dev/null >/dev/null 2>&1 &
    echo $! > "$2"
}
unwatch() { # PID_FILE; the watcher itself ends up in "down" too, under the same pid
    [ -f "$1" ] || return 0
    [ "$(cat "$1")" = "$$" ] || kill "$(cat "$1")" 2>/dev/null
    rm -f "$1"
}
charon_conf() { # DAEMON LOG EXTRA_PLUGINS PLUGIN_SECTIONS; the data path in user space: no ESP in this kernel
    cat <<EOF
$1 {
  load = random nonce openssl kdf pem pkcs1 x509 revocation constraints kernel-libipsec kernel-netlink socket-default$3
  # A gateway that never answers gives up after about 4.75 s instead of 165 s.
  retransmit_tries = 2
  retransmit_timeout = 1.0
  retransmit_base = 1.5
  plugins {
    $4
  }
  filelog {
    log {
      path = $2
      time_format = %H:%M:%S
      time_add_ms = yes
      default = 1
      ike_name = yes
      flush_line = yes
    }
  }
  syslog {
    daemon {
      default = -1
    }
  }
}
EOF
}
