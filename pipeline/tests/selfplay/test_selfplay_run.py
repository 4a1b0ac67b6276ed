"""The selfplay runner end to end: records, routing, dead workers, a dead service, Ctrl-C."""

import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay import service
import reply_codec
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.__main__ import main
from velmar_pipeline.selfplay.command import run_selfplay
from velmar_pipeline.selfplay.options import Options
from velmar_pipeline.selfplay.worker import MisroutedReply, ReplyPipe, ServiceGone
from pipeline_fakes import stop_signals_by_default

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[2]


def options(out, **overrides):
    base = dict(games=4, workers=2, out=str(out), games_per_shard=3, progress=False, reply_timeout=20.0)
    return Options(**{**base, **overrides})


def check_game(game):
    """Replays a record tile by tile: every tile legal, every policy on legal tiles, payoff equal."""
    state = velmar_rules.Game()
    for row, (player, cell) in enumerate(game.history()):
        assert state.current_player == player
        legal = state.legal_tiles()
        policy = game.policies[row]
        assert np.all(policy >= 0)
        assert set(np.flatnonzero(policy)) <= set(legal)
        assert abs(float(policy.sum()) - 1.0) < 1e-4
        state.apply(cell)
    assert state.is_over
    np.testing.assert_allclose(game.payoff, state.payoff())
    assert velmar_rules.replay(game.history()).payoff() == state.payoff()


@pytest.mark.parametrize(
    "threads, evaluator, sims",
    [(1, "uniform", 1), (2, "random", 2)],
)
def test_end_to_end_records_replay(tmp_path, threads, evaluator, sims):
    search = SearchConfig(sims_per_move=sims, sample_moves=10)
    summary = run_selfplay(search, options(tmp_path, threads_per_worker=threads, evaluator=evaluator, seed=3))
    assert summary.games == 4 and not summary.worker_failures and not summary.interrupted
    assert summary.requests >= summary.moves * (sims + 1) * 0.9
    assert sum(summary.wins) == pytest.approx(4.0)
    shards = records.shard_paths(tmp_path)
    assert [p.name for p in shards] == ["shard-00000.npz", "shard-00001.npz"]
    assert summary.shards == shards
    games = records.load_games(tmp_path)
    assert len(games) == 4
    assert sum(len(g) for g in games) == summary.moves
    for game in games:
        assert game.metadata["evaluator"] == evaluator
        assert game.metadata["search"]["sims_per_move"] == sims
        check_game(game)
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]  # no temporary files left
    for worker in (0, 1):
        assert "Game finished with payoff" in (tmp_path / f"worker-{worker}.log").read_text()


@pytest.mark.parametrize("workers, threads", [(3, 1), (2, 3)])
def test_every_reply_reaches_its_own_game(tmp_path, workers, threads):
    games = 3 * workers * threads
    summary = run_selfplay(
        SearchConfig(),
        options(tmp_path, games=games, workers=workers, threads_per_worker=threads, evaluator="echo",
                play="pipeline_fakes:echo_checking_play", games_per_shard=100, max_wait_ms=1.0,
                value_offset=0.0),
    )
    assert summary.worker_failures == []
    assert summary.games == games
    # The stand-in's records carry the game id in their payoff, so they are read raw.
    ids = sorted(int(i) for shard in records.shard_paths(tmp_path) for i in np.load(shard)["payoffs"][:, 0])
    assert len(set(ids)) == games
    slots = workers * threads
    assert {service.owner(i) for i in ids} <= set(range(slots))


def test_reply_pipe_rejects_a_reply_for_another_game():
    receive, send = multiprocessing.Pipe(duplex=False)
    pipe = ReplyPipe(receive, timeout=5.0)
    pipe.expected_id = service.game_id(1, 0)
    [message] = reply_codec.pack_replies(np.array([service.game_id(2, 0)]), np.zeros((1, 400)), np.full((1, 4), 0.25))
    send.send_bytes(message)
    with pytest.raises(MisroutedReply, match="2000000 reached game id 1000000"):
        pipe.recv()


