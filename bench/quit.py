#!/usr/bin/env python3
"""Quit with no tunnel: SIGTERM to exit, as a session ends the program, once its icon is in the tray.

  quit.py BUILD ORIGIN RUNS TRAY_HOST_PID    (DISPLAY and the session bus of a tray session)

The floor is the same signal to the bare tray program (bench/bare_tray.cpp), which has no handler of
its own: the kernel ends it. Prints one JSON object with min/median/max in ms for both.
"""
import json
import os
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from startup_memory import TrayWatch  # noqa: E402


def quit_ms(watch, cmd, env):
    """Spawns cmd, waits for its icon in the tray, then times SIGTERM to its exit."""
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                e = watch.events.get(timeout=0.5)
            except Exception:
                continue
            if e["pid"] == p.pid:
                break
        else:
            raise RuntimeError("no tray icon from " + cmd[0])
        # Its start-up work (the first requests and loads) is done by now for both.
        time.sleep(1)
        start = time.monotonic()
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=30)
        return (time.monotonic() - start) * 1000
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def main():
    build, origin, runs, host = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    env = dict(os.environ)
    env.update(KESTRAVA_API_ORIGIN=origin, KESTRAVA_WEB_ORIGIN=origin, KESTRAVA_VPN_BACKEND="simulated")
    watch = TrayWatch(build + "/bench/kestrava-tray-watch", host)
    times = {"program": [], "bare": []}
    try:
        for _ in range(runs):
            times["bare"].append(quit_ms(watch, [build + "/bench/kestrava-bare-tray"], env))
            times["program"].append(quit_ms(watch, [build + "/app/kestrava", "--hidden"], env))
    finally:
        watch.close()
    out = {k: {"minMs": round(min(v), 1), "medianMs": round(statistics.median(v), 1), "maxMs": round(max(v), 1)}
           for k, v in times.items()}
    print(json.dumps(out))


if __name__ == "__main__":
    main()
