#!/usr/bin/env python3
"""Start-up and memory as a tray user lives them, each against a floor measured in the same run.

Runs inside the tray session of scripts/bench (bench/tray_session.sh: Xvfb, openbox, trayer):
  1. spawn to the popup's first frame, against a bare Qt Quick window on the same renderer;
  2. memory after the popup was shown once and hidden, against the program's own tray-only state,
     then over many more openings and closings, then once the hidden popup was destroyed
     (app/hooks/measure.cpp, --measure-tray);
  3. spawn to the tray host embedding the icon (the login case), against a bare QSystemTrayIcon
     program, seen from outside by bench/tray_watch.cpp.
Start-up figures are medians of alternating runs. Prints one JSON object.

Usage: startup_memory.py BUILD ORIGIN RUNS SETTLE_S CYCLES TRAY_HOST_PID
"""
import json
import os
import queue
import signal
import statistics
import subprocess
import sys
import threading
import time


def run_until_first_frame(cmd, env, limit_s=60):
    """Runs cmd to its end; returns (ms from spawn to the firstFrameMs line, [json lines])."""
    start = time.monotonic()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = None
    lines = []
    try:
        deadline = start + limit_s
        for line in p.stdout:
            if line.startswith("{"):
                obj = json.loads(line)
                lines.append(obj)
                if "firstFrameMs" in obj and first is None:
                    first = (time.monotonic() - start) * 1000
            if time.monotonic() > deadline:
                break
        p.wait(timeout=max(1, deadline - time.monotonic()))
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    if first is None:
        raise RuntimeError("no first frame from " + cmd[0])
    return first, lines


class TrayWatch:
    """bench/tray_watch.cpp in the background: the moment the tray host embeds each process's icon."""

    def __init__(self, tool, host_pid):
        self.p = subprocess.Popen([tool, str(host_pid)], stdout=subprocess.PIPE, text=True)
        self.events = queue.Queue()
        ready = self.p.stdout.readline()
        if '"ready"' not in ready:
            raise RuntimeError("the tray watch did not start")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.p.stdout:
            if line.startswith("{"):
                self.events.put(json.loads(line))

    def embedded_ms(self, cmd, env, limit_s=30):
        """Spawns cmd, returns ms from spawn to its icon's embedding, then ends it as a session would."""
        while not self.events.empty():
            self.events.get_nowait()
        start = time.monotonic() * 1000
        p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + limit_s
            while time.monotonic() < deadline:
                try:
                    e = self.events.get(timeout=0.5)
                except queue.Empty:
                    continue
                if e["pid"] == p.pid:
                    return e["embeddedMs"] - start
            raise RuntimeError("no tray icon from " + cmd[0])
        finally:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def close(self):
        self.p.terminate()
        self.p.wait()


def main():
    build, origin, runs, settle, cycles, host = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), \
        int(sys.argv[5]), int(sys.argv[6])
    env = dict(os.environ)
    env.update(KESTRAVA_API_ORIGIN=origin, KESTRAVA_WEB_ORIGIN=origin, KESTRAVA_VPN_BACKEND="simulated")
    program = [build + "/app/kestrava"]
    bare_window = [build + "/bench/kestrava-bare-window"]
    bare_tray = [build + "/bench/kestrava-bare-tray"]
    out = {}

    # 1. The popup's first frame.
    times = {"program": [], "bare": []}
    renderer = {}
    for _ in range(runs):
        for name, cmd in (("bare", bare_window), ("program", program)):
            t, lines = run_until_first_frame(cmd + ["--quit-after-first-frame"], env)
            times[name].append(t)
            renderer[name] = next((l["renderer"] for l in lines if "renderer" in l), "?")
    med = {k: statistics.median(v) for k, v in times.items()}
    out["firstFrame"] = {"programMs": round(med["program"], 1), "bareMs": round(med["bare"], 1),
                         "ratio": round(med["program"] / med["bare"], 2), "runs": runs,
                         "renderer": renderer["program"], "bareRenderer": renderer["bare"]}

    # 3. The tray icon at login.
    watch = TrayWatch(build + "/bench/kestrava-tray-watch", host)
    try:
        tray = {"program": [], "bare": []}
        for _ in range(runs):
            for name, cmd in (("bare", bare_tray), ("program", program)):
                tray[name].append(watch.embedded_ms(cmd, env))
    finally:
        watch.close()
    med = {k: statistics.median(v) for k, v in tray.items()}
    out["tray"] = {"programMs": round(med["program"], 1), "bareMs": round(med["bare"], 1),
                   "ratio": round(med["program"] / med["bare"], 2), "runs": runs}

    # 2. Memory: tray only, then the popup shown once and hidden, then many more times.
    _, lines = run_until_first_frame(program + ["--measure-tray", str(settle), "--measure-cycles", str(cycles)], env,
                                     limit_s=5 * settle + 120 + cycles)
    points, steps, drop_steps = {}, [], []
    for obj in lines:
        if "releaseStep" in obj:
            (drop_steps if drop_steps or obj["releaseStep"] == "dropped" else steps).append(obj)
        if "reopenFrameMs" in obj:
            points["reopenFrameMs"] = obj["reopenFrameMs"]
        for key in ("trayOnlyS", "shownHiddenS", "cyclesHiddenS", "droppedS"):
            if key in obj:
                points[key] = obj
        if "afterCycles" in obj:
            points["cycles%d" % obj["afterCycles"]] = obj
    tray_only, hidden, last = points["trayOnlyS"], points["shownHiddenS"], points["cycles%d" % cycles]
    out["memory"] = {
        "settleSeconds": settle, "cycles": cycles,
        "trayOnly": tray_only, "shownHidden": hidden, "afterCycles": last, "cyclesHidden": points["cyclesHiddenS"],
        "rssRatio": round(hidden["rssKiB"] / tray_only["rssKiB"], 2),
        "dirtyRatio": round(hidden["privateDirtyKiB"] / tray_only["privateDirtyKiB"], 2),
        "growthRssKiB": last["rssKiB"] - hidden["rssKiB"],
        "growthDirtyKiB": last["privateDirtyKiB"] - hidden["privateDirtyKiB"],
        "hiddenCpuMs": hidden["cpuMs"] - steps[-1]["cpuMs"] if steps else None,
        "releaseSteps": [{"step": s["releaseStep"], "us": s["us"], "rssKiB": s["rssKiB"],
                          "privateDirtyKiB": s["privateDirtyKiB"]}
                         for s in steps],
        # The popup destroyed after staying hidden, and the next open's first frame.
        "dropped": points.get("droppedS"), "reopenFrameMs": points.get("reopenFrameMs"),
    }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
