"""The request frames and reply messages between workers and the service."""

import os
import select
import threading
import time

import numpy as np
import pytest

import velmar_rules
import reply_codec
from velmar_pipeline.selfplay import wire


def opening_after(tiles):
    game = velmar_rules.Game()
    for tile in tiles:
        game.apply(tile)
    return game


@pytest.mark.parametrize("tiles", [[], [0], [0, 1, 2, 3, 4]])
def test_request_round_trip_keeps_id_and_planes(tiles):
    planes = opening_after(tiles).encode()
    frame = wire.pack_request(1_000_007, planes.tolist())
    assert len(frame) == wire.FRAME <= select.PIPE_BUF
    ids, unpacked = wire.unpack_requests(frame + wire.pack_request(-5, np.zeros((5, 400)).tolist()))
    assert ids.tolist() == [1_000_007, -5]
    assert unpacked.dtype == np.float32 and unpacked.shape == (2, 5, 400)
    np.testing.assert_array_equal(unpacked[0], planes)
    assert not unpacked[1].any()


def test_bit_order_puts_each_cell_in_its_own_place():
    for plane, cell in [(0, 0), (0, 399), (3, 7), (4, 200), (4, 399)]:
        planes = np.zeros((5, 400))
        planes[plane, cell] = 1.0
        _, unpacked = wire.unpack_requests(wire.pack_request(0, planes.tolist()))
        assert list(zip(*np.nonzero(unpacked[0]))) == [(plane, cell)]


@pytest.mark.parametrize("bad", [0.5, 2.0, float("nan"), -1.0])
def test_planes_other_than_zero_and_one_are_refused(bad):
    planes = np.zeros((5, 400))
    planes[2, 10] = bad
    with pytest.raises(wire.PlanesNotBinary):
        wire.pack_request(0, planes.tolist())


def test_planes_of_the_wrong_shape_are_refused():
    with pytest.raises(ValueError, match="5 x 400"):
        wire.pack_request(0, [[0.0] * 400] * 4)


def test_reply_round_trip_is_exact_in_float32():
    logits = np.random.default_rng(1).standard_normal((2, 400)).astype(np.float32)
    values = np.array([[0.1, 0.2, 0.3, 0.4], [1.0, 0.0, -0.0, np.inf]], np.float32)
    messages = reply_codec.pack_replies(np.array([3, 2_000_001]), logits, values)
    assert [len(m) for m in messages] == [wire.REPLY, wire.REPLY]
    policy, vals, request_id = reply_codec.unpack_reply(messages[1])
    assert request_id == 2_000_001
    assert policy == logits[1].tolist() and vals == values[1].tolist()
    assert all(type(x) is float for x in policy + vals)


def test_a_truncated_reply_is_refused():
    [message] = reply_codec.pack_replies(np.array([1]), np.zeros((1, 400)), np.zeros((1, 4)))
    with pytest.raises(ValueError, match="1620 bytes"):
        reply_codec.unpack_reply(message[:-1])


@pytest.fixture
def request_pipe():
    read, write = os.pipe()
    yield read, write
    for fd in (read, write):
        try:
            os.close(fd)
        except OSError:
            pass


def frames_of(ids):
    return [wire.pack_request(i, np.zeros((5, 400)).tolist()) for i in ids]


def test_reader_takes_at_most_a_batch_and_keeps_the_rest(request_pipe):
    read, write = request_pipe
    for frame in frames_of(range(5)):
        os.write(write, frame)
    reader = wire.RequestReader(read)
    first = reader.read(3, 1.0, 0.0, time.monotonic)
    second = reader.read(3, 1.0, 0.0, time.monotonic)
    assert wire.unpack_requests(first)[0].tolist() == [0, 1, 2]
    assert wire.unpack_requests(second)[0].tolist() == [3, 4]


