#!/usr/bin/env python3
"""The window beside the terminal front-end and lftp on many small files.

    bench/window_bench.py [--count 1000] [--kib 8] [--rounds 5]

One release of COUNT files of KIB KiB, one FTP server (the tests' fixture,
passive mode, four connections) and one patch server on loopback. Each round
runs the window (Updater on Xvfb), orvanta-update and `lftp mirror
--parallel=4` into an empty folder and times the transfer itself: for ours
from the status "파일을 업데이트 중입니다" to "업데이트를 완료했습니다.", for
lftp the whole mirror. Prints the medians and the ratios. Not a test.
"""

import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2e  # noqa: E402

START = "파일을 업데이트 중입니다"
DONE = "업데이트를 완료했습니다."


class Bench(e2e.Case):
    def runTest(self):
        pass


def window_seconds(case, binary=None):
    if os.path.exists(case.status_log):
        os.remove(case.status_log)
    proc = case.start_updater(binary=binary)
    ok = e2e.wait_until(lambda: any(DONE in s for s in case.statuses()), 120)
    proc.kill()
    proc.wait()
    if not ok:
        raise SystemExit("the window did not finish: %r" % case.statuses())
    stamps = {}
    with open(case.status_log, encoding="utf-8") as f:
        for line in f:
            stamp, text = line.rstrip("\n").split(" ", 1)
            stamps.setdefault(text, datetime.datetime.fromisoformat(stamp))
    return (stamps[DONE] - stamps[START]).total_seconds()


def terminal_seconds(case):
    env = dict(os.environ, XDG_CONFIG_HOME=case.config)
    proc = subprocess.Popen([e2e.UPDATE_CLI], env=env, cwd=case.game, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    start = done = None
    for raw in proc.stdout:
        line = raw.decode("utf-8", "replace")
        if START in line and start is None:
            start = time.monotonic()
        if DONE in line:
            done = time.monotonic()
    proc.wait()
    if start is None or done is None:
        raise SystemExit("orvanta-update did not finish")
    return done - start


def lftp_seconds(case, ftpd, into):
    script = ("set ftp:passive-mode on; set net:max-retries 1; open -u %s,%s -p %d 127.0.0.1; "
              "mirror --parallel=4 / %s; quit" % (ftpd.user, ftpd.password, ftpd.port, into))
    started = time.monotonic()
    subprocess.run(["lftp", "-c", script], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - started


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--kib", type=int, default=8)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--old-updater", help="an Updater from before a change, timed beside the current one")
    args = ap.parse_args()

    case = Bench()
    case.setUp()
    try:
        case.make_release({"small/f%05d.bin" % i: os.urandom(args.kib * 1024) for i in range(args.count)})
        ftpd = case.start_ftpd()
        patchd = case.start_patchd(2, "127.0.0.1:%d" % ftpd.port, user=ftpd.user, password=ftpd.password)
        runs = [("window", window_seconds), ("orvanta-update", terminal_seconds)]
        if args.old_updater:
            runs.append(("window (old)", lambda c: window_seconds(c, args.old_updater)))
        times = {name: [] for name, _ in runs}
        times["lftp --parallel=4"] = []
        for _ in range(args.rounds):
            for name, run in runs:
                shutil.rmtree(case.game)
                os.makedirs(case.game)
                case.write_store(PORT=patchd.port, PASSIVE=1)
                times[name].append(run(case))
            into = os.path.join(case.base, "lftp")
            shutil.rmtree(into, ignore_errors=True)
            times["lftp --parallel=4"].append(lftp_seconds(case, ftpd, into))
        medians = {name: statistics.median(values) for name, values in times.items()}
        print("%d x %d KiB, passive, four connections, %d rounds (medians)" % (args.count, args.kib, args.rounds))
        for name, value in medians.items():
            print("  %-18s %6.2f s   %s" % (name, value, " ".join("%.2f" % v for v in times[name])))
        # On a shared machine a stall can hit every tool of a round: the
        # median of each round's own ratio is the steadier figure.
        def ratio(a, b):
            return (medians[a] / medians[b], statistics.median(x / y for x, y in zip(times[a], times[b])))
        for a, b in (("window", "orvanta-update"), ("window", "lftp --parallel=4"),
                     ("orvanta-update", "lftp --parallel=4")):
            print("  %-28s %.2f   (median of the rounds' ratios %.2f)" % ("%s / %s" % (a, b.split()[0]), *ratio(a, b)))
    finally:
        case.tearDown()


if __name__ == "__main__":
    main()
