"""The ``selfplay`` command: one inference service, N worker processes, records in shards.

The parent starts the processes, collects finished games from the workers, writes them to
shards, shows a progress bar and prints a summary. Processes are started with the ``spawn``
method, so each holds only the pipe ends it uses: when the service dies, the workers' reply
pipes close and their games fail at once instead of waiting forever.
"""

from __future__ import annotations

import argparse
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

from velmar_pipeline import evaluators, records, service, wire, worker
from velmar_pipeline.config import (
    VALUE_OFFSET, ConfigError, SearchConfig, add_search_arguments, search_from, validate_value_offset,
)

SHUTDOWN_GRACE_S = 10.0
SERVICE_LOG = "service.log"
# Longer waits than these are typing errors, and past them the waiting calls overflow.
MAX_REPLY_TIMEOUT_S = 1e6
MAX_WAIT_MS = 60_000.0
# Each of these stops a run the same way: the games in progress are abandoned, every finished
# game is written and the summary printed. The exit status is 128 + the signal's number.
STOP_SIGNALS = worker.STOP_SIGNALS


@dataclass
class Options:
    games: int = 8
    workers: int = field(default_factory=lambda: os.cpu_count() or 1)
    threads_per_worker: int = 1
    batch_size: int | None = None  # None: one per slot (every game in flight)
    max_wait_ms: float = 0.0  # a cheap evaluator is best served with whatever has arrived
    evaluator: str = "uniform"
    seed: int | None = None
    out: str = "selfplay-out"
    games_per_shard: int = 64
    reply_timeout: float = 120.0
    progress: bool = True
    play: str = "velmar_self_play:generate_game_data"
    write_records: bool = True
    value_offset: float = VALUE_OFFSET

    def validate(self) -> None:
        validate_value_offset(self.value_offset)
        if self.games < 1:
            raise ConfigError(f"--games must be >= 1, got {self.games}")
        if self.workers < 1:
            raise ConfigError(f"--workers must be >= 1, got {self.workers}")
        if self.threads_per_worker < 1:
            raise ConfigError(f"--threads-per-worker must be >= 1, got {self.threads_per_worker}")
        if self.workers * self.threads_per_worker > service.MAX_SLOTS:
            raise ConfigError(f"at most {service.MAX_SLOTS} games in flight (workers x threads)")
        if self.batch_size is not None and self.batch_size < 1:
            raise ConfigError(f"--batch-size must be >= 1, got {self.batch_size}")
        if not 0 <= self.max_wait_ms <= MAX_WAIT_MS:
            raise ConfigError(f"--max-wait-ms must be in [0, {MAX_WAIT_MS:g}], got {self.max_wait_ms}")
        if self.games_per_shard < 1:
            raise ConfigError(f"--games-per-shard must be >= 1, got {self.games_per_shard}")
        if not 0 < self.reply_timeout <= MAX_REPLY_TIMEOUT_S:
            raise ConfigError(f"--reply-timeout must be in (0, {MAX_REPLY_TIMEOUT_S:g}] seconds, got {self.reply_timeout}")
        if self.seed is not None and not 0 <= self.seed < 2**63:
            raise ConfigError(f"--seed must be in [0, 2**63), got {self.seed}")
        try:
            evaluators.resolve(self.evaluator)
        except ValueError as error:
            raise ConfigError(str(error)) from None


@dataclass
class Summary:
    games: int = 0
    moves: int = 0
    requests: int = 0
    seconds: float = 0.0  # from the first game's start to the last message
    wall_seconds: float = 0.0  # including the start of the processes
    wins: list[float] = field(default_factory=lambda: [0.0] * 4)
    shards: list[Path] = field(default_factory=list)
    worker_failures: list[str] = field(default_factory=list)
    interrupted: bool = False
    stop_signal: int | None = None  # the signal that interrupted the run
    unwritten: int = 0  # finished games that could not be written
    service_failed: bool = False

    def exit_status(self, games: int) -> int:
        """128 + the stop signal's number (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP); else
        0 when all ``games`` were played and written, 1 when some were lost."""
        if self.interrupted:
            return 128 + (self.stop_signal or signal.SIGINT)
        return 0 if self.games == games and not self.unwritten else 1

    @property
    def requests_per_s(self) -> float:
        return self.requests / self.seconds if self.seconds > 0 else 0.0

    @property
    def moves_per_s(self) -> float:
        return self.moves / self.seconds if self.seconds > 0 else 0.0

    @property
    def mean_length(self) -> float:
        return self.moves / self.games if self.games else 0.0

    def lines(self) -> list[str]:
        wins = ", ".join(f"{w:g}" for w in self.wins)
        out = [
            f"games: {self.games}{' (interrupted)' if self.interrupted else ''}",
            f"moves: {self.moves} ({self.moves_per_s:.0f} moves/s)",
            f"requests: {self.requests} in {self.seconds:.1f} s of play ({self.requests_per_s:.0f} requests/s;"
            f" {self.wall_seconds:.1f} s in all)",
            f"mean game length: {self.mean_length:.1f} tiles",
            f"wins per seat (shared wins split): [{wins}]",
            f"shards: {len(self.shards)}" + (f" ({self.shards[0].parent})" if self.shards else ""),
        ]
        out += [f"failure: {text}" for text in self.worker_failures]
        return out


