"""Fake inference services, configurations and record checks for the velmar_self_play tests.

The module under test talks to the inference service only through two objects: one with a
``put(request)`` method and one with a ``recv()`` method. ``Service`` provides both, answers every
request in-process and keeps enough notes for the tests to check the exchange afterwards.
"""

import math
import os
import queue as queue_module
import re
import struct
import tempfile
import time

import pytest

CELLS = 400
PLANES = 5
OPENING_TILES = [0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80]

# Replies share their float objects, as a fast service would.
ZERO_LOGITS = [0.0] * CELLS
EVEN_VALUES = [0.25] * 4
UNIFORM_REPLY = (ZERO_LOGITS, EVEN_VALUES)

UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
ROOT_LINE = "Error evaluating root node: "
MCTS_LINE = "Error running MCTS: "
MCTS_FAILED = '"Error running MCTS"'
SUMMARY = re.compile(r"Game finished with payoff: \[([^\]]*)\] and score: \[([^\]]*)\]")

MISSING = object()

SETTINGS = (
    "sims_per_move",
    "sample_moves",
    "c_base",
    "c_init",
    "dirichlet_alpha",
    "exploration_fraction",
)
DEFAULTS = {
    "sims_per_move": 2,
    "sample_moves": 0,
    "c_base": 19652.0,
    "c_init": 1.25,
    "dirichlet_alpha": 0.3,
    "exploration_fraction": 0.25,
}


class Config:
    """Search settings as instance attributes; pass MISSING to leave one out."""

    def __init__(self, **overrides):
        assert set(overrides) <= set(DEFAULTS), overrides
        for name, value in {**DEFAULTS, **overrides}.items():
            if value is not MISSING:
                setattr(self, name, value)


class Watched:
    """A configuration that notes every attribute asked for, in order."""

    def __init__(self, **overrides):
        object.__setattr__(self, "asked", [])
        for name, value in vars(Config(**overrides)).items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if name != "asked":
            object.__getattribute__(self, "asked").append(name)
        return object.__getattribute__(self, name)


def f32(x):
    """x rounded to the nearest 32-bit float."""
    return struct.unpack("f", struct.pack("f", x))[0]


# ---------------------------------------------------------------------------------------------
# The fake service


class FakeQueue:
    def __init__(self, service):
        self._service = service

    def put(self, request):
        self._service.on_put(request)


class FakePipe:
    def __init__(self, service):
        self._service = service

    def recv(self):
        return self._service.on_recv()


def legal_tiles_of(request):
    """The cells marked in plane 4 of a request."""
    return [cell for cell, x in enumerate(request[1][4]) if x == 1.0]


def uniform(request):
    return UNIFORM_REPLY


def with_values(values):
    """Answers zero logits and the given value list."""
    reply = (ZERO_LOGITS, list(values))
    return lambda request: reply


def favour_highest_legal(logit=50.0, illegal=0.0, values=EVEN_VALUES):
    """Puts `logit` on the highest legal tile, 0 on the other legal tiles and `illegal` elsewhere."""

    def answer(request):
        mask = request[1][4]
        policy = [0.0 if x == 1.0 else illegal for x in mask]
        policy[max(legal_tiles_of(request))] = logit
        return policy, values

    return answer


class Service:
    """An in-process inference service: ``queue.put`` takes a request, ``pipe.recv`` answers it.

    answer:       request -> reply, used for every request not overridden below
    replies:      {request number (from 1): reply} used instead of `answer`
    put_errors:   {request number: exception factory} raised by that put (after noting the request)
    recv_errors:  {request number: exception factory} raised by the recv that follows that put
    keep:         keep every request decoded as (id, five sets of marked cells)
    check:        check the form of every request (types, lengths, 0.0/1.0 values)
    yield_gil:    let other threads run inside every recv

    Exceptions are made fresh at each raise so that no traceback (and with it no frame holding the
    queue or the pipe) outlives the call.
    """

    def __init__(self, answer=uniform, *, replies=None, put_errors=None, recv_errors=None,
                 keep=False, check=False, yield_gil=False):
        self.answer = answer
        self.replies = replies or {}
        self.put_errors = put_errors or {}
        self.recv_errors = recv_errors or {}
        self.keep = keep
        self.check = check
        self.yield_gil = yield_gil
        self.count = 0
        self.recvs = 0
        self.ids = set()
        self.kept = []
        self.problems = []
        self._pending = None
        self.queue = FakeQueue(self)
        self.pipe = FakePipe(self)

    def on_put(self, request):
        self.count += 1
        if self._pending is not None:
            self.problems.append(f"request {self.count} sent before the previous reply was taken")
        self._pending = request
        if type(request) is tuple and len(request) == 2:
            self.ids.add(request[0])
        else:
            self.problems.append(f"request {self.count} is not a 2-tuple: {type(request).__name__}")
        if self.check:
            self.problems.extend(f"request {self.count}: {p}" for p in request_problems(request))
        if self.keep:
            self.kept.append(decode_request(request))
        error = self.put_errors.get(self.count)
        if error is not None:
            self._pending = None
            raise error()

    def on_recv(self):
        if self.yield_gil:
            time.sleep(0)
        self.recvs += 1
        request, self._pending = self._pending, None
        if request is None:
            self.problems.append(f"recv {self.recvs} without a request")
        error = self.recv_errors.get(self.count)
        if error is not None:
            raise error()
        if self.count in self.replies:
            return self.replies[self.count]
        return self.answer(request)


