"""Policy targets from a one-tile value lookahead.

For a position with player p to move, a value teacher values every child (the position after
each legal tile): p's predicted payoff share in the child (in a finished child, p's payoff) is
that tile's worth. Two forms of target, over the legal tiles:

- ``improved``: softmax(prior logits + (worth - mean worth) / temperature), the prior teacher's
  priors improved by the lookahead. Where the values are nearly flat (most of a game's first two
  thirds) the target stays the priors, which carry what the values cannot tell yet (taking
  opponents' corners, opening one's own, reaching the centre); where they differ, the lookahead
  moves the weight. Measured with the heuristic as both teachers: its priors plus the lookahead
  beat the heuristic by 0.289 per seat, the lookahead alone 0.270.
- ``lookahead``: softmax(worth / temperature), the lookahead alone.

This search's visit shares make poor targets: with the value offset a child is visited again only
when its value clears the offset, so most searches try a handful of children once each in the
order of the root noise, and a policy fitted to that learns the noise.

A teacher is any evaluator name (``heuristic``, a checkpoint, ``net:model.onnx``,
``module:attribute``); a checkpoint is served through its ONNX twin, so no torch runs here. The
children of a position come from ``velmar_rules.Game.encode_children`` in one call and are
evaluated in batches across positions, streamed so that memory stays bounded; ``workers``
processes label whole games. Only a ``share`` of each game's positions is labelled (a child
lookahead costs one evaluation per legal tile); the others get no policy target.

Targets are cached beside the games they label (:func:`cached_targets`), one file per shard,
keyed by the teachers' checksums, the form, the temperature and the share, and tied to the shard's
own checksum and to a checksum of the targets; a cache that fails any check is computed anew.
"""

from __future__ import annotations

import dataclasses
import hashlib
import logging
import multiprocessing
import os
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import CELLS, PLAYERS
from velmar_pipeline.evaluators import inference
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.errors import one_line
from velmar_pipeline.records.shards import SUM_TOLERANCE, read_archive, write_archive
from velmar_pipeline.selfplay.process import end_with_parent

logger = logging.getLogger(__name__)

TEMPERATURE = 0.03
FORMS = ("improved", "lookahead")
# Children evaluated per call: ONNX Runtime's positions/s hardly grow past a few dozen, and a
# bigger batch only holds more memory.
BATCH = 256
CACHE_FORMAT = 2
# Fewer positions than this are labelled in the calling process: starting a process that loads
# the runtime takes about as long as labelling them.
SMALL_JOB = 4000


@dataclass(frozen=True)
class Recipe:
    """How targets are made: the prior teacher (None for the lookahead alone), the value teacher,
    the form, the temperature and the share of positions labelled. Teachers are evaluator names as
    the labelling processes make them (:func:`served_teacher`)."""

    values: str
    priors: str | None = None
    form: str = "improved"
    temperature: float = TEMPERATURE
    share: float = 1.0

    def __post_init__(self) -> None:
        if self.form not in FORMS:
            raise ValueError(f"the lookahead form must be one of {', '.join(FORMS)}, got {self.form!r}")
        if not (np.isfinite(self.temperature) and self.temperature > 0):
            raise ValueError(f"the lookahead temperature must be > 0, got {self.temperature}")
        if not 0 < self.share <= 1:
            raise ValueError(f"the share of positions labelled must be in (0, 1], got {self.share}")
        if self.form == "improved" and self.priors is None:
            raise ValueError("improved targets need a prior teacher")

    def key(self) -> str:
        """A short digest of everything the targets depend on, teachers' files by their content."""
        parts = [self.form, f"{self.temperature:g}", f"{self.share:g}", _identity(self.values),
                 _identity(self.priors) if self.form == "improved" else ""]
        return hashlib.sha256("|".join(parts).encode()).hexdigest()[:12]


def _identity(name: str | None) -> str:
    if name is None:
        return ""
    path = name[4:] if name.startswith("net:") else name
    return inference.file_sha256(path) if Path(path).is_file() else name


def served_teacher(name: str) -> str:
    """The evaluator name a labelling process makes for teacher ``name``: a checkpoint (or
    ``net:CHECKPOINT``) becomes its ONNX twin's path; ValueError in one line for a name no
    evaluator answers to."""
    path = name[4:] if name.startswith("net:") else name
    if Path(path).is_file():
        from velmar_pipeline.evaluators import serving

        return serving.served_model(path, "onnx")
    evaluators.resolve(name)
    return name