def test_reply_pipe_fails_fast_when_the_service_end_closes():
    receive, send = multiprocessing.Pipe(duplex=False)
    pipe = ReplyPipe(receive, timeout=30.0)
    send.close()
    started = time.monotonic()
    with pytest.raises(ServiceGone, match="inference service is gone"):
        pipe.recv()
    assert time.monotonic() - started < 1.0


def test_reply_pipe_times_out():
    receive, send = multiprocessing.Pipe(duplex=False)
    pipe = ReplyPipe(receive, timeout=0.05)
    with pytest.raises(ServiceGone, match="no reply .* within 0.05 s"):
        pipe.recv()


def run_in_thread(search, opts):
    box = {}
    thread = threading.Thread(target=lambda: box.setdefault("summary", run_selfplay(search, opts)), daemon=True)
    thread.start()
    return thread, box


def child_named(name, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for child in multiprocessing.active_children():
            if child.name == name and child.pid:
                return child
        time.sleep(0.02)
    raise AssertionError(f"no child process {name}")


def wait_for_games(folder, count, timeout=30.0):
    """Waits until the worker logs show `count` finished games in all."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = sum(p.read_text().count("Game finished") for p in Path(folder).glob("worker-*.log"))
        if done >= count:
            return
        time.sleep(0.02)
    raise AssertionError(f"fewer than {count} games finished in {timeout} s")


def test_a_killed_worker_is_reported_and_the_others_finish(tmp_path):
    games = 8
    thread, box = run_in_thread(SearchConfig(sims_per_move=2), options(tmp_path, games=games, reply_timeout=10.0))
    victim = child_named("velmar-worker-0")
    wait_for_games(tmp_path, 1)
    os.kill(victim.pid, signal.SIGKILL)
    thread.join(timeout=60)
    assert not thread.is_alive()
    summary = box["summary"]
    died = [text for text in summary.worker_failures if "worker 0 died (killed by SIGKILL)" in text]
    assert len(died) == 1 and "lost" not in died[0]
    assert "game(s) in progress go to the other workers" in died[0] or "in progress" not in died[0]
    assert summary.games == games  # the other worker played the games it held
    assert len(records.load_games(tmp_path)) == games


def test_a_dead_service_ends_the_workers_with_a_clear_error(tmp_path):
    thread, box = run_in_thread(
        SearchConfig(sims_per_move=2), options(tmp_path, games=50, threads_per_worker=2, reply_timeout=60.0)
    )
    server = child_named("velmar-service")
    wait_for_games(tmp_path, 1)
    started = time.monotonic()
    os.kill(server.pid, signal.SIGKILL)
    thread.join(timeout=30)
    assert not thread.is_alive()
    assert time.monotonic() - started < 15  # no waiting for the reply timeout
    summary = box["summary"]
    assert summary.service_failed
    assert summary.games < 50
    gone = [t for t in summary.worker_failures if "inference service is gone" in t]
    assert len(gone) == 4  # every slot of both workers
    assert "inference service is gone" in (tmp_path / "worker-0.log").read_text()
    assert len(records.load_games(tmp_path)) == summary.games


@pytest.mark.parametrize("stop_signal, per_shard", [(signal.SIGINT, 2), (signal.SIGTERM, 64), (signal.SIGHUP, 64)])
def test_a_stop_signal_keeps_the_finished_games(tmp_path, stop_signal, per_shard):
    """A signal to the parent alone (a scheduler, `kill PID`) once some games are done."""
    command = [
        sys.executable, "-m", "velmar_pipeline", "selfplay", "--games", "200", "--workers", "2",
        "--sims-per-move", "2", "--games-per-shard", str(per_shard), "--out", str(tmp_path), "--no-progress",
    ]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT,
                               preexec_fn=stop_signals_by_default)
    try:
        wait_for_games(tmp_path, 3)
        process.send_signal(stop_signal)
        out, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 128 + stop_signal, err
    assert f"interrupted by {signal.Signals(stop_signal).name}" in err and "Traceback" not in err
    line = next(text for text in out.splitlines() if text.startswith("games: "))
    finished = int(line.split()[1])
    assert 3 <= finished < 200 and "(interrupted)" in line
    games = records.load_games(tmp_path)
    assert len(games) == finished
    for game in games:
        check_game(game)
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]
    for log in tmp_path.glob("worker-*.log"):  # abandoned games are no failures of the engine
        text = log.read_text()
        assert "internal failure" not in text and "Error" not in text and "worker" in text, text[-2000:]


def hangup_ignored():
    stop_signals_by_default()
    signal.signal(signal.SIGHUP, signal.SIG_IGN)


@pytest.mark.parametrize("command", ["selfplay", "loop"])
def test_a_hangup_ignored_from_the_start_stays_ignored(tmp_path, command):
    """`nohup` ignores SIGHUP before the command starts: logging out must not end the run."""
    if command == "loop":
        pytest.importorskip("torch")
        argv = ["loop", "--dir", str(tmp_path), "--generations", "1", "--games", "2", "--workers", "1",
                "--sims-per-move", "2", "--epochs", "30", "--blocks", "1", "--channels", "8", "--threads", "1"]
        cues = ["loop: generation 0: ", "train: "]  # hang up during its self-play, then during training
    else:
        argv = ["selfplay", "--games", "6", "--workers", "2", "--sims-per-move", "2", "--out", str(tmp_path)]
        cues = ["selfplay: "]
    process = subprocess.Popen([sys.executable, "-m", "velmar_pipeline", *argv, "--no-progress"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=ROOT,
                               preexec_fn=hangup_ignored)
    seen = []
    try:
        for line in process.stdout:
            seen.append(line)
            if cues and line.startswith(cues[0]):
                cues.pop(0)
                time.sleep(0.5)
                process.send_signal(signal.SIGHUP)
        process.wait(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
    output = "".join(seen)
    assert process.returncode == 0 and not cues and "interrupted" not in output, output
    folder = tmp_path / "gen-0000" if command == "loop" else tmp_path
    assert len(records.load_games(folder)) == (2 if command == "loop" else 6)


@pytest.mark.parametrize("command", ["selfplay", "stats"])
def test_output_piped_into_a_reader_that_leaves_early_changes_nothing(tmp_path, command):
    """`selfplay ... | head -1`: the reader is gone before most lines are written."""
    if command == "stats":
        run_selfplay(SearchConfig(sims_per_move=1), options(tmp_path, games=2, workers=1))
        argv = ["stats", str(tmp_path)]
    else:
        argv = ["selfplay", "--games", "4", "--workers", "2", "--sims-per-move", "2", "--out", str(tmp_path),
                "--no-progress"]
    process = subprocess.Popen([sys.executable, "-m", "velmar_pipeline", *argv], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, cwd=ROOT)
    process.stdout.close()  # the only reading end: every write to standard output fails
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0 and "Traceback" not in err and "Error" not in err, err
    assert len(records.load_games(tmp_path)) == (2 if command == "stats" else 4)


def test_a_log_that_cannot_be_written_costs_no_game(tmp_path, monkeypatch):
    """The run's processes start with no room for any file, as on a full disk (EFBIG for ENOSPC)."""
    import resource

    start = multiprocessing.context.SpawnProcess.start

    def start_without_room(process):
        saved = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (0, saved[1]))
        try:
            start(process)
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, saved)

    monkeypatch.setattr(multiprocessing.context.SpawnProcess, "start", start_without_room)
    summary = run_selfplay(SearchConfig(sims_per_move=2), options(tmp_path, games=4))
    assert summary.games == 4 and summary.exit_status(4) == 0 and not summary.worker_failures
    assert len(records.load_games(tmp_path)) == 4
    logs = [tmp_path / f"worker-{k}.log" for k in (0, 1)]
    assert sorted(summary.notes) == [f"worker {k} could not write its log {log} (File too large)"
                                     for k, log in enumerate(logs)]


