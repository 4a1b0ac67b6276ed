"""Learning curve: a training loop from the hand-made heuristic, every generation in the arena with search.

1. Runs (or resumes) ``loop`` into --dir, one generation at a time: generation 0 learns from
   --first-games games that ``heuristic`` plays with search (values on their outcomes, priors on
   the heuristic's priors improved by a one-tile lookahead on its values); each later generation
   plays --games self-play games with the best player so far, trains on from the best network
   (priors from the best player's priors and lookahead, on --policy-share of the positions),
   measures its priors (--priors-games against itself without them) and meets the best player
   head to head (--gate-games): it becomes the best only by a measured win
   (``velmar_pipeline.arena.gatekeeper``).
2. After each generation, plays its network, searching --arena-sims simulations per tile, against
   the --opponents (``heuristic`` at the arena's defaults and at match settings, ``uniform``, ...),
   --arena-games games each (seats rotated), through ``python -m velmar_pipeline arena``,
   --arena-jobs arenas at once. Results are kept as JSON in --dir/arena/, so a rerun skips the
   arenas already played.
3. Prints each generation's mean payoff per seat with its 95% interval against each opponent
   (equal strength: 0.25), the gatekeeper's decisions and the yardstick (value loss by phase and
   top-prior agreement on held-out heuristic games, beside the heuristic's own), and writes the
   table as Markdown (learning_curve.md) and a plot with error bars (learning_curve.png) into --dir.

    .venv/bin/python bench/learning_curve.py [--dir models/run] [--quick]

The defaults take many hours on a 2-core machine; the elapsed time of every phase is printed.
--quick is a smoke run of a few minutes with tiny settings. Interrupt it at any time and run the
same command again to go on (also with a larger --generations, or on a fresh clone from the
committed small state: the records a window lacks are left out of its training).
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import os
import shlex
import subprocess
import sys
import time
from pathlib import Path

from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.selfplay.config import VALUE_OFFSET, SearchConfig
from velmar_pipeline.arena import yardstick
from velmar_pipeline.arena.arena import make_player
from velmar_pipeline.arena.gatekeeper import Ledger
from velmar_pipeline.records import shards as records
from velmar_pipeline.training.loop import LoopSettings, done_generations, generation_folder, run_loop
from velmar_pipeline.training.train import CHECKPOINT_NAME, LOSSES_NAME, TrainSettings, read_losses

OPPONENTS = ("heuristic", "heuristic-match", "uniform", "best-before", "gen0")
# Match settings: no root noise, no opening draws; the arena's defaults are self-play's.
MATCH_FLAGS = ["--exploration-fraction", "0", "--sample-moves", "0"]
# The budget flags: many hours on 2 cores, and a smoke run of a few minutes.
FULL = {
    "generations": 12, "games": 128, "first_games": 1024, "sims_per_move": 16, "bootstrap_games": 0,
    "bootstrap_positions": 5, "bootstrap_epochs": 1, "bootstrap_mix": 0.0, "window": 8, "epochs": 1, "blocks": 4,
    "channels": 32, "arena_games": 128, "arena_sims": 16, "gate_games": 128, "priors_games": 32,
    "temperature": 0.03, "policy_share": 1.0, "value_mix": 0.5,
}
QUICK = {
    **FULL, "generations": 2, "games": 6, "first_games": 8, "sims_per_move": 4, "arena_games": 4, "arena_sims": 4,
    "gate_games": 4, "priors_games": 2, "blocks": 1, "channels": 8,
}


def parse_arguments(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=None, help="folder of the loop, the arena results and the outputs "
                        "(default: learning-curve, or learning-curve-quick with --quick)")
    parser.add_argument("--quick", action="store_true", help="tiny settings: a smoke run of a few minutes")
    budget = parser.add_argument_group("budget (defaults: an hour on 2 cores; --quick: a few minutes)")
    budget.add_argument("--generations", type=int, help=f"generations in all, 0 included ({FULL['generations']})")
    budget.add_argument("--games", type=int, help=f"self-play games per generation ({FULL['games']})")
    budget.add_argument("--first-games", type=int, help=f"heuristic games of generation 0 ({FULL['first_games']})")
    budget.add_argument("--value-mix", type=float,
                        help=f"share of the teacher's payoffs in the value targets ({FULL['value_mix']})")
    budget.add_argument("--policy-share", type=float,
                        help=f"share of positions with lookahead targets ({FULL['policy_share']})")
    budget.add_argument("--sims-per-move", type=int, help=f"self-play simulations per tile ({FULL['sims_per_move']})")
    budget.add_argument("--bootstrap-games", type=int,
                        help=f"random games for generation 0 ({FULL['bootstrap_games']})")
    budget.add_argument("--bootstrap-positions", type=int,
                        help=f"positions from each random game ({FULL['bootstrap_positions']})")
    budget.add_argument("--bootstrap-epochs", type=int, help=f"passes over them ({FULL['bootstrap_epochs']})")
    budget.add_argument("--bootstrap-mix", type=float,
                        help=f"random-game positions per self-play position later on ({FULL['bootstrap_mix']})")
    budget.add_argument("--window", type=int, help=f"generations of games each training sees ({FULL['window']})")
    budget.add_argument("--epochs", type=int, help=f"passes over a self-play generation's window ({FULL['epochs']})")
    budget.add_argument("--blocks", type=int, help=f"residual blocks ({FULL['blocks']})")
    budget.add_argument("--channels", type=int, help=f"channels ({FULL['channels']})")
    budget.add_argument("--arena-games", type=int, help=f"games of each arena ({FULL['arena_games']})")
    budget.add_argument("--arena-sims", type=int, help=f"simulations per tile in the arena ({FULL['arena_sims']})")
    budget.add_argument("--gate-games", type=int,
                        help=f"games of each generation against the best ({FULL['gate_games']})")
    budget.add_argument("--priors-games", type=int,
                        help=f"games of each generation against itself without priors ({FULL['priors_games']})")
    budget.add_argument("--temperature", type=float, help=f"lookahead targets' temperature ({FULL['temperature']})")
    parser.add_argument("--gate-z", type=float, default=1.64, help="standard errors a promotion must clear 0.25 by")
    parser.add_argument("--policy-targets", choices=("improved", "lookahead", "visits"), default="improved",
                        help="what each generation's policy fits")
    parser.add_argument("--teacher", default="heuristic", help="the first best player and teacher")
    parser.add_argument("--opponents", nargs="+", choices=OPPONENTS, default=list(OPPONENTS[:3]))
    parser.add_argument("--c-base", type=float, default=1.0, help="search exploration base (self-play and arena)")
    parser.add_argument("--c-init", type=float, default=0.0, help="search exploration constant")
    parser.add_argument("--value-offset", type=float, default=VALUE_OFFSET, help="subtracted from predicted payoffs")
    parser.add_argument("--arena-jobs", type=int, default=os.cpu_count() or 1,
                        help="arenas played at once (each arena runs in one process)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="self-play and random-game processes")
    parser.add_argument("--threads-per-worker", type=int, default=16,
                        help="self-play games in flight per worker: bigger batches for the network")
    parser.add_argument("--threads", type=int, default=None, help="torch threads for training (default: cores - 1)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the arenas' seeded evaluators")
    parser.add_argument("--arena-command", default=f"{shlex.quote(sys.executable)} -m velmar_pipeline arena",
                        help="the arena command line that the players and flags are appended to")
    args = parser.parse_args(argv)
    for name, value in (QUICK if args.quick else FULL).items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    if args.dir is None:
        args.dir = "learning-curve-quick" if args.quick else "learning-curve"
    return args


def run_training_loop(args: argparse.Namespace, root: Path) -> list[str]:
    """Runs the generations still missing; returns lines on their phases' times."""
    loop = LoopSettings(
        generations=args.generations, games=args.games, window=args.window, workers=args.workers,
        threads_per_worker=args.threads_per_worker, value_offset=args.value_offset,
        bootstrap_games=args.bootstrap_games, bootstrap_positions=args.bootstrap_positions,
        bootstrap_epochs=args.bootstrap_epochs, bootstrap_mix=args.bootstrap_mix, first_games=args.first_games,
        gate_games=args.gate_games, gate_z=args.gate_z, priors_games=args.priors_games,
    )
    search = SearchConfig(sims_per_move=args.sims_per_move, c_base=args.c_base, c_init=args.c_init)
    training = TrainSettings(epochs=args.epochs, progress=False, threads=args.threads,
                             policy_targets=args.policy_targets, teacher=args.teacher, temperature=args.temperature,
                             policy_share=args.policy_share, value_mix=args.value_mix)
    architecture = Architecture(blocks=args.blocks, channels=args.channels)
    reports, interrupted = run_loop(root, loop, search, training, architecture)
    if interrupted:
        raise KeyboardInterrupt
    lines = []
    for r in reports:
        played = (f"{r.random_positions} positions of random games" if r.random_positions
                  else f"{r.games_played} self-play games ({r.requests_per_s:.0f} requests/s)")
        lines.append(f"gen {r.generation}: {played} {r.selfplay_seconds:.0f} s, training {r.train_seconds:.0f} s")
    return lines


