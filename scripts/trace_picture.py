"""Draws a request trace (Chrome trace event JSON, as tallowind_ara2.trace
writes it) as an SVG picture: one row per track (host threads, then the
device's endpoints), each span a box coloured by its name, over a time axis.

    python scripts/trace_picture.py TRACE.json PICTURE.svg [--from MS] [--to MS]

Standard library only; used for the picture in docs/guide.md.
"""
from __future__ import annotations

import argparse
import html
import json
import sys

COLOURS = {"input write": "#4e79a7", "run": "#f28e2b", "submit": "#e15759", "wait": "#bab0ac",
           "output read": "#76b7b2", "dequantize": "#59a14f", "put": "#edc948", "collect": "#b07aa1",
           "device input": "#9c755f", "device run": "#ff9da7", "device output": "#86bcb6"}
ROW, LABEL, WIDTH, AXIS = 34, 190, 1100, 30


def tracks(events: list[dict]) -> tuple[list[tuple[int, int, str]], list[dict]]:
    """(pid, tid, name) per track in drawing order, and the spans."""
    names = {(e["pid"], e.get("tid")): e["args"]["name"] for e in events if e["ph"] == "M"}
    spans = [e for e in events if e["ph"] == "X"]
    keys = sorted({(s["pid"], s["tid"]) for s in spans}, key=lambda key: (spans[0]["pid"] != key[0], key))
    return [(pid, tid, f"{names.get((pid, None), pid)}: {names.get((pid, tid), tid)}") for pid, tid in keys], spans


def draw(events: list[dict], start_ms: float | None, end_ms: float | None) -> str:
    rows, spans = tracks(events)
    first = min(s["ts"] for s in spans) if start_ms is None else start_ms * 1000
    last = max(s["ts"] + s["dur"] for s in spans) if end_ms is None else end_ms * 1000
    scale = (WIDTH - LABEL - 10) / max(last - first, 1e-9)
    height = AXIS + ROW * len(rows) + 40
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" font-family="sans-serif" '
           f'font-size="12"><rect width="100%" height="100%" fill="white"/>']
    for row, (pid, tid, name) in enumerate(rows):
        y = AXIS + row * ROW
        out.append(f'<text x="4" y="{y + ROW / 2 + 4}">{html.escape(name)}</text>')
        out.append(f'<line x1="{LABEL}" x2="{WIDTH - 10}" y1="{y + ROW}" y2="{y + ROW}" stroke="#ddd"/>')
        for span in sorted(spans, key=lambda s: -s["dur"]):  # enclosing spans first, the spans inside on top
            if (span["pid"], span["tid"]) != (pid, tid) or span["ts"] + span["dur"] < first or span["ts"] > last:
                continue
            x = LABEL + (span["ts"] - first) * scale
            depth = sum(1 for other in spans if (other["pid"], other["tid"]) == (pid, tid) and other is not span
                        and other["ts"] <= span["ts"] and other["ts"] + other["dur"] >= span["ts"] + span["dur"]
                        and other["dur"] > span["dur"])
            inset = 4 + 6 * depth
            out.append(f'<rect x="{x:.2f}" y="{y + inset}" width="{max(span["dur"] * scale, 0.8):.2f}" '
                       f'height="{ROW - 2 * inset}" fill="{COLOURS.get(span["name"], "#999")}" stroke="white" '
                       f'stroke-width="0.6">'
                       f'<title>{html.escape(span["name"])} {span["dur"]:.1f} us</title></rect>')
    steps = 5
    for step in range(steps + 1):
        x = LABEL + (WIDTH - LABEL - 10) * step / steps
        out.append(f'<text x="{x:.1f}" y="{AXIS - 10}" text-anchor="middle">'
                   f'{(first + (last - first) * step / steps) / 1000:.2f} ms</text>')
    x = LABEL
    for name, colour in COLOURS.items():
        if any(s["name"] == name for s in spans):
            out.append(f'<rect x="{x}" y="{height - 28}" width="12" height="12" fill="{colour}"/>'
                       f'<text x="{x + 16}" y="{height - 18}">{name}</text>')
            x += 24 + 7 * len(name)
    return "\n".join(out + ["</svg>\n"])


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trace")
    parser.add_argument("picture")
    parser.add_argument("--from", dest="start", type=float, metavar="MS", help="start of the window drawn")
    parser.add_argument("--to", dest="end", type=float, metavar="MS", help="end of the window drawn")
    args = parser.parse_args(argv)
    with open(args.trace, encoding="utf-8") as file:
        events = json.load(file)["traceEvents"]
    if not any(e["ph"] == "X" for e in events):
        print(f"{args.trace}: no spans", file=sys.stderr)
        return 1
    with open(args.picture, "w", encoding="utf-8") as file:
        file.write(draw(events, args.start, args.end))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
