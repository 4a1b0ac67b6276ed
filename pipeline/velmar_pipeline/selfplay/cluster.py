"""Self-play across the nodes of a Ray cluster: a run as an object, like ``SelfplayRun``.

The driver (this process) connects to the cluster (``connect``), places one node runner
(``velmar_pipeline.selfplay.node_runner``) on every node with CPUs, and goes through the lifecycle:

- ``start``: the stop signals only set a flag; the node runners are placed, each starting its
  node's inference service and workers (a network checkpoint travels through the object store);
- ``wait_ready``: until every runner's evaluator is made (a runner that fails here is left out);
- ``deal``: games go out in batches, about two per game slot of a node ahead of its play;
- ``collect``: each runner is polled for its finished games, which the driver writes to shards
  with one ``ShardWriter``, exactly as a single-machine run does; the batches are topped up; a
  runner or node that dies gives back the games it was dealt and has not returned;
- ``stop``: the runners finish (or stop, after a stop signal) and hand over their last games and
  their logs (into ``OUT/nodes/node-N``); every runner is ended.

Only this module and ``node_runner`` import Ray, and only ``--cluster`` imports them.
"""

from __future__ import annotations

import logging
import os
import socket
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

import ray
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.errors import ClusterError
from velmar_pipeline.selfplay.node_runner import NodeRunner
from velmar_pipeline.selfplay.run import RunLifecycle, Summary
from velmar_pipeline.streams import BestEffort

POLL_S = 0.5
READY_TIMEOUT_S = 300.0  # a network on a GPU may take a while to load
FINISH_TIMEOUT_S = 60.0
CONNECT_TIMEOUT_S = 30.0  # the whole attempt to join a cluster: Ray alone retries for many minutes
REACH_TIMEOUT_S = 5.0  # the plain connection tried first
BATCHES_AHEAD = 2  # games dealt to a node per game slot, beyond what it has returned
LOGS_FOLDER = "nodes"

logger = logging.getLogger(__name__)


class Connection:
    """This process's connection to a cluster; ``close`` ends the cluster too when it was started here."""

    def __init__(self, address: str):
        self.address = address
        self.started_here = address == "local"
        if ray.is_initialized():
            raise ClusterError("already connected to a Ray cluster in this process")
        deadline = time.monotonic() + CONNECT_TIMEOUT_S
        if address not in ("local", "auto"):
            _check_reachable(address)
        common = dict(logging_level="ERROR", log_to_driver=False, namespace="velmar")
        if not self.started_here:
            _bounded_init(address, deadline, address=address, **common)
            return
        # In this thread: the processes of the cluster live only as long as the thread that
        # started them, and a cluster started here has no address that could be the wrong one.
        try:
            ray.init(address="local", include_dashboard=False, **common)
        except (ConnectionError, RuntimeError, ValueError) as error:
            raise ClusterError(f"cannot start a local Ray cluster: {_one_line(error)}") from None

    def nodes(self) -> list[dict]:
        """The live nodes with at least one CPU, in a stable order."""
        live = [node for node in ray.nodes() if node.get("Alive") and node["Resources"].get("CPU", 0) >= 1]
        return sorted(live, key=lambda node: (node["NodeManagerAddress"], node["NodeID"]))

    def close(self) -> None:
        if ray.is_initialized():
            ray.shutdown()


