"""Finds the ARA-2 proxies on this host and watches their endpoints.

Every --interval seconds (default 1) prints, for each proxy, the state and
the DRAM use of each endpoint, until Ctrl-C (or --count rounds). Without an
address it watches every proxy `discover()` finds (--pid keeps one of them);
--socket and --tcp name one proxy directly. Sessions stay open from round to
round; a proxy that stops answering is reported and reconnected next round.

    ara2-emulator run --endpoints 2 -- python monitor.py --count 3
    python monitor.py                  # on an ARA-2 host, or after `ara2-emulator start`

Prints for each round one line per proxy (`ADDRESS (pid P)` or
`ADDRESS: unreachable: ERROR`) and one per endpoint:
`  endpoint I: STATE, DRAM FREE of TOTAL MiB free, models M bytes, tensors T bytes`.
Ends with `stopped after N rounds`, exit status 0, also on Ctrl-C.
"""
from __future__ import annotations

import argparse
import sys
import time

import tallowind_ara2 as ara2

MIB = 1 << 20


def addresses(args: argparse.Namespace) -> dict[str, ara2.ProxyEndpoint | tuple]:
    """Where to connect, by the text shown for it."""
    if args.socket:
        return {f"unix:{args.socket}": ("unix", args.socket)}
    if args.tcp:
        host, _, port = args.tcp.rpartition(":")
        return {f"tcp:{args.tcp}": ("tcp", host, int(port))}
    found = {}
    for proxy in ara2.discover():
        if args.pid is not None and proxy.pid != args.pid:
            continue
        if proxy.endpoints:  # empty when its descriptors and its configuration file could not be read
            found[f"{proxy.endpoints[0]} (pid {proxy.pid})"] = proxy.endpoints[0]
        else:
            print(f"pid {proxy.pid}: no address could be found (run as the proxy's user or root)")
    return found


def connect(target: ara2.ProxyEndpoint | tuple) -> ara2.Session:
    if isinstance(target, ara2.ProxyEndpoint):
        return target.connect()
    if target[0] == "unix":
        return ara2.Session.create_via_unix_socket(target[1])
    return ara2.Session.create_via_tcp_ipv4_socket(target[1], target[2])


def report(name: str, session: ara2.Session) -> list[str]:
    lines = [name]
    for index, endpoint in enumerate(session.list_endpoints()):
        dram = endpoint.dram_statistics()
        lines.append(f"  endpoint {index}: {endpoint.check_status()}, DRAM {dram.free_size / MIB:.1f} of "
                     f"{dram.dram_size / MIB:.1f} MiB free, models {dram.model_occupancy_size} bytes, "
                     f"tensors {dram.tensor_occupancy_size} bytes")
    return lines


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--socket", metavar="PATH", help="the proxy's UNIX socket")
    where.add_argument("--tcp", metavar="HOST:PORT", help="the proxy's TCP/IPv4 address")
    where.add_argument("--pid", type=int, help="only the discovered proxy with this process id")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between rounds (default 1)")
    parser.add_argument("--count", type=int, help="stop after this many rounds (default: at Ctrl-C)")
    args = parser.parse_args(argv)

    targets = addresses(args)
    if not targets:
        print("no proxy found")
        return 0
    sessions: dict[str, ara2.Session] = {}
    rounds = 0
    try:
        while args.count is None or rounds < args.count:
            if rounds:
                time.sleep(args.interval)
            lines = [time.strftime("%H:%M:%S")]
            for name, target in targets.items():
                try:
                    if name not in sessions:
                        sessions[name] = connect(target)
                    lines += report(name, sessions[name])
                except ara2.Ara2Error as exc:
                    lines.append(f"{name}: unreachable: {type(exc).__name__}: {exc}")
                    sessions.pop(name, None)  # a fresh session next round
            # One write per round, so a Ctrl-C never leaves half a line behind.
            sys.stdout.write("\n".join(lines) + "\n")
            sys.stdout.flush()
            rounds += 1
    except KeyboardInterrupt:
        pass
    finally:
        for session in sessions.values():
            session.close()
    print(f"stopped after {rounds} rounds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
