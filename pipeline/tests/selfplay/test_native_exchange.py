"""The engine's native path to the velmar_wire endpoints (velmar_wire.h): handed exactly a
RequestSender and a ReplyPipe, generate_game_data writes the frames and reads the replies itself,
without put and recv and without the interpreter lock per request. It must fail exactly as the
plain path through put and recv fails, which look-alikes (subclasses, other objects) still take."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from multiprocessing import Pipe

import numpy as np
import pytest

import velmar_rules
import reply_codec
from velmar_pipeline.selfplay import wire

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data

GAME_ID = 3_000_007
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "


class Config:
    def __init__(self, sims_per_move=2):
        self.sims_per_move = sims_per_move
        self.sample_moves = 0
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


def reply_message(request_id, logits=None, values=(0.25, 0.25, 0.25, 0.25)):
    logits = np.zeros((1, 400), np.float32) if logits is None else np.asarray([logits], np.float32)
    return reply_codec.pack_replies(np.array([request_id]), logits, np.asarray([values], np.float32))[0]


def message(body: bytes) -> bytes:
    """A Connection message: the 4-byte big-endian length, then the body."""
    return len(body).to_bytes(4, "big") + body


class SenderSubclass(wire.RequestSender):
    """A subclass that changes nothing: the engine calls its put and recv, C methods as the
    endpoints' own, so its failures must read exactly as the native path's."""


class PipeSubclass(wire.ReplyPipe):
    pass


class SenderLike(wire.RequestSender):
    """A subclass: it may have changed what put does, so the engine must call it."""

    def put(self, request):
        self.puts = getattr(self, "puts", 0) + 1
        return super().put(request)


class PipeLike(wire.ReplyPipe):
    def recv(self):
        self.recvs = getattr(self, "recvs", 0) + 1
        return super().recv()


class Service:
    """The service's side in a thread: reads every frame from the request pipe and answers it with
    the scripted raw bytes for that request number (1 first) or a uniform reply, until stopped."""

    def __init__(self, script=None, timeout=10.0, kinds=(wire.RequestSender, wire.ReplyPipe),
                 expected_id=GAME_ID):
        self.script = dict(script or {})
        self.read_fd, write_fd = os.pipe()
        self.write_fd = write_fd
        self.receive, self.send = Pipe(duplex=False)
        self.sender = kinds[0](write_fd)
        self.pipe = kinds[1](self.receive, timeout)
        self.pipe.expected_id = expected_id
        self.frames = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        reader = wire.RequestReader(self.read_fd)
        while not self.done.is_set():
            frames = reader.read(16, 0.02, 0.0)
            if not frames and reader.closed:
                return
            for request_id, planes in zip(*wire.unpack_requests(frames)):
                self.frames.append((int(request_id), planes))
                raw = self.script.get(len(self.frames))
                if raw is None:
                    raw = message(reply_message(int(request_id)))
                if raw:
                    try:
                        os.write(self.send.fileno(), raw)
                    except OSError:
                        return

    def close(self):
        self.done.set()
        self.thread.join(5)
        for fd in (self.read_fd, self.write_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        self.receive.close()
        self.send.close()


@pytest.fixture
def services():
    made = []

    def make(*args, **kwargs):
        service = Service(*args, **kwargs)
        made.append(service)
        return service

    yield make
    for service in made:
        service.close()


def play(service, config=None):
    return generate_game_data(GAME_ID, config or Config(), service.sender, service.pipe)


def test_a_game_through_the_native_path_sends_true_frames_and_counts_its_replies(services):
    service = services()
    moves, policies, payoff = play(service, Config(sims_per_move=0))
    # With no search every request is a root: request m is the position after m tiles, packed
    # straight from the board, bit for bit the reference encoding.
    assert len(service.frames) == len(moves) == len(policies)
    game = velmar_rules.Game()
    for m, (request_id, planes) in enumerate(service.frames):
        assert request_id == GAME_ID
        assert np.array_equal(planes, game.encode()), f"request {m}"
        game.apply(moves[m][1])
    assert service.pipe.replies == len(service.frames)
    assert service.pipe.failure is None and service.sender.failure is None


def test_replies_are_read_into_the_search():
    # Logits that favour one legal tile decide the first move when the search has no noise.
    favoured = 42

    service = Service({1: message(reply_message(GAME_ID, [50.0 if c == favoured else 0.0 for c in range(400)]))})
    try:
        config = Config(sims_per_move=1)
        config.exploration_fraction = 0.0
        moves, policies, _ = play(service, config)
    finally:
        service.close()
    shares = dict(policies[0])
    assert shares[favoured] == 1.0 and sum(shares.values()) == 1.0
    assert moves[0] == (0, favoured)


@pytest.mark.parametrize("kinds", [(SenderLike, wire.ReplyPipe), (wire.RequestSender, PipeLike),
                                   (SenderLike, PipeLike)], ids=["sender-subclass", "pipe-subclass", "both"])
def test_subclasses_take_the_plain_path(services, kinds):
    service = services(kinds=kinds)
    moves, _, _ = play(service)
    assert len(service.frames) > len(moves)
    if kinds[0] is SenderLike:
        assert service.sender.puts == len(service.frames)
    if kinds[1] is PipeLike:
        assert service.pipe.recvs == len(service.frames)
    assert service.pipe.replies == len(service.frames)


def test_other_objects_with_put_and_recv_take_the_plain_path(services):
    service = services()
    calls = {"put": 0, "recv": 0}

    class Queue:
        def put(self, request):
            calls["put"] += 1
            service.sender.put(request)

    class Reader:
        def recv(self):
            calls["recv"] += 1
            return service.pipe.recv()

    moves, _, _ = generate_game_data(GAME_ID, Config(), Queue(), Reader())
    assert calls["put"] == calls["recv"] == len(service.frames) > len(moves)


def test_a_pipe_expecting_no_int_takes_the_plain_path(services):
    service = services(expected_id=None)
    with pytest.raises(Exception) as info:
        play(service)
    assert str(info.value) == '"Error running MCTS"'
    assert isinstance(service.pipe.failure, wire.MisroutedReply)
    assert str(service.pipe.failure) == f"reply for game id {GAME_ID} reached game id None"


# Each way a root evaluation can go wrong, scripted at request 1; the native and the plain path
# (the same endpoints, subclassed) must print, raise and keep the same.
def closed_sender(service):
    os.close(service.write_fd)


def closed_pipe(service):
    service.receive.close()


ROOT_FAULTS = {
    "wrong-size-reply": ({1: message(b"\0" * 100)}, None, ValueError("a reply must be 1620 bytes, got 100")),
    "long-reply": ({1: message(reply_message(GAME_ID) + b"\0" * 8)}, None,
                   ValueError("a reply must be 1620 bytes, got 1628")),
    "negative-length": ({1: (-5).to_bytes(4, "big", signed=True)}, None,
                        ValueError("a reply must be 1620 bytes, got a length header of -5")),
    "run-stopped": ({1: message(b"")}, None, wire.RunStopped("the run is stopping")),
    "misrouted": ({1: message(reply_message(GAME_ID + 1))}, None,
                  wire.MisroutedReply(f"reply for game id {GAME_ID + 1} reached game id {GAME_ID}")),
    "cut-short-then-silent": ({1: message(reply_message(GAME_ID))[:700]}, None,
                              wire.ServiceGone("no reply from the inference service within 0.5 s")),
    "no-reply": ({1: b""}, None, wire.ServiceGone("no reply from the inference service within 0.5 s")),
    "closed-sender": ({}, closed_sender, OSError(9, "Bad file descriptor")),
    "closed-pipe": ({}, closed_pipe,
                    wire.ServiceGone("the inference service is gone (its end of the reply pipe closed)")),
}


def root_failure(script, spoil, kinds, capfd):
    service = Service(script, timeout=0.5, kinds=kinds)
    try:
        if spoil is not None:
            spoil(service)
        started = time.monotonic()
        with pytest.raises(Exception) as info:
            play(service)
        took = time.monotonic() - started
        out = capfd.readouterr().out
        return {
            "type": type(info.value), "text": str(info.value), "out": out, "took": took,
            "sender_failure": repr(service.sender.failure), "pipe_failure": repr(service.pipe.failure),
            "cause": repr(getattr(service.pipe.failure, "__cause__", None)), "replies": service.pipe.replies,
        }
    finally:
        service.close()


@pytest.mark.parametrize("name", sorted(ROOT_FAULTS))
def test_a_fault_at_the_root_fails_as_on_the_plain_path(name, capfd):
    script, spoil, error = ROOT_FAULTS[name]
    native = root_failure(script, spoil, (wire.RequestSender, wire.ReplyPipe), capfd)
    plain = root_failure(script, spoil, (SenderSubclass, PipeSubclass), capfd)
    assert native["type"] is Exception and native["text"] == '"Error running MCTS"'
    assert native["took"] < 5.0  # nothing hangs: the reply timeout is half a second
    for key in ("type", "text", "out", "sender_failure", "pipe_failure", "cause", "replies"):
        assert native[key] == plain[key], key
    lines = native["out"].splitlines()
    assert len(lines) == 2 and lines[0].startswith("Error evaluating root node: PyErr { type: ")
    assert repr(error) in lines[0], lines[0]


@pytest.mark.parametrize("kinds", [(wire.RequestSender, wire.ReplyPipe), (SenderSubclass, PipeSubclass)],
                         ids=["native", "plain"])
def test_a_fault_at_a_leaf_is_an_internal_failure(services, kinds, capfd):
    service = services({2: message(b"\0" * 12)}, kinds=kinds)
    with pytest.raises(BaseException) as info:
        play(service, Config(sims_per_move=4))
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith(UNWRAP_ERR + "PyErr { type: <class 'ValueError'>, value: ValueError('a reply "
                                      "must be 1620 bytes, got 12')")
    assert service.pipe.replies == 1
    assert capfd.readouterr().out == ""


def test_the_stream_stays_in_step_after_a_wrong_size_reply(services):
    # The message that is no reply is skipped whole, so the pipe reads the next one in step.
    service = services({1: message(b"\1" * 3000)}, timeout=2.0)
    with pytest.raises(Exception):
        play(service)
    service.script = {}
    service.pipe.failure = None
    moves, _, _ = play(service)
    assert len(moves) > 60


def counts(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("script", [{}, {1: message(b"")}, {3: message(b"")}], ids=["success", "root", "leaf"])
def test_references_are_released(services, script):
    service = services(script)
    config, sender, pipe = Config(), service.sender, service.pipe
    before = counts(config, sender, pipe)
    try:
        generate_game_data(GAME_ID, config, sender, pipe)
    except BaseException as error:  # noqa: BLE001 - the panic is a BaseException
        error.__traceback__ = None
        del error
    after = counts(config, sender, pipe)
    assert after == before


def test_ctrl_c_on_the_main_thread_ends_a_native_game(services):
    service = services()

    def interrupt(signum, frame):
        raise KeyboardInterrupt("alarm")

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt, match="alarm"):
            play(service, Config(sims_per_move=20_000))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert service.pipe.failure is None and service.sender.failure is None


SERVICE = textwrap.dedent("""
    import os, sys, time
    import numpy as np
    import velmar_wire
    read_fd, reply_fd = int(sys.argv[1]), int(sys.argv[2])
    reader, writer = velmar_wire.RequestReader(read_fd), velmar_wire.ReplyWriter([reply_fd], 10**9)
    logits, values = np.zeros((16, 400), np.float32), np.full((16, 4), 0.25, np.float32)
    arrivals = []
    while True:
        frames = reader.read(16, 1.0, 0.0)
        if not frames:
            if reader.closed:
                break
            continue
        ids = np.frombuffer(frames, np.uint8).reshape(-1, 254)[:, :4].copy().view(np.int32).reshape(-1)
        arrivals += [time.monotonic()] * len(ids)
        writer.send(ids, logits[: len(ids)], values[: len(ids)])
    sys.stdout.write(" ".join(map(repr, arrivals)))