def _bounded_init(name: str, deadline: float, **arguments) -> None:
    """``ray.init(**arguments)`` joining a running cluster, given up at ``deadline`` (or Ctrl-C)
    with a ClusterError in one line.

    Ray retries an address that answers but is no Ray head for many minutes, printing a warning
    every few seconds. The attempt runs in a thread of its own, with this process's standard
    output and error in a log file, named in the error and removed when the attempt succeeds. An
    attempt given up goes on in the background until the process ends, so its output stays in
    the log, and this process's own messages go on to the terminal through copies of its
    descriptors.
    """
    fd, log = tempfile.mkstemp(prefix="velmar-ray-connect-", suffix=".log")
    outcome: dict = {}

    def attempt() -> None:
        try:
            ray.init(**arguments)
        except BaseException as error:
            outcome["error"] = error

    sys.stdout.flush()
    sys.stderr.flush()
    terminal = os.dup(1), os.dup(2)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    os.close(fd)
    thread = threading.Thread(target=attempt, name="velmar-ray-connect", daemon=True)
    try:
        thread.start()
        thread.join(max(deadline - time.monotonic(), 0.0))
    except BaseException:
        os.unlink(log)  # Ctrl-C: the user knows why it ended
        raise
    finally:
        if thread.is_alive():  # given up, or Ctrl-C
            sys.stdout = BestEffort(os.fdopen(terminal[0], "w", buffering=1))
            sys.stderr = BestEffort(os.fdopen(terminal[1], "w", buffering=1))
        else:
            for number, saved in enumerate(terminal, start=1):
                os.dup2(saved, number)
                os.close(saved)
    said = f" (Ray's messages: {log})" if thread.is_alive() or os.path.getsize(log) else ""
    if thread.is_alive():
        raise ClusterError(f"no Ray cluster answered at {name!r} within {CONNECT_TIMEOUT_S:g} s{said}")
    if not said or "error" not in outcome:
        os.unlink(log)
    if "error" in outcome:
        error = outcome["error"]
        if not isinstance(error, Exception):
            raise error
        raise ClusterError(f"cannot connect to the Ray cluster at {name!r}: {_one_line(error)}{said}") from None


def _check_reachable(address: str) -> None:
    # ray.init keeps retrying an address nobody answers at for minutes; a plain connection
    # attempt tells the user at once.
    host, _, port = address.rpartition(":")
    if address.startswith("ray://"):
        return
    if not host or not port.isdigit():
        raise ClusterError(f"--cluster takes local, auto or HOST:PORT of a Ray head node, got {address!r}")
    try:
        socket.create_connection((host, int(port)), timeout=REACH_TIMEOUT_S).close()
    except OSError as error:
        raise ClusterError(f"cannot reach a Ray cluster at {address}: {error.strerror or error}") from None


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


@dataclass
class Node:
    """The driver's account of one node runner."""

    index: int
    node_id: str
    address: str
    workers: int
    threads: int
    handle: Any = None  # the runner's Ray actor
    host: str = ""
    dealt: int = 0
    returned: int = 0
    failed: int = 0
    moves: int = 0
    requests: int = 0
    served: int = 0
    alive: bool = True
    done: bool = False
    poll: Any = None  # the poll in flight
    error: str | None = None  # why its run ended, as its last report says

    @property
    def slots(self) -> int:
        return self.workers * self.threads

    @property
    def outstanding(self) -> int:
        """Games dealt to it that it has neither returned nor given up on."""
        return self.dealt - self.returned - self.failed


@dataclass
class ClusterSummary(Summary):
    nodes: list[Node] = field(default_factory=list)

    @property
    def service_busy(self) -> float:
        """The mean share of the play the nodes' services spent answering."""
        serving = sum(1 for node in self.nodes if node.served)
        return min(self.service_busy_s / (self.seconds * serving), 1.0) if self.seconds > 0 and serving else 0.0

    def lines(self) -> list[str]:
        out = super().lines()
        seconds = self.seconds if self.seconds > 0 else float("inf")
        for node in self.nodes:
            state = "" if node.alive else " (lost)"
            out.append(f"node {node.index} {node.host or node.address}{state}: {node.workers} workers x "
                       f"{node.threads} threads, {node.returned} games, {node.moves} moves, "
                       f"{node.requests / seconds:.0f} requests/s")
        return out


