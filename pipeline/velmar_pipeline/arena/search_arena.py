"""The arena with search: whole games through the engine's tree search, each seat searched with its
own evaluator (``arena --sims-per-move N``).

Games are played in this process, one thread per game in flight, each calling
``velmar_self_play.generate_game_data`` with its own request queue and reply pipe (one
:class:`_Game`, which is both). The engine holds the interpreter lock except while it puts a
request or waits for a reply, so the threads take turns; what they gain is batching: the
coordinator (the calling thread) waits until every game in flight has a request pending, then
evaluates them grouped by evaluator, one batch per evaluator, and hands each reply back with the
service's value convention (``evaluators.checked_outputs``, ``evaluators.search_values``).

Every request of a search goes to the evaluator of the seat whose search it is, not to the one of
the player to move at the requested position: a search whose nodes were valued by two evaluators
would compare numbers on two scales (and measured worse). The engine does not say which search a
request belongs to, so it is recognised from the order of the requests. A search asks for its
root, then for one leaf per simulation, each one or more tiles past the root; the first request
of the next search is its root, the tile just chosen, and that tile's position was asked for in
the search before as a depth-1 leaf (the chosen child is a visited one). So a request is a new
root when it is the game's first, or when it holds exactly one tile more than the current root
and equals a depth-1 position already asked for in the current search (depth-1 leaves of one
search are all different). A chosen child that ends the game asks for nothing, and neither does
the game after it. The roots counted in every game must equal its tiles, per seat as well; a
game where they do not fails the arena (:class:`RoutingError`).
"""

from __future__ import annotations

import os
import struct
import threading
import time
from collections.abc import Callable, Sequence
from itertools import chain

import numpy as np

from velmar_rules import CELLS, PLANES, PLAYERS
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.arena.seats import ArenaResult, seating
from velmar_pipeline.records.positions import players_to_move
from velmar_pipeline.streams import swapped_output

DEFAULT_PARALLEL = 64  # as the arena's --parallel
_PACKED_PLANES = struct.Struct(f"={PLANES * CELLS}f")
_STONE_BYTES = PLAYERS * CELLS * 4  # the stone planes, the start of the packed planes
SEARCH_FIELDS = ("sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction")


class RoutingError(RuntimeError):
    """The searches recognised in a game do not match the tiles it played."""


class _Stopped(Exception):
    """The arena is stopping; the game in progress is abandoned."""


class _Game:
    """One game in flight: the engine's queue (``put``) and pipe (``recv``), and which search is on.

    Per search it keeps the root's tile count and the stone planes of the depth-1 positions asked
    for so far, enough to recognise the next root.
    """

    __slots__ = ("arena", "seats", "root_tiles", "children", "evaluator", "roots", "planes", "reply", "ready")

    def __init__(self, arena: _Arena, seats: np.ndarray):
        self.arena = arena
        self.seats = seats  # evaluator index by seat (player)
        self.root_tiles = -1
        self.children: set[bytes] = set()
        self.evaluator = -1
        self.roots = np.zeros(PLAYERS, np.int64)  # searches recognised per seat
        self.planes: np.ndarray | None = None
        self.reply = None
        # A plain lock, held until the reply is there: the cheapest way to wait in another thread.
        self.ready = threading.Lock()
        self.ready.acquire()

    def put(self, request) -> None:
        # struct reads the engine's 2000 floats a few times faster than numpy reads nested lists.
        packed = _PACKED_PLANES.pack(*chain.from_iterable(request[1]))
        planes = np.frombuffer(packed, np.float32).reshape(PLANES, CELLS)
        tiles = int(np.count_nonzero(planes[:PLAYERS]))
        if self.root_tiles < 0:
            root = True
        elif tiles == self.root_tiles + 1:
            key = packed[:_STONE_BYTES]
            root = key in self.children
            self.children.add(key)
        else:
            root = False
        if root:
            mover = int(players_to_move(planes))
            self.root_tiles = tiles
            self.children = set()
            self.evaluator = int(self.seats[mover])
            self.roots[mover] += 1
        self.planes = planes
        self.arena.submit(self)

    def recv(self):
        self.ready.acquire()
        if self.reply is None:
            raise _Stopped("the arena is stopping")
        return self.reply


