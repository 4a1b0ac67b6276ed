"""The ``stats`` command: how widely the searches of some records spread their visits.

A record's policy row holds the visit share of every root child. For every tile it counts the
root children that got any visit and the entropy of the shares (nats), and replays the game to
count the legal tiles: a tile with one legal choice is one-hot whatever the search does, so the
shares are also given over the tiles that had a choice. Records are replayed and checked as ``train``
checks them (``positions.game_positions``). One-hot everywhere means the values never
changed which tile the search preferred (see the value convention in ``velmar_pipeline.evaluators.registry``).
"""

from __future__ import annotations

import argparse
from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

from velmar_pipeline.errors import BadInput, bad_input
from velmar_pipeline.records import positions
from velmar_pipeline.records import shards as records


@dataclass
class Spread:
    games: int = 0
    tiles: int = 0
    choices: int = 0  # tiles with at least two legal tiles
    legal: int = 0  # legal tiles summed over all tiles
    visited: int = 0  # root children with a visit, summed over all tiles
    visited_at_choices: int = 0
    one_hot: int = 0
    one_hot_at_choices: int = 0
    entropy: float = 0.0  # nats, summed over all tiles
    entropy_at_choices: float = 0.0

    def add(self, game: records.GameRecord) -> None:
        legal = legal_counts(game)
        shares = np.asarray(game.policies, np.float64)
        visited = np.count_nonzero(shares > 0, axis=1)
        logs = np.log(np.where(shares > 0, shares, 1.0))
        entropy = -(shares * logs).sum(axis=1)
        choice = legal >= 2
        self.games += 1
        self.tiles += len(game)
        self.choices += int(choice.sum())
        self.legal += int(legal.sum())
        self.visited += int(visited.sum())
        self.visited_at_choices += int(visited[choice].sum())
        self.one_hot += int((visited == 1).sum())
        self.one_hot_at_choices += int((visited[choice] == 1).sum())
        self.entropy += float(entropy.sum())
        self.entropy_at_choices += float(entropy[choice].sum())

    def as_dict(self) -> dict:
        tiles, choices = max(self.tiles, 1), max(self.choices, 1)
        return {
            "games": self.games,
            "tiles": self.tiles,
            "mean_legal": self.legal / tiles,
            "choice_share": self.choices / tiles,
            "mean_visited": self.visited / tiles,
            "mean_visited_at_choices": self.visited_at_choices / choices,
            "one_hot_share": self.one_hot / tiles,
            "one_hot_share_at_choices": self.one_hot_at_choices / choices,
            "mean_entropy": self.entropy / tiles,
            "mean_entropy_at_choices": self.entropy_at_choices / choices,
        }

    def lines(self) -> list[str]:
        d = self.as_dict()
        return [
            f"games {d['games']}, tiles {d['tiles']}, legal tiles per tile {d['mean_legal']:.1f}, "
            f"tiles with a choice {d['choice_share']:.1%}",
            f"{'':24}{'all tiles':>12}{'with a choice':>16}",
            f"{'visited root children':<24}{d['mean_visited']:>12.2f}{d['mean_visited_at_choices']:>16.2f}",
            f"{'one-hot policies':<24}{d['one_hot_share']:>12.1%}{d['one_hot_share_at_choices']:>16.1%}",
            f"{'policy entropy (nats)':<24}{d['mean_entropy']:>12.3f}{d['mean_entropy_at_choices']:>16.3f}",
        ]


def legal_counts(game: records.GameRecord) -> np.ndarray:
    """The number of legal tiles before each tile of ``game``, from its replay; ValueError (naming
    the file, game and move) for a record that ``train`` would refuse too."""
    planes, _ = positions.game_positions(game)
    return np.count_nonzero(planes[:, positions.LEGAL_PLANE], axis=1)


def spread_of(games: Iterable[records.GameRecord]) -> Spread:
    spread = Spread()
    for game in games:
        spread.add(game)
    return spread


def add_stats(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "stats",
        help="visit spread of the searches in some records",
        description="Replays the records and prints how many root children the searches visited, how many "
        "policies are one-hot and their mean entropy, over all tiles and over the tiles that had a choice.",
    )
    parser.add_argument("paths", nargs="+", metavar="SHARD_OR_FOLDER", help="shards or folders of shards")
    parser.add_argument("--evaluate", nargs="+", metavar="EVALUATOR", default=None,
                        help="also measure these evaluators (checkpoints, net:model.onnx, heuristic, ...) on the "
                        "records' positions: value loss by phase, and how often the top prior is the tile laid")
    parser.set_defaults(handler=_run_stats)


def _run_stats(args: argparse.Namespace) -> int:
    with bad_input(OSError, ValueError):
        games = [game for path in args.paths for game in records.iter_games(path)]
        spread = spread_of(games)
    if spread.games == 0:
        raise BadInput("no games in " + ", ".join(args.paths))
    for line in spread.lines():
        print(line)
    if args.evaluate:
        return _print_yardstick(args.evaluate, games)
    return 0


def _print_yardstick(names: list[str], games: list[records.GameRecord]) -> int:
    # The arena's players: evaluators are made there, above the records.
    from velmar_pipeline.arena import yardstick
    from velmar_pipeline.arena.arena import make_player

    with bad_input(OSError, ValueError):
        named = [(name, make_player(name, backend="auto")) for name in names]
        results = yardstick.compare(named, games)
    for line in yardstick.lines(results):
        print(line)
    return 0
