"""Self-play on a Ray cluster made of local nodes: games split, a node lost, Ctrl-C, no cluster.

Every Ray process these tests start carries a marker in its environment, so that the tests can
check that none (nor any service or worker under a node runner) outlives them.
"""

import http.server
import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from multiprocessing import resource_tracker
from pathlib import Path

import pytest

from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.options import Options

from pipeline_fakes import stop_signals_by_default
from test_selfplay_run import ROOT, check_game

ray = pytest.importorskip("ray", reason="Ray is not installed (pip install '.[cluster]')")
cluster_utils = pytest.importorskip("ray.cluster_utils")

MARKER = "VELMAR_CLUSTER_TEST"
SEARCH = SearchConfig(sims_per_move=2, sample_moves=10)


@pytest.fixture
def marked(monkeypatch):
    """A marker in this process's environment, inherited by every process started from here."""
    tag = uuid.uuid4().hex
    # The resource tracker of multiprocessing lives as long as this process: started here, before
    # the marker, whichever test of the session starts a run first.
    resource_tracker.ensure_running()
    monkeypatch.setenv(MARKER, tag)
    yield tag
    left = []
    deadline = time.monotonic() + 20  # a lost node's workers end after their current game
    while time.monotonic() < deadline:
        left = marked_processes(tag)
        if not left:
            break
        time.sleep(0.5)
    assert not left, f"processes left running: {left}"


def marked_processes(tag):
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if f"{MARKER}={tag}".encode() in (entry / "environ").read_bytes().split(b"\0"):
                found.append((int(entry.name), (entry / "cmdline").read_bytes().replace(b"\0", b" ")[:80]))
        except OSError:
            continue
    return found


def two_local_nodes():
    try:
        cluster = cluster_utils.Cluster(initialize_head=True, head_node_args={"num_cpus": 1,
                                                                              "include_dashboard": False})
        cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
    except Exception as error:  # no shared memory, no free ports: nothing of this module can run
        pytest.skip(f"Ray cannot start local nodes here: {error}")
    return cluster


def unique_games(folder):
    games = records.load_games(folder)
    keys = {(g.moves.tobytes(), g.payoff.tobytes()) for g in games}
    return games, len(keys)


def test_games_over_two_nodes_survive_a_lost_runner_and_a_lost_node(tmp_path, marked):
    from velmar_pipeline.selfplay import cluster

    nodes = two_local_nodes()
    second = list(nodes.worker_nodes)[0]

    def kill_runner(run, node):
        if run.summary.games == 1:
            ray.kill(run.nodes[1].handle)

    def remove_node(run, node):
        if run.summary.games == 1:
            nodes.remove_node(second)

    try:
        def not_second(node):
            return node.node_id != second.node_id

        # (case, what happens after the driver receives the first game, which nodes end alive)
        for case, on_game, alive in [("two nodes", None, lambda node: True),
                                     ("runner killed", kill_runner, lambda node: node.index == 0),
                                     ("node removed", remove_node, not_second)]:
            out = tmp_path / case.replace(" ", "-")
            connection = cluster.Connection(nodes.address)
            try:
                run = cluster.ClusterRun(SEARCH, Options(games=6, out=str(out), games_per_shard=4, progress=False,
                                                         threads_per_worker=2), connection)
                run.on_game = on_game
                summary = run.run()
            finally:
                connection.close()
            games, distinct = unique_games(out)
            assert summary.games == len(games) == distinct == 6, case
            assert [p.name for p in records.shard_paths(out)] == ["shard-00000.npz", "shard-00001.npz"], case
            assert [node.alive for node in summary.nodes] == [alive(node) for node in summary.nodes], case
            assert sum(node.returned for node in summary.nodes) == 6, case
            for game in games:
                check_game(game)
            if on_game is None:
                assert all(node.returned for node in summary.nodes) and not summary.worker_failures
                for index in (0, 1):
                    assert "Game finished with payoff" in (out / "nodes" / f"node-{index}" / "worker-0.log").read_text()
            else:
                assert summary.exit_status(6) == 0
                assert any("dealt again to the others" in text for text in summary.worker_failures), case
    finally:
        nodes.shutdown()


def selfplay(out, *flags):
    command = [sys.executable, "-m", "velmar_pipeline", "selfplay", "--out", str(out), "--no-progress",
               "--sims-per-move", "2", *flags]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT,
                            start_new_session=True, preexec_fn=stop_signals_by_default)


