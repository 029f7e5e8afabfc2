#!/usr/bin/env python3
"""summary.py - the benchmark's medians, target checks and tables, standard library only.

Usage: summary.py [--seed S] [--elapsed SECONDS] [--svg OUT.svg] WORKDIR

Reads WORKDIR/runs.csv as bench/run.sh writes it, one line per run:
size,order,tool,run,seconds,peak_kib,status,entries,map_bytes, where tool is
cod, ent or sort, run 0 is the warm-up (the only one with a peak) and a tool
stops at its first status other than ok. Writes WORKDIR/bench.md and
WORKDIR/summary.csv, prints the table and, with --svg, draws the chart
(plot.py). Every converter row is marked PASS, or MISS with the failed checks
in brackets. A missed target is a result: the exit status is 1 only when a
run failed, timed out, printed no end line or reported a wrong entry count.
"""

import argparse
import csv
import datetime
import os
import statistics
import sys

import plot

# Targets: at BIG symbols korval / sort at most 1.0 for ascending input and
# 0.5 for the other orders, and the time at BIG at most SCALE_MAX times the
# time at SMALL; on every row the peak memory within input + 80 B per entry
# + 16 MiB.
BIG, SMALL = 1000000, 100000
RATIO_TARGET = {"asc": 1.0}
RATIO_TARGET_OTHER = 0.5
SCALE_MAX = 12
BYTES_PER_ENTRY = 80
SLACK_MIB = 16
MIB = 1048576

FORMATS = [("cod", ".COD"), ("ent", ".ENT")]
COLUMNS = [
    "size",
    "order",
    "format",
    "runs",
    "korval_s",
    "baseline_s",
    "ratio",
    "ratio_target",
    "scale",
    "peak_mib",
    "bound_mib",
    "entries",
    "mark",
]
SHOWN = [
    "symbols",
    "order",
    "format",
    "runs",
    "korval (s)",
    "baseline (s)",
    "ratio",
    "target",
    "scale",
    "peak (MiB)",
    "bound (MiB)",
    "entries",
    "mark",
]
# The headings on standard output, one word each.
PRINTED = (
    "symbols order format runs korval_s baseline_s ratio target scale peak_MiB bound_MiB entries mark"
).split()


class Tool:
    """What the runs of one tool on one map came to."""

    def __init__(self):
        self.times = []  # seconds of the measured runs that succeeded
        self.peak_kib = None  # of the warm-up, if it succeeded
        self.state = "ok"  # the first status other than ok
        self.entries = []  # counts on the converter's end lines


