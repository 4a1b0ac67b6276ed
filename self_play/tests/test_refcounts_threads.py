"""The objects handed in are released on every exit, and calls work from other threads."""

import gc
import sys
import threading

import pytest

from selfplay_fakes import (
    EVEN_VALUES, Config, Service, catch_panic, check_record, panic_message,
)

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data


def counts(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


OUTCOMES = {
    "success": ({}, {}, "record"),
    "root-failure": ({"recv_errors": {1: EOFError}}, {}, Exception),
    "root-bad-reply": ({"replies": {1: ("abc", EVEN_VALUES)}}, {}, Exception),
    "leaf-failure": ({"put_errors": {2: lambda: RuntimeError("gone")}}, {}, "panic"),
    "leaf-too-long": ({"replies": {2: ([0.0] * 401, EVEN_VALUES)}}, {}, "panic"),
    "bad-config": ({}, {"sims_per_move": 3.0}, "panic"),
    "bad-alpha": ({}, {"dirichlet_alpha": 0.0}, "panic"),
    "late-root-failure": ({"recv_errors": {7: EOFError}}, {"sims_per_move": 0}, Exception),
}


@pytest.mark.parametrize("outcome", sorted(OUTCOMES))
def test_references_are_released(outcome):
    service_args, settings, expected = OUTCOMES[outcome]
    service = Service(**service_args)
    config = Config(**{"sims_per_move": 1, **settings})
    queue, pipe = service.queue, service.pipe
    before = counts(config, queue, pipe)
    if expected == "record":
        record = generate_game_data(1, config, queue, pipe)
        check_record(record, 1)
        del record
    elif expected == "panic":
        exc = catch_panic(generate_game_data, 1, config, queue, pipe)
        panic_message(exc)
        del exc  # its traceback holds the helper's frame and with it the arguments
    else:
        with pytest.raises(Exception) as info:
            generate_game_data(1, config, queue, pipe)
        assert type(info.value) is Exception
        del info
    assert counts(config, queue, pipe) == before


@pytest.mark.parametrize("case", ["too-many", "missing", "id-overflow", "id-float", "keyword"])
def test_references_after_argument_errors(case):
    config, service = Config(), Service()
    queue, pipe = service.queue, service.pipe
    before = counts(config, queue, pipe)
    with pytest.raises((TypeError, OverflowError)):
        if case == "too-many":
            generate_game_data(1, config, queue, pipe, None)
        elif case == "missing":
            generate_game_data(1, config, queue)
        elif case == "id-overflow":
            generate_game_data(2**31, config, queue, pipe)
        elif case == "id-float":
            generate_game_data(1.5, config, queue, pipe)
        else:
            generate_game_data(1, config, queue, pipe=pipe, seed=3)
    assert counts(config, queue, pipe) == before
    assert service.count == 0


def test_repeated_calls_do_not_grow_the_counts():
    config, service = Config(sims_per_move=0), Service(recv_errors={1: EOFError})
    queue, pipe = service.queue, service.pipe

    def fail_at_the_first_reply():
        service.count = 0
        with pytest.raises(Exception) as info:
            generate_game_data(1, config, queue, pipe)
        assert type(info.value) is Exception

    for _ in range(3):  # whatever is made once per process is made now
        fail_at_the_first_reply()
    before = counts(config, queue, pipe)
    for _ in range(20):
        fail_at_the_first_reply()
    assert counts(config, queue, pipe) == before


def run_in_thread(target):
    box = {}

    def body():
        try:
            box["result"] = target()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test thread
            box["error"] = exc

    thread = threading.Thread(target=body)
    thread.start()
    thread.join(timeout=300)
    assert not thread.is_alive()
    return box


def test_call_from_another_thread():
    service = Service()
    box = run_in_thread(lambda: generate_game_data(21, Config(sims_per_move=2), service.queue,
                                                   service.pipe))
    assert "error" not in box, box.get("error")
    check_record(box["result"], 2)
    assert service.ids == {21} and service.problems == []


def test_panic_in_another_thread():
    box = run_in_thread(lambda: generate_game_data(1, {}, None, None))
    assert "result" not in box
    assert type(box["error"]).__name__ == "PanicException"
    assert "'dict' object has no attribute 'sims_per_move'" in panic_message(box["error"])


def test_concurrent_calls_take_turns():
    # Each call has its own service; recv lets the other thread run, so the two games interleave.
    services = [Service(yield_gil=True), Service(yield_gil=True)]
    order = []
    results = [None, None]
    start = threading.Barrier(2)

    class Noting:
        def __init__(self, k, inner):
            self.k, self.inner = k, inner

        def put(self, request):
            order.append(self.k)
            self.inner.put(request)

    def game(k):
        start.wait()
        results[k] = generate_game_data(100 + k, Config(sims_per_move=2),
                                        Noting(k, services[k].queue), services[k].pipe)

    threads = [threading.Thread(target=game, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    for k in range(2):
        assert type(results[k]) is tuple, f"game {k} did not finish"
        check_record(results[k], 2)
        assert services[k].ids == {100 + k}
        assert services[k].problems == []
    # Neither game ran to its end while the other waited at its first request.
    switches = sum(1 for a, b in zip(order, order[1:]) if a != b)
    assert switches >= 2


def test_the_search_lets_other_threads_run():
    """Between requests the search runs without the interpreter lock: a Python thread keeps
    counting during a game whose queue and pipe never run Python code (so never hand the lock on)."""
    import collections
    import itertools
    import time

    from selfplay_fakes import UNIFORM_REPLY

    queue, pipe = type("Queue", (), {})(), type("Pipe", (), {})()
    queue.put = collections.deque(maxlen=1).append
    pipe.recv = itertools.repeat(UNIFORM_REPLY).__next__
    ticks = itertools.count()
    done = threading.Event()

    def count():
        while not done.is_set():
            next(ticks)

    counter = threading.Thread(target=count)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # the engine retakes the lock for every request: no long waits
    counter.start()
    try:
        time.sleep(0.2)
        solo = next(ticks)
        time.sleep(0.2)
        solo_rate = (next(ticks) - solo) / 0.2
        started, before, during = time.monotonic(), next(ticks), 0
        while time.monotonic() - started < 0.3:  # small games, as many as a sanitized build needs
            generate_game_data(0, Config(sims_per_move=16), queue, pipe)
            during += next(ticks) - before
            before = next(ticks)
        seconds = time.monotonic() - started
    finally:
        done.set()
        counter.join()
        sys.setswitchinterval(interval)
    # Holding the lock, a game would let the counter run only at the interpreter's switch
    # interval, a few milliseconds of its whole length.
    assert during > 0.2 * solo_rate * seconds


def test_requests_stay_true_however_the_queue_treats_them():
    """The engine refills its last request's lists only when nobody else holds them, and notices
    lists changed behind its back. With no search, request m is the position after m tiles."""
    velmar_rules = pytest.importorskip("velmar_rules")
    snapshots, kept = [], []
    service = Service()

    class Meddling:
        def put(self, request):
            snapshots.append([list(row) for row in request[1]])
            service.queue.put(request)
            turn = len(snapshots)
            if turn % 3 == 0:
                kept.append((turn - 1, request[1][turn % 5]))  # hold one list
            elif turn % 3 == 1:
                request[1][1].reverse()  # change lists nobody holds any more
                request[1][3][7] = float("0.5")

    moves, _, _ = generate_game_data(5, Config(sims_per_move=0), Meddling(), service.pipe)
    assert service.problems == []
    game = velmar_rules.Game()
    for m, (_, tile) in enumerate(moves):
        assert snapshots[m] == game.encode().tolist(), f"request {m}"
        game.apply(tile)
    assert all(list(row) == snapshots[m][(m + 1) % 5] for m, row in kept)
