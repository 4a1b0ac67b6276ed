"""The loop's own files: one loop per folder, a ledger that must agree with itself and the folder,
a lookahead cache that is used only for the games it labels, and helpers that end with their parent."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from scripted_games import lowest_tile_games, write_games
from velmar_pipeline.__main__ import main
from velmar_pipeline.records import shards as records
from velmar_pipeline.records.folder_lock import FolderLock

pytest.importorskip("torch")
pytest.importorskip("onnxruntime")
from test_learning import teacher_file  # noqa: E402
from velmar_pipeline.training import lookahead  # noqa: E402

LOOP = ["--games", "2", "--workers", "1", "--no-progress", "--blocks", "1", "--channels", "8"]
HOLD = ("import sys, time; from velmar_pipeline.records.folder_lock import FolderLock; "
        "lock = FolderLock(sys.argv[1], 'loop'); print('held', flush=True); time.sleep(600)")


@pytest.mark.parametrize("holder_killed", [False, True])
def test_a_second_loop_in_a_folder_is_refused_until_the_first_has_died(tmp_path, capsys, holder_killed):
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(tmp_path)], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        if holder_killed:  # no chance to clean up: the lock file stays behind
            holder.kill()
            holder.wait()
            with FolderLock(tmp_path, "loop"):
                pass
            return
        assert main(["loop", "--dir", str(tmp_path), *LOOP]) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and f"in use by another loop (process {holder.pid})" in err, err
        assert sorted(p.name for p in tmp_path.iterdir()) == [".lock"]
    finally:
        holder.kill()
        holder.wait()


def write_ledger(root, best, promoted):
    (root / "gen-0000").mkdir(parents=True)
    (root / "gen-0000" / "model.pt").write_bytes(b"weights")
    (root.parent / "elsewhere.pt").write_bytes(b"weights")
    decisions = [] if promoted is None else [{"generation": 1, "candidate": "gen-0001/model.pt", "duel": {},
                                              "best_before": "gen-0000/model.pt", "promoted": promoted, "z": 1.64}]
    (root / "gatekeeper.json").write_text(json.dumps({"best": best, "decisions": decisions}))


@pytest.mark.parametrize("best, promoted, message", [
    (None, True, "its best network is None but its last decision (generation 1) leaves 'gen-0001/model.pt'"),
    ("gen-0000/model.pt", True, "leaves 'gen-0001/model.pt'"),
    ("../elsewhere.pt", None, "lies outside the folder"),
    (sys.executable, None, "lies outside the folder"),
    ("gen-0003/model.pt", None, "is not there"),
    ("no-such-player", None, "is not there"),
])
def test_a_ledger_that_contradicts_itself_or_its_folder_is_refused(tmp_path, capsys, best, promoted, message):
    root = tmp_path / "loop"
    write_ledger(root, best, promoted)
    assert main(["loop", "--dir", str(root), *LOOP]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"{root / 'gatekeeper.json'}: " in err and message in err, err
    assert not (root / "loop.json").exists()


def garbled(rows, cache, shard):
    """Each damage of a cache, or of the tie between it and the shard, and the line it draws."""
    return {
        "truncated": (lambda: cache.write_bytes(cache.read_bytes()[:300]), "unreadable"),
        "not distributions": (lambda: resaved(cache, rows * 2), "targets changed"),
        "all on the worst tile": (lambda: resaved(cache, np.eye(400, dtype=np.float32)[rows.argmin(axis=1)]),
                                  "targets changed"),
        "the shard rewritten": (lambda: write_games(shard.parent, lowest_tile_games(2, seed=9)), "other contents"),
    }


def resaved(cache, targets):
    with np.load(cache) as stored:
        metadata = stored["metadata"]
    np.savez_compressed(cache, targets=targets, metadata=metadata)


@pytest.mark.parametrize("damage", ["truncated", "not distributions", "all on the worst tile",
                                    "the shard rewritten"])
def test_a_cache_that_does_not_hold_the_shards_targets_is_computed_anew_with_one_line(tmp_path, damage):
    recipe = lookahead.Recipe(teacher_file(tmp_path), "heuristic", "improved", share=0.5)
    shard = write_games(tmp_path / "games", lowest_tile_games(2, seed=3))

    def histories():
        return [game.moves[:, 1].tolist() for game in records.read_shard(shard)]

    said = []
    first = lookahead.cached_targets(shard, histories(), recipe, log=said.append)
    cache = next(shard.parent.glob("*.lookahead-*.npz"))
    change, reason = garbled(first, cache, shard)[damage]
    change()
    again = lookahead.cached_targets(shard, histories(), recipe, log=said.append)
    np.testing.assert_array_equal(again, lookahead.targets(recipe, histories()))
    assert len(said) == 1 and str(cache) in said[0] and reason in said[0], said
    assert lookahead.cached_targets(shard, histories(), recipe, log=said.append) is not None and len(said) == 1


def test_the_labelling_pool_and_its_resource_tracker_end_when_their_parent_is_killed(tmp_path):
    code = ("import os, time; from velmar_pipeline.training import lookahead\n"
            "pool = lookahead.labelling_pool(2)\n"
            "print(len({pool.submit(os.getpid).result() for _ in range(4)}), flush=True); time.sleep(600)")
    parent = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert int(parent.stdout.readline()) >= 1
        helpers = children_of(parent.pid)
        assert len(helpers) >= 2  # the pool's processes and the resource tracker
        parent.send_signal(signal.SIGKILL)
        parent.wait()
        deadline = time.monotonic() + 60
        while [pid for pid in helpers if alive(pid)] and time.monotonic() < deadline:
            time.sleep(0.2)
        assert not [pid for pid in helpers if alive(pid)]
    finally:
        parent.kill()
        for pid in children_of(parent.pid):
            os.kill(pid, signal.SIGKILL)


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as file:
                    fields = file.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False
