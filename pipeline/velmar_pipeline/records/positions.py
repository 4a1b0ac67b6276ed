"""Training positions from game records, and the value-slot order the engine reads.

The engine reads the network's value output relative to the player to move p: slot k holds the
value of player (k - p) mod 4, so for p = 1 slot 0 is player 3's value and slot 1 player 0's.
(The position planes rotate the other way round: plane 1 is always p.) Every conversion between
values by player and values by slot goes through :func:`slots_from_players` and
:func:`players_from_slots`, so that the training targets and the engine cannot drift apart.

Training positions can be turned by quarter turns (:func:`rotate`): the start corners lie
clockwise in turn order, so a clockwise quarter turn of a position is a position of the same game
in which every player's stones belong to the next player. Training on random turns of every
position teaches the network that symmetry instead of making it find it in the data.

No torch here: the arena and the pictures use this module without it.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np

import velmar_rules
from velmar_rules import BOARD_WIDTH, CELLS, PLANES, PLAYERS, START_CORNERS
from velmar_pipeline.records.shards import GameRecord

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


# ROTATION_SOURCES[k][c]: the cell whose content lands on cell c when the board is turned k
# clockwise quarter turns (np.rot90 turns counter-clockwise for positive k).
ROTATION_SOURCES = np.stack([
    np.rot90(np.arange(CELLS).reshape(BOARD_WIDTH, BOARD_WIDTH), -turns).ravel() for turns in range(4)
])


def rotate(
    planes: np.ndarray, policies: np.ndarray, values: np.ndarray, to_move: np.ndarray, turns: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Row i of a batch turned ``turns[i]`` clockwise quarter turns: (planes, policies, values, to_move).

    A quarter turn moves each start corner to the next player's, so player q's stones become
    player q + 1's and the mover p becomes p + 1. The planes are relative to the mover, so only
    their cells move; the policy's cells move alike; the payoff by player follows the stones and
    is then put in slot order for the new mover.
    """
    turns = np.asarray(turns, np.int64) % 4
    sources = ROTATION_SOURCES[turns]
    planes = np.take_along_axis(planes, sources[:, None, :], axis=2)
    policies = np.take_along_axis(policies, sources, axis=1)
    turned_to_move = (np.asarray(to_move, np.int64) + turns) % PLAYERS
    by_player = players_from_slots(values, to_move)
    # New player q holds the stones, and so the payoff, of old player q - k.
    turned_by_player = np.take_along_axis(by_player, (np.arange(PLAYERS) - turns[:, None]) % PLAYERS, axis=1)
    values = slots_from_players(turned_by_player, turned_to_move).astype(np.float32, copy=False)
    return planes, policies, values, turned_to_move.astype(np.int8)