def test_a_log_that_is_a_link_is_replaced_not_written_through(tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_text("keep\n")
    (tmp_path / "out").mkdir()
    for name in ("worker-0.log", "service.log"):
        (tmp_path / "out" / name).symlink_to(outside)
    summary = run_selfplay(SearchConfig(sims_per_move=2), options(tmp_path / "out", games=2))
    assert summary.games == 2 and outside.read_text() == "keep\n"
    for name in ("worker-0.log", "service.log"):
        assert not (tmp_path / "out" / name).is_symlink()
    assert "worker" in (tmp_path / "out" / "worker-0.log").read_text()


def test_workers_beyond_the_games_are_not_started(tmp_path, capsys):
    assert main(["selfplay", "--games", "2", "--workers", "100", "--sims-per-move", "1", "--out", str(tmp_path),
                 "--no-progress"]) == 0
    assert "2 games, 2 workers x 8 threads" in capsys.readouterr().out
    assert sorted(p.name for p in tmp_path.glob("*.log")) == ["service.log", "worker-0.log", "worker-1.log"]


def test_temporary_shards_left_by_a_killed_run_are_removed_and_recent_ones_named(tmp_path):
    stale, recent = tmp_path / ".shard-00000-abc123.tmp", tmp_path / ".shard-00001-def456.tmp"
    for path in (stale, recent):
        path.write_bytes(b"half a shard")
    os.utime(stale, (time.time() - 3600, time.time() - 3600))
    said = []
    summary = run_selfplay(SearchConfig(sims_per_move=1), options(tmp_path, games=1, workers=1), log=said.append)
    assert summary.games == 1 and not stale.exists() and recent.exists()
    assert any("removed 1 temporary shard file(s)" in line for line in said)
    assert any(recent.name in line and "another run may be writing" in line for line in said), said


def test_ctrl_c_to_the_whole_group_while_starting_is_one_clean_stop(tmp_path):
    """Ctrl-C at a terminal reaches every process of the group, children still importing too."""
    command = [sys.executable, "-m", "velmar_pipeline", "selfplay", "--games", "50", "--workers", "2",
               "--out", str(tmp_path), "--no-progress"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT,
                               start_new_session=True, preexec_fn=stop_signals_by_default)
    try:
        assert process.stdout.readline().startswith("selfplay: ")  # the processes start now
        os.killpg(process.pid, signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    # Python ends by SIGINT itself (a shell sees 130 either way) when the KeyboardInterrupt passed
    # through an exec() of source text on its way, e.g. in a dataclass being made.
    assert process.returncode in (130, -signal.SIGINT), err
    assert "Traceback" not in err and "died" not in err and "failure" not in out, err


def test_a_full_disk_keeps_what_was_written_and_reports_the_rest(tmp_path, monkeypatch):
    real_write = records.write_shard
    calls = []

    def fill_up(*args, **kwargs):
        calls.append(1)
        if len(calls) > 1:
            raise OSError(28, "No space left on device")
        return real_write(*args, **kwargs)

    monkeypatch.setattr(records, "write_shard", fill_up)
    summary = run_selfplay(SearchConfig(sims_per_move=2), options(tmp_path, games=12, games_per_shard=2))
    written = len(records.load_games(tmp_path))
    assert written == 2 and summary.unwritten >= 1 and summary.exit_status(12) == 1
    assert summary.games == written + summary.unwritten
    assert any("could not be written" in t and "No space left" in t for t in summary.worker_failures)
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_an_evaluator_failing_in_the_service_is_one_line_with_its_traceback_in_the_log(tmp_path, monkeypatch):
    (tmp_path / "failing_evaluator.py").write_text(
        "def make(seed):\n"
        "    def evaluate(planes):\n"
        "        raise ArithmeticError('the network broke')\n"
        "    return evaluate\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    out = tmp_path / "out"
    summary = run_selfplay(SearchConfig(sims_per_move=2),
                           options(out, games=2, evaluator="failing_evaluator:make", reply_timeout=30.0))
    assert summary.service_failed and summary.games == 0
    died = [t for t in summary.worker_failures if "inference service died" in t]
    assert len(died) == 1 and "service.log" in died[0]
    assert "ArithmeticError: the network broke" in (out / "service.log").read_text()
