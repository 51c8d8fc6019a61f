"""`ara2 top`: a live view of the proxy's endpoints and of every process on
this host that uses the module, refreshed every second, from the counters
each process keeps in /dev/shm/tallowind_ara2.PID (no change to the
applications). `--json` prints one snapshot."""
from __future__ import annotations

import argparse
import glob
import os
import struct
import time
from dataclasses import dataclass, field
from typing import Any

import tallowind_ara2 as ara2

from .common import Document, add_connection_options, connect_if_possible, describe, plain, size_text

HELP = "watch the endpoints and the processes using them, live"
DESCRIPTION = (f"{HELP.capitalize()}: each endpoint's state, DRAM and requests in flight, and for each process "
               "using the module its models, inferences per second, latency and errors. q or Ctrl-C quits; "
               "--json prints one snapshot. The counters are kept by every process that loads the module "
               "(ARA2_COUNTERS=0 turns them off in a process).")

# The counter segment's layout (src/ara2/counters.hpp).
SEGMENT_GLOB = "/dev/shm/tallowind_ara2.*"
MAGIC = b"ARA2CNT\0"
LAYOUT = 1
HEADER = struct.Struct("=8sIIQQqQQqQ")
ENDPOINTS_OFFSET, ENDPOINTS = 128, 64
SAMPLES_OFFSET = ENDPOINTS_OFFSET + 8 * ENDPOINTS


@dataclass
class Counters:
    """One reading of a process's segment."""
    pid: int
    taken_ns: int
    models: int
    completed: int
    failed: int
    in_flight: int
    endpoints_in_flight: list[int]
    samples_written: int  # latency samples taken since the segment was made
    latencies_us: list[int] = field(default_factory=list)  # completions within the window


def read_segment(path: str, window_s: float) -> Counters | None:
    """The counters in one segment, or None when it is not one (yet)."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        return None
    if len(data) < SAMPLES_OFFSET:
        return None
    magic, layout, slots, pid, _started, models, completed, failed, in_flight, written = \
        HEADER.unpack_from(data)
    if magic != MAGIC or layout != LAYOUT or len(data) < SAMPLES_OFFSET + 8 * slots:
        return None
    taken_ns = time.monotonic_ns()
    now_ms = (taken_ns // 1_000_000) & 0xFFFFFFFF
    horizon_ms = int(window_s * 1000)
    samples = struct.unpack_from(f"={min(written, slots)}Q", data, SAMPLES_OFFSET)
    latencies = [sample & 0xFFFFFFFF for sample in samples
                 if (now_ms - (sample >> 32)) & 0xFFFFFFFF <= horizon_ms]
    endpoints = list(struct.unpack_from(f"={ENDPOINTS}q", data, ENDPOINTS_OFFSET))
    return Counters(pid, taken_ns, models, completed, failed, in_flight, endpoints, written, latencies)


def segment_pid(path: str) -> int | None:
    suffix = path.rpartition(".")[2]
    return int(suffix) if suffix.isdigit() else None


def alive(pid: int) -> bool:
    """Whether the process that made the segment of `pid` still runs (not a
    later process that reused the pid: the owner keeps the segment mapped)."""
    try:
        with open(f"/proc/{pid}/maps") as maps:
            return f"/dev/shm/tallowind_ara2.{pid}" in maps.read()
    except FileNotFoundError:
        return False
    except OSError:  # another user's process: at least it exists
        return os.path.exists(f"/proc/{pid}")


def command_line(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as file:
            return " ".join(part.decode(errors="replace") for part in file.read().split(b"\0") if part)
    except OSError:
        return "?"


def percentile(values: list[int], fraction: float) -> float | None:
    """The nearest-rank percentile, in milliseconds."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * fraction // 1))
    return ordered[int(rank) - 1] / 1000


class Watcher:
    """Reads every segment and turns two readings into rates; cleans up the
    segments of processes that are gone."""

    def __init__(self, window_s: float) -> None:
        self.window_s = window_s
        self.previous: dict[int, Counters] = {}
        self.departed: list[Document] = []  # cleaned up since the last report

    def processes(self) -> list[Document]:
        rows: list[Document] = []
        for path in sorted(glob.glob(SEGMENT_GLOB), key=lambda p: segment_pid(p) or 0):
            # A segment is complete once its process mapped it: one that is
            # not yet may be in the making, and is left alone.
            reading = read_segment(path, self.window_s)
            if reading is None or reading.pid != segment_pid(path):
                continue
            pid = reading.pid
            if not alive(pid):
                try:
                    os.unlink(path)
                    note = "gone: its counters were removed"
                except OSError as error:
                    note = f"gone: its counters could not be removed ({error.strerror})"
                self.departed.append({"pid": pid, "command": None, "gone": True, "note": note})
                self.previous.pop(pid, None)
                continue
            before = self.previous.get(pid)
            rate = None
            if before is not None and reading.taken_ns > before.taken_ns:
                rate = (reading.completed - before.completed) * 1e9 / (reading.taken_ns - before.taken_ns)
            self.previous[pid] = reading
            rows.append({"pid": pid, "command": command_line(pid), "gone": False, "note": None,
                         "models": reading.models, "inferences": reading.completed, "errors": reading.failed,
                         "in_flight": reading.in_flight, "endpoints_in_flight": reading.endpoints_in_flight,
                         "rate_per_s": rate,
                         "latency_ms": {"p50": percentile(reading.latencies_us, 0.5),
                                        "p99": percentile(reading.latencies_us, 0.99),
                                        "samples": len(reading.latencies_us)}})
        return rows + self.departed


