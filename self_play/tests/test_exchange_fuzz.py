"""Fuzzing of the exchange: an in-process service that answers with random Python objects.

Each case plays one call of generate_game_data against a fake service whose replies are drawn
from a seeded generator: mostly valid replies in many forms (lists, tuples, mappings, numpy and
array objects, bytes, custom sequences, NaN and infinite numbers), and now and then anything at
all (None, numbers, strings, containers of the wrong length or the wrong items, objects whose
__getitem__, __iter__, __len__, __float__ or __index__ raise or return garbage), or a put/recv
that raises. Every call must end in a valid record or in exactly the failure the first undecodable
reply calls for, and leave the reference counts of everything it was handed as they were.

The expected failure is worked out from the reply itself: an emulation of the decoding runs the
same interpreter protocols (item access, the sequence test, iteration, the float conversion) on a
twin of the reply, made by the same factory. Where a failure lands depends on whether the reply
was for a root evaluation (the plain Exception "Error running MCTS") or a leaf (PanicException);
the fake knows which from the order of requests. That order is only fixed while no simulation can
reach a finished game, so random replies are confined to the opening moves and every later reply
is a valid one: the game then runs to its end and its record is replayed with velmar_rules.

    VELMAR_FUZZ_SEED   first case's seed (default: a fresh random one each run)
    VELMAR_FUZZ_CASES  number of cases (default 150)

A failing case reports the seed that replays it alone.
"""

import array
import collections
import ctypes
import decimal
import fractions
import gc
import math
import os
import random
import re
import sys

import pytest

from selfplay_fakes import (
    CELLS, MCTS_FAILED, MCTS_LINE, ROOT_LINE, UNWRAP_ERR, greedy_choice, panic_message,
    request_problems,
)

velmar_self_play = pytest.importorskip("velmar_self_play")
velmar_rules = pytest.importorskip("velmar_rules")
generate_game_data = velmar_self_play.generate_game_data

try:
    import numpy
except ImportError:  # the numpy forms are left out
    numpy = None

CASES = int(os.environ.get("VELMAR_FUZZ_CASES", "150"))
FIRST_SEED = int(os.environ.get("VELMAR_FUZZ_SEED") or random.SystemRandom().randrange(2**32))
SEEDS = [FIRST_SEED + k for k in range(CASES)]

# The interpreter's own sequence test and float conversion, as the module calls them. A PyDLL
# raises the pending exception after a call, as the module sees it.
_capi = ctypes.PyDLL(None)
_capi.PySequence_Check.argtypes = [ctypes.py_object]
_capi.PySequence_Check.restype = ctypes.c_int
_capi.PyFloat_AsDouble.argtypes = [ctypes.py_object]
_capi.PyFloat_AsDouble.restype = ctypes.c_double

# A request of the opening moves has at most this many tiles on the board (plus the depth of the
# search), far from any finished game: every simulation evaluates a new position then.
MAX_EARLY_MOVES = 24

OPTION_PANIC = "called `Option::unwrap()` on a `None` value"


def index_panic(length):
    return f"index out of bounds: the len is {length} but the index is {length}"


# ---------------------------------------------------------------------------------------------
# Emulated decoding


def unprintable_safe_repr(obj):
    try:
        return repr(obj)
    except BaseException:  # noqa: BLE001 - the module shows such objects as a placeholder
        return "<unprintable object>"


class Outcome:
    """What decoding one reply leads to: ok (with the policy length), an error or a panic."""

    def __init__(self, kind, *, policy_len=None, error_type=None, error_repr=None, message=None):
        self.kind = kind
        self.policy_len = policy_len
        self.error_type = error_type
        self.error_repr = error_repr
        self.message = message

    @classmethod
    def error(cls, exc):
        return cls("error", error_type=type(exc), error_repr=unprintable_safe_repr(exc))

    def __repr__(self):
        if self.kind == "ok":
            return f"ok(policy of {self.policy_len})"
        if self.kind == "error":
            return f"error({self.error_type.__name__}: {self.error_repr})"
        return f"panic({self.message})"