def arena_file(root: Path, generation: int, opponent: str) -> Path:
    return root / "arena" / f"gen-{generation:04d}-vs-{opponent}.json"


def arena_command(args: argparse.Namespace, root: Path, generation: int, opponent: str) -> list[str] | None:
    """The command line of one arena, None when its result exists already."""
    out = arena_file(root, generation, opponent)
    if out.is_file():
        return None
    out.parent.mkdir(parents=True, exist_ok=True)
    model = generation_folder(root, generation) / CHECKPOINT_NAME
    other = opponent_model(root, generation, opponent)
    if other is None:
        return None
    partial = out.with_suffix(".json.partial")
    command = shlex.split(args.arena_command) + [
        str(model), other, "--sims-per-move", str(args.arena_sims), "--games", str(args.arena_games),
        "--seed", str(args.seed + OPPONENTS.index(opponent)), "--json", str(partial), "--no-progress",
        "--c-base", str(args.c_base), "--c-init", str(args.c_init), "--value-offset", str(args.value_offset),
    ]
    return command + (MATCH_FLAGS if opponent.endswith("-match") else [])


def opponent_model(root: Path, generation: int, opponent: str) -> str | None:
    """The opponent's evaluator name or checkpoint; None where there is none (gen 0 has no best before it)."""
    if opponent == "gen0":
        return None if generation == 0 else str(generation_folder(root, 0) / CHECKPOINT_NAME)
    if opponent == "best-before":
        decision = Ledger.load(root).decided(generation)
        if decision is None:
            return None
        path = root / decision.best_before
        return str(path) if path.is_file() else decision.best_before
    return opponent.removesuffix("-match")


