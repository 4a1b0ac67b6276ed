"""Policy targets from a one-tile value lookahead.

For a position with player p to move, the teacher network values every child (the position after
each legal tile); p's predicted payoff share in the child (in a finished child, p's payoff) is
that tile's worth, and the target is the softmax of worth / temperature over the legal tiles.

This search's visit shares make poor targets: with the value offset a child is visited again only
when its value clears the offset, so most searches try a handful of children once each in the
order of the root noise, and a policy fitted to that learns the noise. The lookahead asks the
value network directly which tile it prefers, for a cost of one evaluation per legal tile.

The children of a position come from ``velmar_rules.Game.encode_children`` in one call, so no
Python runs per child; the teacher runs through ONNX Runtime (``velmar_pipeline.evaluators.inference``) in
``workers`` processes, each labelling whole games. No torch here.

Targets are cached beside the games they label (:func:`cached_targets`), one file per shard,
keyed by the teacher's checksum and the temperature and tied to the shard's own checksum.
"""

from __future__ import annotations

import hashlib
import json
import multiprocessing
import os
import sys
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import CELLS, PLAYERS
from velmar_pipeline.evaluators import inference
from velmar_pipeline.errors import one_line
from velmar_pipeline.records.atomic import atomic_file
from velmar_pipeline.records.shards import SUM_TOLERANCE
from velmar_pipeline.selfplay.process import end_with_parent

TEMPERATURE = 0.03
# Children evaluated per call: ONNX Runtime's positions/s hardly grow past a few dozen, and a
# bigger batch only holds more memory.
BATCH = 256
CACHE_FORMAT = 1
# Fewer positions than this are labelled in the calling process: starting a process that loads
# the runtime takes about as long as labelling them.
SMALL_JOB = 4000


class Teacher:
    """The teacher network of one process: :meth:`targets` gives the lookahead targets of games."""

    def __init__(self, model: str, temperature: float = TEMPERATURE, threads: int = 1):
        if not temperature > 0:
            raise ValueError(f"the lookahead temperature must be > 0, got {temperature}")
        self.evaluate = inference.OnnxEvaluator(model, threads)
        self.temperature = temperature

    def targets(self, histories: Sequence[Sequence[int]], picks: Sequence[Sequence[int]] | None = None) -> np.ndarray:
        """(rows, 400) float32 targets for the positions before tiles ``picks[g]`` of game g (all of
        its tiles when ``picks`` is None), played as ``histories[g]`` (cells in order), row by row."""
        children = []  # per position: (tiles, planes, players, payoffs, mover)
        for number, cells in enumerate(histories):
            wanted = set(range(len(cells)) if picks is None else (int(i) for i in picks[number]))
            game = velmar_rules.Game()
            for index, cell in enumerate(cells):
                if index in wanted:
                    children.append((*game.encode_children(), game.current_player))
                game.apply(int(cell))
        # The unfinished children of every position, evaluated in batches across positions.
        open_planes = [planes[players >= 0] for _, planes, players, _, _ in children]
        flat = np.concatenate(open_planes) if open_planes else np.zeros((0, 5, CELLS), np.float32)
        values = np.empty((len(flat), PLAYERS), np.float32)
        for start in range(0, len(flat), BATCH):
            values[start:start + BATCH] = self.evaluate(flat[start:start + BATCH])[1]
        out = np.zeros((len(children), CELLS), np.float32)
        offset = 0
        for row, (tiles, _, players, payoffs, mover) in enumerate(children):
            worth = payoffs[:, mover].astype(np.float64)  # a finished child: the mover's payoff
            open_rows = np.flatnonzero(players >= 0)
            # Slot k of a child holds player (k - q) mod 4 for q to move there: the mover is slot (mover + q) mod 4.
            slots = (mover + players[open_rows].astype(np.int64)) % PLAYERS
            worth[open_rows] = values[offset + np.arange(len(open_rows)), slots]
            offset += len(open_rows)
            out[row, tiles] = softmax(worth / self.temperature)
        return out


def softmax(x: np.ndarray) -> np.ndarray:
    """Softmax with every share kept above 0: a record's policy must give each legal tile that was
    played some share, and a tiny temperature would otherwise round the worst ones to 0."""
    e = np.maximum(np.exp(x - x.max()), 1e-30)
    return (e / e.sum()).astype(np.float32)


def _label_task(task):
    model, temperature, histories, picks = task
    return Teacher(model, temperature).targets(histories, picks)


def targets(
    model: str, histories: Sequence[Sequence[int]], picks: Sequence[Sequence[int]] | None = None,
    temperature: float = TEMPERATURE, workers: int | None = None,
) -> np.ndarray:
    """:meth:`Teacher.targets` with the games split across ``workers`` processes (default: the cores)."""
    workers = max(1, min(workers or os.cpu_count() or 1, len(histories)))
    positions = sum(len(h) for h in histories) if picks is None else sum(len(p) for p in picks)
    if workers == 1 or positions < SMALL_JOB:
        return Teacher(model, temperature).targets(histories, picks)
    chunks = np.array_split(np.arange(len(histories)), workers * 2)
    tasks = [(model, temperature, [histories[i] for i in chunk], None if picks is None else [picks[i] for i in chunk])
             for chunk in chunks if len(chunk)]
    with labelling_pool(workers) as pool:
        parts = list(pool.map(_label_task, tasks))
    return np.concatenate(parts) if parts else np.zeros((0, CELLS), np.float32)