def test_reader_gathers_late_frames_until_the_batch_is_full(request_pipe):
    read, write = request_pipe
    frames = frames_of([7, 8])
    os.write(write, frames[0])
    timer = threading.Timer(0.05, lambda: os.write(write, frames[1]))
    timer.start()
    reader = wire.RequestReader(read)
    started = time.monotonic()
    batch = reader.read(2, 1.0, 5.0, time.monotonic)
    timer.join()
    assert wire.unpack_requests(batch)[0].tolist() == [7, 8]
    assert time.monotonic() - started < 2.0  # returned once full, not at the gather deadline


def test_reader_waits_no_longer_than_the_gather_time(request_pipe):
    read, write = request_pipe
    os.write(write, frames_of([1])[0])
    reader = wire.RequestReader(read)
    started = time.monotonic()
    batch = reader.read(4, 1.0, 0.05, time.monotonic)
    assert wire.unpack_requests(batch)[0].tolist() == [1]
    assert time.monotonic() - started < 1.0


def test_reader_notices_that_every_writer_closed(request_pipe):
    read, write = request_pipe
    os.write(write, frames_of([4])[0])
    os.close(write)
    reader = wire.RequestReader(read)
    assert wire.unpack_requests(reader.read(2, 1.0, 1.0, time.monotonic))[0].tolist() == [4]
    assert reader.read(2, 1.0, 1.0, time.monotonic) == b""
    assert reader.closed


def test_reader_never_hands_out_part_of_a_frame(request_pipe):
    read, write = request_pipe
    frame = frames_of([9])[0]
    os.write(write, frame[:100])
    reader = wire.RequestReader(read)
    assert reader.read(1, 0.05, 0.0, time.monotonic) == b""
    os.write(write, frame[100:])
    assert wire.unpack_requests(reader.read(1, 1.0, 0.0, time.monotonic))[0].tolist() == [9]


def test_sender_keeps_the_error_when_the_service_end_is_closed(request_pipe):
    read, write = request_pipe
    os.close(read)
    sender = wire.RequestSender(write)
    with pytest.raises(BrokenPipeError):
        sender.put((1, np.zeros((5, 400)).tolist()))
    assert isinstance(sender.failure, BrokenPipeError)


def test_service_routes_replies_by_id_and_checks_the_evaluator_shapes():
    from multiprocessing import Pipe

    from velmar_pipeline.selfplay import service

    ends = [Pipe(duplex=False) for _ in range(3)]
    conns = [send for _, send in ends]
    ids = [service.game_id(2, 5), service.game_id(0, 1)]
    frames = b"".join(frames_of(ids))

    def echo_ids(planes):
        return np.zeros((len(planes), 400)), np.tile(np.arange(4.0) / 6, (len(planes), 1))  # payoffs

    assert service.answer(frames, service.reply_writer(conns), echo_ids) == 2
    assert reply_codec.unpack_reply(ends[2][0].recv_bytes())[2] == ids[0]
    assert reply_codec.unpack_reply(ends[0][0].recv_bytes())[2] == ids[1]
    assert not ends[1][0].poll(0)
    with pytest.raises(ValueError, match=r"logits \[2, 400\] and values \[2, 4\], got \[2, 400\] and \[2, 3\]"):
        service.answer(frames, service.reply_writer(conns), lambda planes: (np.zeros((2, 400)), np.zeros((2, 3))))


def test_tickets_are_shared_by_threads_and_end_when_the_parent_closes():
    from multiprocessing import Pipe

    receive, send = Pipe(duplex=False)
    tickets = wire.Tickets(receive, poll_s=0.01)
    taken = []

    def take_all():
        while tickets.take(lambda: True):
            taken.append(1)

    threads = [threading.Thread(target=take_all) for _ in range(4)]
    for thread in threads:
        thread.start()
    for _ in range(50):
        os.write(send.fileno(), b"\x01")
    time.sleep(0.1)
    send.close()
    for thread in threads:
        thread.join(timeout=5)
    assert not any(thread.is_alive() for thread in threads)
    assert len(taken) == 50


def test_tickets_stop_waiting_when_told():
    from multiprocessing import Pipe

    receive, send = Pipe(duplex=False)
    calls = []
    assert not wire.Tickets(receive, poll_s=0.01).take(lambda: calls.append(1) or len(calls) < 3)
    assert len(calls) == 3