def play_arenas(args: argparse.Namespace, root: Path, generations: list[int]) -> float:
    """Plays the arenas still missing, --arena-jobs at a time; returns the seconds they took."""
    waiting = [(g, o) for g in generations for o in args.opponents]
    waiting = [(g, o, c) for g, o in waiting if (c := arena_command(args, root, g, o)) is not None]
    running: list[tuple] = []
    started = time.monotonic()
    while waiting or running:
        while waiting and len(running) < max(1, args.arena_jobs):
            generation, opponent, command = waiting.pop(0)
            print(f"arena: gen {generation} vs {opponent}: {shlex.join(command)}", flush=True)
            running.append((generation, opponent, subprocess.Popen(command), time.monotonic()))
        time.sleep(0.5)
        for entry in [e for e in running if e[2].poll() is not None]:
            generation, opponent, process, begun = entry
            running.remove(entry)
            if process.returncode != 0:
                for *_, other, _ in running:
                    other.terminate()
                raise subprocess.CalledProcessError(process.returncode, process.args)
            out = arena_file(root, generation, opponent)
            os.replace(out.with_suffix(".json.partial"), out)  # only a finished arena counts as played
            print(f"arena: gen {generation} vs {opponent}: {time.monotonic() - begun:.0f} s", flush=True)
    return time.monotonic() - started


YARDSTICK_GAMES = 64


def yardstick_games(args: argparse.Namespace, root: Path) -> Path:
    """A fixed set of games that no generation trains on, played once by the heuristic with
    search (records are not committed: a fresh clone plays a new set)."""
    folder = root / "yardstick"
    if not records.shard_paths(folder):
        command = shlex.split(args.arena_command.replace(" arena", " selfplay")) + [
            "--evaluator", "heuristic", "--games", str(YARDSTICK_GAMES), "--sims-per-move", str(args.sims_per_move),
            "--out", str(folder), "--no-progress"]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return folder


