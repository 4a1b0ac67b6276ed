"""Self-play records: games collected into compressed ``.npz`` shards, and reading them back.

A shard ``shard-NNNNN.npz`` holds G games with N tiles in all:

    moves     (N, 2)   int32    (player, cell) of every tile, game after game
    policies  (N, 400) float32  search policy of every tile: visit share of each cell (0 elsewhere)
    payoffs   (G, 4)   float32  final payoff of each game, by player
    offsets   (G + 1,) int64    game g is rows offsets[g]:offsets[g + 1] of moves and policies
    metadata  ()       str      JSON: format version, search settings, evaluator, creation time

Shards are written under a temporary name in the same folder and then linked under the first
free shard number, so a folder only ever holds complete shards and runs writing into the same
folder at once never take each other's numbers.
"""

from __future__ import annotations

import itertools
import json
import os
import re
import stat
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from velmar_rules import CELLS, PLAYERS
from velmar_pipeline.records.atomic import atomic_file, claim_first_free
from velmar_pipeline.errors import one_line

FORMAT_VERSION = 1
SHARD_PATTERN = re.compile(r"^shard-(\d{5,})\.npz$")


@dataclass
class GameRecord:
    """One game: tiles as (player, cell) rows, dense policy targets and the final payoff."""

    moves: np.ndarray  # (n, 2) int32
    policies: np.ndarray  # (n, 400) float32
    payoff: np.ndarray  # (4,) float32
    metadata: dict = field(default_factory=dict)
    where: str = "game"  # for messages: the shard and the game's number in it

    def __len__(self) -> int:
        return len(self.moves)

    def history(self) -> list[tuple[int, int]]:
        return [(int(player), int(cell)) for player, cell in self.moves]


def dense_policies(policies: Sequence[Sequence[tuple[int, float]]]) -> np.ndarray:
    """(n, 400) float32 from the engine's sparse (cell, share) lists."""
    dense = np.zeros((len(policies), CELLS), np.float32)
    for row, entries in enumerate(policies):
        if entries:
            cells, shares = zip(*entries)
            dense[row, list(cells)] = shares
    return dense


def from_engine(moves, policies, payoff) -> GameRecord:
    """A GameRecord from what ``generate_game_data`` returns."""
    move_array = np.asarray(moves, dtype=np.int32).reshape(-1, 2)
    if len(policies) != len(move_array):
        raise ValueError(f"{len(move_array)} moves but {len(policies)} policy records")
    payoff_array = np.asarray(payoff, dtype=np.float32)
    if payoff_array.shape != (PLAYERS,):
        raise ValueError(f"payoff must hold {PLAYERS} numbers, got shape {payoff_array.shape}")
    return GameRecord(move_array, dense_policies(policies), payoff_array)


def shard_paths(folder: str | os.PathLike) -> list[Path]:
    """The shards in ``folder``, in number order."""
    folder = Path(folder)
    if not folder.is_dir():
        return []
    found = [(int(m.group(1)), p) for p in folder.iterdir() if (m := SHARD_PATTERN.match(p.name))]
    return [path for _, path in sorted(found)]


def next_shard_number(folder: str | os.PathLike) -> int:
    paths = shard_paths(folder)
    return int(SHARD_PATTERN.match(paths[-1].name).group(1)) + 1 if paths else 0


def shard_name(number: int) -> str:
    return f"shard-{number:05d}.npz"


