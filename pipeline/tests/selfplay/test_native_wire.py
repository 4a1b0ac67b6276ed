"""The native exchange endpoints (velmar_wire) against the Python reference in wire."""

import os
import signal
import struct
from multiprocessing import Pipe

import numpy as np
import pytest

from scripted_games import real_positions
from velmar_pipeline.selfplay import service
from velmar_pipeline.selfplay import wire

HEADER = struct.Struct("!i")  # a Connection message's length


@pytest.fixture
def fds():
    opened = []

    def pipe():
        ends = os.pipe()
        opened.extend(ends)
        return ends

    yield pipe
    for fd in opened:
        try:
            os.close(fd)
        except OSError:
            pass


def test_endpoints_match_the_reference_byte_for_byte(fds):
    positions = real_positions(8)
    ids = np.array([service.game_id(slot, 3) for slot in range(len(positions))], np.int32)
    read, write = fds()
    sender = wire.RequestSender(write)
    for request_id, planes in zip(ids.tolist(), positions):
        sender.put((request_id, planes.tolist()))
    frames = os.read(read, 64 * wire.FRAME)
    assert frames == b"".join(wire.pack_request(i, p.tolist()) for i, p in zip(ids.tolist(), positions))
    for native, reference in zip(wire.decode_batch(frames), wire.unpack_requests(frames)):
        assert native.dtype == reference.dtype and np.array_equal(native, reference)

    rng = np.random.default_rng(5)
    logits = rng.standard_normal((len(ids), 400)).astype(np.float32)
    values = rng.random((len(ids), 4)).astype(np.float32)
    ends = [Pipe(duplex=False) for _ in ids]
    service.reply_writer([send for _, send in ends]).send(ids, logits, values)
    for (receive, _), message in zip(ends, wire.pack_replies(ids, logits, values)):
        assert os.read(receive.fileno(), 4096) == HEADER.pack(len(message)) + message
    for (receive, send), message in zip(ends, wire.pack_replies(ids, logits, values)):
        send.send_bytes(message)
        pipe = wire.ReplyPipe(receive, 5.0)
        pipe.expected_id = wire.unpack_reply(message)[2]
        assert pipe.recv() == wire.unpack_reply(message) and pipe.replies == 1


BAD_REQUESTS = {
    "half": (1, np.full((5, 400), 0.5).tolist(), wire.PlanesNotBinary),
    "nan": (1, [[0.0] * 399 + [float("nan")]] + [[0.0] * 400] * 4, wire.PlanesNotBinary),
    "four planes": (1, [[0.0] * 400] * 4, ValueError),
    "short plane": (1, [[0.0] * 400] * 4 + [[0.0] * 399], ValueError),
    "text": (1, [["0"] * 400] * 5, ValueError),
    "big id": (2**31, [[0.0] * 400] * 5, ValueError),
}


@pytest.mark.parametrize("name", sorted(BAD_REQUESTS))
def test_a_request_that_is_no_frame_is_refused_and_nothing_is_written(fds, name):
    request_id, planes, error = BAD_REQUESTS[name]
    read, write = fds()
    with pytest.raises(error):
        wire.pack_request(request_id, planes)
    with pytest.raises(error):
        wire.RequestSender(write).put((request_id, planes))
    os.set_blocking(read, False)
    with pytest.raises(BlockingIOError):
        os.read(read, 1)


def test_short_and_foreign_replies_are_refused_and_the_next_one_is_read_in_step():
    receive, send = Pipe(duplex=False)
    pipe = wire.ReplyPipe(receive, 5.0)
    pipe.expected_id = 7
    [good] = wire.pack_replies(np.array([7]), np.ones((1, 400)), np.full((1, 4), 0.25))
    for bad in (good[:-1], good + b"\0" * 8, b"x" * 9000):
        send.send_bytes(bad)
        with pytest.raises(ValueError, match="1620 bytes"):
            pipe.recv()
    send.send_bytes(good)
    first = pipe.recv()
    assert first == wire.unpack_reply(good)
    [other] = wire.pack_replies(np.array([7]), np.full((1, 400), 2.0), np.zeros((1, 4)))
    send.send_bytes(other)
    assert pipe.recv() == wire.unpack_reply(other)
    assert first == wire.unpack_reply(good)  # a reply still held is never refilled
    assert pipe.replies == 2


def test_ctrl_c_ends_a_blocked_recv():
    receive, send = Pipe(duplex=False)
    pipe = wire.ReplyPipe(receive, 30.0)

    def interrupt(signum, frame):
        raise KeyboardInterrupt("alarm")

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        with pytest.raises(KeyboardInterrupt, match="alarm"):
            pipe.recv()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert pipe.failure is None  # an interrupt is no failure of the service
