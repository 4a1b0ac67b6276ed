"""A yardstick of evaluators on recorded positions: value loss by phase, and top-prior agreement.

Far cheaper and less noisy than an arena, and it says which half of an evaluator is weak:

- value loss: the cross-entropy of the predicted payoffs against each game's final payoff (in
  slot order), over all positions and by phase (tiles laid before the position). ``uniform``
  scores ln 4 = 1.386 everywhere; less is better.
- agreement: the share of positions where the evaluator's highest legal prior is the tile that
  was laid, by the player of the records (a search stronger than the priors alone).

Used by ``stats --evaluate`` and, on each training run's held-out games, by ``train`` and ``loop``.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import numpy as np

from velmar_pipeline.records import positions as positions_module
from velmar_pipeline.records.shards import GameRecord

# Phases by tiles laid before the position: the opening, the middle game, the end.
PHASES = ((0, 90), (90, 180), (180, None))
BATCH = 512
REFERENCE = "heuristic"


@dataclass(frozen=True)
class Sample:
    """Positions of recorded games: planes (N, 5, 400) uint8, payoffs in slot order (N, 4), the
    cell laid (N,) and the tiles laid before each position (N,)."""

    planes: np.ndarray
    payoffs: np.ndarray
    laid: np.ndarray
    tile: np.ndarray

    def __len__(self) -> int:
        return len(self.planes)


def sample_of(games: Iterable[GameRecord]) -> Sample:
    """The positions of ``games``, checked against their replay as training reads them."""
    planes, payoffs, laid, tile = [], [], [], []
    for game in games:
        game_planes, to_move = positions_module.game_positions(game)
        planes.append(game_planes)
        payoffs.append(positions_module.slots_from_players(np.asarray(game.payoff, np.float32), to_move))
        laid.append(np.asarray(game.moves[:, 1], np.int64))
        tile.append(np.arange(len(game)))
    if not planes:
        raise ValueError("no positions to measure")
    return Sample(*(np.concatenate(part) for part in (planes, payoffs, laid, tile)))


def phase_name(low: int, high: int | None) -> str:
    return f"tiles {low}-{high - 1}" if high is not None else f"tiles {low} on"


def measure(evaluator: Callable, sample: Sample) -> dict:
    """{"positions", "value_loss": {"all", phase: ...}, "agreement"} of one evaluator on ``sample``."""
    losses = np.empty(len(sample))
    agrees = np.empty(len(sample), bool)
    for start in range(0, len(sample), BATCH):
        rows = slice(start, start + BATCH)
        planes = sample.planes[rows].astype(np.float32)
        logits, values = evaluator(planes)
        predicted = np.clip(np.asarray(values, np.float64), 1e-7, None)
        losses[rows] = -(sample.payoffs[rows] * np.log(predicted)).sum(axis=1)
        legal = positions_module.legal_mask(planes)
        masked = np.where(legal, np.asarray(logits, np.float64), -np.inf)
        agrees[rows] = masked.argmax(axis=1) == sample.laid[rows]
    by_phase = {"all": float(losses.mean())}
    for low, high in PHASES:
        chosen = (sample.tile >= low) & (sample.tile < (high if high is not None else math.inf))
        by_phase[phase_name(low, high)] = float(losses[chosen].mean()) if chosen.any() else math.nan
    return {"positions": len(sample), "value_loss": by_phase, "agreement": float(agrees.mean())}


def lines(results: dict[str, dict]) -> list[str]:
    """A table, one row per evaluator: its value loss overall and by phase, and its agreement."""
    if not results:
        return []
    phases = list(next(iter(results.values()))["value_loss"])
    width = max(len(name) for name in results)
    header = f"{'evaluator':<{width}}  " + "  ".join(f"{p:>13}" for p in phases) + "  top prior = tile laid"
    rows = [f"{name:<{width}}  " + "  ".join(f"{r['value_loss'][p]:>13.3f}" for p in phases)
            + f"  {r['agreement']:>21.3f}" for name, r in results.items()]
    return ["value loss (cross-entropy against the games' payoffs; uniform: 1.386) and agreement", header, *rows]


def compare(named: Sequence[tuple[str, Callable]], games: Sequence[GameRecord]) -> dict[str, dict]:
    """Each (name, evaluator) measured on the positions of ``games``."""
    sample = sample_of(games)
    return {name: measure(evaluator, sample) for name, evaluator in named}
