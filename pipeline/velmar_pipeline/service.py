"""The inference service: one process that answers every worker's evaluation requests.

Workers put requests ``(id, planes)`` on one shared multiprocessing queue. The service takes them
off in batches (up to ``batch_size`` requests, waiting at most ``max_wait_ms`` after the first
one), stacks the planes into a float32 array [B, 5, 400], calls the evaluator and sends each reply
``(logits, values, id)`` to the reply pipe of the slot that owns the id (``id // ID_STRIDE``).
The engine reads only the first two items; the id lets the receiving end check the routing.

Once the run is stopping (``stop`` set), every request is answered with ``STOP`` instead, which
makes the worker abandon its game. The service ends when ``finish`` is set and the queue is
empty, or when its parent process is gone.
"""

from __future__ import annotations

import os
import queue as queue_module
import signal
import time
from collections.abc import Sequence
from multiprocessing.connection import Connection

import numpy as np

from velmar_pipeline import evaluators

# Game ids: slot * ID_STRIDE + game number within the slot; ids must fit a signed 32-bit integer.
ID_STRIDE = 1_000_000
MAX_SLOTS = (2**31 - 1) // ID_STRIDE
STOP = None  # reply meaning "the run is stopping, abandon the game"
STOP_CHECK_S = 0.05


def game_id(slot: int, game_number: int) -> int:
    return slot * ID_STRIDE + game_number % ID_STRIDE


def owner(request_id: int) -> int:
    return request_id // ID_STRIDE


class Counters:
    """Shared request and batch counts, written by the service and read by the parent."""

    def __init__(self, context):
        self.requests = context.Value("q", 0, lock=False)
        self.batches = context.Value("q", 0, lock=False)


def answer(batch: list, conns: Sequence[Connection], evaluator) -> None:
    """Evaluates one batch of requests and sends every reply to its owner."""
    ids = [request[0] for request in batch]
    planes = np.asarray([request[1] for request in batch], dtype=np.float32)
    logits, values = evaluator(planes)
    logits = np.asarray(logits, dtype=np.float32).tolist()
    values = np.asarray(values, dtype=np.float32).tolist()
    for row, request_id in enumerate(ids):
        reply(conns, request_id, (logits[row], values[row], request_id))


def reply(conns: Sequence[Connection], request_id: int, message) -> None:
    """Sends one reply; a worker that died meanwhile is skipped (the parent reports it)."""
    try:
        conns[owner(request_id)].send(message)
    except (BrokenPipeError, ConnectionResetError):
        pass


def serve(
    requests,
    conns: Sequence[Connection],
    evaluator_spec: str,
    seed: int | None,
    batch_size: int,
    max_wait_ms: float,
    stop,
    finish,
    counters: Counters | None = None,
) -> None:
    """Process entry point of the service (see the module docstring)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent decides how a run ends
    evaluator = evaluators.make(evaluator_spec, seed)
    parent = os.getppid()
    max_wait = max_wait_ms / 1000.0
    stopping = False
    next_check = time.monotonic() + STOP_CHECK_S
    get = requests.get
    served = 0
    batches = 0
    while True:
        now = time.monotonic()
        if now >= next_check:
            next_check = now + STOP_CHECK_S
            stopping = stopping or stop.is_set()
            if counters is not None:
                counters.requests.value = served
                counters.batches.value = batches
            if os.getppid() != parent:
                break
        try:
            first = get(timeout=STOP_CHECK_S)
        except queue_module.Empty:
            if finish.is_set() or os.getppid() != parent:
                break
            continue
        batch = [first]
        deadline = time.monotonic() + max_wait
        while len(batch) < batch_size:
            remaining = deadline - time.monotonic()
            try:
                batch.append(get(timeout=remaining) if remaining > 0 else requests.get_nowait())
            except queue_module.Empty:
                break
        if stopping:
            for request in batch:
                reply(conns, request[0], STOP)
        else:
            answer(batch, conns, evaluator)
        served += len(batch)
        batches += 1
    if counters is not None:
        counters.requests.value = served
        counters.batches.value = batches