""")


def test_the_native_path_needs_no_interpreter_lock_per_request():
    """A game in another thread keeps exchanging with a service in another process while this
    thread holds the interpreter lock without a break (sum over a range runs in C and never
    offers the lock)."""
    read_fd, write_fd = os.pipe()
    receive, send = Pipe(duplex=False)
    child = subprocess.Popen([sys.executable, "-c", SERVICE, str(read_fd), str(send.fileno())],
                             pass_fds=(read_fd, send.fileno()), stdout=subprocess.PIPE, text=True)
    os.close(read_fd)
    send.close()
    sender, pipe = wire.RequestSender(write_fd), wire.ReplyPipe(receive, 30.0)
    pipe.expected_id = 0
    box = {}

    def game():
        box["record"] = generate_game_data(0, Config(sims_per_move=128), sender, pipe)

    thread = threading.Thread(target=game)
    try:
        thread.start()
        time.sleep(0.3)  # the game is under way
        held_from = time.monotonic()
        sum(range(30_000_000))
        held_to = time.monotonic()
        thread.join(300)
    finally:
        os.close(write_fd)
        out, _ = child.communicate(timeout=60)
        receive.close()
    assert "record" in box
    arrivals = [float(x) for x in out.split()]
    assert pipe.replies == len(arrivals)
    during = sum(1 for t in arrivals if held_from < t < held_to)
    # The plain path sends about a hundred (the first ones, before the lock is out of reach) in
    # the same second; the native path goes on at its full rate.
    assert held_to - held_from > 0.2 and during > 1000, (held_to - held_from, during)
