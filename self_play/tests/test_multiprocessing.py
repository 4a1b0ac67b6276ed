"""One game against the objects real callers use: a multiprocessing queue read by a service
process, and a multiprocessing pipe that carries the replies back."""

import multiprocessing

import pytest

from selfplay_fakes import Config, check_record, replay, serve_in_process

velmar_self_play = pytest.importorskip("velmar_self_play")


def service_report(conn):
    """Reads up to the service's closing report (skipping a reply nobody asked for)."""
    while conn.poll(60):
        message = conn.recv()
        if type(message) is tuple and message and message[0] == "done":
            return message
    return None


@pytest.mark.parametrize("sims", [1, 3])
def test_game_with_a_service_process(sims):
    ctx = multiprocessing.get_context()
    requests = ctx.Queue()
    ours, theirs = ctx.Pipe()
    service = ctx.Process(target=serve_in_process, args=(requests, theirs, 4242), daemon=True)
    service.start()
    theirs.close()  # if the service dies, recv reports it instead of waiting for ever
    try:
        record = velmar_self_play.generate_game_data(4242, Config(sims_per_move=sims), requests, ours)
    finally:
        requests.put(None)
        report = service_report(ours)
        service.join(timeout=60)
        if service.is_alive():
            service.kill()
        requests.close()
        ours.close()
    assert service.exitcode == 0
    assert report is not None, "the service did not report"
    _, served, problems = report
    assert problems == []
    moves, _, _ = check_record(record, sims)
    assert len(moves) <= served <= len(moves) * (sims + 1)


def test_record_from_a_service_process_replays():
    pytest.importorskip("velmar_rules")
    ctx = multiprocessing.get_context()
    requests = ctx.Queue()
    ours, theirs = ctx.Pipe()
    service = ctx.Process(target=serve_in_process, args=(requests, theirs, -1), daemon=True)
    service.start()
    theirs.close()
    try:
        record = velmar_self_play.generate_game_data(-1, Config(sims_per_move=2, sample_moves=30),
                                                     requests, ours)
    finally:
        requests.put(None)
        report = service_report(ours)
        service.join(timeout=60)
        if service.is_alive():
            service.kill()
    assert report is not None and report[2] == []
    replay(record)