class Results:
    """The parent's ends of the workers' results pipes, read like one queue."""

    def __init__(self, conns):
        self.open = list(conns)

    def get(self, timeout: float):
        while self.open:
            ready = multiprocessing.connection.wait(self.open, timeout)
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
    sys.stdout.flush()
    sys.stderr.flush()
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    saved = os.dup(1), os.dup(2)
    try:
        os.dup2(log, 1)
        os.dup2(log, 2)
        process.start()
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (log, *saved):
            os.close(fd)


def _signal_name(exitcode: int) -> str:
    if exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit code {exitcode}"


def run_selfplay(search: SearchConfig, options: Options, log=None) -> Summary:
    """Runs self-play to the end (or Ctrl-C) and returns the summary."""
    options.validate()
    log = log or (lambda text: print(text, file=sys.stderr, flush=True))
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    slots_per_worker = options.threads_per_worker
    slot_count = options.workers * slots_per_worker
    batch_size = options.batch_size or slot_count

    context = multiprocessing.get_context("spawn")
    request_read, request_write = context.Pipe(duplex=False)  # shared by every worker; see wire
    result_pipes = [context.Pipe(duplex=False) for _ in range(options.workers)]  # (parent's end, worker's end)
    results = Results([receive for receive, _ in result_pipes])
    ticket_pipes = [context.Pipe(duplex=False) for _ in range(options.workers)]  # (worker's end, parent's end)
    # Flags, not Events: an Event takes a lock shared by every process even to be read.
    stop = wire.Flag(context)
    finish = wire.Flag(context)
    counters = service.Counters(context)
    pipes = [context.Pipe(duplex=False) for _ in range(slot_count)]  # (worker's end, service's end)

    writer = None
    if options.write_records:
        writer = records.ShardWriter(
            out,
            options.games_per_shard,
            {"search": search.as_dict(), "value_offset": options.value_offset, "evaluator": options.evaluator,
             "seed": options.seed},
        )

    server = context.Process(
        target=service.serve,
        args=(request_read, [send for _, send in pipes], options.evaluator, options.seed, batch_size,
              options.max_wait_ms, stop, finish, counters, options.value_offset, str(out / SERVICE_LOG)),
        name="velmar-service",
        daemon=True,
    )
    workers = []
    for index in range(options.workers):
        slot_ids = range(index * slots_per_worker, (index + 1) * slots_per_worker)
        workers.append(context.Process(
            target=worker.run,
            args=(index, [(slot, pipes[slot][0]) for slot in slot_ids], request_write, result_pipes[index][1],
                  ticket_pipes[index][0], search.as_dict(), stop, str(out / f"worker-{index}.log"),
                  options.reply_timeout, options.play),
            name=f"velmar-worker-{index}",
            daemon=True,
        ))

    summary = Summary()
    dispatcher = Dispatcher(options.games, slots_per_worker, [send for _, send in ticket_pipes])
    in_flight = [0] * options.workers
    exited = [False] * options.workers  # sent "exit" or found dead
    bar = None
    started = time.monotonic()
    first_start = [None]
    service_terminated = [False]
    last_game = [None]

    def handle(message) -> None:
        kind, index = message[0], message[1]
        if kind == "start":
            in_flight[index] += 1
            if first_start[0] is None:
                first_start[0] = time.monotonic()
        elif kind == "game":
            _, _, _, moves, policies, payoff, replies = message
            in_flight[index] -= 1
            dispatcher.reported(index)
            game = records.GameRecord(moves, policies, payoff)
            if writer is not None:
                writer.add(game)
                if writer.failure is not None:
                    halt.set()  # the next games could not be kept either
            summary.games += 1
            summary.moves += len(game)
            summary.requests += replies
            best = float(np.max(payoff))
            if best > 0:
                for seat in range(4):
                    if payoff[seat] == best:
                        summary.wins[seat] += float(payoff[seat])
            last_game[0] = time.monotonic()
            if bar is not None:
                elapsed = max(time.monotonic() - (first_start[0] or started), 1e-9)
                bar.set_postfix_str(
                    f"{summary.moves / elapsed:.0f} moves/s, {summary.requests / elapsed:.0f} req/s", refresh=False
                )
                bar.update(1)
        elif kind == "error":
            in_flight[index] -= 1
            dispatcher.reported(index)
            summary.worker_failures.append(f"worker {index} {message[3]}")
            log(f"worker {index} {message[3]}")
        elif kind == "exit":
            exited[index] = True
            dispatcher.release(index)

    def check_processes() -> None:
        for index, process in enumerate(workers):
            if not exited[index] and process.exitcode is not None:
                drain()  # its last messages may still be on the way
                if exited[index]:
                    continue
                exited[index] = True
                lost = max(in_flight[index], 0)
                dispatcher.release(index)  # the others play the games it held
                if interrupt.is_set():
                    continue  # the stop signal reached it too
                text = f"worker {index} died ({_signal_name(process.exitcode)}); {lost} game(s) in progress lost"
                summary.worker_failures.append(text)
                log(text)
        check_service()

    def check_service() -> None:
        # The service ends with status 0 whenever it ends by itself; anything else is a death.
        if (not summary.service_failed and server.exitcode not in (None, 0) and not service_terminated[0]
                and not interrupt.is_set()):
            summary.service_failed = True
            text = (f"inference service died ({_signal_name(server.exitcode)}); workers cannot go on"
                    f" (its errors: {out / SERVICE_LOG})")
            summary.worker_failures.append(text)
            log(text)

    def drain() -> None:
        while True:
            try:
                handle(results.get_nowait())
            except queue_module.Empty:
                return

    def wait_for_workers(deadline: float) -> None:
        while not all(exited) and time.monotonic() < deadline:
            try:
                handle(results.get(timeout=0.1))
            except queue_module.Empty:
                check_processes()

    # Ctrl-C (and SIGTERM, SIGHUP) only sets a flag: a KeyboardInterrupt in the middle of reading
    # a message from the results queue would leave the rest of that message in the pipe.
    interrupt = threading.Event()
    halt = threading.Event()  # the records cannot be written

    def on_stop_signal(signum, frame) -> None:
        if summary.stop_signal is None:
            summary.stop_signal = signum
        interrupt.set()

    previous_handlers = {}
    if threading.current_thread() is threading.main_thread():
        previous_handlers = {number: signal.signal(number, on_stop_signal) for number in STOP_SIGNALS}
    try:
        # A Ctrl-C at the terminal reaches the whole process group, children still importing
        # too, before they ignore it: each child writes to its log from its first instruction,
        # so what such a child prints stays there, and its end is no failure of the run.
        start_logging_to(server, out / SERVICE_LOG)
        for index, process in enumerate(workers):
            start_logging_to(process, out / f"worker-{index}.log")
        # The children hold their own copies now; only the service may hold the sending ends,
        # and the request pipe must reach end-of-file once every worker is gone.
        request_read.close()
        request_write.close()
        for receive, send in pipes:
            receive.close()
            send.close()
        for _, send in result_pipes:
            send.close()
        for receive, _ in ticket_pipes:
            receive.close()
        dispatcher.grant()
        if options.progress:
            from tqdm import tqdm

            bar = tqdm(total=options.games, unit="game", dynamic_ncols=True, file=sys.stderr)
        next_check = time.monotonic()
        while not all(exited) and not interrupt.is_set() and not halt.is_set():
            try:
                handle(results.get(timeout=0.2))
            except queue_module.Empty:
                pass
            if time.monotonic() >= next_check:
                check_processes()
                next_check = time.monotonic() + 0.2
        if interrupt.is_set():
            summary.interrupted = True
            if bar is not None:
                bar.clear()
            name = signal.Signals(summary.stop_signal or signal.SIGINT).name
            log(f"interrupted by {name}: stopping the workers, keeping the finished games")
            stop.set()
            wait_for_workers(time.monotonic() + SHUTDOWN_GRACE_S)
        elif halt.is_set():
            log(f"cannot write the records ({writer.failure}): stopping the workers")
            stop.set()
            wait_for_workers(time.monotonic() + SHUTDOWN_GRACE_S)
        check_processes()
    finally:
        summary.wall_seconds = time.monotonic() - started
        summary.seconds = (last_game[0] or time.monotonic()) - (first_start[0] or started)
        if bar is not None:
            bar.close()
        stop.set()
        for process in workers:
            if process.is_alive():
                process.join(timeout=1.0)
            if process.is_alive():
                process.kill()  # workers ignore the stop signals; the parent ends them
                process.join(timeout=1.0)
        dispatcher.close_all()
        finish.set()
        server.join(timeout=5.0)
        if server.is_alive():
            service_terminated[0] = True
            server.kill()
            server.join(timeout=1.0)
        check_service()  # a death the loop did not see before the workers were gone
        if writer is not None:
            writer.flush()
            summary.shards = list(writer.written)
            if writer.pending:
                error = writer.failure
                summary.unwritten = len(writer.pending)
                summary.worker_failures.append(
                    f"{summary.unwritten} finished game(s) could not be written to {out}: "
                    f"{type(error).__name__}: {error}")
        for number, handler in previous_handlers.items():
            signal.signal(number, handler)
    served = counters.requests.value
    if served and summary.requests == 0:
        summary.requests = served
    return summary


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def add_selfplay(subparsers: argparse._SubParsersAction) -> None:
    o = Options()
    parser = subparsers.add_parser(
        "selfplay",
        help="play self-play games and write records",
        description="Plays self-play games with worker processes and one batched inference service, "
        "writing the records as compressed .npz shards into --out.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    add_search_arguments(parser)
    run = parser.add_argument_group("run")
    run.add_argument("--games", type=int, default=o.games, help="games to play")
    run.add_argument("--workers", type=int, default=None,
                     help="worker processes (default: the core count, at most --games)")
    run.add_argument("--threads-per-worker", type=int, default=o.threads_per_worker,
                     help="games played at once in each worker")
    run.add_argument("--batch-size", type=int, default=None,
                     help="most requests per evaluation (default: workers x threads)")
    run.add_argument("--max-wait-ms", type=float, default=o.max_wait_ms,
                     help="longest wait for a batch to fill after its first request "
                     "(0: evaluate whatever has arrived; raise it for a network on a GPU)")
    run.add_argument("--evaluator", default=o.evaluator,
                     help=f"evaluator: {', '.join(evaluators.names())}, or module:factory")
    run.add_argument("--model", default=None, help="network checkpoint for --evaluator net")
    run.add_argument("--seed", type=int, default=None, help="seed of the random evaluator")
    run.add_argument("--out", default=o.out, help="folder for the shards and the worker logs")
    run.add_argument("--games-per-shard", type=int, default=o.games_per_shard, help="games per shard file")
    run.add_argument("--reply-timeout", type=float, default=o.reply_timeout,
                     help="seconds a worker waits for one reply before giving up")
    run.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.set_defaults(handler=_run_selfplay)


def _run_selfplay(args: argparse.Namespace) -> int:
    try:
        search = search_from(args)
        options = Options(
            games=args.games,
            workers=args.workers if args.workers is not None else max(1, min(os.cpu_count() or 1, args.games)),
            threads_per_worker=args.threads_per_worker,
            batch_size=args.batch_size,
            max_wait_ms=args.max_wait_ms,
            evaluator=evaluators.with_argument(args.evaluator, args.model),
            seed=args.seed,
            out=args.out,
            games_per_shard=args.games_per_shard,
            reply_timeout=args.reply_timeout,
            progress=not args.no_progress,
            value_offset=args.value_offset,
        )
        options.validate()
        records.check_output_folder(options.out)
        evaluators.probe(options.evaluator, options.seed)
    except ConfigError as error:
        print(f"velmar-pipeline selfplay: error: {error}", file=sys.stderr)
        return 2
    except ValueError as error:
        print(f"velmar-pipeline selfplay: error: {error}", file=sys.stderr)
        return 2
    print(
        f"selfplay: {options.games} games, {options.workers} workers x {options.threads_per_worker} threads, "
        f"evaluator {options.evaluator}, sims_per_move {search.sims_per_move}, value offset {options.value_offset:g}, "
        f"out {options.out}",
        flush=True,
    )
    summary = run_selfplay(search, options)
    for line in summary.lines():
        print(line)
    sys.stdout.flush()
    return summary.exit_status(options.games)
