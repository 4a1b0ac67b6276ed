"""The inference service: one process that answers every worker's evaluation requests.

Workers write requests into one shared pipe (the frames of ``velmar_pipeline.wire``). The
service reads them in batches (up to ``batch_size`` requests, waiting at most ``max_wait_ms``
after the first one), calls the evaluator on the planes [B, 5, 400] and sends each reply to the
reply pipe of the slot that owns the id (``id // ID_STRIDE``). The engine reads the logits and
the values; the id lets the receiving end check the routing. Evaluators predict payoffs; the
service sends them shifted by the run's value offset (``evaluators.search_values``), the scale
the search compares its children on.

Once the run is stopping (``stop`` set), every request is answered with ``wire.STOP`` instead,
which makes the worker abandon its game. The service ends when ``finish`` is set and no request
is waiting, when every writer has closed the request pipe, or when its parent process is gone.
"""

from __future__ import annotations

import os
import sys
import time
import traceback
from collections.abc import Sequence
from multiprocessing.connection import Connection


from velmar_pipeline import evaluators, wire

# Game ids: slot * ID_STRIDE + game number within the slot; ids must fit a signed 32-bit integer.
ID_STRIDE = 1_000_000
MAX_SLOTS = (2**31 - 1) // ID_STRIDE
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
        self.ready = context.Value("b", 0, lock=False)  # set once the evaluator is made


def answer(frames: bytes, conns: Sequence[Connection], evaluator, value_offset: float = 0.0) -> int:
    """Evaluates one batch of request frames, sends every reply to its owner; returns the batch size."""
    ids, planes = wire.unpack_requests(frames)
    logits, values = evaluators.checked_outputs(evaluator, planes)
    values = evaluators.search_values(values, value_offset)
    for request_id, message in zip(ids.tolist(), wire.pack_replies(ids, logits, values)):
        reply(conns, request_id, message)
    return len(ids)


def refuse(frames: bytes, conns: Sequence[Connection]) -> int:
    """Answers every request of a batch with STOP; returns the batch size."""
    ids, _ = wire.unpack_requests(frames)
    for request_id in ids.tolist():
        reply(conns, request_id, wire.STOP)
    return len(ids)


def reply(conns: Sequence[Connection], request_id: int, message: bytes) -> None:
    """Sends one reply; a worker that died meanwhile is skipped (the parent reports it)."""
    slot = owner(request_id)
    if not 0 <= slot < len(conns):
        return  # not an id this run handed out
    try:
        conns[slot].send_bytes(message)
    except (BrokenPipeError, ConnectionResetError):
        pass


def serve(
    requests: Connection,
    conns: Sequence[Connection],
    evaluator_name: str,
    seed: int | None,
    batch_size: int,
    max_wait_ms: float,
    stop,
    finish,
    counters: Counters | None = None,
    value_offset: float = 0.0,
    log_path: str | None = None,
) -> None:
    """Process entry point of the service (see the module docstring). ``requests`` is the read end
    of the shared request pipe. An error ends the process with status 1 after writing its
    traceback to ``log_path`` (standard output and error go there)."""
    from velmar_pipeline.worker import ignore_stop_signals, redirect_output

    ignore_stop_signals()
    if log_path is not None:
        redirect_output(log_path)
    try:
        _serve(requests, conns, evaluator_name, seed, batch_size, max_wait_ms, stop, finish, counters, value_offset)
    except Exception:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)


def _serve(requests, conns, evaluator_name, seed, batch_size, max_wait_ms, stop, finish, counters, value_offset):
    evaluator = evaluators.make(evaluator_name, seed)
    if counters is not None:
        counters.ready.value = 1
    reader = wire.RequestReader(requests.fileno())
    parent = os.getppid()
    max_wait = max_wait_ms / 1000.0
    stopping = False
    next_check = time.monotonic() + STOP_CHECK_S
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
        frames = reader.read(batch_size, STOP_CHECK_S, max_wait, time.monotonic)
        if not frames:
            if reader.closed or finish.is_set() or os.getppid() != parent:
                break
            continue
        served += refuse(frames, conns) if stopping else answer(frames, conns, evaluator, value_offset)
        batches += 1
    if counters is not None:
        counters.requests.value = served
        counters.batches.value = batches
