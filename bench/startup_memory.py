#!/usr/bin/env python3
"""Start-up and memory as a tray user lives them, each against a floor measured in the same run.

Runs inside the tray session of scripts/bench (bench/tray_session.sh: Xvfb, openbox, trayer):
  1. spawn to the popup's first frame, against a bare Qt Quick window on the same renderer;
  2. memory after the popup was shown once and hidden, against the program's own tray-only state,
     then over many more openings and closings, then once the hidden popup was destroyed
     (app/hooks/measure.cpp, --measure-tray);
  3. spawn to the tray host embedding the icon (the login case), against a bare QSystemTrayIcon
     program, seen from outside by bench/tray_watch.cpp;
  with PEER (a tray applet the user may already run for the same job), in the same runs: its spawn to
     embedded, its memory settled at embed and after its popup menu was shown and hidden once, and the
     CPU it and the program (signed in) spend over IDLE_S seconds idle side by side.
Start-up figures are medians of alternating runs. Prints one JSON object.

Usage: startup_memory.py BUILD ORIGIN RUNS SETTLE_S CYCLES TRAY_HOST_PID [PEER IDLE_S]
"""
import json
import os
import queue
import shutil
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

    def spawn(self, cmd, env, limit_s=30):
        """Spawns cmd; returns (the process, ms from spawn to its icon's embedding, the icon's window)."""
        while not self.events.empty():
            self.events.get_nowait()
        start = time.monotonic() * 1000
        p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            try:
                e = self.events.get(timeout=0.5)
            except queue.Empty:
                continue
            if e["pid"] == p.pid:
                return p, e["embeddedMs"] - start, e["window"]
        end(p)
        raise RuntimeError("no tray icon from " + cmd[0])

    def embedded_ms(self, cmd, env):
        """Spawns cmd, returns ms from spawn to its icon's embedding, then ends it as a session would."""
        p, ms, _ = self.spawn(cmd, env)
        end(p)
        return ms

    def close(self):
        self.p.terminate()
        self.p.wait()


def end(p):
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def memory(pid):
    """Resident, proportional and private dirty KiB of a process (/proc/PID/smaps_rollup)."""
    keys = {"Rss": "rssKiB", "Pss": "pssKiB", "Private_Dirty": "privateDirtyKiB"}
    out = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in keys:
                out[keys[name]] = int(rest.split()[0])
    return out


def cpu_ms(pid):
    """User and system CPU of a process and its ended threads so far (/proc/PID/stat), in ms."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


def on_cpu_ns(pid):
    """Each thread's time on a CPU so far (/proc/PID/task/TID/schedstat), in ns: finer than the clock
    ticks of /proc/PID/stat, which count 10 ms at a time."""
    out = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                out[task] = int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return out


def on_cpu_ms_since(pid, before):
    """The time on a CPU since before (on_cpu_ns): what a thread did before it ended is not counted."""
    return sum(ns - before.get(task, 0) for task, ns in on_cpu_ns(pid).items()) / 1e6


def visible_windows(pid):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], capture_output=True, text=True)
    return set(r.stdout.split())


def wait_for(predicate, limit_s=5):
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def peer_run(watch, cmd, env, settle):
    """The peer as its user meets it: embedded, settled; its popup opened with a click on its icon and
    closed with Escape, settled again. The memory at both points; whether a popup window was seen."""
    p, ms, icon = watch.spawn(cmd, env)
    try:
        time.sleep(settle)
        run = {"embeddedMs": ms, "trayOnly": memory(p.pid)}
        before = visible_windows(p.pid)
        subprocess.run(["xdotool", "mousemove", "--window", str(icon), "8", "8", "click", "1"], check=True)
        opened = set()
        run["popupShown"] = wait_for(lambda: opened.update(visible_windows(p.pid) - before) or bool(opened))
        subprocess.run(["xdotool", "key", "Escape"], check=True)
        run["popupHidden"] = wait_for(lambda: not (visible_windows(p.pid) & opened))
        time.sleep(settle)
        run["shownHidden"] = memory(p.pid)
        return run
    finally:
        end(p)


def signed_in_config(base):
    """A settings folder of a user signed in to the demo scenario's first account."""
    scenario = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "devservice", "scenarios", "demo.json")
    account = json.load(open(scenario))["accounts"][0]
    folder = os.path.join(base, "kestrava")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    path = os.path.join(folder, "defaults.json")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        json.dump({"kestrava-token": account["token"], "kestrava-email": account["email"]}, f)
    return base