def write_shard(
    path: str | os.PathLike, games: Sequence[GameRecord], metadata: dict | None = None, exclusive: bool = False
) -> Path:
    """Writes ``games`` to ``path`` atomically (temporary file in the same folder, then rename).

    ``exclusive``: never replace a shard; take the first free number from ``path``'s on and
    return the path written.
    """
    path = Path(path)
    written = [path]
    publish = None
    if exclusive:
        first = int(SHARD_PATTERN.match(path.name).group(1))

        def publish(temporary: str) -> None:
            candidates = (path.parent / shard_name(n) for n in itertools.count(first))
            written[0] = claim_first_free(temporary, candidates)

    lengths = [len(game) for game in games]
    offsets = np.zeros(len(games) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    moves = np.concatenate([g.moves for g in games]) if games else np.zeros((0, 2), np.int32)
    policies = np.concatenate([g.policies for g in games]) if games else np.zeros((0, CELLS), np.float32)
    payoffs = np.stack([g.payoff for g in games]) if games else np.zeros((0, PLAYERS), np.float32)
    meta = {"format": FORMAT_VERSION, "games": len(games), "created": time.time(), **(metadata or {})}
    write_archive(path, {"moves": moves.astype(np.int32, copy=False),
                         "policies": policies.astype(np.float32, copy=False),
                         "payoffs": payoffs.astype(np.float32, copy=False), "offsets": offsets}, meta, publish)
    return written[0]


def write_archive(path: str | os.PathLike, arrays: dict[str, np.ndarray], metadata: dict,
                  publish: Callable[[str], None] | None = None) -> None:
    """Arrays and their JSON metadata as one compressed .npz, written whole or not at all (shards,
    the loop's random-game positions, the lookahead's cached targets)."""
    with atomic_file(path, publish) as file:
        np.savez_compressed(file, **arrays, metadata=np.array(json.dumps(metadata)))


def read_archive(path: str | os.PathLike) -> dict:
    """Every array of an archive by name, its ``metadata`` decoded from JSON; a damaged archive
    fails in whatever way numpy or zipfile fails."""
    with np.load(path, allow_pickle=False) as stored:
        found = {key: stored[key] for key in stored.files}
    if "metadata" in found:
        found["metadata"] = json.loads(str(found["metadata"]))
    return found


class RecordError(ValueError):
    """A shard or a game in it that is not a valid record; the message names the file (and game)."""


KEYS = ("moves", "policies", "payoffs", "offsets", "metadata")
# Float32 sums of a few hundred shares, and payoffs of up to four leaders sharing 1.
SUM_TOLERANCE = 1e-3


def read_shard(path: str | os.PathLike) -> list[GameRecord]:
    """The games of one shard, each carrying the shard's metadata and its place (``game.where``).

    The layout is checked (keys, shapes, types, offsets, finite values, policy rows and payoffs
    that are distributions, cells and players in range); RecordError names the file and the game.
    """
    path = Path(path)
    check_shard_file(path)
    try:
        data = read_archive(path)
        missing = [key for key in KEYS if key not in data]
        if missing:
            raise RecordError(f"{path}: not a shard (missing {', '.join(missing)})")
        moves, policies, payoffs, offsets, metadata = (data[key] for key in KEYS)
    except RecordError:
        raise
    except Exception as error:  # a truncated, empty or damaged file fails in many ways
        raise RecordError(f"{path}: not a readable shard ({one_line(error)})") from None
    _check_layout(path, moves, policies, payoffs, offsets, metadata)
    return [
        GameRecord(moves[a:b], policies[a:b], payoffs[g], metadata, where=f"{path} game {g}")
        for g, (a, b) in enumerate(zip(offsets[:-1], offsets[1:]))
    ]


ARCHIVE_MAGIC = b"PK"


def check_shard_file(path: Path) -> None:
    """RecordError unless ``path`` is a regular file that starts as an .npz archive: a FIFO or a
    device would block the reader, and numpy takes other files for pickles."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise RecordError(f"{path}: not a readable shard ({error.strerror or one_line(error)})") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise RecordError(f"{path}: not a shard file (not a regular file)")
        if os.read(fd, len(ARCHIVE_MAGIC)) != ARCHIVE_MAGIC:
            raise RecordError(f"{path}: not a readable shard (not an .npz archive)")
    finally:
        os.close(fd)


def _check_layout(path, moves, policies, payoffs, offsets, metadata) -> None:
    def fail(text: str) -> None:
        raise RecordError(f"{path}: {text}")

    for name, array, dtype, shape in (
        ("moves", moves, np.int32, (-1, 2)), ("policies", policies, np.float32, (-1, CELLS)),
        ("payoffs", payoffs, np.float32, (-1, PLAYERS)), ("offsets", offsets, np.int64, (-1,)),
    ):
        if array.dtype != dtype or array.ndim != len(shape) or any(w not in (-1, h) for w, h in
                                                                   zip(shape, array.shape)):
            fail(f"{name} must be {np.dtype(dtype).name} of shape {shape}, got {array.dtype.name} {array.shape}")
    if not isinstance(metadata, dict) or not isinstance(metadata.get("format"), int):
        fail("metadata without a format version")
    if metadata["format"] > FORMAT_VERSION:
        fail(f"format {metadata['format']} is newer than this reader's {FORMAT_VERSION}")
    if len(offsets) != len(payoffs) + 1 or offsets[0] != 0 or offsets[-1] != len(moves) or len(policies) != len(moves):
        fail("inconsistent shard (offsets, moves and policies disagree)")
    steps = np.diff(offsets)
    if (steps < 0).any():
        fail(f"game {int(np.argmax(steps < 0))}: offsets go backwards")

    def game_of(row: int) -> int:
        return int(np.searchsorted(offsets, row, side="right") - 1)

    bad = np.flatnonzero((moves[:, 0] < 0) | (moves[:, 0] >= PLAYERS) | (moves[:, 1] < 0) | (moves[:, 1] >= CELLS))
    if len(bad):
        row = int(bad[0])
        move = row - offsets[game_of(row)]
        fail(f"game {game_of(row)} move {move}: (player, cell) {moves[row].tolist()} out of range")
    shares_ok = np.isfinite(policies).all(axis=1) & (policies >= 0).all(axis=1)
    shares_ok &= np.abs(policies.sum(axis=1, dtype=np.float64) - 1.0) <= SUM_TOLERANCE
    if not shares_ok.all():
        row = int(np.flatnonzero(~shares_ok)[0])
        fail(f"game {game_of(row)} move {row - offsets[game_of(row)]}: the policy is not a distribution"
             " (shares must be finite, >= 0 and sum to 1)")
    payoff_ok = np.isfinite(payoffs).all(axis=1) & (payoffs >= 0).all(axis=1)
    payoff_ok &= np.abs(payoffs.sum(axis=1, dtype=np.float64) - 1.0) <= SUM_TOLERANCE
    if not payoff_ok.all():
        game = int(np.flatnonzero(~payoff_ok)[0])
        fail(f"game {game}: payoff {payoffs[game].tolist()} is not a payoff (finite, >= 0, summing to 1)")


def iter_games(paths: str | os.PathLike | Iterable[str | os.PathLike]) -> Iterator[GameRecord]:
    """Every game of a folder of shards, of one shard file, or of a list of shard files."""
    if isinstance(paths, (str, os.PathLike)):
        paths = shard_paths(paths) if Path(paths).is_dir() else [Path(paths)]
    for path in paths:
        yield from read_shard(path)


def load_games(paths) -> list[GameRecord]:
    return list(iter_games(paths))


def check_output_folder(folder: str | os.PathLike, what: str = "records") -> None:
    """ValueError in one line unless ``folder`` is (or can be made) a folder this process can
    write files in; a folder made here for the check is removed again. ``what``: what goes there,
    for the message."""
    if not os.fspath(folder):
        raise ValueError(f"cannot write {what} into '': name a folder ('.' for the current one)")
    folder = Path(folder).absolute()
    try:
        missing = [path for path in (folder, *folder.parents) if not os.path.lexists(path)]
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise ValueError(f"cannot write {what} into {str(folder)!r}: {_why_not_a_folder(folder, error)}") from None
    for path in missing:  # deepest first
        path.rmdir()


def _why_not_a_folder(folder: Path, error: OSError) -> str:
    if isinstance(error, FileExistsError):  # something that is no folder holds the name
        try:
            os.stat(folder)
        except OSError as reason:  # a symbolic link in a loop, or to nothing
            return f"a symbolic link that leads to no folder ({reason.strerror})"
        return "it exists and is not a folder"
    return error.strerror or type(error).__name__


# A shard is written and linked into place within seconds; a temporary file left this long
# belongs to no live writer (its run was killed before it could remove it).
STALE_TEMPORARY_S = 600.0
TEMPORARY_PATTERN = re.compile(r"^\.shard-\d{5,}-.*\.tmp$")


def clear_leftover_temporaries(folder: str | os.PathLike) -> tuple[list[Path], list[Path]]:
    """Removes the temporary shard files in ``folder`` older than ``STALE_TEMPORARY_S``; returns
    (those removed, the younger ones, which another run writing into the folder may still own)."""
    folder = Path(folder)
    removed, recent = [], []
    if not folder.is_dir():
        return removed, recent
    now = time.time()
    for path in sorted(folder.iterdir()):
        if not TEMPORARY_PATTERN.match(path.name):
            continue
        try:
            if now - path.lstat().st_mtime < STALE_TEMPORARY_S:
                recent.append(path)
                continue
            path.unlink()
        except FileNotFoundError:  # its writer just finished with it
            continue
        removed.append(path)
    return removed, recent


class ShardWriter:
    """Collects games and writes a shard every ``games_per_shard`` games (and on flush)."""

    def __init__(self, folder: str | os.PathLike, games_per_shard: int, metadata: dict | None = None):
        if games_per_shard < 1:
            raise ValueError("games_per_shard must be >= 1")
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.games_per_shard = games_per_shard
        self.metadata = dict(metadata or {})
        self.number = next_shard_number(self.folder)
        self.pending: list[GameRecord] = []
        self.written: list[Path] = []
        self.games_written = 0
        self.failure: OSError | None = None  # the last write that failed (a full disk, say)

    def add(self, game: GameRecord) -> None:
        self.pending.append(game)
        if len(self.pending) >= self.games_per_shard:
            self.flush()

    def flush(self) -> Path | None:
        """Writes the pending games as one shard. A failed write keeps them pending and is kept
        in ``failure``; nothing partial is left on disk."""
        if not self.pending:
            return None
        try:
            path = write_shard(self.folder / shard_name(self.number), self.pending, self.metadata, exclusive=True)
        except OSError as error:
            self.failure = error
            return None
        self.failure = None
        self.number = int(SHARD_PATTERN.match(path.name).group(1)) + 1
        self.games_written += len(self.pending)
        self.pending = []
        self.written.append(path)
        return path
