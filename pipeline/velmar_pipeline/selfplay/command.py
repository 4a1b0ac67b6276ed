"""The ``selfplay`` command: one inference service, N worker processes, records in shards.

The command line and ``run_selfplay``; the settings of a run are
``velmar_pipeline.selfplay.options.Options``; the run itself, its processes and
its lifecycle are ``velmar_pipeline.selfplay.run.SelfplayRun``.
"""

from __future__ import annotations

import argparse
import os
import sys

from velmar_pipeline.errors import ClusterError, add_flags, bad_input, settings_from
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.evaluators import serving
from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay.config import SearchConfig, add_inference_argument, add_search_arguments, search_from
from velmar_pipeline.selfplay.options import Options
from velmar_pipeline.selfplay.run import SelfplayRun, Summary


def run_selfplay(search: SearchConfig, options: Options, log=None) -> Summary:
    """Runs self-play to the end (or a stop signal) and returns the summary."""
    return SelfplayRun(search, options, log).run()


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def add_selfplay(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "selfplay",
        help="play self-play games and write records",
        description="Plays self-play games with worker processes and one batched inference service, "
        "writing the records as compressed .npz shards into --out.",
    )
    add_search_arguments(parser)
    run = parser.add_argument_group("run")
    add_flags(run, Options, names=["games", "workers", "threads_per_worker", "batch_size", "max_wait_ms", "evaluator"])
    run.add_argument("--model", default=None, help="network checkpoint (or .onnx model) for --evaluator net")
    add_inference_argument(run)
    add_flags(run, Options, names=["seed", "out", "games_per_shard", "reply_timeout"])
    run.add_argument("--no-progress", action="store_true", help="no progress bar")
    run.add_argument("--cluster", default=None, metavar="ADDRESS",
                     help="play on a Ray cluster: HOST:PORT of its head, auto (the one running here) or local "
                     "(start one on this machine); --workers then counts per node (default: the node's CPUs)")
    parser.set_defaults(handler=_run_selfplay)


def _run_selfplay(args: argparse.Namespace) -> int:
    with bad_input(ValueError):  # ConfigError is one
        search = search_from(args)
        options = settings_from(Options, args, workers=_workers(args), progress=not args.no_progress,
                                evaluator=evaluators.with_argument(args.evaluator, args.model),
                                value_offset=args.value_offset)
        options.validate()
        records.check_output_folder(options.out)
        options.evaluator = serving.served_evaluator(options.evaluator, args.inference)
        evaluators.probe(options.evaluator, options.seed)
    if args.cluster is not None:
        return _run_on_cluster(args, search, options)
    print(
        f"selfplay: {options.games} games, {options.workers} workers x {options.threads_per_worker} threads, "
        f"evaluator {options.evaluator}, sims_per_move {search.sims_per_move}, value offset {options.value_offset:g}, "
        f"out {options.out}",
        flush=True,
    )
    summary = run_selfplay(search, options)
    for line in summary.lines():
        print(line)
    sys.stdout.flush()
    return summary.exit_status(options.games)


def _workers(args: argparse.Namespace) -> int:
    if args.workers is not None:
        # A worker beyond the games would never get one; its start alone takes about a second.
        return args.workers if args.cluster is not None or args.games < 1 else min(args.workers, args.games)
    if args.cluster is not None:
        return 1  # only for the checks: each node runs as many as it has CPUs
    return max(1, min(os.cpu_count() or 1, args.games))


def _run_on_cluster(args: argparse.Namespace, search: SearchConfig, options: Options) -> int:
    from velmar_pipeline.selfplay import cluster

    print(
        f"selfplay: {options.games} games on the Ray cluster {args.cluster}, "
        f"{args.workers or 'one per CPU'} workers x {options.threads_per_worker} threads per node, "
        f"evaluator {options.evaluator}, sims_per_move {search.sims_per_move}, value offset {options.value_offset:g}, "
        f"out {options.out}",
        flush=True,
    )
    with bad_input(ClusterError):
        summary = cluster.run_selfplay(search, options, args.cluster, args.workers)
    for line in summary.lines():
        print(line)
    sys.stdout.flush()
    return summary.exit_status(options.games)
