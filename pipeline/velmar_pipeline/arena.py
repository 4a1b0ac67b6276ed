"""The ``arena`` command: games between evaluators, to compare their strength.

Each seat is driven by one evaluator: a network checkpoint (a path, or ``net:PATH``) or a built-in
evaluator (``uniform``, ``random``, ``heuristic``, ...). With ``--sims-per-move N`` every tile comes
from a tree search valued by the seat's evaluator (``velmar_pipeline.search_arena``). Without it
(this module), on its turn a seat's evaluator sees the position planes and the tile is chosen from
its logits restricted to the legal tiles (plane 4):

- ``sample`` (default): drawn from the softmax of the legal logits (the policy as a distribution);
- ``argmax``: the highest legal logit, ties broken at random (so ``uniform`` plays at random).

With L evaluators (1 to 4), seat s of game g goes to evaluator (s + g) mod L: the seats are
filled cyclically and rotate by one every game, so over L games every evaluator has sat in every
seat equally often. Games run side by side and each evaluator gets the positions of all of them
in one batch.

Score: an evaluator's payoff in a game is the mean payoff of the seats it held; as a game's
payoffs sum to 1, an evaluator as strong as the rest averages 0.25. The 95% interval is the
normal approximation over games (mean +- 1.96 standard errors).
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import PLAYERS
from velmar_pipeline import evaluators, inference
from velmar_pipeline.atomic import atomic_file, check_writable_file
from velmar_pipeline.config import add_inference_argument, add_search_arguments, search_from, validate_value_offset
from velmar_pipeline.positions import legal_mask
from velmar_pipeline.errors import one_line

CHOICES = ("sample", "argmax")
Z_95 = 1.959964


def make_player(name: str, seed: int | None = None, threads: int | None = None, backend: str = "torch") -> Callable:
    """The evaluator for a seat: a checkpoint path, an ``.onnx`` model or ``net:PATH`` (run with
    ``threads`` intra-op threads, default ``inference.default_threads()``; a checkpoint through
    ``backend``, an ``--inference`` choice), else any evaluator name the service knows."""
    path = name[4:] if name.startswith("net:") else name
    if Path(path).is_file():
        served = inference.served_model(path, backend)
        if inference.is_onnx(served):
            return inference.OnnxEvaluator(served, threads or inference.default_threads())
        from velmar_pipeline import network

        network.set_threads(threads)
        return network.NetEvaluator.load(path)
    return evaluators.make(name, seed)


def choose_tiles(logits: np.ndarray, mask: np.ndarray, how: str, rng: np.random.Generator) -> np.ndarray:
    """One legal cell per row: sampled from the softmax of the legal logits, or their argmax."""
    logits = np.asarray(logits, np.float64)
    if not mask.any(axis=1).all():
        raise ValueError("a position without legal tiles")
    if how == "sample":
        # Gumbel-max: the argmax of logits plus Gumbel noise is a draw from their softmax.
        noisy = logits + rng.gumbel(size=logits.shape)
    elif how == "argmax":
        # Tiny noise only separates exact ties (e.g. the uniform evaluator's zeros).
        noisy = logits + rng.random(logits.shape) * 1e-9 * np.maximum(1.0, np.abs(logits))
    else:
        raise ValueError(f"unknown choice {how!r} (known: {', '.join(CHOICES)})")
    noisy[~mask] = -np.inf
    noisy[np.isnan(noisy)] = -np.inf
    chosen = noisy.argmax(axis=1)
    # A row whose legal logits are all -inf or NaN still gets a legal tile.
    broken = ~mask[np.arange(len(chosen)), chosen]
    for row in np.flatnonzero(broken):
        chosen[row] = rng.choice(np.flatnonzero(mask[row]))
    return chosen


def seating(games: int, players: int) -> np.ndarray:
    """(games, 4) evaluator index of every seat: seat s of game g is (s + g) mod players."""
    return (np.arange(PLAYERS)[None, :] + np.arange(games)[:, None]) % players


@dataclass
class ArenaResult:
    names: list[str]
    seats: np.ndarray  # (games, 4) evaluator index by seat
    payoffs: np.ndarray  # (games, 4) payoff by seat
    lengths: np.ndarray  # (games,) tiles laid
    choose: str
    seconds: float
    search: dict | None = None  # the search settings, for games played with search

    @property
    def games(self) -> int:
        return len(self.payoffs)

    def totals(self) -> np.ndarray:
        """Sum of the payoffs of every evaluator's seats over all games (they add up to the games)."""
        return np.array([self.payoffs[self.seats == e].sum() for e in range(len(self.names))])

    def per_game(self) -> np.ndarray:
        """(games, evaluators): mean payoff of the evaluator's seats in each game."""
        out = np.full((self.games, len(self.names)), np.nan)
        for e in range(len(self.names)):
            held = self.seats == e
            counts = held.sum(axis=1)
            sums = np.where(held, self.payoffs, 0.0).sum(axis=1)
            out[:, e] = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
        return out

    def rows(self) -> list[dict]:
        per_game = self.per_game()
        totals = self.totals()
        out = []
        for e, name in enumerate(self.names):
            scores = per_game[:, e][~np.isnan(per_game[:, e])]
            mean = float(scores.mean()) if len(scores) else math.nan
            half = Z_95 * float(scores.std(ddof=1)) / math.sqrt(len(scores)) if len(scores) > 1 else math.inf
            out.append({
                "evaluator": name, "seats": int((self.seats == e).sum()), "total": float(totals[e]),
                "mean": mean, "low": mean - half, "high": mean + half,
            })
        return out

    def lines(self) -> list[str]:
        width = max(12, *(len(name) for name in self.names))
        out = [
            f"{self.games} games, tiles chosen by {self.choose}, mean length {self.lengths.mean():.1f} tiles, "
            f"{self.seconds:.1f} s",
            f"{'evaluator':<{width}} {'seats':>6} {'total':>8} {'mean per seat':>14}  95% interval",
        ]
        for row in self.rows():
            out.append(f"{row['evaluator']:<{width}} {row['seats']:>6} {row['total']:>8.2f} {row['mean']:>14.3f}"
                       f"  [{row['low']:.3f}, {row['high']:.3f}]")
        out.append("(payoffs of a game sum to 1: equal strength is 0.25 per seat)")
        return out

    def as_dict(self) -> dict:
        return {"games": self.games, "choose": self.choose, "seconds": self.seconds,
                "mean_length": float(self.lengths.mean()), "evaluators": self.rows(),
                "seats": self.seats.tolist(), "payoffs": self.payoffs.tolist(),
                **({} if self.search is None else {"search": self.search})}