def measure_yardsticks(args: argparse.Namespace, root: Path, generations: list[int]) -> None:
    """Each generation's network and the heuristic on the yardstick games, kept as JSON."""
    waiting = [g for g in generations if not (root / "arena" / f"gen-{g:04d}-yardstick.json").is_file()]
    if not waiting:
        return
    games = records.load_games(yardstick_games(args, root))
    sample = yardstick.sample_of(games)
    reference = yardstick.measure(make_player("heuristic"), sample)
    for generation in waiting:
        model = generation_folder(root, generation) / CHECKPOINT_NAME
        found = {"network": yardstick.measure(make_player(str(model), backend="auto"), sample),
                 "heuristic": reference}
        out = root / "arena" / f"gen-{generation:04d}-yardstick.json"
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(json.dumps(found, indent=2))
        print(f"yardstick: gen {generation}: value loss {found['network']['value_loss']['all']:.3f} "
              f"(heuristic {reference['value_loss']['all']:.3f}), agreement {found['network']['agreement']:.3f} "
              f"(heuristic {reference['agreement']:.3f})", flush=True)


def model_row(result: dict) -> dict:
    """The arena row of the network under test (the first player on the command line)."""
    return result["evaluators"][0]


def collect(root: Path, generations: list[int], opponents: list[str]) -> list[dict]:
    """One row per generation: validation value loss and, per opponent, mean/low/high (or None)."""
    rows = []
    for generation in generations:
        losses = [r for r in read_losses(generation_folder(root, generation) / LOSSES_NAME)
                  if r["split"] == "validation"]
        row = {"generation": generation, "value_loss": losses[-1]["value_loss"] if losses else math.nan,
               "policy_loss": losses[-1]["policy_loss"] if losses else math.nan}
        decision = Ledger.load(root).decided(generation)
        row["gate"] = None if decision is None else {**decision.duel, "promoted": decision.promoted}
        row["priors"] = None if decision is None else decision.priors
        measured = root / "arena" / f"gen-{generation:04d}-yardstick.json"
        row["yardstick"] = json.loads(measured.read_text()) if measured.is_file() else None
        for opponent in opponents:
            path = arena_file(root, generation, opponent)
            row[opponent] = model_row(json.loads(path.read_text())) if path.is_file() else None
        rows.append(row)
    return rows


def cell(entry: dict | None) -> str:
    return "—" if entry is None else f"{entry['mean']:.3f} [{entry['low']:.3f}, {entry['high']:.3f}]"


def gate_cell(entry: dict | None) -> str:
    if entry is None:
        return "—"
    return cell({"mean": entry["score"], **entry}) + (" promoted" if entry["promoted"] else " kept out")


def markdown(rows: list[dict], opponents: list[str], settings: str) -> str:
    header = (["gen", "val. value loss", "val. policy loss", "yardstick value loss (heuristic)",
               "top prior = tile laid (heuristic)"] + [f"vs {o}" for o in opponents]
              + ["gatekeeper: vs the best", "priors on vs off"])
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---:" for _ in header) + "|"]
    for row in rows:
        lines.append("| " + " | ".join([str(row["generation"]), f"{row['value_loss']:.3f}", f"{row['policy_loss']:.3f}"]
                                       + yardstick_cells(row["yardstick"])
                                       + [cell(row[o]) for o in opponents]
                                       + [gate_cell(row["gate"]),
                                          cell(None if row["priors"] is None else
                                               {"mean": row["priors"]["score"], **row["priors"]})]) + " |")
    return "\n".join(lines) + f"\n\nMean payoff per seat of the generation's network, 95% interval " \
                              f"(equal strength: 0.25). {settings}\n"


def yardstick_cells(found: dict | None) -> list[str]:
    if found is None:
        return ["—", "—"]
    net, reference = found["network"], found["heuristic"]
    return [f"{net['value_loss']['all']:.3f} ({reference['value_loss']['all']:.3f})",
            f"{net['agreement']:.3f} ({reference['agreement']:.3f})"]


