"""Positions of uniform-random games: a first value network without any search.

Searches with the ``uniform`` evaluator see only finished games, so generation 0's self-play
records carry little signal. The outcomes of many random games do: a small value network fitted
to them already steers a search. ``loop --bootstrap-games N`` trains generation 0 this way.

Games are played straight with ``velmar_rules`` (the legal tiles, a uniform choice, ``apply``),
spread over worker processes in chunks, each chunk with its own seed spawned from one
``numpy.random.SeedSequence``: the positions depend on the seed and the chunk size, not on the
number of workers. From every game ``positions_per_game`` positions are drawn uniformly (without
replacement) with the final payoff in slot order as value target and no policy target.

Planes are built from the history rather than by replaying the game and calling ``encode``
(which would double the cost): the owners of the laid tiles, put in planes relative to the mover,
and the legal tiles that the game handed out anyway. Each chunk compares its first game's planes
with ``encode`` of a replay, so a change of the encoding fails loudly instead of training on
wrong inputs.
"""

from __future__ import annotations

import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import CELLS, PLANES, PLAYERS
from velmar_pipeline.records.shards import read_archive, write_archive
from velmar_pipeline.records.positions import LEGAL_PLANE, Positions, slots_from_players
from velmar_pipeline.selfplay.process import end_with_parent

FILE_NAME = "bootstrap.npz"
FORMAT_VERSION = 1
CHUNK_GAMES = 200  # big enough to hide the cost of a task, small enough to spread over the workers
PACKED_CELLS = (CELLS + 7) // 8
MAX_TILES = CELLS  # a game cannot lay more tiles than there are cells


def _planes_from_history(
    cells: np.ndarray, movers: np.ndarray, legal: list[list[int]], picks: np.ndarray,
) -> np.ndarray:
    """The (len(picks), 5, 400) uint8 planes before tiles ``picks`` (ascending) of one game.

    An occupied cell of owner o is in plane (o + 1 - p) mod 4 for p to move; the last plane holds
    the legal tiles.
    """
    planes = np.zeros((len(picks), PLANES, CELLS), np.uint8)
    owners = np.full(CELLS, -1, np.int64)
    laid = 0
    for row, tile in enumerate(picks):
        owners[cells[laid:tile]] = movers[laid:tile]
        laid = tile
        occupied = np.flatnonzero(owners >= 0)
        planes[row, (owners[occupied] + 1 - movers[tile]) % PLAYERS, occupied] = 1
        planes[row, LEGAL_PLANE, legal[tile]] = 1
    return planes


def play_chunk(games: int, positions_per_game: int, seed) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """``games`` random games in this process: (packed planes, values, to_move, game) of the
    drawn positions, ``game`` numbering the games of the chunk from 0."""
    rng = np.random.default_rng(seed)
    planes, values, to_move, game_index = [], [], [], []
    for game in range(games):
        state = velmar_rules.Game()
        cells, movers, legal = [], [], []
        # Drawn in bulk (as Python floats): a generator call per tile would cost as much as the rules.
        uniforms = iter(rng.random(MAX_TILES).tolist())
        legal_tiles, apply = state.legal_tiles, state.apply
        while not state.is_over:
            tiles = legal_tiles()
            tile = tiles[int(next(uniforms) * len(tiles))]
            movers.append(state.current_player)
            cells.append(tile)
            legal.append(tiles)
            apply(tile)
        picks = np.sort(rng.choice(len(cells), size=min(positions_per_game, len(cells)), replace=False))
        cell_array, mover_array = np.asarray(cells, np.int64), np.asarray(movers, np.int64)
        game_planes = _planes_from_history(cell_array, mover_array, legal, picks)
        if game == 0:
            _check_encoding(cells, picks, game_planes)
        planes.append(np.packbits(game_planes, axis=-1))
        values.append(slots_from_players(np.asarray(state.payoff(), np.float32), mover_array[picks]))
        to_move.append(mover_array[picks].astype(np.int8))
        game_index.append(np.full(len(picks), game, np.int32))
    return np.concatenate(planes), np.concatenate(values), np.concatenate(to_move), np.concatenate(game_index)


def _check_encoding(cells: list[int], picks: np.ndarray, planes: np.ndarray) -> None:
    state = velmar_rules.Game()
    wanted = set(int(p) for p in picks)
    row = 0
    for index, tile in enumerate(cells):
        if index in wanted:
            if not np.array_equal(state.encode(), planes[row]):
                raise RuntimeError("planes built from a random game's history differ from velmar_rules' "
                                   "encode(): the encoding has changed and bootstrap.py must follow it")
            row += 1
        state.apply(tile)


def _chunk_task(task):
    return play_chunk(*task)


def random_positions(
    games: int,
    positions_per_game: int = 10,
    seed: int | None = 0,
    workers: int | None = None,
    progress=None,
) -> Positions:
    """Positions of ``games`` uniform-random games, ``positions_per_game`` from each (values only).

    ``workers`` processes (default: the cores; 1 plays in this process). ``progress(games_done)``
    is called as chunks finish.
    """
    if games < 1 or positions_per_game < 1:
        raise ValueError(f"need games >= 1 and positions per game >= 1, got {games} and {positions_per_game}")
    workers = workers or os.cpu_count() or 1
    sizes = [min(CHUNK_GAMES, games - start) for start in range(0, games, CHUNK_GAMES)]
    seeds = np.random.SeedSequence(seed).spawn(len(sizes))
    tasks = [(size, positions_per_game, chunk_seed) for size, chunk_seed in zip(sizes, seeds)]
    if workers == 1:
        results = []
        for task in tasks:
            results.append(_chunk_task(task))
            if progress is not None:
                progress(task[0])
    else:
        # Spawned, not forked: the caller may hold torch's threads, which do not survive a fork;
        # each ends with the caller, however it ends.
        with ProcessPoolExecutor(min(workers, len(tasks)), mp_context=multiprocessing.get_context("spawn"),
                                 initializer=end_with_parent, initargs=(os.getpid(),)) as pool:
            results = []
            for task, result in zip(tasks, pool.map(_chunk_task, tasks)):
                results.append(result)
                if progress is not None:
                    progress(task[0])
    offsets = np.cumsum([0] + sizes[:-1])
    return Positions(
        np.concatenate([r[0] for r in results]),
        None,
        np.concatenate([r[1] for r in results]),
        np.concatenate([r[2] for r in results]),
        np.concatenate([r[3] + offset for r, offset in zip(results, offsets)]).astype(np.int32),
        packed=True,
    )


def save(path: str | os.PathLike, data: Positions, metadata: dict | None = None) -> Path:
    """Writes bit-packed positions without policy targets atomically: a file is whole or absent."""
    if not data.packed or data.policies is not None:
        raise ValueError("save takes packed positions without policy targets (as random_positions makes)")
    path = Path(path)
    meta = {"format": FORMAT_VERSION, "positions": len(data), "created": time.time(), **(metadata or {})}
    write_archive(path, {"planes": data.planes, "values": data.values, "to_move": data.to_move, "game": data.game},
                  meta)
    return path


def load(path: str | os.PathLike) -> tuple[Positions, dict]:
    stored = read_archive(path)
    data = Positions(stored["planes"], None, stored["values"], stored["to_move"], stored["game"], packed=True)
    metadata = stored["metadata"]
    if metadata.get("format") != FORMAT_VERSION or data.planes.shape[1:] != (PLANES, PACKED_CELLS):
        raise ValueError(f"{path}: not bootstrap positions of format {FORMAT_VERSION}")
    return data, metadata