def play(
    players: Sequence[Callable],
    names: Sequence[str],
    games: int,
    choose: str = "sample",
    seed: int | None = None,
    parallel: int = 64,
    progress: bool = False,
) -> ArenaResult:
    """Plays ``games`` games, ``parallel`` at a time, with the seats given by :func:`seating`."""
    if not 1 <= len(players) <= PLAYERS:
        raise ValueError(f"the arena takes 1 to {PLAYERS} evaluators, got {len(players)}")
    if games < 1:
        raise ValueError(f"games must be >= 1, got {games}")
    if choose not in CHOICES:
        raise ValueError(f"unknown choice {choose!r} (known: {', '.join(CHOICES)})")
    rng = np.random.default_rng(seed)
    seats = seating(games, len(players))
    payoffs = np.zeros((games, PLAYERS))
    lengths = np.zeros(games, np.int64)
    started = time.monotonic()
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=games, unit="game", dynamic_ncols=True, file=sys.stderr)
    try:
        for first in range(0, games, parallel):
            numbers = list(range(first, min(first + parallel, games)))
            states = {g: velmar_rules.Game() for g in numbers}
            while states:
                by_player: dict[int, list[int]] = {}
                for g, state in states.items():
                    by_player.setdefault(int(seats[g, state.current_player]), []).append(g)
                for e, group in by_player.items():
                    planes = np.stack([states[g].encode() for g in group])
                    try:  # as selfplay and the search refuse them: a broken network scores nothing
                        logits, _ = evaluators.checked_outputs(players[e], planes)
                    except ValueError as error:
                        raise ValueError(f"{names[e]}: {error}") from None
                    tiles = choose_tiles(logits, legal_mask(planes), choose, rng)
                    for g, tile in zip(group, tiles):
                        states[g].apply(int(tile))
                for g in [g for g, state in states.items() if state.is_over]:
                    payoffs[g] = states[g].payoff()
                    lengths[g] = len(states[g].history)
                    del states[g]
                    if bar is not None:
                        bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return ArenaResult(list(names), seats, payoffs, lengths, choose, time.monotonic() - started)


