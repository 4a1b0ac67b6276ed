"""Training positions from game records, and the value-slot order the engine reads.

The engine reads the network's value output relative to the player to move p: slot k holds the
value of player (k - p) mod 4, so for p = 1 slot 0 is player 3's value and slot 1 player 0's.
(The position planes rotate the other way round: plane 1 is always p.) Every conversion between
values by player and values by slot goes through :func:`slots_from_players` and
:func:`players_from_slots`, so that the training targets and the engine cannot drift apart.

No torch here: the arena and the pictures use this module without it.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

import velmar_rules
from velmar_rules import CELLS, PLANES, PLAYERS, START_CORNERS
from velmar_pipeline.records import GameRecord

LEGAL_PLANE = PLANES - 1


def slot_players(to_move: np.ndarray | int) -> np.ndarray:
    """Player number held by each value slot: shape (..., 4), entry k = (k - p) mod 4."""
    to_move = np.asarray(to_move, dtype=np.int64)
    return (np.arange(PLAYERS) - to_move[..., None]) % PLAYERS


def slots_from_players(by_player: np.ndarray, to_move: np.ndarray | int) -> np.ndarray:
    """Values by slot from values by player: out[..., k] = by_player[..., (k - p) mod 4].

    ``by_player`` is (4,) (one vector for every position) or (n, 4) (one per position).
    """
    by_player = np.asarray(by_player)
    players = slot_players(to_move)
    if by_player.ndim == 1:
        return by_player[players]
    return np.take_along_axis(by_player, players, axis=-1)


def players_from_slots(by_slot: np.ndarray, to_move: np.ndarray | int) -> np.ndarray:
    """Inverse of :func:`slots_from_players`: out[..., (k - p) mod 4] = by_slot[..., k]."""
    by_slot = np.asarray(by_slot)
    players = np.broadcast_to(slot_players(to_move), by_slot.shape)
    out = np.empty_like(by_slot)
    np.put_along_axis(out, players, by_slot, axis=-1)
    return out


def legal_mask(planes: np.ndarray) -> np.ndarray:
    """Boolean (..., 400) mask of the legal tiles, read from the encoding's last plane."""
    return planes[..., LEGAL_PLANE, :] > 0.5


# Player o's stones sit in plane (o + 1 - p) mod 4, so a stone of o in plane j means p = (o + 1 - j) mod 4;
# indexed [plane j, player o].
_MOVER_FROM_CORNER = (np.arange(PLAYERS)[None, :] + 1 - np.arange(PLAYERS)[:, None]) % PLAYERS


def players_to_move(planes: np.ndarray) -> np.ndarray:
    """The player to move of each position (..., 5, 400), read from the planes alone.

    The planes are relative to the player to move, so the player is recovered from the start
    corners: a player's first piece covers its own corner, and nobody else can reach a corner
    before its owner has played there, so an occupied corner o names o's plane. With no corner
    occupied, player 0 is still laying its first piece (or has not begun): p = 0.
    """
    planes = np.asarray(planes)
    stones = planes[..., :PLAYERS, :][..., list(START_CORNERS)] > 0.5  # (..., plane, corner)
    flat = stones.reshape(*stones.shape[:-2], PLAYERS * PLAYERS)
    found = flat.any(axis=-1)
    return np.where(found, _MOVER_FROM_CORNER.reshape(-1)[flat.argmax(axis=-1)], 0)


def stones_by_player(planes: np.ndarray, to_move: np.ndarray | int | None = None) -> np.ndarray:
    """The stone planes (..., 4, 400) in player order: out[..., o, :] = planes[..., (o + 1 - p) mod 4, :]."""
    planes = np.asarray(planes)
    if to_move is None:
        to_move = players_to_move(planes)
    rows = (np.arange(PLAYERS) + 1 - np.asarray(to_move, np.int64)[..., None]) % PLAYERS
    rows = np.broadcast_to(rows, planes.shape[:-2] + (PLAYERS,)).reshape(-1, PLAYERS)
    flat = planes.reshape(-1, *planes.shape[-2:])
    return flat[np.arange(len(flat))[:, None], rows].reshape(planes.shape[:-2] + (PLAYERS, planes.shape[-1]))


@dataclass
class Positions:
    """Every position of some games, ready to train on.

    planes    (N, 5, 400) uint8    the encoding (0/1, stored small; widen to float per batch)
    policies  (N, 400)    float32  the search's visit shares, normalised to sum 1
    values    (N, 4)      float32  the final payoff in slot order for the player to move
    to_move   (N,)        int8     the player to move
    game      (N,)        int32    index of the game each position comes from
    """

    planes: np.ndarray
    policies: np.ndarray
    values: np.ndarray
    to_move: np.ndarray
    game: np.ndarray

    def __len__(self) -> int:
        return len(self.planes)

    def subset(self, rows: np.ndarray) -> Positions:
        return Positions(self.planes[rows], self.policies[rows], self.values[rows], self.to_move[rows], self.game[rows])


def game_positions(game: GameRecord) -> tuple[np.ndarray, np.ndarray]:
    """Replays one record: the planes (n, 5, 400) uint8 before each tile and the player to move.

    Raises ValueError when the record does not follow the rules (a tile of the wrong player, an
    illegal tile, or a game that does not end where the record does).
    """
    state = velmar_rules.Game()
    count = len(game)
    planes = np.empty((count, PLANES, CELLS), np.uint8)
    to_move = np.empty(count, np.int8)
    for row, (player, cell) in enumerate(game.moves):
        current = state.current_player
        if current != player:
            raise ValueError(f"move {row}: the record has player {player} laying a tile, but {current} is to move")
        planes[row] = state.encode()
        to_move[row] = current
        try:
            state.apply(int(cell))
        except ValueError as error:
            raise ValueError(f"move {row}: {error}") from None
    if not state.is_over:
        raise ValueError(f"the record ends after {count} tiles but the game is not over")
    return planes, to_move


def collect(games: Iterable[GameRecord]) -> Positions:
    """The positions of ``games``, with policy and value targets."""
    planes, policies, values, to_move, index = [], [], [], [], []
    for number, game in enumerate(games):
        game_planes, game_to_move = game_positions(game)
        planes.append(game_planes)
        to_move.append(game_to_move)
        policies.append(normalised(game.policies))
        values.append(slots_from_players(np.asarray(game.payoff, np.float32), game_to_move).astype(np.float32))
        index.append(np.full(len(game), number, np.int32))
    if not planes:
        return Positions(
            np.zeros((0, PLANES, CELLS), np.uint8), np.zeros((0, CELLS), np.float32),
            np.zeros((0, PLAYERS), np.float32), np.zeros(0, np.int8), np.zeros(0, np.int32),
        )
    return Positions(
        np.concatenate(planes), np.concatenate(policies), np.concatenate(values), np.concatenate(to_move),
        np.concatenate(index),
    )


def normalised(policies: np.ndarray) -> np.ndarray:
    """Rows scaled to sum 1 (the engine's shares already do, up to rounding); empty rows stay 0."""
    policies = np.asarray(policies, np.float32)
    sums = policies.sum(axis=1, keepdims=True)
    return np.divide(policies, sums, out=np.zeros_like(policies), where=sums > 0)