def labelling_pool(workers: int) -> ProcessPoolExecutor:
    """Processes that end with the caller, however it ends; spawned, not forked: the caller may
    hold torch's threads, which do not survive a fork. The resource tracker they share ends when
    the last of them has."""
    return ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"),
                               initializer=end_with_parent, initargs=(os.getpid(),))


def cache_path(shard: Path, teacher_sha256: str, temperature: float) -> Path:
    return shard.with_name(f"{shard.stem}.lookahead-{teacher_sha256[:12]}-t{temperature:g}.npz")


def cached_targets(shard: Path, histories: Sequence[Sequence[int]], model: str, temperature: float = TEMPERATURE,
                   workers: int | None = None, log=None) -> np.ndarray:
    """The targets of every position of a shard's games (``histories``, in the shard's order),
    read from the cache beside the shard or computed and cached (atomically). A cache that is
    unreadable, made for other games or holds rows that are no distribution over the legal tiles
    is computed anew, with one line to ``log`` saying why."""
    sha256 = inference.file_sha256(model)
    shard_sha256 = inference.file_sha256(shard)
    path = cache_path(Path(shard), sha256, temperature)
    if path.is_file():
        found, problem = _read_cache(path, histories, shard_sha256)
        if problem is None:
            return found
        (log or _stderr)(f"lookahead: {path}: {problem}; computing it anew")
    found = targets(model, histories, None, temperature, workers)
    meta = {"format": CACHE_FORMAT, "teacher_sha256": sha256, "temperature": temperature, "games": len(histories),
            "shard_sha256": shard_sha256, "targets_sha256": _sha256_of(found)}
    try:
        with atomic_file(path) as file:
            np.savez_compressed(file, targets=found, metadata=np.array(json.dumps(meta)))
    except OSError:
        pass  # a read-only folder: the targets are used uncached
    return found


def _sha256_of(array: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(array).tobytes()).hexdigest()


def _stderr(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def _read_cache(path: Path, histories: Sequence[Sequence[int]], shard_sha256: str) -> tuple[np.ndarray | None, str | None]:
    """(the cached targets, None), or (None, why they cannot be used)."""
    try:
        with np.load(path, allow_pickle=False) as stored:
            meta = json.loads(str(stored["metadata"]))
            found = stored["targets"]
    except Exception as error:  # a truncated or damaged archive fails in many ways (BadZipFile, EOFError, ...)
        return None, f"unreadable ({one_line(error)})"
    if not isinstance(meta, dict) or meta.get("format") != CACHE_FORMAT:
        return None, "another cache format"
    if meta.get("shard_sha256") != shard_sha256:
        return None, "made for other contents of the shard"
    expected = sum(len(h) for h in histories)
    if found.dtype != np.float32 or found.shape != (expected, CELLS):
        return None, f"targets of shape {found.shape}, not ({expected}, {CELLS})"
    if meta.get("targets_sha256") != _sha256_of(found):
        return None, "targets changed since they were computed"
    row = first_row_off_the_legal_tiles(found, histories)
    if row is not None:
        return None, f"row {row} is no distribution over the position's legal tiles"
    return found, None


def first_row_off_the_legal_tiles(rows: np.ndarray, histories: Sequence[Sequence[int]]) -> int | None:
    """The first row that is not a distribution (finite, >= 0, summing to 1) over the legal tiles of
    its position, the positions being those before each tile of the games ``histories``; or None."""
    legal = np.zeros(rows.shape, bool)
    row = 0
    for cells in histories:
        game = velmar_rules.Game()
        for cell in cells:
            legal[row, game.legal_tiles()] = True
            game.apply(int(cell))
            row += 1
    good = np.isfinite(rows).all(axis=1) & ((rows >= 0) | ~legal).all(axis=1) & ((rows == 0) | legal).all(axis=1)
    good &= np.abs(rows.sum(axis=1, dtype=np.float64) - 1.0) <= SUM_TOLERANCE
    bad = np.flatnonzero(~good)
    return int(bad[0]) if len(bad) else None


def relabelled(shards: Sequence[tuple[Path, list]], model: str, temperature: float = TEMPERATURE,
               workers: int | None = None, log=None) -> list:
    """The games of each (shard path, its games) with their policies replaced by lookahead targets."""
    import dataclasses

    out = []
    for shard, games in shards:
        histories = [game.moves[:, 1].tolist() for game in games]
        found = cached_targets(shard, histories, model, temperature, workers, log)
        starts = np.cumsum([0] + [len(game) for game in games])
        out += [dataclasses.replace(game, policies=found[start:start + len(game)])
                for game, start in zip(games, starts)]
    return out
