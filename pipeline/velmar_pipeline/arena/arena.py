"""The ``arena`` command: games between evaluators, to compare their strength.

Each seat is driven by one evaluator: a network checkpoint (a path, or ``net:PATH``) or a built-in
evaluator (``uniform``, ``random``, ``heuristic``, ...). With ``--sims-per-move N`` every tile comes
from a tree search valued by the seat's evaluator (``velmar_pipeline.arena.search_arena``). Without it
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
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import PLAYERS
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.evaluators import inference, serving
from velmar_pipeline.records.atomic import check_writable_file, write_json
from velmar_pipeline.selfplay.config import (
    add_inference_argument, add_search_arguments, match_settings, search_from, validate_value_offset,
)
from velmar_pipeline.records.positions import legal_mask
from velmar_pipeline.errors import bad_input, one_line, run_failed
from velmar_pipeline.arena.seats import ArenaResult, seating

CHOICES = ("sample", "argmax")


def make_player(name: str, seed: int | None = None, threads: int | None = None, backend: str = "torch") -> Callable:
    """The evaluator for a seat: a checkpoint path, an ``.onnx`` model or ``net:PATH`` (run with
    ``threads`` intra-op threads, default ``inference.default_threads()``; a checkpoint through
    ``backend``, an ``--inference`` choice), else any evaluator name the service knows."""
    path = name[4:] if name.startswith("net:") else name
    if Path(path).is_file():
        served = serving.served_model(path, backend)
        if inference.is_onnx(served):
            return inference.OnnxEvaluator(served, threads or inference.default_threads())
        from velmar_pipeline.evaluators import network

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
    group = parser.add_argument_group("search (from --sims-per-move 1; defaults as for selfplay)")
    group.add_argument("--match", action="store_true",
                       help="match settings: no root noise and no opening tiles drawn by visit share (the settings "
                       "that measure strength; the defaults are self-play's)")
    add_search_arguments(parser, "search settings", search_optional=True)
    parser.set_defaults(handler=_run_arena)


def _run_arena(args: argparse.Namespace) -> int:
    with bad_input(ValueError):
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
        if search is not None and args.match:
            search = match_settings(search)
        elif args.match:
            raise ValueError("--match needs a search (--sims-per-move 1 or more)")
        value_offset = validate_value_offset(args.value_offset)
        if args.json is not None:
            check_json_target(args.json)  # before the games, not after them
        players = [_made_player(name, None if args.seed is None else args.seed + i, args.threads, args.inference)
                   for i, name in enumerate(args.players)]
    with run_failed(RuntimeError), bad_input(ValueError):  # RuntimeError: a RoutingError, a failing engine
        if search is None:
            result = play(players, labels(args.players), args.games, args.choose, args.seed, args.parallel,
                          progress=not args.no_progress)
        else:
            from velmar_pipeline.arena import search_arena

            result = search_arena.play(players, labels(args.players), args.games, search, value_offset, args.seed,
                                       args.parallel, progress=not args.no_progress)
    for line in result.lines():
        print(line)
    if args.json is not None:
        write_json(args.json, result.as_dict())
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