def idle_cpu(watch, program, peer_cmd, env, peer_env, settle, idle_s):
    """CPU over idle_s seconds with nothing asked of them: the program signed in, as its user leaves it
    (its refresh timers run), and the peer, side by side in the session, each settled after start-up."""
    signed_in = dict(env, XDG_CONFIG_HOME=signed_in_config(os.path.join(env["XDG_RUNTIME_DIR"], "idle-config")))
    procs = {}
    try:
        for name, cmd, e in (("program", program, signed_in), ("peer", peer_cmd, peer_env)):
            if not cmd:
                continue
            procs[name] = watch.spawn(cmd, e)[0]
        time.sleep(max(settle, 5))
        before = {k: (cpu_ms(p.pid), on_cpu_ns(p.pid)) for k, p in procs.items()}
        time.sleep(idle_s)
        out = {"seconds": idle_s}
        for k, p in procs.items():
            out[k + "Ms"] = round(cpu_ms(p.pid) - before[k][0])
            out[k + "OnCpuMs"] = round(on_cpu_ms_since(p.pid, before[k][1]), 1)
        return out
    finally:
        for p in procs.values():
            end(p)


def spread(values):
    return {"min": round(min(values), 1), "median": round(statistics.median(values), 1), "max": round(max(values), 1)}


def main():
    build, origin, runs, settle, cycles, host = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), \
        int(sys.argv[5]), int(sys.argv[6])
    peer = sys.argv[7] if len(sys.argv) > 7 else ""
    idle_s = int(sys.argv[8]) if len(sys.argv) > 8 else 60
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

    # 3. The tray icon at login, and the peer beside it.
    peer_env = dict(env)
    # The peer finds no system bus (and so no NetworkManager): the machine's own is left alone.
    peer_env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(env.get("XDG_RUNTIME_DIR", "/nonexistent"),
                                                                        "no-system-bus")
    # Its popup is opened and closed as a user would, with a click and Escape through xdotool.
    peer_cmd = [peer] if peer and shutil.which("xdotool") else []
    peer_runs = []
    watch = TrayWatch(build + "/bench/kestrava-tray-watch", host)
    try:
        tray = {"program": [], "bare": []}
        if peer_cmd:
            # The first GTK program on a display probes OpenGL and leaves what it found on the root
            # window for the rest; on a desktop that has happened long before the applet starts.
            end(watch.spawn(peer_cmd, peer_env)[0])
        for _ in range(runs):
            for name, cmd in (("bare", bare_tray), ("program", program)):
                tray[name].append(watch.embedded_ms(cmd, env))
            if peer_cmd:
                peer_runs.append(peer_run(watch, peer_cmd, peer_env, settle))
        out["idle"] = idle_cpu(watch, program, peer_cmd, env, peer_env, settle, idle_s)
    finally:
        watch.close()
    med = {k: statistics.median(v) for k, v in tray.items()}
    out["tray"] = {"programMs": round(med["program"], 1), "bareMs": round(med["bare"], 1),
                   "ratio": round(med["program"] / med["bare"], 2), "runs": runs,
                   "program": spread(tray["program"])}
    if not peer_cmd:
        out["peer"] = {"notRun": "nm-applet is not installed" if not peer else "xdotool is not installed"}
    else:
        shown = [r for r in peer_runs if r["popupShown"] and r["popupHidden"]]
        out["peer"] = {"name": os.path.basename(peer), "runs": runs, "popupSeen": len(shown),
                       "embeddedMs": spread([r["embeddedMs"] for r in peer_runs])}
        for point in ("trayOnly", "shownHidden"):
            rows = shown if point == "shownHidden" else peer_runs
            if rows:
                out["peer"][point] = {k: spread([r[point][k] for r in rows]) for k in rows[0][point]}

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
