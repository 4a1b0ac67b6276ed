"""Requests/s of the self-play exchange against its floor.

For 1 and 2 threads per worker, runs in turn:
  selfplay  the real thing: 2 workers, uniform evaluator, sims_per_move 32;
  floor     the same processes, request pipe, reply pipes and batching, each "game" replaying one prebuilt
            request of the real size (5 lists of 400 floats) as many times as a real game made
            requests, with no engine (velmar_pipeline.floor).
and prints requests/s of both and their ratio. Usage:

    .venv/bin/python bench/selfplay_bench.py [--games 6] [--workers 2] [--threads 1 2] [--max-wait-ms 0]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

from velmar_pipeline.config import SearchConfig
from velmar_pipeline.selfplay import Options, run_selfplay


def run(games, workers, threads, sims, floor_requests=None, batch_size=None, max_wait_ms=0.0):
    with tempfile.TemporaryDirectory(prefix="velmar-bench-") as out:
        options = Options(games=games, workers=workers, threads_per_worker=threads, out=out, progress=False,
                          write_records=False, batch_size=batch_size, max_wait_ms=max_wait_ms)
        if floor_requests is not None:
            os.environ["VELMAR_FLOOR_REQUESTS"] = str(floor_requests)
            options.play = "velmar_pipeline.floor:play"
        summary = run_selfplay(SearchConfig(sims_per_move=sims), options)
    if summary.worker_failures:
        sys.exit(f"run failed: {summary.worker_failures}")
    return summary


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=6)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims-per-move", type=int, default=32)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--max-wait-ms", type=float, default=0.0)
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores; {args.workers} workers, sims_per_move {args.sims_per_move}, "
          f"{args.games} games per run, uniform evaluator, max wait {args.max_wait_ms} ms")
    print(f"{'threads':>7} {'selfplay req/s':>15} {'floor req/s':>12} {'ratio':>6} {'req/game':>9}")
    for threads in args.threads:
        real = run(args.games, args.workers, threads, args.sims_per_move, max_wait_ms=args.max_wait_ms)
        per_game = real.requests // max(real.games, 1)
        floor = run(args.games, args.workers, threads, args.sims_per_move, floor_requests=per_game,
                    max_wait_ms=args.max_wait_ms)
        ratio = real.requests_per_s / floor.requests_per_s if floor.requests_per_s else float("nan")
        print(f"{threads:>7} {real.requests_per_s:>15.0f} {floor.requests_per_s:>12.0f} {ratio:>6.2f} {per_game:>9}",
              flush=True)


if __name__ == "__main__":
    main()
