"""An interrupt raised by the service objects, or by a signal handler during a long search,
leaves the call as itself; ordinary exceptions keep their documented behaviour."""

import collections
import itertools
import signal
import sys

import pytest

from selfplay_fakes import UNIFORM_REPLY, Config
from velmar_self_play import generate_game_data


class Raising:
    """put and recv answer uniformly until call number `at` of `where`, which raises `error`."""

    def __init__(self, where, at, error):
        self.where, self.at, self.error = where, at, error
        self.calls = collections.Counter()

    def _call(self, name):
        self.calls[name] += 1
        if name == self.where and self.calls[name] == self.at:
            raise self.error

    def put(self, request):
        self._call("put")

    def recv(self):
        self._call("recv")
        return UNIFORM_REPLY


@pytest.mark.parametrize(
    "where, at, error",
    [
        ("put", 1, KeyboardInterrupt()),  # the first root
        ("recv", 1, SystemExit(3)),
        ("recv", 5, KeyboardInterrupt()),  # a leaf
        ("put", 40, SystemExit(0)),  # a later move's search
    ],
)
def test_an_interrupt_from_the_service_objects_propagates_as_itself(capfd, where, at, error):
    service = Raising(where, at, error)
    config = Config(sims_per_move=4)
    before = [sys.getrefcount(x) for x in (config, service)]
    with pytest.raises(type(error)) as caught:
        generate_game_data(7, config, service, service)
    assert caught.value is error
    assert capfd.readouterr().out == ""  # not reported as a failed root or search
    del caught
    error.__traceback__ = None  # its frames hold the service
    assert [sys.getrefcount(x) for x in (config, service)] == before


def test_a_signal_during_a_long_search_is_handled_between_simulations():
    """put and recv in C never run the interpreter's signal handlers; the exchange does, for every
    request of the search."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt("alarm")

    queue, pipe = type("Queue", (), {})(), type("Pipe", (), {})()
    queue.put = collections.deque(maxlen=1).append
    pipe.recv = itertools.repeat(UNIFORM_REPLY).__next__
    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt, match="alarm"):
            generate_game_data(0, Config(sims_per_move=20_000), queue, pipe)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