def endpoints(session: ara2.Session | None, processes: list[Document]) -> list[Document]:
    if session is None:
        return []
    rows = []
    for index, endpoint in enumerate(session.list_endpoints()):
        row: Document = {"index": index, "state": None, "dram": None, "error": None,
                         "in_flight": sum(p["endpoints_in_flight"][index] for p in processes
                                          if not p["gone"] and index < ENDPOINTS)}
        try:
            row["state"] = plain(endpoint.check_status())
            row["dram"] = plain(endpoint.dram_statistics())
        except ara2.Ara2Error as error:
            row["error"] = describe(error)
        rows.append(row)
    return rows


def snapshot(session: ara2.Session | None, address: str | None, watcher: Watcher) -> Document:
    processes = watcher.processes()
    document: Document = {"address": address, "window_s": watcher.window_s, "endpoints": [], "processes": []}
    try:
        document["endpoints"] = endpoints(session, processes)
    except ara2.Ara2Error as error:
        document["endpoints_error"] = describe(error)
    for process in processes:
        process.pop("endpoints_in_flight", None)
    document["processes"] = processes
    watcher.departed = []  # reported once
    return document


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_connection_options(parser)
    parser.add_argument("--interval", type=float, default=1.0, metavar="SECONDS",
                        help="time between refreshes, and between the two readings of --json (default 1)")
    parser.add_argument("--window", type=float, default=5.0, metavar="SECONDS",
                        help="latency percentiles over the inferences of the last SECONDS (default 5)")


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    connection = connect_if_possible(args)
    session, address = (connection.session, connection.address) if connection else (None, None)
    try:
        watcher = Watcher(args.window)
        if args.json:
            watcher.processes()  # the first reading: rates need two
            time.sleep(args.interval)
            return snapshot(session, address, watcher), 0
        import curses

        try:
            curses.wrapper(lambda screen: live(screen, session, address, watcher, args.interval))
        except KeyboardInterrupt:
            pass  # the usual way out
        return {}, 0
    finally:
        if session is not None:
            session.close()


def live(screen: Any, session: ara2.Session | None, address: str | None, watcher: Watcher,
         interval: float) -> None:
    import curses

    curses.curs_set(0)
    screen.timeout(int(interval * 1000))
    while True:
        lines = screen_lines(snapshot(session, address, watcher))
        screen.erase()
        height, width = screen.getmaxyx()
        for row, line in enumerate(lines[:height]):
            screen.addnstr(row, 0, line, width - 1, curses.A_BOLD if row in (0,) else curses.A_NORMAL)
        screen.refresh()
        key = screen.getch()
        if key in (ord("q"), ord("Q")):
            return


def _number(value: float | None, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def screen_lines(document: Document) -> list[str]:
    lines = [f"ara2 top  {time.strftime('%H:%M:%S')}  proxy {document['address'] or 'none reached'}"
             f"  (latency over {document['window_s']:g} s; q quits)", ""]
    lines.append(f"{'ENDPOINT':<9}{'STATE':<18}{'DRAM USED':>12}{'DRAM FREE':>12}{'IN FLIGHT':>11}")
    for endpoint in document["endpoints"]:
        dram = endpoint["dram"]
        used = size_text(dram["dram_occupancy_size"]) if dram else "-"
        free = size_text(dram["free_size"]) if dram else "-"
        lines.append(f"{endpoint['index']:<9}{endpoint['state'] or endpoint['error'] or '?':<18}{used:>12}"
                     f"{free:>12}{endpoint['in_flight']:>11}")
    if "endpoints_error" in document:
        lines.append(f"endpoints: {document['endpoints_error']}")
    lines.append("")
    lines.append(f"{'PID':<9}{'MODELS':>7}{'INF/S':>10}{'P50 MS':>9}{'P99 MS':>9}{'ERRORS':>8}{'IN FLIGHT':>11}"
                 "  COMMAND")
    for process in document["processes"]:
        if process["gone"]:
            lines.append(f"{process['pid']:<9}{'':>54}  ({process['note']})")
            continue
        latency = process["latency_ms"]
        lines.append(f"{process['pid']:<9}{process['models']:>7}{_number(process['rate_per_s'], 1):>10}"
                     f"{_number(latency['p50'], 2):>9}{_number(latency['p99'], 2):>9}{process['errors']:>8}"
                     f"{process['in_flight']:>11}  {process['command']}")
    if not document["processes"]:
        lines.append("(no process on this host uses the module)")
    return lines


def render(document: Document) -> list[str]:
    return [] if "processes" not in document else screen_lines(document)