class ClusterRun(RunLifecycle):
    """One self-play run over a cluster (see the module docstring); ``run()`` plays it."""

    summary: ClusterSummary

    def __init__(self, search: SearchConfig, options, connection: Connection, workers_per_node: int | None = None,
                 log=None):
        self._set_up(options, log, ClusterSummary())
        self.search = search
        self.connection = connection
        self.workers_per_node = workers_per_node
        self.pool = options.games  # games not dealt to any node
        self.nodes: list[Node] = []
        self.on_game = None  # tests: called after each game the driver receives
        self.writer = self._shard_writer(search)

    # --- lifecycle -----------------------------------------------------------------------------

    def start(self) -> None:
        self._catch_stop_signals()
        self._report_leftovers()
        nodes = self.connection.nodes()
        if not nodes:
            raise ClusterError("the cluster has no live node with a CPU")
        checkpoint = self._checkpoint()
        gpu = checkpoint is not None and not self.options.evaluator.endswith(".onnx")  # ONNX models play on CPUs
        actor = ray.remote(NodeRunner)
        for index, info in enumerate(nodes):
            workers = self.workers_per_node or max(1, int(info["Resources"]["CPU"]))
            node = Node(index, info["NodeID"], info["NodeManagerAddress"], workers, self.options.threads_per_worker)
            options = _node_options(self.options, workers)
            node.handle = actor.options(
                num_cpus=1, num_gpus=1 if gpu and info["Resources"].get("GPU", 0) >= 1 else 0, max_concurrency=8,
                max_restarts=0, scheduling_strategy=NodeAffinitySchedulingStrategy(node.node_id, soft=False),
            ).remote(self.search.as_dict(), options, checkpoint)
            self.nodes.append(node)
        self.summary.nodes = self.nodes

    def wait_ready(self) -> bool:
        """Waits for every runner's evaluator; False when none is ready or a stop signal came."""
        calls = {node.index: node.handle.ready.remote(READY_TIMEOUT_S) for node in self.nodes}
        for node in self.nodes:
            while not self.interrupt.is_set():
                done, _ = ray.wait([calls[node.index]], timeout=POLL_S)
                if done:
                    break
            if self.interrupt.is_set():
                return False
            try:
                info = ray.get(calls[node.index])
            except ray.exceptions.RayError as error:
                self._lose(node, f"could not start ({_one_line(error)})")
                continue
            node.host = info["host"]
            if not info["ready"]:
                messages = "; ".join(info["messages"][-2:]) or info["error"] or "its service did not start in time"
                self._lose(node, f"could not start: {messages}")
        if not any(node.alive for node in self.nodes):
            self._failure("no node runner could start")
            return False
        return True

    def deal(self) -> None:
        self.dealt_at = time.monotonic()
        self._top_up()
        for node in self.nodes:
            if node.alive:
                node.poll = node.handle.poll.remote(POLL_S)
        self._open_progress_bar()

    def collect(self) -> None:
        while not self.interrupt.is_set() and not self.writer.failure:
            live = [node for node in self.nodes if node.alive and not node.done]
            if self.pool == 0 and not any(node.outstanding for node in live):
                return
            if not live:
                self._failure(f"no node runner left; {self.pool} game(s) not played")
                return
            self._poll_once(live)
            self._top_up()
        self._say_why_stopping("every node")

    def stop(self) -> None:
        summary = self.summary
        self._stop_the_clock()
        live = [node for node in self.nodes if node.alive and node.handle is not None]
        for node in live:
            try:
                (node.handle.stop if summary.interrupted or self.writer.failure else node.handle.finish).remote()
            except ray.exceptions.RayError:
                pass
        self._drain(live, time.monotonic() + FINISH_TIMEOUT_S)
        self._gather_logs(live)
        for node in self.nodes:
            if node.handle is not None:
                ray.kill(node.handle)
        self._write_the_rest()
        self._restore_stop_signals()
        summary.wall_seconds = time.monotonic() - self.started
        summary.served = sum(node.served for node in self.nodes)
        if summary.served and summary.requests == 0:
            summary.requests = summary.served

    # --- what happens on the way ---------------------------------------------------------------

    def _checkpoint(self):
        """The network model (its file's suffix and bytes: a checkpoint, or an ``.onnx`` model that
        nodes serve without torch) as an object in the store, for the nodes to load; None for others."""
        evaluator = self.options.evaluator
        if not evaluator.startswith("net:"):
            return None
        path = Path(evaluator[len("net:"):])
        return ray.put((path.suffix, path.read_bytes()))

    def _top_up(self) -> None:
        # Every node's game slots are filled before any node gets games ahead of its play, so that
        # a short run does not end up on the first node alone.
        for ahead in (1, BATCHES_AHEAD):
            for node in self.nodes:
                if not node.alive or node.done or self.pool == 0:
                    continue
                games = min(self.pool, ahead * node.slots - node.outstanding)
                if games > 0:
                    node.handle.add.remote(games)
                    node.dealt += games
                    self.pool -= games

    def _poll_once(self, live: list[Node]) -> None:
        for node in self._poll(live, lambda node, error: self._lose(node, f"died ({error})")):
            if node.done and (node.outstanding or self.pool):
                self._lose(node, f"ended early ({node.error or 'see its logs'})")

    def _poll(self, nodes: list[Node], lost) -> list[Node]:
        """Takes the report of whichever of ``nodes`` answers within POLL_S and polls it again;
        returns the nodes whose runs are over: done, or gone (``lost(node, why)`` called)."""
        ready, _ = ray.wait([node.poll for node in nodes], num_returns=1, timeout=POLL_S)
        over = []
        for node in nodes:
            if node.poll not in ready:
                continue
            try:
                report = ray.get(node.poll)
            except ray.exceptions.RayError as error:
                lost(node, _one_line(error))
                over.append(node)
                continue
            self._take(node, report)
            if report["done"]:
                node.done = True
                node.error = report["error"]
                over.append(node)
            else:
                node.poll = node.handle.poll.remote(POLL_S)
        return over

    def _take(self, node: Node, report: dict) -> None:
        for moves, policies, payoff, replies in report["games"]:
            game = records.GameRecord(moves, policies, payoff)
            self.writer.add(game)
            self.summary.add_game(game, replies)
            node.returned += 1
            node.moves += len(game)
            node.requests += replies
            self.last_game = time.monotonic()
            self._show_progress()
            if self.on_game is not None:
                self.on_game(self, node)
        node.failed = report["failed"]
        for text in report["messages"]:
            self.log(f"node {node.index}: {text}")
        if report["done"]:
            node.served = report["served"]
            self.summary.batches += report["batches"]
            self.summary.service_busy_s += report["busy"]
            self.summary.service_failed |= report["service_failed"]
            for text in report["failures"]:
                self.summary.worker_failures.append(f"node {node.index}: {text}")
            self.summary.notes += [f"node {node.index}: {text}" for text in report.get("notes", [])]

    def _lose(self, node: Node, reason: str) -> None:
        """``node`` plays no more: what it holds goes back to the pool for the others."""
        node.alive = False
        back = max(node.outstanding, 0)
        self.pool += back
        node.dealt -= back
        self._failure(f"node {node.index} ({node.host or node.address}) {reason}; "
                      f"{back} game(s) dealt again to the others")

    def _drain(self, live: list[Node], deadline: float) -> None:
        """Polls the runners until each says its run is over (or the deadline)."""
        waiting = [node for node in live if not node.done]
        for node in waiting:
            if node.poll is None:
                node.poll = node.handle.poll.remote(POLL_S)
        while waiting and time.monotonic() < deadline:
            for node in self._poll(waiting, self._lost_while_stopping):
                waiting.remove(node)
        for node in waiting:
            self._failure(f"node {node.index} did not stop within {FINISH_TIMEOUT_S:g} s")

    def _lost_while_stopping(self, node: Node, why: str) -> None:
        node.alive = False
        self._failure(f"node {node.index} died while stopping ({why})")

    def _gather_logs(self, nodes: list[Node]) -> None:
        for node in nodes:
            if not node.done:
                continue
            try:
                logs = ray.get(node.handle.logs.remote(), timeout=FINISH_TIMEOUT_S)
                ray.get(node.handle.close.remote(), timeout=FINISH_TIMEOUT_S)
            except ray.exceptions.RayError as error:
                self.log(f"node {node.index}: its logs could not be fetched ({_one_line(error)})")
                continue
            folder = self.out / LOGS_FOLDER / f"node-{node.index}"
            folder.mkdir(parents=True, exist_ok=True)
            for name, data in logs.items():
                (folder / name).write_bytes(data)

    def _progress_note(self) -> str:
        return f", {sum(node.alive for node in self.nodes)} nodes"

    def _failure(self, text: str) -> None:
        self.summary.worker_failures.append(text)
        if self.bar is not None:
            self.bar.clear()
        self.log(text)


def _node_options(options, workers: int):
    # The games come in batches; the count here only has to pass the checks.
    return replace(options, games=1, workers=workers)


def run_selfplay(search: SearchConfig, options, address: str, workers_per_node: int | None = None,
                 log=None) -> ClusterSummary:
    """Connects to the cluster at ``address``, plays the run and disconnects (ending a ``local`` cluster)."""
    connection = Connection(address)
    try:
        return ClusterRun(search, options, connection, workers_per_node, log).run()
    finally:
        connection.close()