class _Arena:
    """The coordinator's state, shared with the game threads under ``lock``."""

    def __init__(self, players: Sequence[Callable], value_offset: float, threads: int,
                 names: Sequence[str] | None = None):
        self.players = players
        self.names = list(names) if names is not None else [f"evaluator {i}" for i in range(len(players))]
        self.value_offset = value_offset
        self.lock = threading.Condition()
        self.pending: list[_Game] = []
        self.active = threads  # game threads not yet done with their last game
        self.failure: BaseException | None = None

    def submit(self, game: _Game) -> None:
        with self.lock:
            if self.failure is not None:
                raise _Stopped("the arena is stopping")
            self.pending.append(game)
            if len(self.pending) >= self.active:
                self.lock.notify()

    def thread_done(self) -> None:
        with self.lock:
            self.active -= 1
            self.lock.notify()

    def fail(self, error: BaseException) -> None:
        with self.lock:
            if self.failure is None:
                self.failure = error
            self.lock.notify()

    def serve(self) -> None:
        """Answers batches until every game thread is done; after a failure, stops every game instead."""
        while True:
            with self.lock:
                while self.active and (not self.pending if self.failure is not None
                                       else len(self.pending) < self.active):
                    self.lock.wait()
                if not self.pending:
                    return  # no thread left: a pending game's thread is still active
                batch, self.pending = self.pending, []
                failed = self.failure is not None
            replies = None
            if not failed:
                try:
                    replies = self.answer(batch)
                except BaseException as error:
                    self.fail(error)
            for game, reply in zip(batch, replies or [None] * len(batch)):
                game.reply = reply
                game.ready.release()

    def answer(self, batch: list[_Game]) -> list[tuple[list[float], list[float]]]:
        """The replies to a batch, in its order: one evaluator call per evaluator."""
        groups: dict[int, list[int]] = {}
        for row, game in enumerate(batch):
            groups.setdefault(game.evaluator, []).append(row)
        replies: list = [None] * len(batch)
        for index, rows in groups.items():
            planes = np.stack([np.asarray(batch[row].planes) for row in rows])
            try:  # named as the arena without search names it
                logits, payoffs = evaluators.checked_outputs(self.players[index], planes)
            except ValueError as error:
                raise ValueError(f"{self.names[index]}: {error}") from None
            values = evaluators.search_values(payoffs, self.value_offset)
            # Lists are the quickest sequences for the engine to read back.
            for row, row_logits, row_values in zip(rows, logits.tolist(), values.tolist()):
                replies[row] = (row_logits, row_values)
        return replies


def play(
    players: Sequence[Callable],
    names: Sequence[str],
    games: int,
    search,
    value_offset: float,
    seed: int | None = None,
    parallel: int = DEFAULT_PARALLEL,
    progress: bool = False,
) -> ArenaResult:
    """Plays ``games`` games with tree search, ``parallel`` at a time, seated by ``seats.seating``.

    ``search`` is the engine's config (a ``SearchConfig``); replies carry the evaluators' payoffs
    minus ``value_offset``. ``seed`` is accepted for the same call as ``arena.play`` but seeds
    nothing: the engine draws its own random numbers, so games are not repeatable (seeded
    evaluators take their seed when they are made).
    """
    from velmar_self_play import generate_game_data

    if not 1 <= len(players) <= 4:
        raise ValueError(f"the arena takes 1 to 4 evaluators, got {len(players)}")
    if games < 1:
        raise ValueError(f"games must be >= 1, got {games}")
    if parallel < 1:
        raise ValueError(f"parallel must be >= 1, got {parallel}")
    seats = seating(games, len(players))
    payoffs = np.zeros((games, PLAYERS))
    lengths = np.zeros(games, np.int64)
    threads = min(parallel, games)
    arena = _Arena(players, value_offset, threads, names)
    numbers = iter(range(games))
    take = threading.Lock()

    def run_games(bar) -> None:
        try:
            while arena.failure is None:
                with take:
                    number = next(numbers, None)
                if number is None:
                    return
                game = _Game(arena, seats[number])
                moves, _, payoff = generate_game_data(number, search, game, game)
                laid = np.bincount([player for player, _ in moves], minlength=PLAYERS)
                if game.roots.sum() != len(moves) or (game.roots != laid).any():
                    raise RoutingError(
                        f"game {number}: recognised {game.roots.sum()} searches (by seat {game.roots.tolist()}) "
                        f"for {len(moves)} tiles (by seat {laid.tolist()})")
                payoffs[number] = payoff
                lengths[number] = len(moves)
                if bar is not None:
                    bar.update(1)
        except BaseException as error:
            arena.fail(error)
        finally:
            arena.thread_done()

    started = time.monotonic()
    # The engine writes a line per game and its own progress bar to descriptors 1 and 2: they go
    # to /dev/null while the games run; our own bar goes to a copy of the original standard error.
    with swapped_output() as (_, stderr_fd), os.fdopen(os.dup(stderr_fd), "w") as stderr:
        bar = None
        if progress:
            from tqdm import tqdm

            bar = tqdm(total=games, unit="game", dynamic_ncols=True, file=stderr)
        workers = [threading.Thread(target=run_games, args=(bar,), name=f"arena-game-{k}", daemon=True)
                   for k in range(threads)]
        try:
            for worker in workers:
                worker.start()
            arena.serve()
        except BaseException as error:  # Ctrl-C: stop every game before leaving
            arena.fail(error)
            arena.serve()
            raise
        finally:
            for worker in workers:
                worker.join()
            if bar is not None:
                bar.close()
    if arena.failure is not None:
        raise arena.failure
    settings = {name: getattr(search, name) for name in SEARCH_FIELDS}
    return ArenaResult(list(names), seats, payoffs, lengths, f"search ({search.sims_per_move} simulations per tile)",
                       time.monotonic() - started, {**settings, "value_offset": value_offset})
