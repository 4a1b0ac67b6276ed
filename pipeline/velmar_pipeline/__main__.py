"""Command line: ``python -m velmar_pipeline <command>`` (also ``velmar-pipeline``).

Each command is a function ``add_<name>(subparsers)`` that registers its parser and
sets ``handler`` to a callable taking the parsed arguments and returning an exit code.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Callable, Sequence

from velmar_pipeline import __version__
from velmar_pipeline.streams import BestEffort


def _module_status(name: str) -> str:
    try:
        module = importlib.import_module(name)
    except ImportError as error:
        return f"not available ({error})"
    return getattr(module, "__file__", None) or "built in"


def _run_info(args: argparse.Namespace) -> int:
    print(f"velmar-self-play {__version__}")
    print(f"python {sys.version.split()[0]} ({sys.executable})")
    for name in ("velmar_rules", "velmar_self_play", "numpy", "torch", "onnxruntime", "onnx", "matplotlib"):
        print(f"{name}: {_module_status(name)}")
    return 0


def add_info(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser("info", help="show the installed version and which modules load")
    parser.set_defaults(handler=_run_info)


def add_selfplay(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.selfplay import add_selfplay as add

    add(subparsers)


# The training commands import torch only when they run, so these modules load without it.
def add_train(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.train import add_train as add

    add(subparsers)


def add_loop(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.loop import add_loop as add

    add(subparsers)


def add_arena(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.arena import add_arena as add

    add(subparsers)


def add_stats(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.stats import add_stats as add

    add(subparsers)


def add_export(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.onnx_export import add_export as add

    add(subparsers)


def add_show(subparsers: argparse._SubParsersAction) -> None:
    from velmar_pipeline.show import add_show as add

    add(subparsers)


COMMANDS: list[Callable[[argparse._SubParsersAction], None]] = [
    add_info, add_selfplay, add_stats, add_train, add_loop, add_arena, add_export, add_show,
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmar-pipeline",
        description="Self-play, records and training for the velmar engine.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for add in COMMANDS:
        add(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Output that cannot be written (stdout piped into `head`, a full disk) is dropped: the exit
    # status says how the work went, not whether every line was read.
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = BestEffort(sys.stdout), BestEffort(sys.stderr)
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        handler = getattr(args, "handler", None)
        if handler is None:
            parser.print_help()
            return 2
        return int(handler(args) or 0)
    except KeyboardInterrupt:  # before a command took charge of Ctrl-C, or one that has nothing to save
        print("velmar-pipeline: interrupted", file=sys.stderr)
        return 130
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        sys.stdout, sys.stderr = saved


if __name__ == "__main__":
    sys.exit(main())