def read_runs(path):
    """Returns the sizes and orders in the order run, {(size, order): map bytes}
    and {(size, order, tool): Tool} from runs.csv."""
    sizes, orders, map_bytes, tools = [], [], {}, {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            size, order = int(row["size"]), row["order"]
            if size not in sizes:
                sizes.append(size)
            if order not in orders:
                orders.append(order)
            map_bytes[(size, order)] = int(row["map_bytes"])
            tool = tools.setdefault((size, order, row["tool"]), Tool())
            if row["status"] != "ok":
                tool.state = row["status"]
                continue
            if row["entries"]:
                tool.entries.append(int(row["entries"]))
            if row["run"] == "0":
                tool.peak_kib = int(row["peak_kib"]) if row["peak_kib"] else None
            else:
                tool.times.append(float(row["seconds"]))
    return sizes, orders, map_bytes, tools


def median(values):
    return statistics.median(values) if values else None


def fmt(value, form):
    return "" if value is None else form % value


def summarise(size, order, fmt_key, fmt_name, map_bytes, tools):
    """Returns one summary row as a dict of COLUMNS, and whether a run behind
    it failed or miscounted."""
    none = Tool()
    tool = tools.get((size, order, fmt_key), none)
    sort = tools.get((size, order, "sort"), none)
    k, b = median(tool.times), median(sort.times)
    small = median(tools.get((SMALL, order, fmt_key), none).times)
    wrong = [n for n in tool.entries if n != size]
    n = wrong[0] if wrong else (tool.entries[0] if tool.entries else None)

    notes = []
    # Runs cut off by the overall time budget count if some were measured.
    if tool.state != "ok" and not (tool.state == "skipped" and k is not None):
        notes.append(tool.state)
    if sort.state != "ok" and not (sort.state == "skipped" and b is not None):
        notes.append("sort:" + sort.state)
    if wrong:
        notes.append("entries")
    ratio = k / b if k is not None and b else None
    target = scale = None
    if size == BIG:
        target = RATIO_TARGET.get(order, RATIO_TARGET_OTHER)
        if ratio is None or ratio > target:
            notes.append("ratio")
        if k is not None and small:
            scale = k / small
        if scale is None or scale > SCALE_MAX:
            notes.append("scale")
    peak = tool.peak_kib / 1024 if tool.peak_kib is not None else None
    bound = None
    if n is not None:
        bound = (map_bytes.get((size, order), 0) + BYTES_PER_ENTRY * n) / MIB + SLACK_MIB
    if peak is None or bound is None:
        # Unmeasured memory only counts against a row nothing else failed.
        if not notes:
            notes.append("memory")
    elif peak > bound:
        notes.append("memory")

    row = {
        "size": str(size),
        "order": order,
        "format": fmt_name,
        "runs": str(len(tool.times)),
        "korval_s": fmt(k, "%.4f"),
        "baseline_s": fmt(b, "%.4f"),
        "ratio": fmt(ratio, "%.2f"),
        "ratio_target": fmt(target, "%.1f"),
        "scale": fmt(scale, "%.1f"),
        "peak_mib": fmt(peak, "%.1f"),
        "bound_mib": fmt(bound, "%.1f"),
        "entries": fmt(n, "%d"),
        "mark": "MISS(%s)" % ";".join(notes) if notes else "PASS",
    }
    good = ("ok", "skipped")
    broken = tool.state not in good or sort.state not in good or bool(wrong)
    return row, broken


def machine():
    """'N cores, CPU model' of this machine, as far as Linux tells."""
    cores = len(os.sched_getaffinity(0))
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%d cores, %s" % (cores, model) if model else "%d cores" % cores


def write_markdown(path, cells, seed, elapsed):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# KORVAL benchmark",
        "",
        "%s, %s, seed %s; median of the runs after one warm-up; the whole run took %s s."
        % (now, machine(), seed, elapsed),
        "Baseline: `LC_ALL=C sort -s -k1,1 MAP`. Ratio = korval / baseline; scale = time at",
        "1,000,000 / time at 100,000 symbols; bound = input + 80 B x entries + 16 MiB.",
        "Targets at 1,000,000 symbols: ratio <= 1.0 (asc) or 0.5 (other orders), scale <= 12;",
        "every row: peak memory within the bound.",
        "",
        "| " + " | ".join(SHOWN) + " |",
        "|--:|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    lines += ["| " + " | ".join(row) + " |" for row in cells]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def print_table(cells):
    """The table in aligned columns, two spaces apart."""
    table = [PRINTED] + cells
    widths = [max(len(row[i]) for row in table) for i in range(len(PRINTED))]
    for row in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())


def main(argv):
    parser = argparse.ArgumentParser(description="Summarises the benchmark runs.")
    parser.add_argument("workdir")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--elapsed", default="?", help="seconds the whole bench took")
    parser.add_argument("--svg", default="", help="chart to draw; none if empty")
    args = parser.parse_args(argv[1:])
    work = os.path.abspath(args.workdir)

    sizes, orders, map_bytes, tools = read_runs(os.path.join(work, "runs.csv"))
    rows, misses, broken = [], 0, 0
    for size in sizes:
        for order in orders:
            for key, name in FORMATS:
                row, failed = summarise(size, order, key, name, map_bytes, tools)
                rows.append(row)
                misses += row["mark"] != "PASS"
                broken += failed

    with open(os.path.join(work, "summary.csv"), "w", newline="") as f:
        writer = csv.DictWriter(f, COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    # Shown with a dash in every empty cell.
    cells = [[row[c] or "-" for c in COLUMNS] for row in rows]
    write_markdown(os.path.join(work, "bench.md"), cells, args.seed, args.elapsed)

    print_table(cells)
    print()
    print(
        "bench: %d rows, %d missed a target, %d with failed runs or wrong entry counts;"
        " the run took %s s." % (len(rows), misses, broken, args.elapsed)
    )
    print("bench: tables in %s/bench.md, %s/summary.csv, %s/runs.csv" % (work, work, work))

    if args.svg:
        try:
            plot.draw(os.path.join(work, "summary.csv"), args.svg)
            print("bench: chart in %s" % args.svg)
        except (OSError, ValueError) as e:
            sys.stderr.write("bench: no chart: %s\n" % e)

    # Missed targets are results; a converter that failed or miscounted is not.
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