def make_teacher(name: str):
    """The evaluator of a served teacher name (an ONNX file runs on one intra-op thread)."""
    path = name[4:] if name.startswith("net:") else name
    if inference.is_onnx(path) and Path(path).is_file():
        return inference.OnnxEvaluator(path, 1)
    return evaluators.make(name)


def labelled_rows(length: int, game_number: int, share: float) -> np.ndarray:
    """The positions of a game of ``length`` tiles that get a target: every k-th, k = 1 / share,
    starting at an offset that turns with the game's number so every phase is covered."""
    stride = max(1, int(round(1 / share)))
    return np.arange((game_number % stride), length, stride) if stride > 1 else np.arange(length)


class Teacher:
    """The teachers of one process: :meth:`targets` gives the targets of games."""

    def __init__(self, recipe: Recipe):
        self.recipe = recipe
        self.values = make_teacher(recipe.values)
        self.priors = None
        if recipe.form == "improved":
            self.priors = self.values if recipe.priors == recipe.values else make_teacher(recipe.priors)

    def targets(self, histories: Sequence[Sequence[int]], first_game: int = 0) -> np.ndarray:
        """(positions, 400) float32 targets of every position of games ``histories`` (cells in
        order), game after game; rows that are not labelled are all zero."""
        lengths = [len(cells) for cells in histories]
        out = np.zeros((sum(lengths), CELLS), np.float32)
        pending: list[tuple[int, tuple]] = []  # (row of out, the position's children and more)
        waiting = 0
        row = 0
        for number, cells in enumerate(histories):
            wanted = set(labelled_rows(len(cells), first_game + number, self.recipe.share).tolist())
            game = velmar_rules.Game()
            for index, cell in enumerate(cells):
                if index in wanted:
                    children = game.encode_children()
                    pending.append((row + index, (*children, game.current_player, game.encode())))
                    waiting += int((children[2] >= 0).sum())
                    if waiting >= BATCH:
                        self._label(pending, out)
                        pending, waiting = [], 0
                game.apply(int(cell))
            row += len(cells)
        self._label(pending, out)
        return out

    def _label(self, pending: list, out: np.ndarray) -> None:
        if not pending:
            return
        open_planes = [planes[players >= 0] for _, (_, planes, players, _, _, _) in pending]
        flat = np.concatenate(open_planes)
        values = self.values(flat)[1] if len(flat) else np.zeros((0, PLAYERS), np.float32)
        values = np.asarray(values, np.float64)
        logits = None
        if self.priors is not None:
            logits = np.asarray(self.priors(np.stack([p[1][5] for p in pending]))[0], np.float64)
        offset = 0
        for number, (row, (tiles, _, players, payoffs, mover, _)) in enumerate(pending):
            worth = payoffs[:, mover].astype(np.float64)  # a finished child: the mover's payoff
            open_rows = np.flatnonzero(players >= 0)
            # Slot k of a child holds player (k - q) mod 4 for q to move there: the mover is slot (mover + q) mod 4.
            slots = (mover + players[open_rows].astype(np.int64)) % PLAYERS
            worth[open_rows] = values[offset + np.arange(len(open_rows)), slots]
            offset += len(open_rows)
            out[row, tiles] = target(worth, None if logits is None else logits[number, tiles], self.recipe.temperature)


def target(worth: np.ndarray, prior_logits: np.ndarray | None, temperature: float) -> np.ndarray:
    """The target over a position's legal tiles: the lookahead alone (``prior_logits`` None), or
    the priors moved by the children's worth relative to their mean."""
    if prior_logits is None:
        return softmax(worth / temperature)
    return softmax(prior_logits + (worth - worth.mean()) / temperature)


def softmax(x: np.ndarray) -> np.ndarray:
    """Softmax with every share kept above 0: a record's policy must give each legal tile that was
    played some share, and a tiny temperature would otherwise round the worst ones to 0."""
    e = np.maximum(np.exp(x - x.max()), 1e-30)
    return (e / e.sum()).astype(np.float32)


def _label_task(task):
    recipe, histories, first_game = task
    return Teacher(recipe).targets(histories, first_game)


