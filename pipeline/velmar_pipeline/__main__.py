"""Command line: ``python -m velmar_pipeline <command>`` (also ``velmar-pipeline``).

One table of commands, each a function ``add_<name>(subparsers)`` in the room that does the work:
it registers the command's parser (flags, their checks) and sets ``handler`` to a callable taking
the parsed arguments and returning an exit code. A handler's ``BadInput`` and ``RunFailed``
(``errors``) end here, as one line and status 2 or 1. The commands' modules load without torch, Ray or
matplotlib: those are imported only when a command that needs them runs.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import sys
from collections.abc import Callable, Sequence

from velmar_pipeline import __version__
from velmar_pipeline.arena.arena import add_arena
from velmar_pipeline.errors import BadInput, RunFailed
from velmar_pipeline.evaluators.onnx_export import add_export
from velmar_pipeline.records.stats import add_stats
from velmar_pipeline.selfplay.command import add_selfplay
from velmar_pipeline.show.pictures import add_show
from velmar_pipeline.streams import BestEffort
from velmar_pipeline.training.loop import add_loop
from velmar_pipeline.training.train import add_train


def _module_status(name: str) -> str:
    try:
        module = importlib.import_module(name)
    except ImportError as error:
        return f"not available ({error})"
    return getattr(module, "__file__", None) or "built in"


def _run_info(args: argparse.Namespace) -> int:
    print(f"velmar-self-play {__version__}")
    print(f"python {sys.version.split()[0]} ({sys.executable})")
    for name in ("velmar_rules", "velmar_self_play", "velmar_wire", "numpy", "torch", "onnxruntime", "onnx",
                 "matplotlib"):
        print(f"{name}: {_module_status(name)}")
    return 0


def add_info(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser("info", help="show the installed version and which modules load")
    parser.set_defaults(handler=_run_info)


# In the order of `--help`.
COMMANDS: list[Callable[[argparse._SubParsersAction], None]] = [
    add_info,      # the version and which modules load
    add_selfplay,  # self-play games written as records (selfplay.command)
    add_stats,     # what a folder of records holds (records.stats)
    add_train,     # a network fitted on records (training.train)
    add_loop,      # generations of self-play, training and gatekeeping (training.loop)
    add_arena,     # games between evaluators, with or without search (arena.arena)
    add_export,    # a checkpoint's network as an ONNX model (evaluators.onnx_export)
    add_show,      # a game of a shard drawn as a picture, an animation or a page (show.pictures)
]


class OneDefaultFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """argparse's default at the end of a flag's help, unless the help already says what the
    default is, or there is none to say (None, or a switch that is off)."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        help_text = action.help or ""
        if "(default" in help_text or action.default is None or action.default is False:
            return help_text
        return super()._get_help_string(action)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmar-pipeline",
        description="Self-play, records and training for the velmar engine.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for add in COMMANDS:
        add(subparsers)
    for command in subparsers.choices.values():  # every command's help names its defaults
        command.formatter_class = OneDefaultFormatter
    return parser


PACKAGE_LOG = logging.getLogger("velmar_pipeline")


def _log_to(stream) -> logging.Handler:
    """The package's progress lines, as they are, to ``stream``: the one logging set-up. Not
    passed on to the root logger, whose handlers a library may have pointed elsewhere."""
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(message)s"))
    PACKAGE_LOG.addHandler(handler)
    PACKAGE_LOG.setLevel(logging.INFO)
    PACKAGE_LOG.propagate = False
    return handler


def main(argv: Sequence[str] | None = None) -> int:
    # Output that cannot be written (stdout piped into `head`, a full disk) is dropped: the exit
    # status says how the work went, not whether every line was read.
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = BestEffort(sys.stdout), BestEffort(sys.stderr)
    log_handler = _log_to(sys.stderr)
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        handler = getattr(args, "handler", None)
        if handler is None:
            parser.print_help()
            return 2
        return int(handler(args) or 0)
    except BadInput as error:
        print(f"velmar-pipeline {args.command}: error: {error}", file=sys.stderr)
        return 2
    except RunFailed as error:
        print(f"velmar-pipeline {args.command}: failed: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before a command took charge of Ctrl-C, or one that has nothing to save
        print("velmar-pipeline: interrupted", file=sys.stderr)
        return 130
    finally:
        PACKAGE_LOG.removeHandler(log_handler)
        PACKAGE_LOG.propagate = True
        sys.stdout.flush()
        sys.stderr.flush()
        sys.stdout, sys.stderr = saved


if __name__ == "__main__":
    sys.exit(main())