@dataclass
class Positions:
    """Training positions, most often every position of some games.

    planes    (N, 5, 400) uint8    the encoding (0/1, stored small; widen to float per batch)
    policies  (N, 400)    float32  the search's visit shares, normalised to sum 1; None: no policy
                                   target (positions of random games, fitted for their value only)
    values    (N, 4)      float32  the final payoff in slot order for the player to move
    to_move   (N,)        int8     the player to move
    game      (N,)        int32    index of the game each position comes from
    packed    True: planes are stored bit-packed along the cells (np.packbits, (N, 5, 50)) and
              unpacked per batch: an eighth of the memory for the hundreds of thousands of
              positions of random games
    """

    planes: np.ndarray
    policies: np.ndarray | None
    values: np.ndarray
    to_move: np.ndarray
    game: np.ndarray
    packed: bool = False

    def __len__(self) -> int:
        return len(self.planes)

    def subset(self, rows: np.ndarray) -> Positions:
        policies = None if self.policies is None else self.policies[rows]
        return Positions(self.planes[rows], policies, self.values[rows], self.to_move[rows], self.game[rows],
                         self.packed)

    def batch(self, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """(planes, policies, values, to_move) of ``rows``; rows without a policy target get zeros."""
        policies = (np.zeros((len(rows), CELLS), np.float32) if self.policies is None else self.policies[rows])
        planes = np.unpackbits(self.planes[rows], axis=-1, count=CELLS) if self.packed else self.planes[rows]
        return planes, policies, self.values[rows], self.to_move[rows]


class PositionSets:
    """Several :class:`Positions` read as one (numbered one after the other) without copying them:
    a set without policy targets can join one with them, and neither is duplicated in memory."""

    def __init__(self, parts: Sequence[Positions]):
        self.parts = [part for part in parts if len(part)]
        self.starts = np.cumsum([0] + [len(part) for part in self.parts])

    def __len__(self) -> int:
        return int(self.starts[-1])

    def batch(self, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        rows = np.asarray(rows, np.int64)
        part_of_row = np.searchsorted(self.starts, rows, side="right") - 1
        order = np.argsort(part_of_row, kind="stable")
        pieces = [part.batch(rows[order[part_of_row[order] == p]] - self.starts[p])
                  for p, part in enumerate(self.parts) if (part_of_row == p).any()]
        if len(pieces) == 1:
            return pieces[0]
        back = np.empty_like(order)
        back[order] = np.arange(len(order))
        return tuple(np.concatenate(arrays)[back] for arrays in zip(*pieces))


def game_positions(game: GameRecord) -> tuple[np.ndarray, np.ndarray]:
    """Replays one record: the planes (n, 5, 400) uint8 before each tile and the player to move.

    Raises ValueError naming the game (``game.where``) and the move when the record contradicts
    its own replay: a tile of the wrong player, an illegal tile, a game that does not end where the
    record does, a policy with weight on a cell that was not a legal tile, a tile played that has
    no share in its own policy, or a stored payoff other than the replayed game's. Every reader
    that replays records (``train``, ``stats``) goes through here, so all refuse the same records.
    """
    try:
        return _replayed(game)
    except ValueError as error:
        raise ValueError(f"{game.where}: {error}") from None


# Payoffs are stored as float32: a third, say, differs from the rules' double by about 1e-8.
PAYOFF_TOLERANCE = 1e-6


def _drawn_moves_may_lay_unvisited_tiles(metadata: dict) -> int:
    """How many first tiles of a record may have been laid with no share in their own policy.

    The engine draws tile k by visit share while k + 1 < sample_moves, adding up the children's
    float32 shares until they pass a uniform draw in [0, 1) and laying its last child (in shuffled
    order, visited or not) when the sum falls short. The shares are visits / sims_per_move; with
    a power of two of simulations every share and every partial sum is exact, so the sum is 1 and
    never falls short. Otherwise the first sample_moves - 1 tiles may (very rarely) be unvisited.
    Records without their search settings get no such allowance.
    """
    search = metadata.get("search") if isinstance(metadata, dict) else None
    if not isinstance(search, dict):
        return 0
    sims, sample_moves = search.get("sims_per_move"), search.get("sample_moves")
    if not isinstance(sims, int) or not isinstance(sample_moves, int) or sims < 1:
        return 0
    exact = sims & (sims - 1) == 0 and sims <= 2**24
    return 0 if exact else max(sample_moves - 1, 0)


def _replayed(game: GameRecord) -> tuple[np.ndarray, np.ndarray]:
    state = velmar_rules.Game()
    count = len(game)
    planes = np.empty((count, PLANES, CELLS), np.uint8)
    to_move = np.empty(count, np.int8)
    unvisited_allowed = _drawn_moves_may_lay_unvisited_tiles(game.metadata)
    for row, (player, cell) in enumerate(game.moves):
        current = state.current_player
        if current != player:
            raise ValueError(f"move {row}: the record has player {player} laying a tile, but {current} is to move")
        planes[row] = state.encode()
        to_move[row] = current
        off_board = np.flatnonzero((game.policies[row] != 0) & (planes[row, LEGAL_PLANE] == 0))
        if len(off_board):
            raise ValueError(f"move {row}: the policy puts weight on cell {int(off_board[0])}, not a legal tile there")
        try:
            state.apply(int(cell))
        except ValueError as error:
            raise ValueError(f"move {row}: {error}") from None
        if not game.policies[row, cell] > 0 and row >= unvisited_allowed:
            raise ValueError(f"move {row}: the tile played (cell {int(cell)}) has no share in the record's own policy")
    if not state.is_over:
        raise ValueError(f"the record ends after {count} tiles but the game is not over")
    replayed = np.asarray(state.payoff(), np.float64)
    stored = np.asarray(game.payoff, np.float64)
    if stored.shape != replayed.shape or not np.allclose(stored, replayed, rtol=0.0, atol=PAYOFF_TOLERANCE):
        raise ValueError(f"the stored payoff {np.asarray(game.payoff).tolist()} is not the replayed game's "
                         f"{replayed.tolist()} (after move {count - 1})")
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