def targets(recipe: Recipe, histories: Sequence[Sequence[int]], workers: int | None = None) -> np.ndarray:
    """:meth:`Teacher.targets` with the games split across ``workers`` processes (default: the cores)."""
    workers = max(1, min(workers or os.cpu_count() or 1, len(histories)))
    positions = sum(len(h) for h in histories) * recipe.share
    if workers == 1 or positions < SMALL_JOB:
        return Teacher(recipe).targets(histories)
    chunks = [chunk for chunk in np.array_split(np.arange(len(histories)), workers * 2) if len(chunk)]
    tasks = [(recipe, [histories[i] for i in chunk], int(chunk[0])) for chunk in chunks]
    with labelling_pool(workers) as pool:
        parts = list(pool.map(_label_task, tasks))
    return np.concatenate(parts) if parts else np.zeros((0, CELLS), np.float32)


def labelling_pool(workers: int) -> ProcessPoolExecutor:
    """Processes that end with the caller, however it ends; spawned, not forked: the caller may
    hold torch's threads, which do not survive a fork. The resource tracker they share ends when
    the last of them has."""
    return ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"),
                               initializer=end_with_parent, initargs=(os.getpid(),))


def cache_path(shard: Path, recipe: Recipe) -> Path:
    return shard.with_name(f"{shard.stem}.lookahead-{recipe.key()}.npz")


def cached_targets(shard: Path, histories: Sequence[Sequence[int]], recipe: Recipe,
                   workers: int | None = None, log=None) -> np.ndarray:
    """The targets of every position of a shard's games (``histories``, in the shard's order),
    read from the cache beside the shard or computed and cached (atomically). A cache that is
    unreadable, made for other games or holds rows that are no target over the legal tiles is
    computed anew, with one line to ``log`` saying why."""
    shard_sha256 = inference.file_sha256(shard)
    path = cache_path(Path(shard), recipe)
    if path.is_file():
        found, problem = _read_cache(path, histories, shard_sha256, recipe.share)
        if problem is None:
            return found
        (log or logger.info)(f"lookahead: {path}: {problem}; computing it anew")
    found = targets(recipe, histories, workers)
    meta = {"format": CACHE_FORMAT, **dataclasses.asdict(recipe), "games": len(histories),
            "shard_sha256": shard_sha256, "targets_sha256": _sha256_of(found)}
    try:
        write_archive(path, {"targets": found}, meta)
    except OSError:
        pass  # a read-only folder: the targets are used uncached
    return found


def _sha256_of(array: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(array).tobytes()).hexdigest()


def _read_cache(path: Path, histories: Sequence[Sequence[int]], shard_sha256: str,
                share: float) -> tuple[np.ndarray | None, str | None]:
    """(the cached targets, None), or (None, why they cannot be used)."""
    try:
        stored = read_archive(path)
        meta, found = stored["metadata"], stored["targets"]
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
    row = first_row_off_the_legal_tiles(found, histories, share)
    if row is not None:
        return None, f"row {row} is no distribution over the position's legal tiles"
    return found, None


def first_row_off_the_legal_tiles(rows: np.ndarray, histories: Sequence[Sequence[int]],
                                  share: float = 1.0) -> int | None:
    """The first row that is not what it should be, or None: a labelled position's row (see
    :func:`labelled_rows`) a distribution (finite, >= 0, summing to 1) over the legal tiles of its
    position, the positions being those before each tile of the games ``histories``; any other
    row all zeros."""
    legal = np.zeros(rows.shape, bool)
    labelled = np.zeros(len(rows), bool)
    row = 0
    for number, cells in enumerate(histories):
        labelled[row + labelled_rows(len(cells), number, share)] = True
        game = velmar_rules.Game()
        for cell in cells:
            legal[row, game.legal_tiles()] = True
            game.apply(int(cell))
            row += 1
    good = np.isfinite(rows).all(axis=1) & ((rows >= 0) | ~legal).all(axis=1) & ((rows == 0) | legal).all(axis=1)
    good &= np.abs(rows.sum(axis=1, dtype=np.float64) - 1.0) <= SUM_TOLERANCE
    good = np.where(labelled, good, ~rows.any(axis=1))
    bad = np.flatnonzero(~good)
    return int(bad[0]) if len(bad) else None


def shard_targets(shards: Sequence[tuple[Path, list]], recipe: Recipe, workers: int | None = None,
                  log=None) -> list:
    """For each (shard path, its games): one (tiles, 400) array of targets per game, in order."""
    out = []
    for shard, games in shards:
        histories = [game.moves[:, 1].tolist() for game in games]
        found = cached_targets(shard, histories, recipe, workers, log)
        starts = np.cumsum([0] + [len(game) for game in games])
        out += [found[start:start + len(game)] for game, start in zip(games, starts)]
    return out
