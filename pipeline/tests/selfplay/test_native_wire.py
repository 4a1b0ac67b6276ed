"""The native exchange endpoints (velmar_wire) against the Python reference in wire."""

import os
import signal
import struct
from multiprocessing import Pipe

import numpy as np
import pytest

from scripted_games import real_positions
from velmar_pipeline.selfplay import service
import reply_codec
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
    for (receive, _), message in zip(ends, reply_codec.pack_replies(ids, logits, values)):
        assert os.read(receive.fileno(), 4096) == HEADER.pack(len(message)) + message
    for (receive, send), message in zip(ends, reply_codec.pack_replies(ids, logits, values)):
        send.send_bytes(message)
        pipe = wire.ReplyPipe(receive, 5.0)
        pipe.expected_id = reply_codec.unpack_reply(message)[2]
        assert pipe.recv() == reply_codec.unpack_reply(message) and pipe.replies == 1


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
    [good] = reply_codec.pack_replies(np.array([7]), np.ones((1, 400)), np.full((1, 4), 0.25))
    for bad in (good[:-1], good + b"\0" * 8, b"x" * 9000):
        send.send_bytes(bad)
        with pytest.raises(ValueError, match="1620 bytes"):
            pipe.recv()
    send.send_bytes(good)
    first = pipe.recv()
    assert first == reply_codec.unpack_reply(good)
    [other] = reply_codec.pack_replies(np.array([7]), np.full((1, 400), 2.0), np.zeros((1, 4)))
    send.send_bytes(other)
    assert pipe.recv() == reply_codec.unpack_reply(other)
    assert first == reply_codec.unpack_reply(good)  # a reply still held is never refilled
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


def test_replies_in_pieces_and_back_to_back_are_read_in_step():
    """A reply normally lands straight in the reader's numbers in one read; one that comes in
    pieces, or behind another message in the same read, goes through the buffer the same."""
    import threading
    import time

    receive, send = Pipe(duplex=False)
    pipe = wire.ReplyPipe(receive, 5.0)
    pipe.expected_id = 7
    rng = np.random.default_rng(3)
    messages = [HEADER.pack(wire.REPLY) + m for m in reply_codec.pack_replies(
        np.full(4, 7), rng.standard_normal((4, 400)).astype(np.float32), rng.random((4, 4)).astype(np.float32))]
    expected = [reply_codec.unpack_reply(m[4:]) for m in messages]
    # In pieces, the second after the reader has started waiting.
    os.write(send.fileno(), messages[0][:5])
    timer = threading.Timer(0.05, lambda: os.write(send.fileno(), messages[0][5:]))
    timer.start()
    assert pipe.recv() == expected[0]
    timer.join()
    # Two replies and a stop in one go, then a reply after the stop.
    os.write(send.fileno(), messages[1] + messages[2] + HEADER.pack(0) + messages[3])
    assert pipe.recv() == expected[1]
    assert pipe.recv() == expected[2]
    with pytest.raises(wire.RunStopped):
        pipe.recv()
    assert pipe.recv() == expected[3]
    assert pipe.replies == 4
    # Nothing more: the timeout, not a hang.
    quick = wire.ReplyPipe(receive, 0.05)
    quick.expected_id = 7
    started = time.monotonic()
    with pytest.raises(wire.ServiceGone, match="within 0.05 s"):
        quick.recv()
    assert time.monotonic() - started < 2.0


@pytest.mark.parametrize("payoff", [0.25, 0.0, 1.0, -1e-3, 1.001, -0.0011, 1.0011, 7.0, float("nan"), float("inf")])
def test_send_payoffs_is_check_payoffs_then_send_of_the_search_values(payoff):
    """The service's fused send: the same refusals, messages and bytes as the three steps it
    replaces (evaluators.check_payoffs, evaluators.search_values, ReplyWriter.send)."""
    from velmar_pipeline.evaluators import registry as evaluators

    ids = np.array([service.game_id(0, 1), service.game_id(1, 2)], np.int32)
    logits = np.random.default_rng(1).standard_normal((2, 400)).astype(np.float32)
    payoffs = np.full((2, 4), 0.25, np.float32)
    payoffs[1, 2] = payoff
    offset = 0.4

    def outcome(send_with):
        ends = [Pipe(duplex=False) for _ in range(2)]
        try:
            send_with(service.reply_writer([s for _, s in ends]))
        except ValueError as error:
            return str(error)
        return [os.read(r.fileno(), 4096) if r.poll(0) else b"" for r, _ in ends]

    def three_steps(writer):
        evaluators.check_payoffs(payoffs)
        writer.send(ids, logits, evaluators.search_values(payoffs, offset))

    fused = outcome(lambda writer: writer.send_payoffs(ids, logits, payoffs, offset, evaluators.PAYOFF_SLACK))
    assert fused == outcome(three_steps)


def test_random_planes_pack_as_the_reference(fds):
    """Planes of every density, -0.0 for 0.0 included: put's frames are the reference's."""
    rng = np.random.default_rng(11)
    read, write = fds()
    sender = wire.RequestSender(write)
    for density in (0.0, 0.01, 0.3, 0.5, 0.9, 1.0):
        planes = (rng.random((5, 400)) < density).astype(np.float64)
        planes[rng.random((5, 400)) < 0.05] *= -1.0  # -0.0 where a zero was: still 0.0
        planes = np.where(planes == 0.0, planes, 1.0).tolist()
        sender.put((-17, planes))
        assert os.read(read, 4096) == wire.pack_request(-17, planes), density


def test_read_batch_is_read_then_decode(fds):
    """The service's read_batch hands out what read would, decoded as decode_batch decodes it,
    keeping a frame's part pending the same way; None when nothing came."""
    positions = real_positions(5)
    frames = b"".join(wire.pack_request(i, p.tolist()) for i, p in enumerate(positions))
    read, write = fds()
    reader = wire.RequestReader(read)
    assert reader.read_batch(4, 0.01, 0.0) is None
    os.write(write, frames + frames[:100])
    ids, planes = reader.read_batch(3, 1.0, 0.0)
    for got, want in zip((ids, planes), wire.decode_batch(frames[: 3 * wire.FRAME])):
        assert got.dtype == want.dtype and np.array_equal(got, want)
    ids, planes = reader.read_batch(8, 1.0, 0.0)
    assert ids.tolist() == [3, 4] and np.array_equal(planes, wire.unpack_requests(frames[3 * wire.FRAME:])[1])
    assert reader.native.pending == 100
    os.write(write, frames[100:wire.FRAME])
    assert reader.read_batch(8, 1.0, 0.0)[0].tolist() == [0]
