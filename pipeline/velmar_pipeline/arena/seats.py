"""The seats of an arena and the result of its games, shared by the games played with and without
search (``arena`` and ``search_arena``).

With L evaluators (1 to 4), seat s of game g goes to evaluator (s + g) mod L. An evaluator's
payoff in a game is the mean payoff of the seats it held; the 95% interval is the normal
approximation over games (mean +- 1.96 standard errors).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from velmar_rules import PLAYERS

Z_95 = 1.959964


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