def request_problems(request, expected_id=None):
    """What is wrong with the form of one request (empty when nothing)."""
    if type(request) is not tuple or len(request) != 2:
        return ["not a 2-tuple"]
    rid, planes = request
    problems = []
    if type(rid) is not int:
        problems.append(f"id is a {type(rid).__name__}")
    elif expected_id is not None and rid != expected_id:
        problems.append(f"id {rid}, expected {expected_id}")
    if type(planes) is not list or len(planes) != PLANES:
        return problems + ["planes are not a list of 5"]
    for q, plane in enumerate(planes):
        if type(plane) is not list or len(plane) != CELLS:
            problems.append(f"plane {q} is not a list of 400")
        elif any(type(x) is not float or (x != 0.0 and x != 1.0) for x in plane):
            problems.append(f"plane {q} holds something other than the floats 0.0 and 1.0")
    if problems:
        return problems
    for cell in range(CELLS):
        owners = sum(planes[q][cell] for q in range(4))
        if owners > 1.0:
            problems.append(f"cell {cell} is in {owners:g} of planes 0-3")
        if owners and planes[4][cell]:
            problems.append(f"occupied cell {cell} is marked legal")
    if not any(planes[4]):
        problems.append("no legal tile marked")
    return problems


def decode_request(request):
    rid, planes = request
    return rid, [frozenset(c for c, x in enumerate(plane) if x == 1.0) for plane in planes]


# ---------------------------------------------------------------------------------------------
# Catching the module's failures


def catch_panic(call, *args, **kwargs):
    """Calls and returns the PanicException raised; fails if anything else happens."""
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # PanicException is not an Exception
        if type(exc).__name__ != "PanicException":
            raise
        return exc
    pytest.fail("no PanicException was raised")


def panic_message(exc):
    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)
    assert type(exc).__mro__[1] is BaseException
    assert len(exc.args) == 1 and type(exc.args[0]) is str
    return exc.args[0]


def pyerr(exc, traceback=False):
    """A regular expression for the module's rendering of the interpreter error `exc`.

    The traceback field is None for errors raised in C and a traceback object for errors that
    passed through Python code; `traceback` says which is expected.
    """
    tb = r"<traceback object at 0x[0-9a-f]+>" if traceback else "None"
    return (
        re.escape(f"PyErr {{ type: {type(exc)!r}, value: {exc!r}, traceback: ")
        + tb
        + re.escape(" }")
    )


def assert_root_failure(call, capfd, exc, traceback=False):
    """The call fails at a root evaluation: two lines on fd 1, then the plain quoted Exception."""
    capfd.readouterr()
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is Exception
    assert info.value.args == (MCTS_FAILED,)
    assert str(info.value) == MCTS_FAILED and len(str(info.value)) == 20
    out = capfd.readouterr().out
    lines = out.split("\n")
    assert len(lines) == 3 and lines[2] == "", out
    assert lines[0].startswith(ROOT_LINE), out
    assert lines[1].startswith(MCTS_LINE), out
    rendering = lines[0][len(ROOT_LINE):]
    assert lines[1][len(MCTS_LINE):] == rendering
    assert re.fullmatch(pyerr(exc, traceback), rendering), rendering
    return rendering


def probe(module, id_value=1, config=None):
    """One call that stops at the first reply (the pipe reports a closed peer).

    Getting the root failure proves that the arguments and the configuration were accepted; the
    returned service holds the one request that was sent.
    """
    service = Service(recv_errors={1: EOFError})
    with pytest.raises(Exception) as info:
        module.generate_game_data(id_value, config or Config(), service.queue, service.pipe)
    assert type(info.value) is Exception and info.value.args == (MCTS_FAILED,)
    assert service.count == 1
    return service


# ---------------------------------------------------------------------------------------------
# Records


