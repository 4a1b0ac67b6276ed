"""Requests/s of self-play against the OS floor of its own topology.

For each threads-per-worker setting, runs in turn, repeated and interleaved:
  selfplay  the real thing: 2 workers, uniform evaluator, sims_per_move 32, records not written;
  floor     the OS floor: the same processes, request pipe, reply pipes and service loop, each worker
            thread writing a prebuilt request frame and reading the reply bytes, the service routing
            one prebuilt reply by id (velmar_pipeline.selfplay.floor), as many requests per "game" as a real
            game made.
and prints requests/s of both (median, min-max), their ratio and the service's mean batch size.

    .venv/bin/python bench/selfplay_bench.py [--games 6] [--workers 2] [--threads 1 4] [--repeats 5]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile

from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.command import run_selfplay
from velmar_pipeline.selfplay.options import Options


def run(args, threads, floor_requests=None):
    with tempfile.TemporaryDirectory(prefix="velmar-bench-") as out:
        options = Options(games=args.games, workers=args.workers, threads_per_worker=threads, out=out,
                          progress=False, write_records=False, max_wait_ms=args.max_wait_ms,
                          evaluator=args.evaluator)
        if floor_requests is not None:
            os.environ["VELMAR_FLOOR_REQUESTS"] = str(floor_requests)
            options.floor = True
        summary = run_selfplay(SearchConfig(sims_per_move=args.sims_per_move), options, log=lambda text: None)
    if summary.worker_failures or summary.games != args.games:
        sys.exit(f"run failed: {summary.worker_failures}")
    return summary


def spread(values):
    return f"{statistics.median(values):>8.0f} [{min(values):.0f}-{max(values):.0f}]"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims-per-move", type=int, default=32)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 4])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--max-wait-ms", type=float, default=None, help="default: the service's own choice")
    parser.add_argument("--evaluator", default="uniform")
    args = parser.parse_args()
    wait = "adaptive" if args.max_wait_ms is None else f"{args.max_wait_ms} ms"
    print(f"{os.cpu_count()} cores; {args.workers} workers, sims_per_move {args.sims_per_move}, {args.games} games "
          f"per run, {args.evaluator} evaluator, max wait {wait}, {args.repeats} repeats")
    real = {threads: [] for threads in args.threads}
    floor = {threads: [] for threads in args.threads}
    for repeat in range(args.repeats):
        for threads in args.threads:
            summary = run(args, threads)
            real[threads].append(summary)
            floor[threads].append(run(args, threads, floor_requests=summary.requests // summary.games))
            print(f"  repeat {repeat + 1}, {threads} threads: selfplay {summary.requests_per_s:.0f} req/s "
                  f"(batch {summary.mean_batch:.1f}), floor {floor[threads][-1].requests_per_s:.0f} req/s "
                  f"(batch {floor[threads][-1].mean_batch:.1f})", flush=True)
    print(f"{'threads':>7} {'selfplay req/s':>22} {'floor req/s':>22} {'ratio':>6} {'batch':>6} {'floor batch':>12}")
    for threads in args.threads:
        ours = [s.requests_per_s for s in real[threads]]
        base = [s.requests_per_s for s in floor[threads]]
        ratio = statistics.median(ours) / statistics.median(base)
        batch = statistics.median(s.mean_batch for s in real[threads])
        floor_batch = statistics.median(s.mean_batch for s in floor[threads])
        print(f"{threads:>7} {spread(ours):>22} {spread(base):>22} {ratio:>6.2f} {batch:>6.1f} {floor_batch:>12.1f}")


if __name__ == "__main__":
    main()
