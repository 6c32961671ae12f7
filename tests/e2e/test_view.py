"""The window's progress view while four connections fetch at once."""

import os
import random
import re
import signal
import subprocess
import time
import unittest

import e2e
from e2e import Case

START = "파일을 업데이트 중입니다"
DONE = "업데이트를 완료했습니다."

# The bars' rectangles in the window (x, y, width, height) and their rims.
FILE_BAR = ((339, 257, 217, 9), 1)
TOTAL_BAR = ((339, 300, 217, 9), 0)
SLACK = 3  # pixels between a bar drawn and the fraction it was given

LINE = re.compile(r"count=(?P<k>\d+) / (?P<n>\d+)\tname=(?P<name>[^\t]*)"
                  r"\tfileBytes=(?P<fa>\d+) / (?P<fb>\d+)\tfileBar=(?P<fp>-?\d+) in (?P<fl>-?\d+)\.\.(?P<fu>-?\d+)"
                  r"\ttotalBytes=(?P<ta>\d+) / (?P<tb>\d+)\ttotalBar=(?P<tp>-?\d+) in (?P<tl>-?\d+)\.\.(?P<tu>-?\d+)$")


def view_states(path):
    """The states the window was given once a file was named, in order."""
    states = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = LINE.search(line.rstrip("\n"))
            if m:
                states.append({k: (v if k == "name" else int(v)) for k, v in m.groupdict().items()})
    return states


def fraction(pos, lower, upper):
    if upper <= lower:
        return 1.0 if pos > lower else 0.0
    return (pos - lower) / (upper - lower)


def filled(ppm, bar):
    """Lit pixels along the middle row of a bar, inside its rim."""
    (x, y, width, height), rim = bar
    magic, size, depth, pixels = ppm.split(b"\n", 3)
    assert magic == b"P6" and depth == b"255", "not a binary PPM"
    w = int(size.split()[0])
    row = y + height // 2
    lit = 0
    for col in range(x + rim, x + width - rim):
        r = pixels[(row * w + col) * 3]
        lit += r > 0x70  # the chunk's gold against the track's near black
    return lit, width - 2 * rim


def artefact(name, ppm):
    folder = os.environ.get("ORVANTA_ARTEFACTS", os.path.join(e2e.BUILD_DIR, "tests", "artefacts"))
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["convert", "ppm:-", os.path.join(folder, name + ".png")], input=ppm, check=True)


class View(Case):
    def capture(self, proc, win, view_log):
        """The window as drawn, and how many states it had been given then.

        The updater is held still while the picture is taken. The window
        draws a state after logging it, when its event loop next has a
        moment: the picture shows one of the last states logged, or the
        next one half drawn."""
        proc.send_signal(signal.SIGSTOP)
        try:
            time.sleep(e2e.scaled(0.1))  # the display takes in what the updater sent
            ppm = subprocess.run(["import", "-window", win, "-depth", "8", "ppm:-"], capture_output=True,
                                 check=True, env=dict(os.environ, DISPLAY=self.xvfb.display),
                                 timeout=e2e.scaled(10)).stdout
            logged = len(view_states(view_log))
        finally:
            proc.send_signal(signal.SIGCONT)
        return ppm, logged

    def assert_drawn(self, ppm, candidates, what):
        for bar, p, lo, up in ((FILE_BAR, "fp", "fl", "fu"), (TOTAL_BAR, "tp", "tl", "tu")):
            lit, inner = filled(ppm, bar)
            wanted = [round(fraction(s[p], s[lo], s[up]) * inner, 1) for s in candidates]
            self.assertTrue(any(abs(lit - w) <= SLACK for w in wanted),
                            "%s: %d pixels lit, wanted one of %r from %r" % (what, lit, wanted, candidates))

    def test_four_connections_show_one_file_at_a_time_and_end_full(self):
        rng = random.Random(12)
        # Sizes all differ, so a bar's range tells which file it belongs to.
        sizes = rng.sample(range(120_000, 350_000), 16)
        files = {"d/f%02d.bin" % i: rng.randbytes(n) for i, n in enumerate(sizes)}
        self.make_release(files)
        by_name = {rel.rsplit("/", 1)[1]: len(data) for rel, data in files.items()}
        total = sum(sizes)
        ftpd = self.start_ftpd("--throttle", "1500000")
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port)  # active mode, four connections
        view_log = os.path.join(self.logs, "view.log")
        proc = self.start_updater("127.0.0.1", extra_env={"ORVANTA_VIEW_LOG": view_log})
        win, _x, _y = self.find_window()
        self.wait_status(START)

        during = []
        since = 0
        while len(during) < 8 and not any(DONE in s for s in self.statuses()):
            time.sleep(0.2)
            ppm, logged = self.capture(proc, win, view_log)
            if logged and view_states(view_log)[logged - 1]["k"] < len(files):
                during.append((ppm, since, logged))
            since = logged
        self.wait_status(DONE, 30)
        time.sleep(0.3)  # the last frame
        after, _logged = self.capture(proc, win, view_log)
        self.assertGreaterEqual(len(during), 3, "the run ended before it could be pictured")
        for i, (ppm, _since, _logged) in enumerate(during):
            artefact("view-during-%d" % i, ppm)
        artefact("view-after", after)

        states = view_states(view_log)
        previous = None
        names = {}
        for s in states:
            where = "state %r after %r" % (s, previous)
            self.assertEqual(s["n"], len(files), where)
            self.assertTrue(1 <= s["k"] <= s["n"], where)
            self.assertEqual(names.setdefault(s["k"], s["name"]), s["name"], where)
            self.assertEqual(s["fu"] + 1, by_name[s["name"]], where)  # the range is the named file's
            self.assertTrue(s["fl"] <= s["fp"] <= s["fu"] and s["tl"] <= s["tp"] <= s["tu"], where)
            self.assertTrue(s["fa"] <= s["fb"] and s["ta"] <= s["tb"] == total and s["tu"] + 1 == total, where)
            self.assertEqual(s["tp"], min(s["ta"], s["tu"]), where)
            if s["fb"] == s["fu"] + 1:
                # The file's own counter: the bar shows it, full when it is.
                self.assertEqual(s["fp"], min(s["fa"], s["fu"]), where)
            else:
                # The file before, until the new one's first bytes: whole,
                # and the bar where that whole file left it.
                self.assertEqual(s["fa"], s["fb"], where)
                self.assertEqual(s["fp"], min(s["fb"] - 1, s["fu"]), where)
            if previous:
                self.assertGreaterEqual(s["k"], previous["k"], where)
                self.assertGreaterEqual(s["ta"], previous["ta"], where)
                if s["k"] == previous["k"] and s["fb"] == s["fu"] + 1 == previous["fb"]:
                    self.assertGreaterEqual(s["fa"], previous["fa"], where)
            previous = s

        # The end is the one connection's: the last entry, both bars full.
        last = states[-1]
        self.assertEqual((last["k"], last["fa"], last["fb"], last["fp"]),
                         (len(files), by_name[last["name"]], last["fu"] + 1, last["fu"]))
        self.assertEqual((last["ta"], last["tp"]), (total, last["tu"]))
        self.assertEqual(names[len(files)], max(by_name))

        for i, (ppm, since, logged) in enumerate(during):
            self.assert_drawn(ppm, states[max(0, logged - 3):logged + 1], "picture %d" % i)
        self.assertEqual([filled(after, FILE_BAR)[0], filled(after, TOTAL_BAR)[0]], [215, 217])


if __name__ == "__main__":
    unittest.main()