def plot(rows: list[dict], opponents: list[str], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure, axis = plt.subplots(figsize=(7, 4.5), dpi=100)
    for offset, opponent in enumerate(opponents):
        points = [(r["generation"], r[opponent]) for r in rows if r[opponent] is not None]
        if not points:
            continue
        x = [g + (offset - (len(opponents) - 1) / 2) * 0.06 for g, _ in points]  # side by side, not on top
        y = [e["mean"] for _, e in points]
        error = [[e["mean"] - e["low"] for _, e in points], [e["high"] - e["mean"] for _, e in points]]
        axis.errorbar(x, y, yerr=error, marker="o", capsize=4, label=f"vs {opponent}")
    axis.axhline(0.25, color="grey", linestyle="--", linewidth=1, label="equal strength")
    axis.set_xlabel("generation")
    axis.set_ylabel("mean payoff per seat (95% interval)")
    axis.set_xticks([r["generation"] for r in rows])
    axis.set_title(title, fontsize=9)
    axis.grid(alpha=0.3)
    axis.legend()
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def describe(args: argparse.Namespace) -> str:
    return (f"Loop: generation 0 from {args.first_games} games of {args.teacher} with search, then "
            f"{args.generations - 1} generation(s) of {args.games} self-play games with the best player, all at "
            f"{args.sims_per_move} simulations; window {args.window}, {args.epochs} epoch(s), a {args.blocks} x "
            f"{args.channels} network; priors: {args.policy_targets} targets from the best player on "
            f"{args.policy_share:g} of the positions, temperature {args.temperature:g}; value targets mixed "
            f"{args.value_mix:g} with the best player's payoffs; gatekeeper: "
            f"{args.gate_games} games, promoted {args.gate_z:g} standard errors above 0.25; priors measured in "
            f"{args.priors_games} games; arena: {args.arena_games} games at {args.arena_sims} simulations, c_base "
            f"{args.c_base:g}, c_init {args.c_init:g}, value offset {args.value_offset:g} (the arena's defaults: "
            f"root noise, opening tiles drawn; -match: neither).")


def write_table(args: argparse.Namespace, root: Path, settings: str) -> str:
    generations = [g for g in done_generations(root) if g < args.generations]
    rows = collect(root, generations, args.opponents)
    table = markdown(rows, args.opponents, settings)
    (root / "learning_curve.md").write_text(table)
    plot(rows, args.opponents, root / "learning_curve.png",
         f"{args.first_games} heuristic games, then {args.games} self-play games/gen at {args.sims_per_move} sims; "
         f"arena {args.arena_games} games at {args.arena_sims} sims")
    return table


def main(argv=None) -> int:
    logging.basicConfig(level=logging.INFO, format="%(message)s")  # the loop's progress lines
    args = parse_arguments(argv)
    root = Path(args.dir)
    started = time.monotonic()
    settings = describe(args)
    print(settings, flush=True)
    try:
        target = len(done_generations(root))
        while True:  # one generation at a time, its arenas right after it
            target = min(max(target, 1), args.generations)
            phase = time.monotonic()
            lines = run_training_loop(argparse.Namespace(**{**vars(args), "generations": target}), root)
            if lines:
                print(f"loop: {time.monotonic() - phase:.0f} s" + "".join(f"\n  {line}" for line in lines),
                      flush=True)
            arena_seconds = play_arenas(args, root, [g for g in done_generations(root) if g < target])
            measure_yardsticks(args, root, [g for g in done_generations(root) if g < target])
            print(f"arenas: {arena_seconds:.0f} s", flush=True)
            write_table(args, root, settings)
            if target >= args.generations:
                break
            target += 1
    except KeyboardInterrupt:
        print("interrupted: run the same command again to go on", file=sys.stderr)
        return 130
    except subprocess.CalledProcessError as error:
        print(f"arena failed ({error.returncode}): {shlex.join(error.cmd)}", file=sys.stderr)
        return 1
    print(write_table(args, root, settings))
    print(f"written: {root / 'learning_curve.md'}, {root / 'learning_curve.png'} "
          f"({time.monotonic() - started:.0f} s in all this run)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
