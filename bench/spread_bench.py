"""Visit spread of self-play searches across search settings.

For every combination of the given settings it plays a short self-play run and prints how
widely the searches spread their visits (``velmar_pipeline.records.stats``): distinct root children
visited, share of one-hot policies and mean policy entropy, over the tiles that had a choice.

    .venv/bin/python bench/spread_bench.py --evaluator random --sims 8 32 --c-base 1 19652 \
        --c-init 0 1.25 --value-offset 0 0.25 0.4 --games 6
"""

from __future__ import annotations

import argparse
import itertools
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pipeline"))

from velmar_pipeline.records import shards as records  # noqa: E402
from velmar_pipeline.records import stats  # noqa: E402
from velmar_pipeline.selfplay.config import SearchConfig  # noqa: E402
from velmar_pipeline.selfplay.command import run_selfplay  # noqa: E402
from velmar_pipeline.selfplay.options import Options  # noqa: E402


def measure(evaluator: str, games: int, workers: int, search: SearchConfig, offset: float, seed: int) -> dict:
    with tempfile.TemporaryDirectory() as out:
        options = Options(games=games, workers=workers, evaluator=evaluator, seed=seed, out=out,
                          progress=False, value_offset=offset)
        summary = run_selfplay(search, options, log=lambda text: None)
        if summary.games != games:
            raise RuntimeError(f"only {summary.games} of {games} games: {summary.worker_failures}")
        return stats.spread_of(records.iter_games(out)).as_dict()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--evaluator", default="random")
    parser.add_argument("--games", type=int, default=6)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sims", type=int, nargs="+", default=[8, 32])
    parser.add_argument("--c-base", type=float, nargs="+", default=[1.0, 19652.0])
    parser.add_argument("--c-init", type=float, nargs="+", default=[0.0, 1.25])
    parser.add_argument("--value-offset", type=float, nargs="+", default=[0.0, 0.25, 0.4])
    args = parser.parse_args()
    print(f"evaluator {args.evaluator}, {args.games} games per row; shares over the tiles with a choice")
    print(f"{'sims':>5} {'c_base':>8} {'c_init':>6} {'offset':>6} {'visited':>8} {'one-hot':>8} {'entropy':>8}"
          f" {'all: one-hot':>13} {'s':>5}")
    for sims, c_base, c_init, offset in itertools.product(args.sims, args.c_base, args.c_init, args.value_offset):
        search = SearchConfig(sims_per_move=sims, c_base=c_base, c_init=c_init)
        started = time.monotonic()
        d = measure(args.evaluator, args.games, args.workers, search, offset, args.seed)
        print(f"{sims:>5} {c_base:>8g} {c_init:>6g} {offset:>6g} {d['mean_visited_at_choices']:>8.2f}"
              f" {d['one_hot_share_at_choices']:>8.1%} {d['mean_entropy_at_choices']:>8.3f}"
              f" {d['one_hot_share']:>13.1%} {time.monotonic() - started:>5.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
