#!/usr/bin/env python3
"""Start-up and memory of the program with its popup shown, against the bare Qt Quick window.

Both are started the same way on the same display and print JSON lines (app/measure.cpp). Start-up is
the wall time from spawn to the line that reports the first frame, the median of alternating runs.
"""
import json
import os
import statistics
import subprocess
import sys
import time


def run(cmd, env, limit_s):
    """Runs cmd, returns (seconds to the firstFrameMs line, [json lines])."""
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
                    first = time.monotonic() - start
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


def main():
    build, origin, runs, idle, cycles = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    env = dict(os.environ)
    env.update(KESTRAVA_API_ORIGIN=origin, KESTRAVA_WEB_ORIGIN=origin, KESTRAVA_VPN_BACKEND="simulated")
    program = [build + "/app/kestrava"]
    bare = [build + "/bench/kestrava-bare-window"]
    times = {"program": [], "bare": []}
    for _ in range(runs):
        for name, cmd in (("bare", bare), ("program", program)):
            t, _ = run(cmd + ["--quit-after-first-frame"], env, 60)
            times[name].append(t * 1000)
    med = {k: statistics.median(v) for k, v in times.items()}
    out = {"startup": {"programMs": round(med["program"], 1), "bareMs": round(med["bare"], 1),
                       "ratio": round(med["program"] / med["bare"], 2), "runs": runs}}

    mem = {}
    for name, cmd in (("bare", bare), ("program", program)):
        _, lines = run(cmd + ["--measure-idle", str(idle), "--measure-cycles", str(cycles)], env, idle + 60 + cycles)
        points = {}
        for obj in lines:
            if not {"firstFrameMs", "afterIdleS", "afterCycles"} & obj.keys():
                continue
            key = "first" if "firstFrameMs" in obj else "idle" if "afterIdleS" in obj else \
                "cycles%d" % obj["afterCycles"]
            points[key] = obj
        mem[name] = points
    p, b = mem["program"], mem["bare"]
    last = "cycles%d" % cycles
    # Growth over the second half of the cycles, after the first refresh ticks and caches have warmed up.
    half = "cycles%d" % (cycles // 2)
    out["memory"] = {
        "idleSeconds": idle, "cycles": cycles,
        "afterIdle": {"programRssKiB": p["idle"]["rssKiB"], "bareRssKiB": b["idle"]["rssKiB"],
                      "rssRatio": round(p["idle"]["rssKiB"] / b["idle"]["rssKiB"], 2),
                      "programPrivateKiB": p["idle"]["privateKiB"], "barePrivateKiB": b["idle"]["privateKiB"],
                      "privateRatio": round(p["idle"]["privateKiB"] / b["idle"]["privateKiB"], 2)},
        "after10Opens": {"programRssKiB": p["cycles10"]["rssKiB"], "bareRssKiB": b["cycles10"]["rssKiB"],
                         "rssRatio": round(p["cycles10"]["rssKiB"] / b["cycles10"]["rssKiB"], 2),
                         "privateRatio": round(p["cycles10"]["privateKiB"] / b["cycles10"]["privateKiB"], 2)},
        "idleCpuMs": {"program": p["idle"]["cpuMs"] - p["first"]["cpuMs"],
                      "bare": b["idle"]["cpuMs"] - b["first"]["cpuMs"]},
        "growthKiB": {"program": p[last]["privateKiB"] - p[half]["privateKiB"],
                      "bare": b[last]["privateKiB"] - b[half]["privateKiB"],
                      "programWarmUp": p[half]["privateKiB"] - p["cycles10"]["privateKiB"],
                      "bareWarmUp": b[half]["privateKiB"] - b["cycles10"]["privateKiB"]},
    }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
