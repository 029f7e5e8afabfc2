#!/usr/bin/env python3
"""plot.py - draws the benchmark medians as an SVG chart, standard library only.

Usage: plot.py SUMMARY.csv OUT.svg

One log-log panel per input order: wall time against the number of symbols,
for the converter writing .COD and .ENT and for the sort baseline. All panels
share one time axis so that the orders can be compared at a glance.
bench/summary.py draws it at the end of a bench; this is for drawing it again.
"""

import csv
import math
import sys
from xml.sax.saxutils import escape

ORDERS = ["asc", "desc", "random", "blocks"]
TITLES = {
    "asc": "ascending input",
    "desc": "descending input",
    "random": "random input",
    "blocks": "shuffled ascending blocks",
}
# key, label, colour, line width, dash pattern; the wide line goes first so
# that the narrower one stays visible where the two formats coincide.
SERIES = [
    (".COD", "korval .COD", "#7fb2e5", 5, ""),
    (".ENT", "korval -a .ENT", "#1a7f1a", 2, ""),
    ("sort", "baseline: sort -s -k1,1", "#d62728", 2, "6,4"),
]

PANEL_W, PANEL_H = 380, 260
PAD = 0.12  # room beyond the outer ticks, in decades
MARGIN_L, MARGIN_R, MARGIN_T, MARGIN_B = 70, 20, 40, 50
COLS = 2


def read_series(path):
    """Returns {order: {series key: [(symbols, seconds)]}} from the summary CSV."""
    data = {}
    baseline = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            size, order = int(row["size"]), row["order"]
            per = data.setdefault(order, {})
            if row["korval_s"]:
                per.setdefault(row["format"], []).append((size, float(row["korval_s"])))
            if row["baseline_s"]:
                baseline[(order, size)] = float(row["baseline_s"])
    for (order, size), secs in baseline.items():
        data.setdefault(order, {}).setdefault("sort", []).append((size, secs))
    for per in data.values():
        for points in per.values():
            points.sort()
    return data


def decades(lo, hi):
    """Powers of ten spanning [lo, hi], one beyond on each side if needed."""
    a = math.floor(math.log10(lo))
    b = math.ceil(math.log10(hi))
    if a == b:
        b += 1
    return a, b


def time_label(exp):
    secs = 10.0**exp
    if secs >= 1:
        return "%g s" % secs
    if secs >= 1e-3:
        return "%g ms" % (secs * 1e3)
    return "%g µs" % (secs * 1e6)


def size_label(n):
    if n >= 1000000 and n % 1000000 == 0:
        return "%dM" % (n // 1000000)
    if n >= 1000 and n % 1000 == 0:
        return "%dk" % (n // 1000)
    return str(n)


def render(data):
    orders = [o for o in ORDERS if o in data] + sorted(o for o in data if o not in ORDERS)
    points = [p for per in data.values() for pts in per.values() for p in pts]
    if not points:
        raise ValueError("no timings in the summary")
    sizes = sorted({p[0] for p in points})
    lx0, lx1 = math.log10(min(sizes)) - PAD, math.log10(max(sizes)) + PAD
    y0, y1 = decades(min(p[1] for p in points), max(p[1] for p in points))

    rows = (len(orders) + COLS - 1) // COLS
    cell_w = MARGIN_L + PANEL_W + MARGIN_R
    cell_h = MARGIN_T + PANEL_H + MARGIN_B
    legend_h = 40
    width, height = cell_w * min(COLS, len(orders)), cell_h * rows + legend_h + 30
    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
        'viewBox="0 0 %d %d" font-family="sans-serif" font-size="12">' % (width, height, width, height),
        '<rect width="100%" height="100%" fill="white"/>',
        '<text x="%d" y="22" font-size="16" text-anchor="middle">'
        "Conversion time against map size (log-log, median wall time)</text>" % (width // 2),
    ]

    for i, order in enumerate(orders):
        ox = (i % COLS) * cell_w + MARGIN_L
        oy = (i // COLS) * cell_h + MARGIN_T + 30

        def px(n):
            return ox + (math.log10(n) - lx0) / (lx1 - lx0) * PANEL_W

        def py(t):
            return oy + PANEL_H - (math.log10(t) - y0) / (y1 - y0) * PANEL_H

        out.append(
            '<text x="%.1f" y="%d" font-size="14" text-anchor="middle">%s</text>'
            % (ox + PANEL_W / 2, oy - 10, escape(TITLES.get(order, order)))
        )
        for e in range(y0, y1 + 1):
            y = py(10.0**e)
            out.append(
                '<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (ox, y, ox + PANEL_W, y)
            )
            out.append(
                '<text x="%d" y="%.1f" text-anchor="end" dominant-baseline="middle">%s</text>'
                % (ox - 6, y, time_label(e))
            )
        for n in sizes:
            x = px(n)
            out.append(
                '<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, oy, x, oy + PANEL_H)
            )
            out.append(
                '<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                % (x, oy + PANEL_H + 16, size_label(n))
            )
        out.append(
            '<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#444"/>'
            % (ox, oy, PANEL_W, PANEL_H)
        )
        out.append(
            '<text x="%.1f" y="%d" text-anchor="middle" fill="#444">symbols</text>'
            % (ox + PANEL_W / 2, oy + PANEL_H + 34)
        )
        for key, label, colour, lw, dash in SERIES:
            pts = data.get(order, {}).get(key, [])
            if not pts:
                continue
            coords = " ".join("%.1f,%.1f" % (px(n), py(t)) for n, t in pts)
            out.append(
                '<polyline points="%s" fill="none" stroke="%s" stroke-width="%d"%s/>'
                % (coords, colour, lw, ' stroke-dasharray="%s"' % dash if dash else "")
            )
            for n, t in pts:
                out.append(
                    '<g><title>%s, %s symbols: %.4f s</title>'
                    '<circle cx="%.1f" cy="%.1f" r="3.5" fill="%s"/></g>'
                    % (escape(label), size_label(n), t, px(n), py(t), colour)
                )

    ly = height - legend_h / 2
    lx = MARGIN_L
    for key, label, colour, lw, dash in SERIES:
        out.append(
            '<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="%s" stroke-width="%d"%s/>'
            % (lx, ly, lx + 30, ly, colour, lw, ' stroke-dasharray="%s"' % dash if dash else "")
        )
        out.append(
            '<text x="%d" y="%.1f" dominant-baseline="middle">%s</text>' % (lx + 36, ly, escape(label))
        )
        lx += 200
    out.append("</svg>")
    return "\n".join(out) + "\n"


def draw(summary_path, svg_path):
    """Writes the chart of the summary CSV; ValueError if it holds no timings."""
    svg = render(read_series(summary_path))
    with open(svg_path, "w", encoding="utf-8") as f:
        f.write(svg)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: plot.py SUMMARY.csv OUT.svg\n")
        return 2
    try:
        draw(argv[1], argv[2])
    except (OSError, ValueError) as e:
        sys.stderr.write("plot.py: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
