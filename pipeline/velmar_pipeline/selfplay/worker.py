"""Worker processes: play self-play games against the inference service.

A worker owns one or more slots; each slot is a thread with its own reply pipe and its own
range of game ids, and writes its requests into the pipe shared with every other worker
(``velmar_pipeline.selfplay.wire``), playing one game at a time with ``velmar_self_play.generate_game_data``.
The threads run in parallel: the engine releases the interpreter lock while it searches, and
the native endpoints (``wire.RequestSender``, ``wire.ReplyPipe``) while they write and wait.
Standard output and error (file descriptors 1 and 2) go to a log file per worker, so the
engine's summary lines land there. A slot starts a game for each ticket it takes from the
worker's ticket pipe (``wire.Tickets``) and stops when the parent closes it.

Messages to the parent (``Started``, ``Finished``, ``Failed``, ``Exiting``) go on the worker's
own results pipe: no lock is shared with other workers, so a worker killed in the middle of a
message harms nobody else.

Once the run is stopping (``stop`` set), the worker abandons the games in progress by ending at
once, after its last message.
"""

from __future__ import annotations

import importlib
import os
import sys
import threading
import time
import traceback
from collections.abc import Callable, Sequence
from multiprocessing.connection import Connection
from typing import NamedTuple

from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay import wire
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.service import game_id
from velmar_pipeline.selfplay.process import (  # noqa: F401 (STOP_SIGNALS, stop_signals_to_catch: their old home)
    STOP_SIGNALS, ignore_stop_signals, log_failure, redirect_output, stop_signals_to_catch,
)
from velmar_pipeline.selfplay.wire import MisroutedReply, ReplyPipe, RunStopped, ServiceGone  # noqa: F401 (callers' names)


class Started(NamedTuple):
    """A ticket was taken and its game started."""

    worker: int
    slot: int


class Finished(NamedTuple):
    """A game was played to its end."""

    worker: int
    slot: int
    moves: object
    policies: object
    payoff: object
    requests: int


class Failed(NamedTuple):
    """A slot gave up (its ticket is used up)."""

    worker: int
    slot: int
    text: str


class Exiting(NamedTuple):
    """The worker is about to exit; ``log_failure``: why its log could not be written, or None."""

    worker: int
    ok: bool
    log_failure: str | None


class ResultSender:
    """The worker's end of its results pipe, shared by its threads."""

    def __init__(self, conn: Connection):
        self.conn = conn
        self.lock = threading.Lock()

    def put(self, message) -> None:
        with self.lock:
            self.conn.send(message)


STOP_POLL_S = 0.01  # how soon a worker sees that the run is stopping
# A game the engine finished just before the stop is still converted and posted: the worker ends
# only once no slot has been posting for POSTED_QUIET_S (and after POSTED_GRACE_S at the most).
POSTED_QUIET_S = 0.1
POSTED_GRACE_S = 2.0


def batch_scheduling() -> None:
    """Marks this process's threads (and those it starts) as batch work for the scheduler
    (SCHED_BATCH, where there is one): a slot woken by its reply then waits for the running slot
    to block on its own request instead of preempting it, which spares the service, the one serial
    stage, the cost of a preemption for each reply it writes. The service keeps the normal policy,
    so a request still wakes it at once."""
    try:
        os.sched_setscheduler(0, os.SCHED_BATCH, os.sched_param(0))
    except (AttributeError, OSError):  # not Linux, or not allowed: the normal policy serves too
        pass


def load_play(target: str) -> Callable:
    """``generate_game_data`` or another function with its signature, as ``module:attribute``."""
    module_name, _, attribute = target.partition(":")
    return getattr(importlib.import_module(module_name), attribute)


