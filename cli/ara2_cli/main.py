"""The `ara2` command: parses the command line, runs one command and prints
its report as text or as one JSON document (docs/cli.md), and turns failures
into one line and an exit status: 0 ok, 1 the operation failed, 2 usage
error, 130 interrupted."""
from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
import traceback
from types import ModuleType
from typing import Callable

import tallowind_ara2 as ara2

from . import bench, doctor, inspection, run, scan, top
from .common import CliError, Document, UsageError, connect_if_possible, error_document

PROG = "ara2"
SCHEMA = 1
USAGE_ERROR = 2

COMMANDS: dict[str, ModuleType] = {"scan": scan, "inspect": inspection, "run": run, "bench": bench,
                                   "doctor": doctor, "top": top}

EPILOG = """\
getting started, on the emulator (pip install 'tallowind-ara2[emulator]'):
  ara2-emulator example demo && cd demo              # an example model description, application, test
  ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
  ara2-emulator start --endpoints 2                  # a proxy in the background (ara2-emulator stop)
  eval "$(ara2-emulator env)"                        # point this shell at it
  ara2 scan                                          # is it running, what does it have?
  ara2 inspect colour_classifier.dvm                 # metadata, labels, tensors
  ara2 run colour_classifier.dvm --random            # one inference, outputs saved as .npy
  ara2 bench colour_classifier.dvm --time 3          # throughput and latency

in a source checkout, after scripts/bootstrap.sh: the model from
examples/colour_classifier.yaml, the proxy build/emulator/bin/ara2-emulator -c FILE
(emulator/README.md)

when something does not work, `ara2 doctor` checks the installation and says how to fix it.
every command takes --json (one document, see docs/cli.md); exit status:
0 ok, 1 the operation failed, 2 usage error, 130 interrupted (Ctrl-C)"""


def build_parser() -> argparse.ArgumentParser:
    # --json and --debug are accepted before and after the command: the
    # command's copies (default SUPPRESS) leave the value alone unless given.
    def add_global_options(parser: argparse.ArgumentParser, default: object) -> None:
        parser.add_argument("--json", action="store_true", default=default,
                            help="print one JSON document instead of text")
        parser.add_argument("--debug", action="store_true", default=default, help="show the traceback of a failure")

    shared = argparse.ArgumentParser(add_help=False)
    add_global_options(shared, argparse.SUPPRESS)
    parser = argparse.ArgumentParser(
        prog=PROG, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Scan for ARA-2 proxies, inspect models, run and benchmark them.")
    add_global_options(parser, False)
    parser.add_argument("--version", action="store_true",
                        help="show the module's version and, when a proxy is reachable, its components'")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, module in COMMANDS.items():
        module.add_arguments(commands.add_parser(name, parents=[shared], help=module.HELP,
                                                 description=module.DESCRIPTION))
    return parser


def print_json(document: Document) -> None:
    print(json.dumps(document, indent=2, allow_nan=False))


def version(args: argparse.Namespace) -> int:
    document: Document = {"schema": SCHEMA, "command": "version", "error": None,
                          "module_version": ara2.__version__, "address": None, "components": None}
    try:
        connection = connect_if_possible(argparse.Namespace(socket=None, tcp=None, config=None))
    except CliError:
        connection = None
    if connection is not None:
        with connection.session:
            document["address"] = connection.address
            try:
                document["components"] = dict(sorted(connection.session.versions().items()))
            except ara2.Ara2Error:
                pass
    if args.json:
        print_json(document)
    else:
        print(f"{PROG} (tallowind_ara2) {ara2.__version__}")
        if document["components"] is not None:
            print(f"proxy at {document['address']}: "
                  + ", ".join(f"{name} {value}" for name, value in document["components"].items()))
    return 0


def execute(name: str, args: argparse.Namespace) -> int:
    """Runs one command; its report (or the failure) on stdout, the one-line error on stderr."""
    module = COMMANDS[name]
    execute_command: Callable[[argparse.Namespace], tuple[Document, int]] = module.execute
    completed = False
    try:
        document, status = execute_command(args)
        completed = True
    except KeyboardInterrupt:
        document, status = {"error": {"message": "interrupted", "type": None}}, bench.INTERRUPTED
    except UsageError as error:
        document, status = {"error": error_document(error)}, USAGE_ERROR
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # the module's internal failure is not an Exception
        document, status = {"error": error_document(error)}, 1
        if not isinstance(error, (CliError, ara2.Ara2Error, OSError)) and not args.debug:
            document["error"]["message"] += " (an unexpected failure; --debug shows where)"
        if args.debug:
            traceback.print_exc()
    document = {"schema": SCHEMA, "command": name, "error": None, **document}
    if args.json:
        print_json(document)
    elif completed:
        render: Callable[[Document], list[str]] = module.render
        print("\n".join(render(document)))
    if document["error"] is not None:
        print(f"{PROG} {name}: error: {document['error']['message']}", file=sys.stderr)
        for note in document["error"].get("notes", []):
            print(textwrap.indent(note, "  "), file=sys.stderr)
    return status


def main(argv: list[str] | None = None) -> int:
    try:
        status = _main(argv)
        # A pipe's stdout is block-buffered: flush here, where a reader that
        # went away is caught, not in the interpreter's exit (status 120).
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`ara2 scan | head`): no traceback, and none
        # when the interpreter flushes stdout at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:  # --help, or a usage error argparse has already reported
        return exit.code if isinstance(exit.code, int) else USAGE_ERROR
    if args.version:
        return version(args)
    if args.command is None:
        parser.print_help(sys.stderr)
        return USAGE_ERROR
    return execute(args.command, args)
