"""A self-play run as an object: start, ready, deal, collect, stop.

``SelfplayRun`` owns the inference service, the worker processes, their pipes and the shard
writer of one run. ``run()`` goes through the lifecycle:

- ``start``: the stop signals (Ctrl-C, SIGTERM, SIGHUP) only set a flag from now on; the service
  and the workers start, each writing to its log from its first instruction;
- ``wait_ready``: until the service has made its evaluator (a network loads here), so that the
  run's clock measures play, not start-up;
- ``deal``: games go out to the workers as tickets (``Dispatcher``), the clock starts;
- ``collect``: finished games are written to shards as they come; a worker that dies gives its
  games back; a stop signal or a failing shard write ends the run early;
- ``stop``: the workers and the service are ended, every finished game is written (or reported
  as not written), the signal handlers are restored.

Processes are started with the ``spawn`` method, so each holds only the pipe ends it uses: when
the service dies, the workers' reply pipes close and their games fail at once.
"""

from __future__ import annotations

import logging
import multiprocessing
import multiprocessing.connection
import os
import queue as queue_module
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from velmar_pipeline.selfplay import floor
from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay import service
from velmar_pipeline.selfplay import wire
from velmar_pipeline.selfplay import worker
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.options import Options
from velmar_pipeline.selfplay.process import stop_signals_to_catch
from velmar_pipeline.streams import swapped_output

SHUTDOWN_GRACE_S = 10.0
SERVICE_LOG = "service.log"
POLL_S = 0.2
# Every stop signal (STOP_SIGNALS in velmar_pipeline.selfplay.process) stops a run the same way:
# the games in progress are abandoned, every finished game is written and the summary printed.
# The exit status is 128 + the signal's number.

logger = logging.getLogger(__name__)


@dataclass
class Summary:
    games: int = 0
    moves: int = 0
    requests: int = 0
    seconds: float = 0.0  # from the first games dealt (the service ready) to the last game
    wall_seconds: float = 0.0  # including the start of the processes
    wins: list[float] = field(default_factory=lambda: [0.0] * 4)
    shards: list[Path] = field(default_factory=list)
    worker_failures: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)  # what went wrong without costing a game
    interrupted: bool = False
    stop_signal: int | None = None  # the signal that interrupted the run
    unwritten: int = 0  # finished games that could not be written
    service_failed: bool = False
    served: int = 0  # requests the service answered (abandoned games' included)
    batches: int = 0  # evaluations it made for them
    service_busy_s: float = 0.0  # time it spent answering them
    service_cpu_s: float = 0.0  # the service process's CPU time (user and system) from ready to the end

    @property
    def mean_batch(self) -> float:
        return self.served / self.batches if self.batches else 0.0

    @property
    def service_busy(self) -> float:
        """The share of the play the service spent answering: near 1, it is the bottleneck."""
        return min(self.service_busy_s / self.seconds, 1.0) if self.seconds > 0 else 0.0

    def exit_status(self, games: int) -> int:
        """128 + the stop signal's number (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP); else
        0 when all ``games`` were played and written, 1 when some were lost."""
        if self.interrupted:
            return 128 + (self.stop_signal or signal.SIGINT)
        return 0 if self.games == games and not self.unwritten else 1

    @property
    def service_cpu_per_request_us(self) -> float:
        """The service's CPU time per request answered, in microseconds."""
        return self.service_cpu_s / self.served * 1e6 if self.served else 0.0

    @property
    def requests_per_s(self) -> float:
        return self.requests / self.seconds if self.seconds > 0 else 0.0

    @property
    def moves_per_s(self) -> float:
        return self.moves / self.seconds if self.seconds > 0 else 0.0

    @property
    def mean_length(self) -> float:
        return self.moves / self.games if self.games else 0.0

    def add_game(self, game: records.GameRecord, replies: int) -> None:
        self.games += 1
        self.moves += len(game)
        self.requests += replies
        best = float(np.max(game.payoff))
        if best > 0:
            for seat in range(4):
                if game.payoff[seat] == best:
                    self.wins[seat] += float(game.payoff[seat])

    def lines(self) -> list[str]:
        wins = ", ".join(f"{w:g}" for w in self.wins)
        out = [
            f"games: {self.games}{' (interrupted)' if self.interrupted else ''}",
            f"moves: {self.moves} ({self.moves_per_s:.0f} moves/s)",
            f"requests: {self.requests} in {self.seconds:.1f} s of play ({self.requests_per_s:.0f} requests/s;"
            f" {self.wall_seconds:.1f} s in all)",
            f"mean game length: {self.mean_length:.1f} tiles",
            f"service: {self.served} requests in {self.batches} batches (mean batch {self.mean_batch:.1f}), "
            f"busy {self.service_busy:.0%} of the play, "
            f"{self.service_cpu_per_request_us:.1f} us of its CPU per request",
            f"wins per seat (shared wins split): [{wins}]",
            f"shards: {len(self.shards)}" + (f" ({self.shards[0].parent})" if self.shards else ""),
        ]
        out += [f"failure: {text}" for text in self.worker_failures]
        out += [f"note: {text}" for text in self.notes]
        return out


