# Sourced by scripts/run and scripts/bench: starts the stand-in service with the demo scenario on a
# free loopback port. Sets service_pid and origin (http://127.0.0.1:PORT); returns 1 if it did not start.
start_demo_service() { # BUILD_DIR SOURCE_DIR
    local out i
    out=$(mktemp)
    "$1/devservice/kestrava-devservice" --scenario "$2/devservice/scenarios/demo.json" --port 0 >"$out" &
    service_pid=$!
    origin=
    for i in $(seq 100); do
        origin=$(sed -n 's/^listening on //p' "$out")
        [ -n "$origin" ] && break
        sleep 0.1
    done
    rm -f "$out"
    [ -n "$origin" ]
}