def greedy_choice(policy):
    """The tile a greedy choice takes: the last of the most visited, the last of all when 0/0."""
    shares = [share for _, share in policy]
    if all(math.isnan(s) for s in shares):
        return policy[-1][0]
    best = max(shares)
    return [tile for tile, share in policy if share == best][-1]


PAYOFF_TEXTS = {"1.0": 1.0, "0.5": 0.5, "0.33333334": f32(1 / 3), "0.25": 0.25, "0.0": 0.0}


def check_record(record, sims_per_move=None):
    """Asserts the form of a training record; returns (moves, policies, payoff)."""
    assert type(record) is tuple and len(record) == 3
    moves, policies, payoff = record
    assert type(moves) is list and type(policies) is list and type(payoff) is list
    assert 0 < len(moves) == len(policies) <= 4 * 89
    for move in moves:
        assert type(move) is tuple and len(move) == 2
        assert all(type(x) is int for x in move)
        assert 0 <= move[0] < 4 and 0 <= move[1] < CELLS
    assert moves[0][0] == 0
    assert len({tile for _, tile in moves}) == len(moves), "a cell was laid twice"
    for player in range(4):
        assert sum(1 for p, _ in moves if p == player) <= 89
    for (player, played), policy in zip(moves, policies):
        assert type(policy) is list and policy
        for entry in policy:
            assert type(entry) is tuple and len(entry) == 2
            assert type(entry[0]) is int and type(entry[1]) is float
        tiles = [tile for tile, _ in policy]
        assert len(set(tiles)) == len(tiles)
        assert all(0 <= tile < CELLS for tile in tiles)
        assert played in tiles
        shares = [share for _, share in policy]
        if sims_per_move == 0:
            assert all(math.isnan(s) for s in shares)
        elif sims_per_move is not None:
            assert all(0.0 <= s <= 1.0 for s in shares)
            assert math.fsum(shares) == pytest.approx(1.0, abs=1e-5)
            for s in shares:  # visits / sims_per_move
                assert s * sims_per_move == pytest.approx(round(s * sims_per_move), abs=1e-4)
    assert len(payoff) == 4 and all(type(x) is float for x in payoff)
    assert math.fsum(payoff) == pytest.approx(1.0, abs=1e-6)
    assert all(x in PAYOFF_TEXTS.values() for x in payoff), payoff
    return moves, policies, payoff


def parse_summary(out):
    """The payoff texts and scores of the one summary line in `out`."""
    found = SUMMARY.findall(out)
    assert len(found) == 1, out
    payoff_text, score_text = found[0]
    payoff = payoff_text.split(", ")
    score = [int(s) for s in score_text.split(", ")]
    assert len(payoff) == 4 and len(score) == 4
    return payoff, score


def replay(record):
    """Replays a record with the rules module; checks every move and returns the final game."""
    rules = pytest.importorskip("velmar_rules")
    moves, policies, payoff = record
    game = rules.Game()
    for k, ((player, tile), policy) in enumerate(zip(moves, policies)):
        assert game.current_player == player, f"move {k}"
        assert sorted(t for t, _ in policy) == sorted(game.legal_tiles()), f"move {k}"
        game.apply(tile)
    assert game.current_player is None, "the game is not over at the end of the record"
    assert payoff == pytest.approx(game.payoff(), abs=1e-6)
    return game


class Fd1Capture:
    """Captures what is written to file descriptor 1 (the module bypasses sys.stdout)."""

    def __enter__(self):
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(1)
        os.dup2(self._file.fileno(), 1)
        self.text = None
        return self

    def __exit__(self, *exc_info):
        os.dup2(self._saved, 1)
        os.close(self._saved)
        self._file.seek(0)
        self.text = self._file.read().decode()
        self._file.close()


# ---------------------------------------------------------------------------------------------
# A service in another process, as real callers run it


def serve_in_process(requests, conn, expected_id, checked=50):
    """Answers zero logits and values of 0.25 to every request until it gets None.

    The first `checked` requests are checked in full. Sends ("done", requests served, problems)
    through the pipe at the end.
    """
    policy, values = [0.0] * CELLS, [0.25] * 4
    served, problems = 0, []
    while True:
        try:
            request = requests.get(timeout=120)
        except queue_module.Empty:
            problems.append("no request for 120 s")
            break
        if request is None:
            break
        served += 1
        if served <= checked:
            problems.extend(request_problems(request, expected_id))
        elif type(request) is not tuple or request[0] != expected_id:
            problems.append(f"request {served}: bad id or form")
        conn.send((policy, values))
    conn.send(("done", served, problems[:20]))
    conn.close()
