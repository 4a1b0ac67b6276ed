"""What runs on each node of a cluster: today's single-machine run, fed games in batches.

``NodeRunner`` is a Ray actor (``velmar_pipeline.selfplay.cluster`` places one per node). It plays a
``SelfplayRun`` of its own (inference service and worker processes on its node's cores) in a
thread, with two changes made from outside the run:

- the games come in batches (``add``) instead of a count fixed at the start, so the run's
  dispatcher stays open until the driver says no more will come (``finish``);
- finished games are not written here but kept in an outbox that the driver empties (``poll``);
  the driver writes every shard, so a game is written once, by one process.

A game counts as returned only once the driver holds it: when a node dies, what it had been dealt
and not returned is dealt again to the others, finished or not.
"""

from __future__ import annotations

import os
import queue
import shutil
import socket
import sys
import tempfile
import threading
from dataclasses import replace
from pathlib import Path

from velmar_pipeline.selfplay import worker
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.run import Dispatcher, SelfplayRun

MODEL_STEM = "model"


class OpenDispatcher(Dispatcher):
    """A dispatcher whose workers wait for more games until ``open`` is cleared."""

    def __init__(self, capacity: int, conns: list):
        super().__init__(0, capacity, conns)
        self.open = True

    def grant(self) -> None:
        if self.open and self.pool == 0 and not any(self.held):
            return  # nothing to hand out yet, and closing the pipes would end the workers
        super().grant()


class BatchedRun(SelfplayRun):
    """A ``SelfplayRun`` fed from another thread, its finished games kept for the driver."""

    # New games are taken up when the run looks at its processes: often, so that a node is not
    # left idle between the driver's batches.
    poll_s = 0.02
    dispatcher: OpenDispatcher

    def __init__(self, search: SearchConfig, options, log=None):
        super().__init__(search, options, log)
        self.dispatcher = OpenDispatcher(options.threads_per_worker, [send for _, send in self.ticket_pipes])
        self.orders: queue.Queue = queue.Queue()  # game counts, or None for "no more games"
        self.outbox: list = []
        self.failed_games = 0  # games a worker gave up on: reported, so never dealt again
        self.changed = threading.Condition()

    def start(self) -> None:
        # A spawned child first imports its parent's main script: here Ray's worker script, which
        # imports all of Ray, a second or more of CPU per worker taken from the games. Without a
        # main script to import, the children load only what they run.
        main = sys.modules["__main__"]
        script = main.__dict__.pop("__file__", None)
        try:
            super().start()
        finally:
            if script is not None:
                main.__file__ = script

    def _check_processes(self) -> None:
        # Called every POLL_S by the run's own thread: the only thread that touches the dispatcher.
        while True:
            try:
                order = self.orders.get_nowait()
            except queue.Empty:
                break
            if order is None:
                self.dispatcher.open = False
            else:
                self.dispatcher.pool += order
            self.dispatcher.grant()
        super()._check_processes()

    def _handle(self, message) -> None:
        super()._handle(message)
        if isinstance(message, (worker.Finished, worker.Failed)):
            with self.changed:
                if isinstance(message, worker.Finished):
                    self.outbox.append((message.moves, message.policies, message.payoff, message.requests))
                else:
                    self.failed_games += 1
                self.changed.notify_all()


class NodeRunner:
    """The node's side of a cluster run (see the module docstring); methods are called by the driver."""

    def __init__(self, search: dict, options, checkpoint: tuple[str, bytes] | None = None):
        self.folder = Path(tempfile.mkdtemp(prefix="velmar-node-"))
        evaluator = options.evaluator
        if checkpoint is not None:  # the driver's model (suffix, bytes), shipped through the object store
            suffix, data = checkpoint
            path = self.folder / (MODEL_STEM + suffix)
            path.write_bytes(data)
            evaluator = f"net:{path}"
        self.options = replace(options, evaluator=evaluator, out=str(self.folder / "run"), write_records=False,
                               progress=False)
        self.messages: list[str] = []
        self.run = BatchedRun(SearchConfig(**search), self.options, log=self._log)
        self.done = threading.Event()
        self.error: str | None = None
        self.thread = threading.Thread(target=self._play, name="velmar-node-run", daemon=True)
        self.thread.start()

    def _log(self, text: str) -> None:
        with self.run.changed:
            self.messages.append(text)

    def _play(self) -> None:
        try:
            self.run.run()
        except BaseException as error:  # reported to the driver, which deals the games elsewhere
            self.error = f"{type(error).__name__}: {error}"
        finally:
            with self.run.changed:
                self.done.set()
                self.run.changed.notify_all()

    def ready(self, timeout: float) -> dict:
        """Waits until the node's service has made its evaluator; where and what this runner is."""
        deadline = threading.Event()
        waited = 0.0
        while not self.run.counters.ready.value and not self.done.is_set() and waited < timeout:
            deadline.wait(0.02)
            waited += 0.02
        return {"host": socket.gethostname(), "pid": os.getpid(), "ready": bool(self.run.counters.ready.value),
                "error": self.error, "messages": list(self.messages)}

    def add(self, games: int) -> None:
        self.run.orders.put(games)

    def finish(self) -> None:
        self.run.orders.put(None)

    def stop(self) -> None:
        self.run.interrupt.set()

    def poll(self, wait_s: float) -> dict:
        """The games finished since the last poll (waiting up to ``wait_s`` for one), the node's
        counts, and once its run is over, its summary."""
        with self.run.changed:
            self.run.changed.wait_for(lambda: self.run.outbox or self.done.is_set(), wait_s)
            games, self.run.outbox = self.run.outbox, []
            messages, self.messages = self.messages, []
            failed = self.run.failed_games
            done = self.done.is_set()
        report = {"games": games, "failed": failed, "messages": messages, "done": done, "error": self.error}
        if done:
            summary = self.run.summary
            report.update(served=summary.served, batches=summary.batches, busy=summary.service_busy_s,
                          failures=list(summary.worker_failures), notes=list(summary.notes),
                          service_failed=summary.service_failed)
        return report

    def logs(self) -> dict[str, bytes]:
        """The logs of the node's service and workers, by file name."""
        folder = Path(self.options.out)
        return {path.name: path.read_bytes() for path in sorted(folder.glob("*.log"))}

    def close(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