def test_ctrl_c_on_a_local_cluster_keeps_the_finished_games(tmp_path, marked):
    process = selfplay(tmp_path, "--cluster", "local", "--games", "400", "--games-per-shard", "1")
    try:
        deadline = time.monotonic() + 60
        while not records.shard_paths(tmp_path) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
        os.killpg(process.pid, signal.SIGINT)  # as a terminal does: the local cluster's processes too
        out, err = process.communicate(timeout=90)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    if "cannot start a local Ray cluster" in err:
        pytest.skip(f"Ray cannot start here: {err.strip()}")
    assert process.returncode == 130, err
    played = int(next(line for line in out.splitlines() if line.startswith("games:")).split()[1])
    games, distinct = unique_games(tmp_path)
    assert 0 < played == len(games) == distinct < 400, out + err


@pytest.mark.parametrize("address, words", [("127.0.0.1:1", "cannot reach a Ray cluster at 127.0.0.1:1"),
                                            ("no-port", "HOST:PORT")])
def test_a_cluster_that_cannot_be_reached_is_one_line(tmp_path, address, words):
    process = selfplay(tmp_path, "--cluster", address)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 2 and err.count("\n") == 1 and words in err, err
    assert not records.shard_paths(tmp_path)


@pytest.fixture
def no_ray_head():
    """The port of a plain HTTP server on 127.0.0.1: it takes the connection, but is no Ray head."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_address[1]
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("stop, bound_s, status, words", [
    (None, 3, 2, "no Ray cluster answered at '127.0.0.1:{port}' within 3 s (Ray's messages: "),
    (signal.SIGINT, 600, 130, "velmar-pipeline: interrupted"),
])
def test_an_address_that_is_no_ray_head_is_given_up_in_one_line(tmp_path, marked, no_ray_head, stop, bound_s,
                                                                 status, words):
    """Ray alone retries such an address for many minutes, with a warning every few seconds."""
    code = (f"import sys; from velmar_pipeline.selfplay import cluster; cluster.CONNECT_TIMEOUT_S = {bound_s}; "
            "from velmar_pipeline.__main__ import main; sys.exit(main(sys.argv[1:]))")
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-c", code, "selfplay", "--cluster", f"127.0.0.1:{no_ray_head}", "--games", "2",
         "--out", str(out), "--no-progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT,
        env={**os.environ, "TMPDIR": str(tmp_path)}, preexec_fn=stop_signals_by_default)
    try:
        assert process.stdout.readline().startswith("selfplay: ")  # connecting now
        if stop is not None:
            time.sleep(1)
            process.send_signal(stop)
        _, err = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == status and err.count("\n") == 1, err
    assert words.format(port=no_ray_head) in err and not out.exists()
    logs = list(tmp_path.glob("velmar-ray-connect-*.log"))
    assert [str(log) in err for log in logs] == ([True] if stop is None else [])


def test_without_the_flag_nothing_of_ray_is_imported():
    code = ("import sys; from velmar_pipeline.__main__ import build_parser; "
            "from velmar_pipeline.training import loop; from velmar_pipeline import selfplay; build_parser(); "
            "print('ray' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=ROOT).stdout == "False\n"


def test_loop_plays_each_generation_on_the_cluster_with_the_last_checkpoint(tmp_path, marked):
    from velmar_pipeline.evaluators.architecture import Architecture
    from velmar_pipeline.training.loop import LoopSettings, run_loop
    from velmar_pipeline.training.train import TrainSettings

    root = tmp_path / "loop"
    loop = LoopSettings(generations=2, games=2, workers=1, cluster="local", gate_games=0)
    training = TrainSettings(epochs=1, batch_size=512, holdout=0.0, progress=False, threads=1)
    reports, interrupted = run_loop(root, loop, SEARCH, training, Architecture(blocks=1, channels=8), log=print)
    assert not interrupted and [(r.generation, r.games_played) for r in reports] == [(0, 2), (1, 2)]
    # Generation 1 plays the checkpoint's ONNX twin, shipped to the nodes.
    for generation, evaluator in [(0, "heuristic"), (1, f"net:{root / 'gen-0000' / 'model.onnx'}")]:
        games, distinct = unique_games(root / f"gen-{generation:04d}")
        assert len(games) == distinct == 2 and all(g.metadata["evaluator"] == evaluator for g in games)
        for game in games:
            check_game(game)
    assert "Game finished with payoff" in (root / "gen-0001" / "nodes" / "node-0" / "worker-0.log").read_text()