class Results:
    """The parent's ends of the workers' results pipes, read like one queue."""

    def __init__(self, conns):
        self.open = list(conns)

    def get(self, timeout: float):
        while self.open:
            ready: list[multiprocessing.connection.Connection] = multiprocessing.connection.wait(self.open, timeout)
            if not ready:
                break
            for conn in ready:
                try:
                    return conn.recv()
                except (EOFError, OSError):  # the worker is gone; a half-written message is dropped
                    self.open.remove(conn)
                    conn.close()
            timeout = 0
        raise queue_module.Empty

    def get_nowait(self):
        return self.get(0)


class Dispatcher:
    """Hands the games out to the workers as tickets on their own pipes (``wire.Tickets``).

    Every worker holds at most ``capacity`` tickets (one per slot). A ticket comes back when its
    game is reported (finished or failed); the tickets of a worker that is gone return to the
    pool for the others. Once every game is reported the pipes close, which ends the workers.
    """

    def __init__(self, games: int, capacity: int, conns: list):
        self.pool = games
        self.capacity = capacity
        self.conns = list(conns)  # the write ends; None once closed
        self.held = [0] * len(conns)

    def grant(self) -> None:
        for index in range(len(self.conns)):
            while self.conns[index] is not None and self.pool > 0 and self.held[index] < self.capacity:
                try:
                    os.write(self.conns[index].fileno(), b"\x01")
                except OSError:  # the worker is gone; the parent notices and calls release
                    self._close(index)
                    break
                self.pool -= 1
                self.held[index] += 1
        if self.pool == 0 and not any(self.held):
            self.close_all()

    def reported(self, index: int) -> None:
        self.held[index] = max(self.held[index] - 1, 0)
        self.grant()

    def release(self, index: int) -> None:
        """Worker ``index`` plays no more: the games it holds go to the others."""
        self.pool += self.held[index]
        self.held[index] = 0
        self._close(index)
        self.grant()

    def close_all(self) -> None:
        for index in range(len(self.conns)):
            self._close(index)

    def _close(self, index: int) -> None:
        if self.conns[index] is not None:
            self.conns[index].close()
            self.conns[index] = None


def start_logging_to(process, log_path: Path) -> None:
    """Starts ``process`` with its standard output and error going to ``log_path`` (appended)."""
    with swapped_output(log_path):
        process.start()


def signal_name(exitcode: int) -> str:
    if exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit code {exitcode}"


