#!/usr/bin/env python3
"""The segments benchmark as a bar chart: one group per case, one bar per
tool, its median in seconds written over it and each round a dot.

    bench/plot_segments.py OUT/segments.tsv docs/segments.svg [--title TEXT]

Reads what bench/segments_bench.sh writes (case, tool, rounds, median_ms,
all_ms, label) and writes a self-contained SVG; the standard library only,
as the machines that run the bench have no plotting package.
"""

import argparse
import csv
import math
from xml.sax.saxutils import escape

TOOLS = [  # order, legend and colour of the bars
    ("ours1", "ours, 1 connection", "#9ecae1"),
    ("ours4", "ours, 4 connections", "#08519c"),
    ("aria4", "aria2c -x4 -s4", "#e6550d"),
    ("lftp4", "lftp pget -n 4", "#31a354"),
    ("curl1", "curl, 1 connection", "#969696"),
]
CASE_NAMES = {"a": "(a) big file, FTP", "b": "(b) big file, HTTP", "c": "(c) mixed release, FTP"}

BAR, GAP, GROUP_GAP = 34, 6, 40
LEFT, RIGHT, TOP, BOTTOM = 64, 20, 54, 96
PLOT_HEIGHT = 300


def read(path):
    """{case: {tool: (median_s, [round_s...])}} and the cases' labels, in file order."""
    cases, labels = {}, {}
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            rounds = [int(v) / 1000 for v in row["all_ms"].split(",") if v]
            cases.setdefault(row["case"], {})[row["tool"]] = (int(row["median_ms"]) / 1000, rounds)
            labels[row["case"]] = row.get("label") or CASE_NAMES.get(row["case"], row["case"])
    return cases, labels


def nice_step(top):
    """A 1-2-5 tick step giving four to eight ticks up to top."""
    raw = top / 6
    power = 10 ** math.floor(math.log10(raw))
    return next(m * power for m in (1, 2, 5, 10) if m * power >= raw)


def svg(cases, labels, title):
    # A stalled tool (a time-out of minutes) would flatten every other bar:
    # the axis stops at three times the middle median, and a bar past it
    # is cut, marked, and labelled with its value.
    medians = sorted(m for tools in cases.values() for m, _ in tools.values())
    highest = max(max(r) for tools in cases.values() for _, r in tools.values())
    top = min(highest, 3 * medians[len(medians) // 2]) * 1.12 or 1
    step = nice_step(top)
    top = math.ceil(top / step) * step
    groups = [(c, [t for t in TOOLS if t[0] in tools]) for c, tools in cases.items()]
    needed = LEFT + RIGHT + sum(len(bars) * (BAR + GAP) - GAP for _, bars in groups) + GROUP_GAP * (len(groups) + 1)
    width = max(needed, LEFT + RIGHT + int(8.6 * len(title)))  # the title's bold 15 px, roughly
    height = TOP + PLOT_HEIGHT + BOTTOM
    y = lambda s: TOP + PLOT_HEIGHT - s / top * PLOT_HEIGHT
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'font-family="DejaVu Sans, Arial, sans-serif" font-size="12">' % (width, height, width, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="24" font-size="15" font-weight="bold">%s</text>' % (LEFT, escape(title))]
    tick = 0.0
    while tick <= top + 1e-9:
        out.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#ddd"/>'
                   % (LEFT, width - RIGHT, y(tick), y(tick)))
        out.append('<text x="%d" y="%.1f" text-anchor="end" dominant-baseline="middle">%g</text>'
                   % (LEFT - 6, y(tick), round(tick, 6)))
        tick += step
    out.append('<text transform="translate(16 %d) rotate(-90)" text-anchor="middle">seconds (median)</text>'
               % (TOP + PLOT_HEIGHT // 2))
    x = LEFT + GROUP_GAP + (width - needed) // 2
    for case, bars in groups:
        start = x
        for key, _, colour in bars:
            median, rounds = cases[case][key]
            shown = min(median, top)
            out.append('<rect x="%d" y="%.1f" width="%d" height="%.1f" fill="%s"/>'
                       % (x, y(shown), BAR, y(0) - y(shown), colour))
            if median > top:
                out.append('<path d="M%d %.1f l%d -6 l%d 6 l%d -6" stroke="white" stroke-width="3" fill="none"/>'
                           % (x, y(top) + 12, BAR // 3, BAR // 3, BAR - 2 * (BAR // 3)))
            out.append('<text x="%d" y="%.1f" text-anchor="middle" font-size="11">%s</text>'
                       % (x + BAR // 2, y(min(max(rounds), top)) - 5, "%.2f" % median))
            for value in rounds:
                if value <= top:
                    out.append('<circle cx="%d" cy="%.1f" r="2.2" fill="black" fill-opacity="0.6"/>'
                               % (x + BAR // 2, y(value)))
            x += BAR + GAP
        x -= GAP
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                   % ((start + x) / 2, TOP + PLOT_HEIGHT + 18, escape(labels[case])))
        x += GROUP_GAP
    out.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="black"/>' % (LEFT, width - RIGHT, y(0), y(0)))
    lx, ly = LEFT, TOP + PLOT_HEIGHT + 44
    for key, name, colour in TOOLS:
        if any(key in tools for tools in cases.values()):
            out.append('<rect x="%d" y="%d" width="12" height="12" fill="%s"/>' % (lx, ly, colour))
            out.append('<text x="%d" y="%d">%s</text>' % (lx + 16, ly + 10, escape(name)))
            lx += 28 + 7 * len(name)
            if lx > width - 160:
                lx, ly = LEFT, ly + 20
    out.append('</svg>')
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tsv")
    ap.add_argument("svg")
    ap.add_argument("--title", default="Big files over capped links (lower is better; dots: rounds)")
    args = ap.parse_args()
    cases, labels = read(args.tsv)
    if not cases:
        raise SystemExit("no rows in %s" % args.tsv)
    with open(args.svg, "w", encoding="utf-8") as f:
        f.write(svg(cases, labels, args.title))


if __name__ == "__main__":
    main()
