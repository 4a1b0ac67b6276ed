"""Arena strength with search across search settings.

For every combination of the given settings it plays the arena with search between two
evaluators (default: ``heuristic`` against ``uniform``) and prints the first one's mean payoff
per seat with its 95% interval. ``uniform``'s values are all equal, so the first evaluator's lead
shows how much the settings let its values (and priors) steer the search.

    .venv/bin/python bench/strength_bench.py --sims 16 --c-base 1 19652 --c-init 0 1.25 \
        --value-offset 0.25 0.4 0.6 --games 64
"""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pipeline"))

from velmar_pipeline.evaluators import registry as evaluators  # noqa: E402
from velmar_pipeline.arena import search_arena  # noqa: E402
from velmar_pipeline.selfplay.config import SearchConfig  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--players", nargs=2, default=["heuristic", "uniform"])
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--sims", type=int, nargs="+", default=[16])
    parser.add_argument("--c-base", type=float, nargs="+", default=[1.0])
    parser.add_argument("--c-init", type=float, nargs="+", default=[0.0])
    parser.add_argument("--value-offset", type=float, nargs="+", default=[0.25, 0.4, 0.6])
    args = parser.parse_args()
    print(f"{args.players[0]} against {args.players[1]}, {args.games} games per row, mean payoff per seat")
    print(f"{'sims':>5} {'c_base':>8} {'c_init':>6} {'offset':>6} {'mean':>7} {'95% interval':>16} {'s':>5}")
    for sims, c_base, c_init, offset in itertools.product(args.sims, args.c_base, args.c_init, args.value_offset):
        search = SearchConfig(sims_per_move=sims, c_base=c_base, c_init=c_init)
        players = [evaluators.make(name, seed=i) for i, name in enumerate(args.players)]
        started = time.monotonic()
        result = search_arena.play(players, args.players, args.games, search, offset)
        row = result.rows()[0]
        print(f"{sims:>5} {c_base:>8g} {c_init:>6g} {offset:>6g} {row['mean']:>7.3f}"
              f"   [{row['low']:.3f}, {row['high']:.3f}] {time.monotonic() - started:>5.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