def run(
    worker: int,
    slots: Sequence[tuple[int, Connection]],
    requests: Connection,
    results,
    tickets: Connection,
    config: dict,
    stop,
    log_path: str,
    reply_timeout: float = 60.0,
    play_target: str = "velmar_self_play:generate_game_data",
) -> None:
    """Process entry point of worker number ``worker`` (see the module docstring)."""
    ignore_stop_signals()
    batch_scheduling()
    redirect_output(log_path)
    results = ResultSender(results)
    search = SearchConfig(**config)
    play = load_play(play_target)
    parent = os.getppid()
    failures: list[str] = []
    playing: set[int] = set()  # slots in the middle of a game
    posting: set[int] = set()  # slots whose game the engine has finished, not yet posted
    posting_lock = threading.Lock()
    ticket_pipe = wire.Tickets(tickets)

    def keep_waiting() -> bool:
        return not stop.is_set() and os.getppid() == parent

    def play_slot(slot: int, conn: Connection) -> None:
        pipe = ReplyPipe(conn, reply_timeout)
        sender = wire.RequestSender(requests.fileno())
        number = 0
        while ticket_pipe.take(keep_waiting):
            pipe.expected_id = game_id(slot, number)
            number += 1
            pipe.replies = 0
            pipe.failure = None
            sender.failure = None
            results.put(Started(worker, slot))
            playing.add(slot)
            try:
                moves, policies, payoff = play(pipe.expected_id, search, sender, pipe)
            except BaseException as error:  # the engine's internal failures are BaseExceptions
                playing.discard(slot)
                if isinstance(pipe.failure, RunStopped):
                    return
                if isinstance(pipe.failure, (ServiceGone, MisroutedReply)):
                    text = f"slot {slot}: {pipe.failure}"
                elif sender.failure is not None:
                    text = f"slot {slot}: the inference service is gone (request pipe: {sender.failure})"
                else:
                    text = f"slot {slot}: game {pipe.expected_id} failed: {type(error).__name__}: {error}"
                print(f"worker {worker}: {text}", file=sys.stderr)
                traceback.print_exc()
                failures.append(text)
                results.put(Failed(worker, slot, text))
                return
            with posting_lock:
                posting.add(slot)
            try:
                game = records.from_engine(moves, policies, payoff)
                results.put(Finished(worker, slot, game.moves, game.policies, game.payoff, pipe.replies))
                playing.discard(slot)
            finally:
                with posting_lock:
                    posting.discard(slot)

    def wait_for_finished_games() -> None:
        quiet_since = started = time.monotonic()
        while time.monotonic() - started < POSTED_GRACE_S:
            with posting_lock:
                if posting:
                    quiet_since = time.monotonic()
            if time.monotonic() - quiet_since >= POSTED_QUIET_S:
                return
            time.sleep(STOP_POLL_S / 2)

    def run_slot(slot: int, conn: Connection) -> None:
        # A slot that stops for any other reason must still be reported, or the parent would
        # count on it forever.
        try:
            play_slot(slot, conn)
        except BaseException as error:
            text = f"slot {slot}: stopped by {type(error).__name__}: {error}"
            print(f"worker {worker}: {text}", file=sys.stderr)
            traceback.print_exc()
            failures.append(text)
            results.put(Failed(worker, slot, text))

    threads = [
        threading.Thread(target=run_slot, args=(slot, conn), name=f"slot-{slot}", daemon=True)
        for slot, conn in slots
    ]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    while not stop.is_set() and any(thread.is_alive() for thread in threads):
        next(thread for thread in threads if thread.is_alive()).join(STOP_POLL_S)
    if stop.is_set() and any(thread.is_alive() for thread in threads):
        # The run is stopping: the games in progress are abandoned by ending the process. Ended
        # any other way (a failed evaluation), the engine would report each as an internal failure.
        wait_for_finished_games()
        print(f"worker {worker}: stopped after {time.monotonic() - started:.1f} s; "
              f"{len(playing)} game(s) in progress abandoned", file=sys.stderr)
    else:
        print(f"worker {worker}: done after {time.monotonic() - started:.1f} s", file=sys.stderr)
    with results.lock:  # taken for good: no slot is halfway through a message, and none starts one
        results.conn.send(Exiting(worker, not failures, log_failure()))
        results.conn.close()
        os._exit(0 if not failures else 1)
