#!/usr/bin/env python3
"""Instruction counts under callgrind: decoding and ranking a server list against a bare
QJsonDocument parse of the same bytes, and system status changes through the state to the tray icon."""
import json
import os
import re
import subprocess
import sys
import tempfile


def instructions(cmd, env=None):
    with tempfile.NamedTemporaryFile(suffix=".cg") as out:
        r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out.name] + cmd,
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=1800)
        if r.returncode != 0:
            raise RuntimeError("failed: " + " ".join(cmd))
        text = open(out.name).read()
    m = re.search(r"^totals:\s*(\d+)", text, re.M) or re.search(r"^summary:\s*(\d+)", text, re.M)
    return int(m.group(1)), [json.loads(l) for l in r.stdout.splitlines() if l.startswith("{")]


def main():
    build, origin, servers, changes = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    work = build + "/bench/kestrava-bench-work"
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "servers.json")
        subprocess.run([work, "make", str(servers), path], check=True)
        base, _ = instructions([work, "read", path])
        parse, _ = instructions([work, "parse", path])
        decode, lines = instructions([work, "decode", path])
        assert lines and lines[0]["servers"] == servers
        out["decode"] = {"servers": servers, "bytes": os.path.getsize(path), "product": decode - base,
                         "floor": parse - base, "ratio": round((decode - base) / (parse - base), 2)}
    env = dict(os.environ, KESTRAVA_API_ORIGIN=origin, KESTRAVA_WEB_ORIGIN=origin, KESTRAVA_VPN_BACKEND="simulated",
               QT_QPA_PLATFORM="offscreen")
    # The difference between two runs takes start-up out; the second half of the longer run shows growth.
    short, _ = instructions([work, "status", str(changes // 5)], env)
    long_, _ = instructions([work, "status", str(changes + changes // 5)], env)
    # Memory natively (valgrind's allocator is not the program's), over four times as many changes.
    native = subprocess.run([work, "status", str(changes * 4)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=1800, check=True)
    lines = [json.loads(l) for l in native.stdout.splitlines() if l.startswith("{")]
    out["status"] = {"changes": changes, "perChange": round((long_ - short) / changes),
                     "growthKiB": lines[-1]["privateKiB"] - lines[0]["privateKiB"],
                     "growthOver": lines[-1]["changes"] - lines[0]["changes"]}
    print(json.dumps(out))


if __name__ == "__main__":
    main()
