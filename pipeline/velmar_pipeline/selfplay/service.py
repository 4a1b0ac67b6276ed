"""The inference service: one process that answers every worker's evaluation requests.

Workers write requests into one shared pipe (the frames of ``velmar_pipeline.selfplay.wire``). The
service reads them in batches (every frame waiting, up to ``batch_size``, gathering more for at
most ``max_wait_ms`` after the first one), calls the evaluator on the planes [B, 5, 400] and
sends each reply to the reply pipe of the slot that owns the id (``id // ID_STRIDE``). Reading the
frames (one poll and one read of every frame waiting, per batch), decoding them straight from the
buffer they were read into, checking the evaluator's numbers and writing the replies (one write
each, the logits straight from the evaluator's array) is native code (``velmar_wire``): the loop
runs no Python per request, only per batch. The engine reads the logits and the values; the id
lets the receiving end check the routing. Evaluators predict payoffs; the service sends them
shifted by the run's value offset (``evaluators.search_values``), the scale the search compares its
children on. Its CPU time per request is in the run's summary.

A run that stops early needs nothing of the service: its workers abandon their games by ending
(``velmar_pipeline.selfplay.worker``), which a failed evaluation would make the engine report as an
internal failure. The service ends when ``finish`` is set and no request is waiting, when every
writer has closed the request pipe, or when its parent process is gone.
"""

from __future__ import annotations

import os
import sys
import time
import traceback
from collections.abc import Sequence
from multiprocessing.connection import Connection

import numpy as np

from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.selfplay import wire
from velmar_pipeline.selfplay.process import ignore_stop_signals, redirect_output

# Game ids: slot * ID_STRIDE + game number within the slot; ids must fit a signed 32-bit integer.
ID_STRIDE = 1_000_000
MAX_SLOTS = (2**31 - 1) // ID_STRIDE
STOP_CHECK_S = 0.05
GATHER_SHARE = 0.1
MAX_GATHER_S = 0.05
MIN_GATHER_S = 0.001


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
        self.busy_s = context.Value("d", 0.0, lock=False)  # time spent answering batches
        self.cpu_s = context.Value("d", 0.0, lock=False)  # the service's CPU time since it was ready

    def publish(self, requests: int, batches: int, busy_s: float, cpu_s: float = 0.0) -> None:
        self.requests.value = requests
        self.batches.value = batches
        self.busy_s.value = busy_s
        self.cpu_s.value = cpu_s


def reply_writer(conns: Sequence[Connection]) -> wire.ReplyWriter:
    """The service's ends of the reply pipes, by slot, for ``answer``; ``conns`` must stay open as
    long as it is used."""
    return wire.ReplyWriter([conn.fileno() for conn in conns], ID_STRIDE)


def answer(frames: bytes, writer: wire.ReplyWriter, evaluator, value_offset: float = 0.0) -> int:
    """Evaluates one batch of request frames, sends every reply to its owner; returns the batch size.

    A reply whose id is no slot's, or whose worker has died meanwhile, is dropped (the parent
    reports a dead worker)."""
    return answer_arrays(*wire.decode_batch(frames), writer, evaluator, value_offset)


def answer_arrays(ids: np.ndarray, planes: np.ndarray, writer: wire.ReplyWriter, evaluator,
                  value_offset: float = 0.0) -> int:
    """``answer`` for a batch already decoded: the ids [B] and the planes [B, 5, 400]."""
    logits, values = evaluators.shaped_outputs(evaluator, planes)
    # evaluators.check_payoffs, the finiteness check and evaluators.search_values, fused into the
    # native copy of the replies: nothing is sent unless the whole batch passes.
    writer.send_payoffs(ids, logits, values, value_offset, evaluators.PAYOFF_SLACK)
    return len(ids)


def serve(
    requests: Connection,
    conns: Sequence[Connection],
    evaluator_name: str,
    seed: int | None,
    batch_size: int,
    max_wait_ms: float,
    finish,
    counters: Counters | None = None,
    value_offset: float = 0.0,
    log_path: str | None = None,
    floor: bool = False,
) -> None:
    """Process entry point of the service (see the module docstring). ``requests`` is the read end
    of the shared request pipe. An error ends the process with status 1 after writing its
    traceback to ``log_path`` (standard output and error go there). ``floor``: answer every
    request with one prebuilt reply, unread (``velmar_pipeline.selfplay.floor``)."""
    ignore_stop_signals()
    if log_path is not None:
        redirect_output(log_path)
    try:
        _serve(requests, conns, evaluator_name, seed, batch_size, max_wait_ms, finish, counters, value_offset, floor)
    except Exception:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)


def _serve(requests, conns, evaluator_name, seed, batch_size, max_wait_ms, finish, counters, value_offset, floor):
    evaluator = evaluators.make(evaluator_name, seed)
    if floor:
        from velmar_pipeline.selfplay.floor import PrebuiltReplies

        evaluator = PrebuiltReplies(batch_size)
    if counters is not None:
        counters.ready.value = 1
    cpu_start = time.process_time()
    reader = wire.RequestReader(requests.fileno()).native  # its read without the Python layer
    writer = reply_writer(conns)
    parent = os.getppid()
    fixed_wait = None if max_wait_ms is None else max_wait_ms / 1000.0
    gather = fixed_wait or 0.0
    next_check = time.monotonic() + STOP_CHECK_S
    served = 0
    batches = 0
    busy = 0.0
    while True:
        now = time.monotonic()
        if now >= next_check:
            next_check = now + STOP_CHECK_S
            if counters is not None:
                counters.publish(served, batches, busy, time.process_time() - cpu_start)
            if os.getppid() != parent:
                break
        # Read and decoded natively in one go (the floor's service reads the frames only).
        batch = (reader.read(batch_size, STOP_CHECK_S, gather) or None) if floor else \
            reader.read_batch(batch_size, STOP_CHECK_S, gather)
        if batch is None:
            if reader.closed or finish.is_set() or os.getppid() != parent:
                break
            continue
        started = time.perf_counter()
        if floor:
            served += evaluator.answer(batch, writer)
        else:
            served += answer_arrays(*wire.batch_arrays(*batch), writer, evaluator, value_offset)
        spent = time.perf_counter() - started
        busy += spent
        batches += 1
        if fixed_wait is None:
            # Gathering for a tenth of an evaluation costs at most a tenth of the throughput, and
            # fills the batches of an evaluator whose cost is mostly per call.
            gather = min(GATHER_SHARE * spent, MAX_GATHER_S)
            gather = gather if gather >= MIN_GATHER_S else 0.0  # waits are whole milliseconds
    if counters is not None:
        counters.publish(served, batches, busy, time.process_time() - cpu_start)
