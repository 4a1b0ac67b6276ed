"""The gatekeeper of the loop: a new network replaces the best one only by beating it with search.

A duel is an arena with search between two networks, two seats each, seats rotated every game
(``search_arena``). The candidate's score is its mean payoff per seat; as a game's payoffs sum to
1, equal strength is 0.25, and the standard error comes from the spread of the per-game scores.
The candidate is promoted when its score clears 0.25 by ``z`` standard errors (default 1.64: a
one-sided 95% test), so that every promotion is a measured win and not the luck of a few games.

The ledger (``gatekeeper.json`` beside ``loop.json``) holds the best network and every decision,
written atomically, so a resumed loop keeps them.
"""

from __future__ import annotations

import json
import math
import os
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np

from velmar_rules import CELLS
from velmar_pipeline.arena.seats import Z_95
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.records.atomic import write_json

LEDGER_NAME = "gatekeeper.json"
FAIR = 0.25
Z_PROMOTE = 1.64


@dataclass
class Duel:
    """The candidate's side of a duel: mean payoff per seat, its standard error and 95% interval."""

    games: int
    score: float
    stderr: float
    seconds: float

    @property
    def low(self) -> float:
        return self.score - Z_95 * self.stderr

    @property
    def high(self) -> float:
        return self.score + Z_95 * self.stderr

    def as_dict(self) -> dict:
        return {"games": self.games, "score": self.score, "stderr": self.stderr, "low": self.low, "high": self.high,
                "seconds": self.seconds}


def duel(candidate, opponent, games: int, search, value_offset: float, parallel: int = 64) -> Duel:
    """Plays ``games`` games with search between two evaluators (callables); the candidate's result."""
    from velmar_pipeline.arena import search_arena

    result = search_arena.play([candidate, opponent], ["candidate", "opponent"], games, search, value_offset,
                               parallel=min(parallel, games))
    scores = result.per_game()[:, 0]
    stderr = float(scores.std(ddof=1)) / math.sqrt(len(scores)) if len(scores) > 1 else math.inf
    return Duel(len(scores), float(scores.mean()), stderr, result.seconds)


def promotes(result: Duel, z: float = Z_PROMOTE) -> bool:
    return result.score - z * result.stderr > FAIR


def without_priors(evaluator):
    """The evaluator's values with uniform priors (zero logits): its priors switched off."""

    def evaluate(planes):
        _, values = evaluator(planes)
        return np.zeros((len(planes), CELLS), np.float32), values

    return evaluate


@dataclass
class Decision:
    generation: int
    candidate: str
    best_before: str
    duel: dict
    promoted: bool
    z: float
    priors: dict | None = None  # the candidate with its priors against itself without them
    decided: float = field(default_factory=time.time)


def _is_evaluator_name(name: str) -> bool:
    """A built-in evaluator or ``module:attribute``, not a path (those are the loop's networks)."""
    if name.endswith(".pt") or os.sep in name:
        return False
    try:
        evaluators.resolve(name)
    except ValueError:
        return False
    return True


@dataclass
class Ledger:
    """The best network so far and every decision, in ``root/gatekeeper.json``."""

    root: Path
    best: str | None = None
    decisions: list[Decision] = field(default_factory=list)

    @classmethod
    def load(cls, root: str | Path) -> Ledger:
        path = Path(root) / LEDGER_NAME
        if not path.is_file():
            return cls(Path(root))
        try:
            stored = json.loads(path.read_text())
            decisions = [Decision(**entry) for entry in stored["decisions"]]
            ledger = cls(Path(root), stored["best"], decisions)
        except (ValueError, KeyError, TypeError) as error:
            raise ValueError(f"{path}: not a gatekeeper ledger ({error})") from None
        problem = ledger.inconsistency()
        if problem:
            raise ValueError(f"{path}: {problem}; move the file away to start the gatekeeper afresh")
        return ledger

    def inconsistency(self) -> str | None:
        """Why the ledger contradicts itself or its folder (None when it does not): the best
        player is the one the last decision left in place, and a network file inside the folder
        (``.pt``) or an evaluator's name (the loop's first teacher, ``heuristic``)."""
        if self.decisions:
            last = self.decisions[-1]
            expected = last.candidate if last.promoted else last.best_before
            if self.best != expected:
                return (f"its best network is {self.best!r} but its last decision (generation {last.generation}) "
                        f"leaves {expected!r}")
        if self.best is None:
            return None
        if not isinstance(self.best, str) or not self.best:
            return f"its best network {self.best!r} names no file"
        if _is_evaluator_name(self.best):
            return None
        best = self.root / self.best
        if os.path.isabs(self.best) or not best.resolve().is_relative_to(self.root.resolve()):
            return f"its best network {self.best!r} lies outside the folder {self.root}"
        if not best.is_file():
            return f"its best network {self.best!r} is not there ({best})"
        return None

    def decided(self, generation: int) -> Decision | None:
        return next((d for d in self.decisions if d.generation == generation), None)

    def record(self, decision: Decision) -> None:
        self.decisions = [d for d in self.decisions if d.generation != decision.generation] + [decision]
        if decision.promoted:
            self.best = decision.candidate
        self.save()

    def crown(self, best: str) -> None:
        """The first best network (generation 0's, or the loop's --init), promoted without a duel."""
        self.best = best
        self.save()

    def save(self) -> None:
        payload = {"best": self.best, "decisions": [asdict(d) for d in self.decisions]}
        write_json(self.root / LEDGER_NAME, payload)