class RunLifecycle:
    """What every kind of run shares: ``run()`` goes through start, wait_ready, deal, collect and
    stop; a stop signal only sets ``interrupt``; ``stop`` writes what is left with ``writer``.
    Subclasses call ``_set_up`` first and set ``writer`` (or None)."""

    writer: records.ShardWriter | None

    def _set_up(self, options, log, summary: Summary) -> None:
        options.validate()
        self.options = options
        self.log = log or logger.info
        self.out = Path(options.out)
        self.out.mkdir(parents=True, exist_ok=True)
        self.summary = summary
        self.interrupt = threading.Event()  # a stop signal arrived
        self.bar = None
        self.started = time.monotonic()
        self.dealt_at: float | None = None
        self.last_game: float | None = None
        self.previous_handlers: dict = {}

    def _shard_writer(self, search: SearchConfig) -> records.ShardWriter:
        options = self.options
        metadata = {"search": search.as_dict(), "value_offset": options.value_offset,
                    "evaluator": options.evaluator, "seed": options.seed}
        return records.ShardWriter(self.out, options.games_per_shard, metadata)

    def start(self) -> None:
        raise NotImplementedError

    def wait_ready(self) -> bool:
        raise NotImplementedError

    def deal(self) -> None:
        raise NotImplementedError

    def collect(self) -> None:
        raise NotImplementedError

    def stop(self) -> None:
        raise NotImplementedError

    def run(self) -> Summary:
        try:
            self.start()
            if self.wait_ready():
                self.deal()
                self.collect()
        finally:
            self.stop()
        return self.summary

    def _catch_stop_signals(self) -> None:
        # A stop signal only sets a flag: a KeyboardInterrupt in the middle of reading a message
        # would leave the rest of that message unread.
        if threading.current_thread() is threading.main_thread():
            self.previous_handlers = {number: signal.signal(number, self._on_stop_signal)
                                      for number in stop_signals_to_catch()}

    def _restore_stop_signals(self) -> None:
        for number, handler in self.previous_handlers.items():
            signal.signal(number, handler)

    def _on_stop_signal(self, signum, frame) -> None:
        if self.summary.stop_signal is None:
            self.summary.stop_signal = signum
        self.interrupt.set()

    def _open_progress_bar(self) -> None:
        if self.options.progress:
            from tqdm import tqdm

            self.bar = tqdm(total=self.options.games, unit="game", dynamic_ncols=True, file=sys.stderr)

    def _show_progress(self) -> None:
        if self.bar is None:
            return
        elapsed = max(time.monotonic() - (self.dealt_at or self.started), 1e-9)
        self.bar.set_postfix_str(f"{self.summary.moves / elapsed:.0f} moves/s, "
                                 f"{self.summary.requests / elapsed:.0f} req/s{self._progress_note()}", refresh=False)
        self.bar.update(1)

    def _progress_note(self) -> str:
        return ""

    def _say_why_stopping(self, whom: str) -> None:
        if self.bar is not None:
            self.bar.clear()
        if self.interrupt.is_set():
            name = signal.Signals(self.summary.stop_signal or signal.SIGINT).name
            self.log(f"interrupted by {name}: stopping {whom}, keeping the finished games")
        else:
            self.log(f"cannot write the records ({self.writer.failure}): stopping {whom}")

    def _stop_the_clock(self) -> None:
        self.summary.interrupted = self.interrupt.is_set()
        if self.dealt_at is not None:
            self.summary.seconds = (self.last_game or time.monotonic()) - self.dealt_at
        if self.bar is not None:
            self.bar.close()

    def _report_leftovers(self) -> None:
        removed, recent = records.clear_leftover_temporaries(self.out)
        if removed:
            self.log(f"removed {len(removed)} temporary shard file(s) that an interrupted run left in {self.out}")
        if recent:
            self.log(f"note: {len(recent)} temporary shard file(s) in {self.out} are less than "
                     f"{records.STALE_TEMPORARY_S / 60:g} minutes old ({recent[0].name}): another run may be "
                     "writing them; if none is, delete them")

    def _write_the_rest(self) -> None:
        if self.writer is None:
            return
        self.writer.flush()
        self.summary.shards = list(self.writer.written)
        if self.writer.pending:
            error = self.writer.failure
            self.summary.unwritten = len(self.writer.pending)
            self.summary.worker_failures.append(
                f"{self.summary.unwritten} finished game(s) could not be written to {self.out}: "
                f"{type(error).__name__}: {error}")


