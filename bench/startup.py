#!/usr/bin/python3
"""Start-up time to the window's first paint, and peak memory, of the real
updater under Xvfb, with and without the notice page's web engine.

    bench/startup.py [--runs N] [--updater PATH]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def tree_pids(pid):
    pids = [pid]
    for p in pids:
        try:
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/children" % (p, task)) as f:
                    pids += [int(x) for x in f.read().split()]
        except OSError:
            pass
    return pids


def peak_kib(pid):
    total = 0
    for p in tree_pids(pid):
        try:
            with open("/proc/%d/status" % p) as f:
                m = re.search(r"VmHWM:\s+(\d+) kB", f.read())
                total += int(m.group(1)) if m else 0
        except OSError:
            pass
    return total


def one_run(updater, display, notice):
    work = tempfile.mkdtemp(prefix="orvanta-startup-")
    try:
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_CONFIG_HOME=work + "/config",
                   XDG_RUNTIME_DIR=work, ORVANTA_TRACE_STARTUP="1", ORVANTA_NOTICE="on" if notice else "off",
                   ORVANTA_WEB_HOST="127.0.0.1:9")
        if os.geteuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        os.chmod(work, 0o700)
        t0 = time.monotonic()
        proc = subprocess.Popen([updater, "127.0.0.1"], env=env, stderr=subprocess.PIPE, text=True)
        first = None
        for line in proc.stderr:
            if line.startswith("first-paint monotonic-ms"):
                first = int(line.split()[-1]) / 1000.0 - t0
                break
        time.sleep(3.0)  # the page loads (or fails) and the session starts
        peak = peak_kib(proc.pid)
        proc.kill()
        proc.wait()
        return first, peak
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--updater", default=os.path.join(ROOT, "build", "default", "app", "Updater"))
    args = ap.parse_args()
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    display = ":" + os.fdopen(r).readline().strip()
    try:
        for notice in (False, True):
            runs = [one_run(args.updater, display, notice) for _ in range(args.runs)]
            firsts = [f for f, _ in runs if f is not None]
            peaks = [p for _, p in runs]
            print("notice page %-3s: first paint median %.0f ms (min %.0f, max %.0f); "
                  "peak memory median %.1f MiB (all processes)" % (
                      "on" if notice else "off", statistics.median(firsts) * 1000, min(firsts) * 1000,
                      max(firsts) * 1000, statistics.median(peaks) / 1024.0))
    finally:
        xvfb.terminate()


if __name__ == "__main__":
    main()