def labels(names: Sequence[str]) -> list[str]:
    """Names as given, numbered where one appears more than once."""
    out = []
    for index, name in enumerate(names):
        out.append(f"{name} #{index + 1}" if names.count(name) > 1 else name)
    return out


def add_arena(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "arena",
        help="compare evaluators in games, without search or with it",
        description="Plays games, each seat driven by one of the evaluators (a checkpoint path, net:PATH, or a "
        f"built-in evaluator: {', '.join(evaluators.names())}), seats rotated across games, and reports each "
        "evaluator's mean payoff per seat with a 95%% interval (equal strength: 0.25). Without "
        "--sims-per-move a seat lays the tile its evaluator's logits pick; with it, every tile comes from a "
        "tree search valued entirely by the seat's own evaluator.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("players", nargs="+", metavar="EVALUATOR", help="1 to 4 evaluators")
    parser.add_argument("--games", type=int, default=40, help="games to play")
    parser.add_argument("--choose", choices=CHOICES, default="sample",
                        help="without search: sample draws from the softmax of the legal logits, argmax takes the "
                        "best legal logit")
    parser.add_argument("--seed", type=int, default=None,
                        help="seed of the choices without search and of seeded evaluators such as random")
    parser.add_argument("--parallel", type=int, default=64, help="games played side by side")
    parser.add_argument("--threads", type=int, default=None,
                        help="a network's intra-op threads (default: the cores but one)")
    add_inference_argument(parser)
    parser.add_argument("--json", default=None, help="also write the result as JSON to this file")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_search_arguments(parser, "search (from --sims-per-move 1; defaults as for selfplay)", search_optional=True)
    parser.set_defaults(handler=_run_arena)


def _run_arena(args: argparse.Namespace) -> int:
    try:
        if not 1 <= len(args.players) <= PLAYERS:
            raise ValueError(f"the arena takes 1 to {PLAYERS} evaluators, got {len(args.players)}")
        if args.parallel < 1:
            raise ValueError(f"--parallel must be >= 1, got {args.parallel}")
        if args.seed is not None and not 0 <= args.seed < 2**63 - PLAYERS:
            raise ValueError(f"--seed must be in [0, 2**63 - {PLAYERS}), got {args.seed}")
        if args.threads is not None and args.threads < 1:
            raise ValueError(f"--threads must be >= 1, got {args.threads}")
        if args.sims_per_move < 0:
            raise ValueError(f"--sims-per-move must be >= 0 (0: no search), got {args.sims_per_move}")
        search = search_from(args) if args.sims_per_move else None  # ConfigError is a ValueError
        value_offset = validate_value_offset(args.value_offset)
        if args.json is not None:
            check_json_target(args.json)  # before the games, not after them
        players = [_made_player(name, None if args.seed is None else args.seed + i, args.threads, args.inference)
                   for i, name in enumerate(args.players)]
    except ValueError as error:
        print(f"velmar-pipeline arena: error: {error}", file=sys.stderr)
        return 2
    try:
        if search is None:
            result = play(players, labels(args.players), args.games, args.choose, args.seed, args.parallel,
                          progress=not args.no_progress)
        else:
            from velmar_pipeline import search_arena

            result = search_arena.play(players, labels(args.players), args.games, search, value_offset, args.seed,
                                       args.parallel, progress=not args.no_progress)
    except ValueError as error:
        print(f"velmar-pipeline arena: error: {error}", file=sys.stderr)
        return 2
    except RuntimeError as error:  # the search arena's RoutingError, or a failing engine
        print(f"velmar-pipeline arena: failed: {error}", file=sys.stderr)
        return 1
    for line in result.lines():
        print(line)
    if args.json is not None:
        with atomic_file(args.json) as file:
            file.write(json.dumps(result.as_dict(), indent=2).encode())
    return 0


def check_json_target(path: str) -> None:
    """ValueError in one line unless a file can be written at ``path``."""
    check_writable_file(path, "--json")


def _made_player(name: str, seed: int | None, threads: int | None, backend: str) -> Callable:
    """make_player, with any failure to load (a damaged checkpoint, say) as one ValueError line."""
    try:
        return make_player(name, seed, threads, backend)
    except ValueError:
        raise
    except Exception as error:
        raise ValueError(f"cannot use {name!r}: {one_line(error)}") from None