class SelfplayRun(RunLifecycle):
    """One self-play run (see the module docstring); ``run()`` plays it and returns the summary."""

    poll_s = POLL_S  # how often the parent looks at its processes when no result comes

    def __init__(self, search: SearchConfig, options: Options, log=None):
        self._set_up(options, log, Summary())
        self.halt = threading.Event()  # the records cannot be written
        self.service_killed = False
        self._make_processes(search, options)

    def _make_processes(self, search: SearchConfig, options: Options) -> None:
        slots_per_worker = options.threads_per_worker
        slot_count = options.workers * slots_per_worker
        context = multiprocessing.get_context("spawn")
        self.request_pipe = context.Pipe(duplex=False)  # shared by every worker; see wire
        self.result_pipes = [context.Pipe(duplex=False) for _ in range(options.workers)]  # (parent, worker)
        self.results = Results([receive for receive, _ in self.result_pipes])
        self.ticket_pipes = [context.Pipe(duplex=False) for _ in range(options.workers)]  # (worker, parent)
        self.reply_pipes = [context.Pipe(duplex=False) for _ in range(slot_count)]  # (worker, service)
        # Flags, not Events: an Event takes a lock shared by every process even to be read.
        self.stop_flag = wire.Flag(context)
        self.finish_flag = wire.Flag(context)
        self.counters = service.Counters(context)
        self.writer = self._shard_writer(search) if options.write_records else None
        self.server = context.Process(
            target=service.serve,
            args=(self.request_pipe[0], [send for _, send in self.reply_pipes], options.evaluator, options.seed,
                  options.batch_size or slot_count, options.max_wait_ms, self.finish_flag,
                  self.counters, options.value_offset, str(self.out / SERVICE_LOG), options.floor),
            name="velmar-service",
            daemon=True,
        )
        self.workers = []
        for index in range(options.workers):
            slots = range(index * slots_per_worker, (index + 1) * slots_per_worker)
            self.workers.append(context.Process(
                target=worker.run,
                args=(index, [(slot, self.reply_pipes[slot][0]) for slot in slots], self.request_pipe[1],
                      self.result_pipes[index][1], self.ticket_pipes[index][0], search.as_dict(), self.stop_flag,
                      str(self.out / f"worker-{index}.log"), options.reply_timeout,
                      floor.OS_FLOOR_PLAY if options.floor else options.play),
                name=f"velmar-worker-{index}",
                daemon=True,
            ))
        self.dispatcher = Dispatcher(options.games, slots_per_worker, [send for _, send in self.ticket_pipes])
        self.in_flight = [0] * options.workers
        self.exited = [False] * options.workers  # sent "exit" or found dead

    # --- lifecycle -----------------------------------------------------------------------------

    def start(self) -> None:
        self._catch_stop_signals()
        if self.writer is not None:
            self._report_leftovers()
        # A Ctrl-C at the terminal reaches the whole process group, children still importing
        # too, before they ignore it: each child writes to its log from its first instruction,
        # so what such a child prints stays there, and its end is no failure of the run.
        start_logging_to(self.server, self.out / SERVICE_LOG)
        for index, process in enumerate(self.workers):
            start_logging_to(process, self.out / f"worker-{index}.log")
        # The children hold their own copies now; only the service may hold the sending ends,
        # and the request pipe must reach end-of-file once every worker is gone.
        for conn in (*self.request_pipe, *(c for pair in self.reply_pipes for c in pair)):
            conn.close()
        for _, send in self.result_pipes:
            send.close()
        for receive, _ in self.ticket_pipes:
            receive.close()

    def wait_ready(self) -> bool:
        """Waits until the service has made its evaluator; False when the run ends first."""
        while not self.counters.ready.value:
            if self.interrupt.is_set() or self.server.exitcode is not None:
                return False
            time.sleep(0.01)
        return True

    def deal(self) -> None:
        self.dealt_at = time.monotonic()
        self.dispatcher.grant()
        self._open_progress_bar()

    def collect(self) -> None:
        next_check = time.monotonic()
        while not all(self.exited) and not self.interrupt.is_set() and not self.halt.is_set():
            try:
                self._handle(self.results.get(timeout=self.poll_s))
            except queue_module.Empty:
                pass
            if time.monotonic() >= next_check:
                self._check_processes()
                next_check = time.monotonic() + self.poll_s
        if self.interrupt.is_set() or self.halt.is_set():
            self._say_why_stopping("the workers")
            self.stop_flag.set()
            self._wait_for_workers(time.monotonic() + SHUTDOWN_GRACE_S)
        self._check_processes()

    def stop(self) -> None:
        summary = self.summary
        summary.wall_seconds = time.monotonic() - self.started
        self._stop_the_clock()
        self.stop_flag.set()
        for process in self.workers:
            if process.pid is None:
                continue
            process.join(timeout=1.0)
            if process.is_alive():
                process.kill()  # workers ignore the stop signals; the parent ends them
                process.join(timeout=1.0)
        self.dispatcher.close_all()
        self.finish_flag.set()
        if self.server.pid is not None:
            self.server.join(timeout=5.0)
            if self.server.is_alive():
                self.service_killed = True
                self.server.kill()
                self.server.join(timeout=1.0)
        self._check_service()  # a death the loop did not see before the workers were gone
        self._write_the_rest()
        self._restore_stop_signals()
        summary.served = self.counters.requests.value
        summary.batches = self.counters.batches.value
        summary.service_busy_s = self.counters.busy_s.value
        summary.service_cpu_s = self.counters.cpu_s.value
        if summary.served and summary.requests == 0:
            summary.requests = summary.served

    # --- what happens on the way ---------------------------------------------------------------

    def _handle(self, message) -> None:
        index = message.worker
        if isinstance(message, worker.Started):
            self.in_flight[index] += 1
        elif isinstance(message, worker.Finished):
            self.in_flight[index] -= 1
            self.dispatcher.reported(index)
            game = records.GameRecord(message.moves, message.policies, message.payoff)
            if self.writer is not None:
                self.writer.add(game)
                if self.writer.failure is not None:
                    self.halt.set()  # the next games could not be kept either
            self.summary.add_game(game, message.requests)
            self.last_game = time.monotonic()
            self._show_progress()
        elif isinstance(message, worker.Failed):
            self.in_flight[index] -= 1
            self.dispatcher.reported(index)
            self._failure(f"worker {index} {message.text}")
        elif isinstance(message, worker.Exiting):
            self.exited[index] = True
            self.dispatcher.release(index)
            if message.log_failure:
                self.summary.notes.append(f"worker {index} could not write its log "
                                          f"{self.out / f'worker-{index}.log'} ({message.log_failure})")

    def _failure(self, text: str) -> None:
        self.summary.worker_failures.append(text)
        self.log(text)

    def _check_processes(self) -> None:
        for index, process in enumerate(self.workers):
            if self.exited[index] or process.exitcode is None:
                continue
            self._drain()  # its last messages may still be on the way
            if self.exited[index]:
                continue
            self.exited[index] = True
            playing = max(self.in_flight[index], 0)
            self.dispatcher.release(index)  # the others play the games it held
            if not self.interrupt.is_set():  # else the stop signal reached it too
                text = f"worker {index} died ({signal_name(process.exitcode)})"
                if playing and not all(self.exited):
                    text += f"; its {playing} game(s) in progress go to the other workers"
                elif playing:
                    text += f"; no worker is left to play its {playing} game(s) in progress"
                self._failure(text)
        self._check_service()

    def _check_service(self) -> None:
        # The service ends with status 0 whenever it ends by itself; anything else is a death.
        exitcode = self.server.exitcode
        if self.summary.service_failed or exitcode in (None, 0) or self.service_killed or self.interrupt.is_set():
            return
        self.summary.service_failed = True
        self._failure(f"inference service died ({signal_name(exitcode)}); workers cannot go on"
                      f" (its errors: {self.out / SERVICE_LOG})")

    def _drain(self) -> None:
        while True:
            try:
                self._handle(self.results.get_nowait())
            except queue_module.Empty:
                return

    def _wait_for_workers(self, deadline: float) -> None:
        while not all(self.exited) and time.monotonic() < deadline:
            try:
                self._handle(self.results.get(timeout=0.1))
            except queue_module.Empty:
                self._check_processes()