def read_floats(item):
    """The number of entries of a reply item, or the error the module raises for it."""
    if isinstance(item, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _capi.PySequence_Check(item):
        raise TypeError(f"'{type(item).__name__}' object cannot be converted to 'Sequence'")
    count = 0
    for entry in item:
        _capi.PyFloat_AsDouble(entry)
        count += 1
    return count


def classify(reply):
    """How the module decodes `reply`: policy first, then values, then the length checks."""
    try:
        policy_len = read_floats(reply[0])
        values_len = read_floats(reply[1])
    except BaseException as exc:  # noqa: BLE001 - any exception is the reply's error
        return Outcome.error(exc)
    if policy_len > CELLS:
        return Outcome("panic", message=index_panic(CELLS))
    if values_len < 4:
        return Outcome("panic", message=index_panic(values_len))
    return Outcome("ok", policy_len=policy_len)


# ---------------------------------------------------------------------------------------------
# Objects that behave oddly


class Boom(Exception):
    pass


class Fatal(BaseException):
    """Not an Exception: a handler for Exception in the fake would not stop it."""


class BadRepr(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")


EXCEPTIONS = [
    lambda: RuntimeError("service stopped"),
    lambda: EOFError(),
    lambda: ConnectionResetError(104, "Connection reset by peer"),
    lambda: ValueError("odd"),
    lambda: KeyError("k"),
    lambda: IndexError("garbage index"),
    lambda: StopIteration(),
    lambda: Boom("boom"),
    lambda: BadRepr("hidden"),
    lambda: Fatal("fatal"),
    lambda: KeyboardInterrupt(),
    lambda: MemoryError(),
    lambda: RecursionError("deep"),
]


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatRaises:
    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()


class FloatSubclass(float):
    pass


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class ByGetitem:
    """A sequence known only by __getitem__ (iteration stops at the IndexError)."""

    def __init__(self, items, fail_at=None, make=None):
        self.items, self.fail_at, self.make = items, fail_at, make

    def __getitem__(self, k):
        if k == self.fail_at:
            raise self.make()
        return self.items[k]


class IterRaises:
    def __init__(self, make):
        self.make = make

    def __getitem__(self, k):
        return 0.0

    def __iter__(self):
        raise self.make()


class IterNotAnIterator:
    def __getitem__(self, k):
        return 0.0

    def __iter__(self):
        return 5


class IterYields:
    """__iter__ gives the items (possibly garbage) while __len__ says anything or raises."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __getitem__(self, k):
        raise RuntimeError("iterated, not indexed")

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class Reply:
    """A reply known only by __getitem__: its items, a fixed object, or an exception."""

    def __init__(self, items=None, always=None, make=None):
        self.items, self.always, self.make = items, always, make

    def __getitem__(self, key):
        if self.make is not None:
            raise self.make()
        if self.items is not None:
            return self.items[key]
        return self.always


# ---------------------------------------------------------------------------------------------
# Generators: each returns a factory, so that the emulation and the module get equal twins


def number(rng, valid=True):
    """A float-convertible entry (valid) or anything at all."""
    good = [
        lambda: rng.gauss(0.0, 2.0),
        lambda: float("nan"),
        lambda: float("inf"),
        lambda: -float("inf"),
        lambda: rng.choice([1e300, -1e300, 3.5e38, 5e-324, -0.0, 1e-45]),
        lambda: rng.randrange(-5, 300),
        lambda: rng.choice([True, False]),
        lambda: 2**53 + 1,
        lambda: HasFloat(rng.gauss(0.0, 1.0)),
        lambda: HasFloat(FloatSubclass(0.5)),  # deprecated, still converted
        lambda: HasIndex(rng.randrange(-3, 3)),
        lambda: decimal.Decimal("1.5"),
        lambda: fractions.Fraction(1, 3),
    ]
    if numpy is not None:
        good.append(lambda: numpy.float32(rng.random()))
    bad = [
        lambda: None,
        lambda: "1.5",
        lambda: b"1",
        lambda: [1.0],
        lambda: 10**400,
        lambda: complex(1, 1),
        lambda: object(),
        lambda: HasFloat("not a float"),
        lambda: HasIndex(1.5),
        lambda: FloatRaises(rng.choice(EXCEPTIONS)),
    ]
    make = rng.choice(good if valid or rng.random() < 0.5 else bad)
    return make()


def policy_length(rng):
    return rng.choice([0, 1, 15, 21, 200, 399, 400, 400, 400, 401, 500, rng.randrange(0, 501)])


def sequence(rng, length, valid_entries):
    """A factory of a sequence-like item of `length` entries (or something that is not one)."""
    entries = [number(rng, valid_entries) for _ in range(length)]
    floats = [rng.gauss(0.0, 1.0) for _ in range(length)]
    forms = [
        lambda: list(entries),
        lambda: tuple(entries),
        lambda: ListSub(entries),
        lambda: TupleSub(entries),
        lambda: collections.deque(entries),
        lambda: ByGetitem(entries),
        lambda: IterYields(entries, rng_len),
        lambda: array.array("d", floats),
        lambda: memoryview(array.array("d", floats)),
        lambda: bytes(byte_values),
        lambda: bytearray(byte_values),
        lambda: range(length),
    ]
    if numpy is not None:
        forms += [lambda: numpy.asarray(floats, dtype=numpy.float32),
                  lambda: numpy.zeros((length, 2)) if length else numpy.zeros((1, 2))]
    byte_values = [rng.randrange(256) for _ in range(length)]
    rng_len = rng.choice([length, -1, "x", 10**30, Boom("len")])
    if length and rng.random() < 0.2:
        fail_at = rng.randrange(length)
        make = rng.choice(EXCEPTIONS)
        forms.append(lambda: ByGetitem(entries, fail_at, make))
    return rng.choice(forms)


def not_a_sequence(rng):
    make_exc = rng.choice(EXCEPTIONS)
    return rng.choice([
        lambda: None,
        lambda: 0.25,
        lambda: 7,
        lambda: "abc",
        lambda: Text("x"),
        lambda: {0: 0.0, 1: 0.0},
        lambda: DictSub({0: 0.0}),
        lambda: {0.0, 1.0},
        lambda: frozenset(),
        lambda: (x for x in [0.0] * 4),
        lambda: object(),
        lambda: list,  # a type, not an instance
        lambda: IterRaises(make_exc),
        lambda: IterNotAnIterator(),
        lambda: make_exc(),  # an exception object as data
    ])


def reply_item(rng, length):
    roll = rng.random()
    if roll < 0.15:
        return not_a_sequence(rng)
    return sequence(rng, length, valid_entries=roll < 0.75)


def wild_reply(rng):
    """A factory of anything a broken or hostile service could send."""
    if rng.random() < 0.25:
        # Well-formed but of odd lengths: policies too short to reach every legal tile (or any),
        # too long, and value lists too short.
        policy = sequence(rng, rng.choice([0, 1, 5, 20, 100, 401]), valid_entries=True)
        values = sequence(rng, rng.randrange(0, 9), valid_entries=True)
        return lambda: (policy(), values())
    policy = reply_item(rng, policy_length(rng))
    values = reply_item(rng, rng.randrange(0, 9))
    make_exc = rng.choice(EXCEPTIONS)
    extra = rng.choice([None, "x", object()])
    return rng.choice([
        lambda: (policy(), values()),
        lambda: [policy(), values()],
        lambda: (policy(), values(), extra),
        lambda: {0: policy(), 1: values()},
        lambda: {0.0: policy(), True: values(), "other": extra},
        lambda: {0: policy()},
        lambda: {"0": policy(), "1": values()},
        lambda: (policy(),),
        lambda: (),
        lambda: None,
        lambda: 42,
        lambda: float("nan"),
        lambda: "policy and values",
        lambda: b"\x00\x01",
        lambda: Reply(items=(policy(), values())),
        lambda: Reply(always=policy()),
        lambda: Reply(make=make_exc),
        lambda: make_exc(),
    ])


def good_reply(rng):
    """A factory of a valid reply: 400 logits, 4 to 8 values, in one of many forms."""
    floats = [rng.gauss(0.0, 3.0) for _ in range(CELLS)]
    if rng.random() < 0.3:
        for _ in range(rng.randrange(1, 20)):
            floats[rng.randrange(CELLS)] = rng.choice([float("nan"), float("inf"), -float("inf"), 1e300])
    values = [rng.choice([rng.gauss(0.0, 1.0), 0.25, float("nan"), float("inf"), -1e300])
              for _ in range(rng.randrange(4, 9))]
    policy_forms = [
        lambda: list(floats),
        lambda: tuple(floats),
        lambda: array.array("d", floats),
        lambda: [HasFloat(x) for x in floats],
        lambda: bytes(rng_bytes),
        lambda: range(CELLS),
        lambda: ByGetitem(floats),
    ]
    if numpy is not None:
        policy_forms.append(lambda: numpy.asarray(floats, dtype=numpy.float32))
    rng_bytes = [rng.randrange(256) for _ in range(CELLS)]
    value_forms = [lambda: list(values), lambda: tuple(values), lambda: collections.deque(values)]
    policy, value = rng.choice(policy_forms), rng.choice(value_forms)
    return rng.choice([
        lambda: (policy(), value()),
        lambda: [policy(), value()],
        lambda: {0: policy(), 1: value()},
        lambda: (policy(), value(), None),
        lambda: Reply(items=[policy(), value()]),
    ])


# ---------------------------------------------------------------------------------------------
# The fake service


def refcount(obj):
    return sys.getrefcount(obj)


class Handed:
    """A reply handed to the module, with the counts of its tracked parts at that time.

    `counts` is taken the same way before and after, so that the references of this bookkeeping
    cancel out.
    """

    def __init__(self, make):
        self.reply = make()
        self.parts = tracked_parts(self.reply)
        self.baseline = self.counts()

    def counts(self):
        return [refcount(part) for part in self.parts]


def tracked_parts(reply):
    """The reply and the plain containers inside it whose counts are checked after the call."""
    parts = [reply]
    if type(reply) in (tuple, list) and len(reply) >= 2:
        parts += [reply[0], reply[1]]
    elif type(reply) is dict:
        parts += [v for v in reply.values()]
    # Numbers, strings, types, bare objects and empty tuples may be shared with the rest of the
    # process (constants, caches, singletons): their counts are not this call's to keep.
    shared = (int, float, bool, str, bytes, type(None), type, object)
    return [p for p in parts
            if type(p) not in shared and not (type(p) in (tuple, frozenset) and len(p) == 0)]


class Case:
    """One call: its settings, its service's behaviour and the outcome that must follow."""

    def __init__(self, seed):
        rng = self.rng = random.Random(seed)
        self.sims = rng.choice([0, 1, 1, 2, 2, 3])
        self.sample_moves = rng.choice([0, 4, 30])
        self.id = rng.randrange(-2**31, 2**31)
        self.early_moves = rng.choice([1, 4, MAX_EARLY_MOVES])
        mode = rng.random()
        self.fault_rate = 0.0 if mode < 0.1 else rng.choice([0.05, 0.2, 0.5, 1.0])
        self.missing = rng.choice(["put", "recv"]) if mode > 0.97 else None
        self.goods = [good_reply(rng) for _ in range(4)]
        self.good_outcomes = [classify(make()) for make in self.goods]
        assert all(o.kind == "ok" and o.policy_len == CELLS for o in self.good_outcomes)

    def describe(self):
        return (f"sims_per_move {self.sims}, sample_moves {self.sample_moves}, id {self.id}, "
                f"random replies in the first {self.early_moves} moves at rate {self.fault_rate}")


class Config:
    def __init__(self, case):
        self.sims_per_move = case.sims
        self.sample_moves = case.sample_moves
        self.c_base = case.rng.choice([19652.0, 1.0, 1e6])
        self.c_init = case.rng.choice([1.25, 0.0, 10.0])
        self.dirichlet_alpha = case.rng.choice([0.3, 0.03, 5.0])
        self.exploration_fraction = case.rng.choice([0.25, 0.0, 1.0])


class Queue:
    def __init__(self, service):
        self._service = service

    def put(self, request):
        self._service.on_put(request)


class Pipe:
    def __init__(self, service):
        self._service = service

    def recv(self):
        return self._service.on_recv()


class NoPut:
    pass


class NoRecv:
    pass


class Service:
    """Answers requests in order, working out along the way what the call must end in.

    While the opening moves last it follows the search: the first request of a move is its root;
    then each of the `sims` simulations sends one request, which evaluates the root again as long
    as the root has no children, and a new leaf otherwise; a move whose root still has no
    children after the simulations fails with the Option panic.
    """

    def __init__(self, case):
        self.case = case
        self.rng = case.rng
        self.queue = NoPut() if case.missing == "put" else Queue(self)
        self.pipe = NoRecv() if case.missing == "recv" else Pipe(self)
        self.requests = []  # every request of the opening, kept to check the request floats
        self.count = 0
        self.problems = []
        self.handed = []  # every reply object handed out, with its tracked parts' counts
        # None while a record is due; ("root", error Outcome) for the plain Exception of a root
        # failure; ("panic", error Outcome of a leaf, or the message) for a PanicException.
        self.outcome = None
        self.decided_at = None
        self.move = 0
        self.sims_left = None  # None: the next request is a move's root
        self.root_children = set()
        self.root_reevaluations = 0
        self.moves = []  # per opening move: (children of the root, root re-evaluations)
        self.pending = None
        if case.missing == "put":
            self.decide(("root", Outcome.error(AttributeError("'NoPut' object has no attribute 'put'"))))
        for make in case.goods:
            self.hand_out(make)  # the good replies are shared: count them from the start

    @property
    def early(self):
        return self.move < self.case.early_moves

    def decide(self, outcome):
        if self.outcome is None:
            self.outcome = outcome
            self.decided_at = self.count

    def hand_out(self, make):
        self.handed.append(Handed(make))
        return self.handed[-1].reply

    def on_put(self, request):
        try:
            self.note_request(request)
        except Exception as exc:
            self.problems.append(f"the fake itself failed: {exc!r}")
            raise
        if self.pending is not None and self.pending[0] == "put-raises":
            make, self.pending = self.pending[1], None
            raise make()

    def note_request(self, request):
        self.count += 1
        if self.outcome is not None:
            self.problems.append(f"request {self.count} after the call was decided at {self.decided_at}")
        if self.pending is not None:
            self.problems.append(f"request {self.count} before the previous reply was taken")
        if not self.early:
            self.pending = ("good", self.rng.randrange(len(self.case.goods)))
            return
        self.requests.append(request)
        if self.case.missing == "recv":
            self.decide(("root", Outcome.error(AttributeError("'NoRecv' object has no attribute 'recv'"))))
            return
        if self.count <= 3 or self.sims_left is None:
            self.problems.extend(f"request {self.count}: {p}" for p in request_problems(request, self.case.id))
        planes = request[1]
        role = "root" if self.sims_left is None else ("again" if not self.root_children else "leaf")
        if role == "root":
            tiles = sum(map(sum, planes[:4]))
            if tiles != self.move:
                self.problems.append(f"request {self.count}, the root of move {self.move}, has {tiles} tiles")

        roll = self.rng.random()
        if roll < self.case.fault_rate * 0.1:
            exc = self.rng.choice(EXCEPTIONS)
            where = self.rng.choice(["put", "recv"])
            outcome = Outcome.error(exc())
            self.pending = (where + "-raises", exc)
        elif roll < self.case.fault_rate:
            make = wild_reply(self.rng)
            outcome = classify(make())
            self.pending = ("wild", make)
        else:
            k = self.rng.randrange(len(self.case.goods))
            outcome = self.case.good_outcomes[k]
            self.pending = ("good", k)

        if outcome.kind == "error":
            self.decide(("root", outcome) if role == "root" else ("panic", outcome))
        elif outcome.kind == "panic":
            self.decide(("panic", outcome.message))
        else:
            self.step(role, planes, outcome.policy_len)

    def step(self, role, planes, policy_len):
        """Follows the search through one decoded reply."""
        if role != "leaf":
            legal = planes[4]
            self.root_children |= {i for i in range(min(policy_len, CELLS)) if legal[i] == 1.0}
        if role == "again":
            self.root_reevaluations += 1
        self.sims_left = self.case.sims if role == "root" else self.sims_left - 1
        if self.sims_left == 0:
            if not self.root_children:
                self.decide(("panic", OPTION_PANIC))
                return
            self.moves.append((self.root_children, self.root_reevaluations))
            self.move += 1
            self.sims_left, self.root_children, self.root_reevaluations = None, set(), 0

    def on_recv(self):
        if self.pending is None:
            self.problems.append(f"recv without a request after request {self.count}")
            return None
        what, arg = self.pending
        self.pending = None
        if what == "recv-raises":
            raise arg()
        if what == "good":
            return self.handed[arg].reply
        return self.hand_out(arg)


# ---------------------------------------------------------------------------------------------
# Checks


def counts(*objects):
    gc.collect()
    return [refcount(o) for o in objects]


def pyerr_pattern(outcome):
    return (re.escape(f"PyErr {{ type: {outcome.error_type!r}, value: {outcome.error_repr}, traceback: ")
            + r"(None|<traceback object at 0x[0-9a-f]+>) \}")


def check_record(record, case, service):
    """The record's form, its replay under the rules, the policies and the tiles chosen."""
    assert type(record) is tuple and len(record) == 3
    moves, policies, payoff = record
    assert type(moves) is list and type(policies) is list and type(payoff) is list
    assert 0 < len(moves) == len(policies) <= 4 * 89
    game = velmar_rules.Game()
    for k, (move, policy) in enumerate(zip(moves, policies)):
        assert type(move) is tuple and len(move) == 2 and all(type(x) is int for x in move), move
        player, played = move
        assert game.current_player == player, f"move {k}"
        assert type(policy) is list and policy, f"move {k}"
        assert all(type(e) is tuple and len(e) == 2 and type(e[0]) is int and type(e[1]) is float
                   for e in policy), f"move {k}"
        tiles = [tile for tile, _ in policy]
        shares = [share for _, share in policy]
        legal = set(game.legal_tiles())
        if k < len(service.moves):
            children, again = service.moves[k]
        else:
            children, again = legal, 0
        assert len(tiles) == len(set(tiles)) and set(tiles) == children <= legal, f"move {k}"
        visits = case.sims - again
        if visits == 0:
            assert all(math.isnan(s) for s in shares), f"move {k}: {shares}"
        else:
            assert math.fsum(shares) == pytest.approx(1.0, abs=1e-5), f"move {k}: {shares}"
            assert all(s * visits == pytest.approx(round(s * visits), abs=1e-4) for s in shares), \
                f"move {k}: {shares} are not shares of {visits} visits"
        if k + 1 < case.sample_moves:
            assert played == tiles[-1] or dict(policy)[played] > 0.0, f"move {k}: drew an unvisited tile"
        else:
            assert played == greedy_choice(policy), f"move {k}: {played} is not the most visited"
        game.apply(played)
    assert game.current_player is None, "the record ends before the game does"
    assert len(payoff) == 4 and all(type(x) is float for x in payoff)
    assert payoff == pytest.approx(game.payoff(), abs=1e-6)


def check_failure(exc, out, case, service):
    kind, detail = service.outcome
    if isinstance(detail, Outcome) and issubclass(detail.error_type, (KeyboardInterrupt, SystemExit)):
        # An interrupt ends the call as itself, with nothing printed.
        assert type(exc) is detail.error_type, f"{type(exc).__name__}: {exc!r}, expected {detail}"
        assert out == "", out
        return
    if kind == "root":
        assert type(exc) is Exception, f"{type(exc).__name__}: {exc!r}, expected a root failure"
        assert exc.args == (MCTS_FAILED,)
        lines = out.split("\n")
        assert len(lines) == 3 and lines[2] == "", out
        assert lines[0].startswith(ROOT_LINE) and lines[1].startswith(MCTS_LINE), out
        rendering = lines[0][len(ROOT_LINE):]
        assert lines[1][len(MCTS_LINE):] == rendering
        assert re.fullmatch(pyerr_pattern(detail), rendering), f"{rendering!r} for {detail}"
        return
    assert type(exc).__name__ == "PanicException", f"{type(exc).__name__}: {exc!r}, expected a panic"
    message = panic_message(exc)
    if isinstance(detail, Outcome):
        assert re.fullmatch(re.escape(UNWRAP_ERR) + pyerr_pattern(detail), message), \
            f"{message!r} for {detail}"
    else:
        assert message == detail
    assert out == "", out


def run_case(case, capfd):
    service = Service(case)
    config = Config(case)
    queue, pipe = service.queue, service.pipe
    before = counts(config, queue, pipe)
    capfd.readouterr()
    record = exc = None
    try:
        record = generate_game_data(case.id, config, queue, pipe)
    except BaseException as caught:  # noqa: BLE001 - PanicException is not an Exception
        exc = caught
    out = capfd.readouterr().out
    assert service.problems == [], service.problems[:5]

    if service.outcome is None:
        assert exc is None, f"{type(exc).__name__}: {exc!r}, expected a record"
        check_record(record, case, service)
        assert out.count("Game finished with payoff: ") == 1, out
    else:
        assert record is None, f"a record, expected {service.outcome}"
        check_failure(exc, out, case, service)
        assert service.count == service.decided_at, \
            f"{service.count} requests, the call was decided at request {service.decided_at}"
    del record, exc  # a traceback holds this frame and with it the arguments

    assert counts(config, queue, pipe) == before, "the counts of config, queue, pipe changed"
    for handed in service.handed:
        assert handed.counts() == handed.baseline, \
            f"the counts of a reply {type(handed.reply).__name__} or its items changed"
    check_request_floats(service.requests)


def check_request_floats(requests):
    """The planes of all requests of a call share one 0.0 and one 1.0 object: once the call is
    over only the kept requests refer to them."""
    if not requests:
        return
    planes = requests[0][1]
    shared = [planes[0][0]] + [x for x in planes[4] if x == 1.0][:1]
    # Each object is held by one list here and looked at the same way, so the counts compare.
    alone = [float(x + 0.5) - 0.5 for x in shared]
    for k in range(len(shared)):
        uses = sum(1 for r in requests for plane in r[1] for x in plane if x is shared[k])
        assert sys.getrefcount(shared[k]) - uses == sys.getrefcount(alone[k]), \
            f"the count of the requests' {shared[k]} is off"


# Some entries' __float__ return a float subclass, which the interpreter converts with a warning;
# numpy warns of float32 overflows.
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning")
@pytest.mark.parametrize("seed", SEEDS, ids=[f"seed{s}" for s in SEEDS])
def test_random_service(seed, capfd):
    case = Case(seed)
    try:
        run_case(case, capfd)
    except AssertionError as failure:
        raise AssertionError(f"reproduce with VELMAR_FUZZ_SEED={seed} VELMAR_FUZZ_CASES=1 "
                             f"({case.describe()}):\n{failure}") from failure


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_outcomes_are_mixed():
    """The generator reaches every kind of ending, so the cases above exercise them all."""
    kinds = collections.Counter()
    for seed in range(60):
        rng = random.Random(seed)
        for _ in range(25):
            outcome = classify(wild_reply(rng)())
            kinds[outcome.kind] += 1
            if outcome.kind == "error":
                kinds[outcome.error_type.__name__] += 1
    assert kinds["ok"] > 30 and kinds["panic"] > 30 and kinds["error"] > 300, kinds
    for name in ["TypeError", "KeyError", "IndexError", "OverflowError", "RuntimeError", "Fatal",
                 "BadRepr", "KeyboardInterrupt"]:
        assert kinds[name] > 0, (name, kinds)
