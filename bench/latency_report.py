#!/usr/bin/python3
"""Table and plot of bench/latency_bench.sh's medians. Also run by hand on
several runs' TSV files joined (the header once):

    bench/latency_report.py TSV OUT BIG_MB SMALL_COUNT SMALL_KB PACKS PACK_MB SMALL
"""
import csv, os, sys
tsv, out = sys.argv[1], sys.argv[2]
big_mb, count, kib, packs, pack_mb, small = sys.argv[3:]
rows = list(csv.DictReader(open(tsv), delimiter="\t"))
names = {"ours1": "ours, 1 connection", "ours4": "ours, 4 connections",
         "lftp1": "lftp --parallel=1", "lftp4": "lftp --parallel=4"}
titles = {"a": "(a) one file of %s MiB" % big_mb, "b": "(b) %s files of %s KiB" % (count, kib),
          "c": "(c) %s packs of %s MiB + %s small files" % (packs, pack_mb, small)}
cases = sorted({r["case"] for r in rows})
rtts = sorted({int(r["rtt_ms"]) for r in rows})
get = {(r["case"], int(r["rtt_ms"]), r["tool"]): r for r in rows}
lines = ["| workload | RTT | " + " | ".join(names[t] for t in names) + " | ours4 / lftp4 | ours4 / ours1 | ours1 / lftp1 | rounds |",
         "|---|---|" + "---|" * (len(names) + 4)]
for c in cases:
    for rtt in rtts:
        ms = {t: int(get[(c, rtt, t)]["median_ms"]) for t in names if (c, rtt, t) in get}
        if not ms:
            continue
        ratio = lambda a, b: "%.2f" % (ms[a] / ms[b]) if ms.get(b) else "-"
        cells = ["%d ms" % ms[t] for t in names]
        lines.append("| %s | %d ms | %s | %s | %s | %s | %s |" % (
            titles[c], rtt, " | ".join(cells), ratio("ours4", "lftp4"), ratio("ours4", "ours1"),
            ratio("ours1", "lftp1"), get[(c, rtt, "ours1")]["rounds"]))
stalls = [int(r["longest_stall_ms"]) for r in rows if r["longest_stall_ms"] not in ("", "-")]
lines.append("")
lines.append("Longest event-loop stall of the updater in any run: %d ms." % max(stalls or [0]))
open(os.path.join(out, "latency.md"), "w").write("\n".join(lines) + "\n")
print("\n".join(lines))
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("no matplotlib: no plot", file=sys.stderr)
    sys.exit(0)
fig, axes = plt.subplots(1, len(cases), figsize=(5 * len(cases), 4.2), squeeze=False)
styles = {"ours1": ("tab:blue", "--", "o"), "ours4": ("tab:blue", "-", "o"),
          "lftp1": ("tab:orange", "--", "s"), "lftp4": ("tab:orange", "-", "s")}
for ax, c in zip(axes[0], cases):
    for t, name in names.items():
        pts = [(rtt, int(get[(c, rtt, t)]["median_ms"]) / 1000) for rtt in rtts if (c, rtt, t) in get]
        color, ls, marker = styles[t]
        ax.plot([p[0] for p in pts], [p[1] for p in pts], ls, color=color, marker=marker, label=name)
    ax.set_title(titles[c], fontsize=10)
    ax.set_xlabel("round trip (ms)")
    ax.set_ylabel("time (s, median)")
    ax.set_xticks(rtts)
    ax.grid(alpha=0.3)
axes[0][0].legend(fontsize=8)
fig.tight_layout()
fig.savefig(os.path.join(out, "latency.png"), dpi=90)
print("plot: %s" % os.path.join(out, "latency.png"))
