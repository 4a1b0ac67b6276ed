"""A short training loop, then every generation's network against ``uniform`` in the arena.

Runs (or resumes) ``loop`` into --dir, then plays --arena-games games without search for each
generation's checkpoint against the uniform evaluator (seats rotated) and prints, per generation:
the last validation losses of its training (uniform guess: policy log(legal tiles), value log 4 =
1.386) and its mean payoff per seat with the 95% interval (equal strength: 0.25).

    .venv/bin/python bench/loop_arena.py [--dir loop-bench] [--generations 4] [--games 24] [--sims-per-move 8]

About 10 minutes on 2 cores with the defaults (the network's own: 4 blocks x 32 channels); an existing
--dir is resumed, not replayed.
"""

from __future__ import annotations

import argparse
import logging
import time
from pathlib import Path

from velmar_pipeline.arena import arena
from velmar_pipeline.evaluators import network
from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.training.loop import LoopSettings, done_generations, generation_folder, run_loop
from velmar_pipeline.training.train import LOSSES_NAME, TrainSettings, read_losses


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(message)s")  # the loop's progress lines
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default="loop-bench")
    parser.add_argument("--generations", type=int, default=4)
    parser.add_argument("--games", type=int, default=24)
    parser.add_argument("--sims-per-move", type=int, default=8)
    parser.add_argument("--window", type=int, default=2)
    parser.add_argument("--epochs", type=int, default=1)
    parser.add_argument("--blocks", type=int, default=Architecture().blocks)
    parser.add_argument("--channels", type=int, default=Architecture().channels)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1, help="torch threads for training and the arena")
    parser.add_argument("--arena-games", type=int, default=200)
    parser.add_argument("--choose", choices=arena.CHOICES, default="sample")
    args = parser.parse_args()

    started = time.monotonic()
    run_loop(
        args.dir,
        LoopSettings(generations=args.generations, games=args.games, window=args.window, workers=args.workers),
        SearchConfig(sims_per_move=args.sims_per_move),
        TrainSettings(epochs=args.epochs, progress=False, threads=args.threads),
        Architecture(blocks=args.blocks, channels=args.channels),
    )
    loop_seconds = time.monotonic() - started
    network.set_threads(args.threads)
    uniform = arena.make_player("uniform")
    print(f"loop: {args.generations} generations of {args.games} games, sims_per_move {args.sims_per_move}, "
          f"window {args.window}, {args.epochs} epoch(s), network {args.blocks} x {args.channels} "
          f"({loop_seconds:.0f} s this run)")
    print(f"arena: {args.arena_games} games per generation against uniform, tiles by {args.choose}")
    print(f"{'gen':>3} {'val policy':>10} {'val value':>9} {'mean per seat':>14}  95% interval")
    for generation in done_generations(Path(args.dir)):
        folder = generation_folder(Path(args.dir), generation)
        validation = [r for r in read_losses(folder / LOSSES_NAME) if r["split"] == "validation"]
        last = validation[-1] if validation else {"policy_loss": float("nan"), "value_loss": float("nan")}
        player = arena.make_player(str(folder / "model.pt"), threads=args.threads)
        result = arena.play([player, uniform], ["net", "uniform"], args.arena_games, args.choose, seed=generation)
        row = result.rows()[0]
        print(f"{generation:>3} {last['policy_loss']:>10.3f} {last['value_loss']:>9.3f} {row['mean']:>14.3f}"
              f"  [{row['low']:.3f}, {row['high']:.3f}]", flush=True)


if __name__ == "__main__":
    main()
