"""`ara2 scan`: the proxies running on this host and, for each one that
answers, its versions, endpoints, DRAM and in-flight requests."""
from __future__ import annotations

import argparse
import os
from typing import Callable

import tallowind_ara2 as ara2

from .common import Document, add_connection_options, describe, explicit_target, plain, size_text

HELP = "list the proxies on this host and what each one reports"


DESCRIPTION = (f"{HELP.capitalize()}. With --socket, --tcp or --config only that proxy is asked; otherwise every "
               "proxy process found on the host is listed, the one $ARA2_SOCKET names first when it is set (the "
               "in-flight count is that of the session the scan opens). Exit status 1 when no proxy answered, or "
               "when the proxy an option or $ARA2_SOCKET names did not.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_connection_options(parser)


def _ask(session: ara2.Session, address: str, errors: list[str]) -> Document:
    """What one session reports; a query that fails is noted and the others still run."""
    report: Document = {"address": address, "socket_type": session.socket_type, "abi": plain(session.abi),
                        "dvapi_version": session.dvapi_version, "versions": None, "inflight": None,
                        "endpoints": []}
    try:
        report["versions"] = dict(sorted(session.versions().items()))
    except ara2.Ara2Error as error:
        errors.append(f"versions: {describe(error)}")
    try:
        report["inflight"] = session.inflight_count()
    except ara2.Ara2Error as error:
        errors.append(f"in-flight count: {describe(error)}")
    try:
        endpoints = session.list_endpoints()
    except ara2.Ara2Error as error:
        errors.append(f"endpoints: {describe(error)}")
        endpoints = []
    for index, endpoint in enumerate(endpoints):
        entry: Document = {"index": index, "state": None, "dram": None}
        try:
            entry["state"] = plain(endpoint.check_status())
            entry["dram"] = plain(endpoint.dram_statistics())
        except ara2.Ara2Error as error:
            errors.append(f"endpoint {index}: {describe(error)}")
        report["endpoints"].append(entry)
    return report


def _proxy(entry: Document, address: str, open_session: Callable[[], ara2.Session]) -> Document:
    entry.update(connection=None, errors=[])
    try:
        session = open_session()
    except ara2.Ara2Error as error:
        entry["errors"].append(f"connect: {describe(error)}")
        return entry
    with session:
        entry["connection"] = _ask(session, address, entry["errors"])
    return entry


def _targets(args: argparse.Namespace) -> tuple[list[tuple[Document, str, Callable[[], ara2.Session]]], str | None]:
    """What to ask, in report order (entry, address, how to connect), and the
    failure to report when the first one, named by an option or $ARA2_SOCKET,
    does not answer (None when nothing was named)."""
    target = explicit_target(args)
    if target is not None:
        address, open_session = target
        return [({"pid": None, "exe": None, "config": args.config,
                  "addresses": [] if args.config is not None else [address]}, address, open_session)], \
            "the proxy did not answer"
    targets = [({"pid": proxy.pid, "exe": plain(proxy.exe), "config": plain(proxy.config),
                 "addresses": [str(a) for a in proxy.endpoints]},
                str(proxy.endpoints[0]) if proxy.endpoints else "", proxy.connect)
               for proxy in ara2.discover()]
    if "ARA2_SOCKET" not in os.environ:
        return targets, None
    # The proxy applications here reach first; the process found listening on
    # its socket, if any, is reported there instead of among the others.
    address = f"unix:{ara2.socket_path()}"
    bound = f"unix:{os.path.abspath(ara2.socket_path())}"
    own = next((t for t in targets if bound in t[0]["addresses"]), None)
    entry = own[0] if own else {"pid": None, "exe": None, "config": None, "addresses": [address]}
    others = [t for t in targets if t is not own]
    return [(entry, address, ara2.Session.connect), *others], \
        f"the proxy $ARA2_SOCKET names ({address}) did not answer"


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    targets, named_failure = _targets(args)
    proxies = [_proxy(entry, address, open_session) for entry, address, open_session in targets]
    default = ara2.socket_path()
    document: Document = {"module_version": ara2.__version__,
                          "default_socket": {"path": default, "exists": os.path.exists(default)},
                          "proxies": proxies}
    if named_failure is not None and proxies[0]["connection"] is None:
        message = named_failure
    elif any(proxy["connection"] is not None for proxy in proxies):
        return document, 0
    else:
        message = "no proxy answered" if proxies else "no ARA-2 proxy is running on this host"
    document["error"] = {"message": message, "type": None}
    return document, 1


def render(document: Document) -> list[str]:
    default = document["default_socket"]
    lines = [f"tallowind_ara2 {document['module_version']}; default socket {default['path']}"
             f" ({'exists' if default['exists'] else 'missing'})"]
    for proxy in document["proxies"]:
        head = "proxy" + (f" pid {proxy['pid']}" if proxy["pid"] is not None else "")
        if proxy["exe"]:
            head += f"  {proxy['exe']}"
        if proxy["config"]:
            head += f"  config {proxy['config']}"
        lines.append(head)
        lines.append(f"  addresses: {', '.join(proxy['addresses']) or '-'}")
        connection = proxy["connection"]
        if connection is not None:
            lines.append(f"  connected via {connection['address']}: DVAPI {connection['dvapi_version'] or '?'} "
                         f"({connection['abi']}), {connection['inflight']} request(s) in flight for this session")
            versions = connection["versions"] or {}
            lines.append("  versions: " + (", ".join(f"{k} {v}" for k, v in versions.items()) or "-"))
            for endpoint in connection["endpoints"]:
                dram = endpoint["dram"]
                memory = "" if dram is None else (
                    f", DRAM {size_text(dram['free_size'])} free of {size_text(dram['dram_size'])} (reserved "
                    f"{size_text(dram['reserved_occupancy_size'])}, models {size_text(dram['model_occupancy_size'])}"
                    f", tensors {size_text(dram['tensor_occupancy_size'])})")
                lines.append(f"  endpoint {endpoint['index']}: {endpoint['state'] or '?'}{memory}")
        lines.extend(f"  error: {error}" for error in proxy["errors"])
    return lines
