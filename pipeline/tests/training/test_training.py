"""Value-slot order, training positions, the network and its checkpoints, training, the net evaluator, the loop."""

import json
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.records import positions  # noqa: E402
from velmar_pipeline.records import shards as records  # noqa: E402
from velmar_pipeline.__main__ import main  # noqa: E402
from velmar_pipeline.evaluators.architecture import Architecture  # noqa: E402
from velmar_pipeline.selfplay.config import SearchConfig  # noqa: E402

from pipeline_fakes import stop_signals_by_default, tiny_checkpoint
from scripted_games import lowest_tile_games, write_games

torch = pytest.importorskip("torch")
from velmar_pipeline.evaluators import network  # noqa: E402  (needs torch)
from velmar_pipeline.training.train import TrainSettings, read_losses  # noqa: E402

TINY = ["--blocks", "1", "--channels", "8"]


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--evaluator", "net"], "needs a model checkpoint"),
        (["--evaluator", "net", "--model", "no-such.pt"], "no model checkpoint at 'no-such.pt'"),
        (["--model", "x.pt"], "takes no argument"),
    ],
)
def test_selfplay_model_flags_checked_up_front(tmp_path, capsys, flags, message):
    assert main(["selfplay", "--out", str(tmp_path / "out"), *flags]) == 2
    assert message in capsys.readouterr().err


def test_held_out_games_stay_held_out_as_the_window_grows():
    from velmar_pipeline.training.train import game_keys, split_games

    rng = np.random.default_rng(5)
    games = [records.GameRecord(rng.integers(0, 400, (60, 2), dtype=np.int32), np.zeros((60, 400), np.float32),
                                np.full(4, 0.25, np.float32)) for _ in range(400)]

    def held_out(window, holdout=0.1, seed=0):
        return {id(g) for g in split_games(window, holdout, seed, keys=game_keys(window, seed))[1]}

    small, large = held_out(games[:100]), held_out(games)
    assert small == large & {id(g) for g in games[:100]} and 20 < len(large) < 60
    assert held_out(games, seed=1) != large and not held_out(games, holdout=0.0)
    for count, holdout, expected in [(1, 0.5, 0), (2, 0.99, 1), (3, 0.3, 1)]:  # one game trains; one held out at least
        assert len(held_out(games[:count], holdout)) == expected


def test_train_loss_falls_on_generated_games(tmp_path):
    shard = write_games(tmp_path / "games", lowest_tile_games(4, seed=11))
    out = tmp_path / "train"
    # The lowest legal cell is no symmetric target: turned boards would contradict it.
    flags = ["--epochs", "8", "--batch-size", "64", "--lr", "0.01", "--holdout", "0.25", "--log-every", "4",
             "--threads", "1", "--no-progress", "--no-augment"]
    assert main(["train", str(shard), "--out", str(out), *TINY, *flags]) == 0
    rows = read_losses(out / "losses.csv")
    train_rows = [r for r in rows if r["split"] == "train"]
    validation = [r for r in rows if r["split"] == "validation"]
    assert [r["epoch"] for r in validation] == list(range(9))  # before training, then after every epoch
    assert all(r["positions"] > 100 for r in validation)
    assert train_rows[-1]["policy_loss"] < 0.5 * train_rows[0]["policy_loss"]
    assert validation[-1]["policy_loss"] < 0.5 * validation[0]["policy_loss"]  # learned, not memorised
    model, info = network.load_checkpoint(out / "model.pt", "cpu")
    assert info["step"] == train_rows[-1]["step"] and info["games"] == 4
    assert (out / "loss.png").stat().st_size > 10_000


def test_train_continues_from_a_checkpoint(tmp_path):
    shard = write_games(tmp_path / "games", lowest_tile_games(1, seed=4))
    init = network.save_checkpoint(tmp_path / "init.pt", network.PolicyValueNet(Architecture(blocks=0, channels=4)),
                                   step=100)
    assert main(["train", str(shard), "--out", str(tmp_path / "t"), "--init", str(init), "--epochs", "1",
                 "--batch-size", "1000", "--threads", "1", "--no-progress"]) == 0
    model, info = network.load_checkpoint(tmp_path / "t" / "model.pt", "cpu")
    assert info["step"] == 101 and model.architecture == Architecture(blocks=0, channels=4)


def check_replays(folder, evaluator):
    games = records.load_games(folder)
    for game in games:
        assert game.metadata["evaluator"] == evaluator
        state = velmar_rules.replay(game.history())
        assert state.is_over and list(game.payoff) == pytest.approx(state.payoff())
    return games


def test_selfplay_with_the_network_through_the_service(tmp_path):
    from velmar_pipeline.selfplay.command import run_selfplay
    from velmar_pipeline.selfplay.options import Options

    evaluator = f"net:{tiny_checkpoint(tmp_path / 'm.pt')}"
    summary = run_selfplay(SearchConfig(sims_per_move=1, sample_moves=10), Options(
        games=2, workers=2, out=str(tmp_path / "sp"), progress=False, reply_timeout=30.0, evaluator=evaluator))
    assert summary.games == 2 and not summary.worker_failures
    assert summary.requests >= 2 * summary.moves * 0.9  # the root and one simulation per tile
    assert len(check_replays(tmp_path / "sp", evaluator)) == 2


def test_loop_runs_and_resumes_from_the_disk(tmp_path):
    from velmar_pipeline.training.loop import LoopSettings, games_in, run_loop

    root = tmp_path / "loop"
    loop = LoopSettings(generations=2, games=2, window=2, workers=2, gate_games=0)
    search = SearchConfig(sims_per_move=1, sample_moves=10)
    training = TrainSettings(epochs=1, batch_size=512, holdout=0.0, progress=False, threads=1)
    reports, interrupted = run_loop(root, loop, search, training, Architecture(blocks=1, channels=8), log=print)
    assert not interrupted and [r.generation for r in reports] == [0, 1]
    check_replays(root / "gen-0000", "heuristic")  # the first teacher
    check_replays(root / "gen-0001", f"net:{root / 'gen-0000' / 'model.onnx'}")  # the checkpoint's ONNX twin
    _, info = network.load_checkpoint(root / "gen-0001" / "model.pt", "cpu")
    _, first = network.load_checkpoint(root / "gen-0000" / "model.pt", "cpu")
    assert info["generation"] == 1 and info["games"] == 4  # trained on both generations' games
    assert info["step"] > first["step"]

    # An interruption after generation 1's games but before its checkpoint: only training is redone.
    (root / "gen-0001" / "model.pt").unlink()
    reports, interrupted = run_loop(root, loop, search, training, Architecture(blocks=1, channels=8), log=print)
    assert [(r.generation, r.games_played) for r in reports] == [(1, 0)]
    assert games_in(root / "gen-0001") == 2 and (root / "gen-0001" / "model.pt").is_file()


def turned_cell(cell, turns):
    """The cell ``cell`` lands on after ``turns`` clockwise quarter turns, by rows and columns."""
    width = velmar_rules.BOARD_WIDTH
    row, column = divmod(cell, width)
    for _ in range(turns):
        row, column = column, width - 1 - row
    return row * width + column


def planes_from_cells(state, turns):
    """The planes of ``state`` turned ``turns`` quarter turns, built from its board's owners and its
    legal tiles: owners move on by ``turns`` players, as does the mover."""
    mover = (state.current_player + turns) % 4
    planes = np.zeros((velmar_rules.PLANES, velmar_rules.CELLS), np.uint8)
    for cell, digit in enumerate("".join(state.board_string().split())):  # the owner's digit, or '.'
        if digit != ".":
            owner = (int(digit) + turns) % 4
            planes[(owner + 1 - mover) % 4, turned_cell(cell, turns)] = 1
    planes[positions.LEGAL_PLANE, [turned_cell(c, turns) for c in state.legal_tiles()]] = 1
    return planes, mover


def test_quarter_turns_match_positions_built_from_the_board():
    corners = velmar_rules.START_CORNERS
    assert [turned_cell(corners[q], 1) for q in range(4)] == [corners[(q + 1) % 4] for q in range(4)]
    rng = np.random.default_rng(7)
    state, states = velmar_rules.Game(), []
    while not state.is_over:
        if len(state.history) in (0, 9, 50, 130, 210):
            states.append(state.copy())
        state.apply(int(rng.choice(state.legal_tiles())))
    by_player = np.array([0.1, 0.2, 0.3, 0.4], np.float32)  # distinct, so every slot is told apart
    turns = np.repeat(np.arange(4), len(states))
    originals = [states[i % len(states)] for i in range(len(turns))]
    to_move = np.array([s.current_player for s in originals], np.int8)
    policies = rng.random((len(turns), 400)).astype(np.float32)
    planes, turned_policies, values, turned_to_move = positions.rotate(
        np.stack([s.encode().astype(np.uint8) for s in originals]), policies,
        positions.slots_from_players(by_player, to_move).astype(np.float32), to_move, turns)
    for row, (state, k) in enumerate(zip(originals, turns)):
        expected, mover = planes_from_cells(state, int(k))
        np.testing.assert_array_equal(planes[row], expected, err_msg=f"turns {k}, tile {len(state.history)}")
        assert turned_to_move[row] == mover
        np.testing.assert_array_equal(values[row], positions.slots_from_players(np.roll(by_player, k), mover))
        np.testing.assert_array_equal(turned_policies[row, [turned_cell(c, int(k)) for c in range(400)]],
                                      policies[row])


def test_position_sets_keep_row_order_and_the_policy_loss_skips_rows_without_target():
    from velmar_pipeline.training.train import batch_losses

    data = positions.collect(lowest_tile_games(1, seed=9))
    packed = positions.Positions(np.packbits(data.planes[:50], axis=-1), None, data.values[:50],
                                 data.to_move[:50], data.game[:50], packed=True)
    both = positions.PositionSets([data.subset(np.arange(50, 120)), packed])
    rows = np.array([75, 3, 110, 10, 69])  # the parts interleaved
    source = np.where(rows < 70, rows + 50, rows - 70)
    targeted = rows < 70
    planes, policies, values, to_move = both.batch(rows)
    np.testing.assert_array_equal(planes, data.planes[source])
    np.testing.assert_array_equal(values, data.values[source])
    np.testing.assert_array_equal(to_move, data.to_move[source])
    np.testing.assert_array_equal(policies[~targeted], 0)
    np.testing.assert_array_equal(policies[targeted], data.policies[source[targeted]])
    torch.manual_seed(0)
    model = network.PolicyValueNet(Architecture(blocks=0, channels=4)).eval()
    tensors = [torch.from_numpy(a) for a in (planes, policies, values)]
    with torch.inference_mode():
        mixed, _, count = batch_losses(model, *tensors)
        alone, _, _ = batch_losses(model, *(t[torch.from_numpy(targeted)] for t in tensors))
    assert count.item() == targeted.sum() and mixed.item() == pytest.approx(alone.item(), rel=1e-6)


def test_random_game_positions(tmp_path):
    from velmar_pipeline.training import bootstrap

    data = bootstrap.random_positions(6, positions_per_game=7, seed=3, workers=1)
    assert len(data) == 42 and data.packed and data.policies is None
    # Workers only share out the same seeded chunks: the positions do not depend on their number.
    again = bootstrap.random_positions(6, positions_per_game=7, seed=3, workers=2)
    loaded, metadata = bootstrap.load(bootstrap.save(tmp_path / "b.npz", again, {"games": 6}))
    assert metadata["games"] == 6
    for other in (again, loaded):
        for name in ("planes", "values", "to_move", "game"):
            np.testing.assert_array_equal(getattr(other, name), getattr(data, name))
    # A chunk of one game with more positions asked for than it has gives all of them, in order:
    # replayed through the rules (each tile is the one cell newly occupied), they are its encodings.
    packed_planes, values, to_move, _ = bootstrap.play_chunk(1, 400, np.random.SeedSequence(5))
    planes = np.unpackbits(packed_planes, axis=-1, count=400)
    occupied = planes[:, :4].any(axis=1)
    state = velmar_rules.Game()
    for row in range(len(planes)):
        np.testing.assert_array_equal(planes[row], state.encode(), err_msg=f"tile {row}")
        assert to_move[row] == state.current_player
        np.testing.assert_array_equal(values[row], positions.slots_from_players(values[0], to_move[row]))
        if row + 1 < len(planes):
            (tile,) = np.flatnonzero(occupied[row + 1] & ~occupied[row])
            state.apply(int(tile))
    assert len(state.legal_tiles()) and len(planes) > 200


def test_loop_from_random_games_value_only_and_resumed(tmp_path, monkeypatch):
    from velmar_pipeline.training import bootstrap
    from velmar_pipeline.training.loop import LoopSettings, run_loop, tiles_in

    root = tmp_path / "loop"
    loop = LoopSettings(generations=2, games=2, window=2, workers=2, bootstrap_games=30, bootstrap_positions=4,
                        bootstrap_epochs=2, bootstrap_mix=0.1, gate_games=0)
    search = SearchConfig(sims_per_move=1, sample_moves=10)
    training = TrainSettings(epochs=1, batch_size=64, holdout=0.2, progress=False, threads=1)
    architecture = Architecture(blocks=1, channels=8, policy_head=False)
    lines = []
    reports, interrupted = run_loop(root, loop, search, training, architecture, log=lines.append)
    assert not interrupted and [(r.generation, r.random_positions) for r in reports] == [(0, 120), (1, 0)]
    assert (root / "gen-0000" / bootstrap.FILE_NAME).is_file() and not records.shard_paths(root / "gen-0000")
    check_replays(root / "gen-0001", f"net:{root / 'gen-0000' / 'model.onnx'}")  # the checkpoint's ONNX twin
    mixed = round(0.1 * tiles_in([root / "gen-0001"]))
    assert any(f"and {mixed} positions of random games" in line for line in lines)
    for generation in (0, 1):
        rows = read_losses(root / f"gen-000{generation}" / "losses.csv")
        assert all(np.isnan(r["policy_loss"]) and r["value_loss"] > 0 for r in rows)
        assert {r["split"] for r in rows} == {"train", "validation"}
    model, info = network.load_checkpoint(root / "gen-0001" / "model.pt", "cpu")
    assert info["generation"] == 1 and not model.architecture.policy_head
    logits, values = network.NetEvaluator(model)(np.stack([velmar_rules.Game().encode()] * 2))
    assert not logits.any() and values.sum(axis=1) == pytest.approx(1.0)

    # Resumed with both checkpoints gone: the random games are read back, not played again.
    for generation in (0, 1):
        (root / f"gen-000{generation}" / "model.pt").unlink()
    monkeypatch.setattr(bootstrap, "random_positions", lambda *a, **k: pytest.fail("random games replayed"))
    reports, _ = run_loop(root, loop, search, training, architecture, log=print)
    assert [(r.generation, r.games_played, r.random_positions) for r in reports] == [(0, 0, 120), (1, 0, 0)]


def illegal_weight(game):
    game.policies[5] = 0.0
    game.policies[5, 399] = 1.0  # the far corner is no legal tile on move 5
    return game


@pytest.mark.parametrize("damage, flags, status, message", [
    (illegal_weight, [], 2, "game 1: move 5: the policy puts weight on cell 399"),
    (None, ["--lr", "inf"], 2, "--lr must be a finite number"),
    (None, ["--value-weight", "nan"], 2, "--value-weight must be a finite number"),
    (None, ["--device", "bogus"], 2, "is not a torch device"),
    (None, ["--device", "cuda"] if not torch.cuda.is_available() else ["--device", "bogus"], 2, "--device"),
    (None, ["--lr", "1e15", "--epochs", "3"], 1, "the loss is not finite"),
    (None, ["--policy-targets", "improved", "--teacher", "no-such-evaluator"], 2, "--teacher: unknown evaluator"),
    (None, ["--policy-targets", "improved"], 2, "improved policy targets need a teacher"),
    (None, ["--policy-share", "0"], 2, "--policy-share must be in (0, 1]"),
    (None, ["--value-mix", "0.5"], 2, "--value-mix needs a teacher"),
    (None, ["--blocks", "99999999999"], 2, "--blocks 99999999999 --channels 8"),
    (None, ["--channels", "99999999999"], 2, "--blocks 1 --channels 99999999999"),
    (None, ["--train-seed", "-1"], 2, "--train-seed must be in [0, 2**63)"),
    (None, ["--threads", "99999999999"], 2, "--threads must be in [1, 1024]"),
])
def test_poison_stops_training_in_one_line_and_writes_nothing(tmp_path, capsys, damage, flags, status, message):
    games = lowest_tile_games(3, seed=4)
    if damage is not None:
        games[1] = damage(games[1])
    shard = write_games(tmp_path / "games", games)
    out = tmp_path / "train"
    assert main(["train", str(shard), "--out", str(out), "--no-progress", *TINY, *flags]) == status
    err = capsys.readouterr().err
    assert message in err.strip().splitlines()[-1] and "Traceback" not in err, err
    assert not out.exists()


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGHUP])
def test_a_stop_signal_during_training_ends_the_loop_so_that_it_resumes(tmp_path, stop_signal):
    command = [sys.executable, "-m", "velmar_pipeline", "loop", "--dir", str(tmp_path), "--generations", "1",
               "--games", "2", "--sims-per-move", "1", "--epochs", "200", "--no-progress", *TINY]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               cwd=Path(__file__).resolve().parents[3], preexec_fn=stop_signals_by_default)
    try:
        for line in process.stderr:  # the loop logs its phases on standard error
            if line.startswith("train: "):
                break
        process.send_signal(stop_signal)
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 128 + stop_signal, err
    assert "run the same command again to resume" in err and "Traceback" not in err
    assert not (tmp_path / "gen-0000" / "model.pt").exists() and len(records.load_games(tmp_path / "gen-0000")) == 2


def unusable_checkpoint(kind, path):
    if kind == "text":
        path.write_text("root:x:0:0:root:/root:/bin/bash\n")
    elif kind == "random bytes":
        path.write_bytes(np.random.default_rng(0).bytes(3000))
    else:  # weights holding NaN, as save_checkpoint would never write them, or computing it
        model = network.PolicyValueNet(Architecture(blocks=1, channels=8))
        state = model.state_dict()
        if kind == "negative variance":
            state["stem.1.running_var"][0] = -1.0
        else:
            state["stem.0.weight"][0, 0, 0, 0] = float("nan")
        torch.save({"kind": network.CHECKPOINT_KIND, "version": network.CHECKPOINT_VERSION,
                    "architecture": model.architecture.as_dict(), "state_dict": state}, path)
    return path


@pytest.mark.parametrize("command", ["train --init", "loop --init", "arena", "selfplay --model"])
@pytest.mark.parametrize("kind, message", [("text", "not a velmar policy-value checkpoint"),
                                           ("random bytes", "not a velmar policy-value checkpoint"),
                                           ("NaN weights", "the weights hold NaN or infinity (stem.0.weight)"),
                                           ("negative variance", "NaN or infinity")])
def test_a_checkpoint_that_cannot_be_used_is_one_line_before_anything_runs(tmp_path, capsys, command, kind, message):
    bad = str(unusable_checkpoint(kind, tmp_path / "bad.pt"))
    out = tmp_path / "out"
    shard = str(write_games(tmp_path / "games", lowest_tile_games(1, seed=4)))
    argv = {"train --init": ["train", shard, "--init", bad, "--out", str(out), "--no-progress"],
            "loop --init": ["loop", "--dir", str(out), "--init", bad, "--games", "2", "--no-progress"],
            "arena": ["arena", bad, "uniform", "--games", "2", "--no-progress", "--json", str(out)],
            "selfplay --model": ["selfplay", "--evaluator", "net", "--model", bad, "--out", str(out)]}[command]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and bad in err, err
    assert "weights_only" not in err and "--lr" not in err
    assert not out.exists()


def test_a_checkpoint_that_does_not_fit_on_the_disk_is_one_line_naming_it_and_leaves_nothing(tmp_path):
    """A file size limit fails the writes as a full disk does (EFBIG instead of ENOSPC)."""
    import resource

    shard = write_games(tmp_path / "games", lowest_tile_games(1, seed=4))
    out = tmp_path / "out"
    limit = 16_000  # a TINY checkpoint takes about 44 kB

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    process = subprocess.run([sys.executable, "-m", "velmar_pipeline", "train", str(shard), "--out", str(out),
                              "--epochs", "1", "--threads", "1", "--no-progress", *TINY],
                             capture_output=True, text=True, preexec_fn=small_files, timeout=120)
    assert process.returncode == 2, process.stderr
    last = process.stderr.strip().splitlines()[-1]
    assert last.startswith("velmar-pipeline train: error: ") and "File too large" in last, process.stderr
    assert str(out / "model.pt") in last and "Traceback" not in process.stderr
    assert not out.exists()


def test_a_resumed_loop_names_and_records_the_settings_that_changed(tmp_path):
    from velmar_pipeline.training.loop import record_settings

    def settings(games=16, value_offset=0.4, init=None, workers=2):
        return {"loop": {"games": games, "value_offset": value_offset, "init": init, "workers": workers},
                "search": SearchConfig().as_dict()}

    said = []
    assert record_settings(tmp_path, settings(), 0, said.append) == {} and not said
    assert record_settings(tmp_path, settings(workers=8), 1, said.append) == {} and not said  # how, not what
    changed = record_settings(tmp_path, settings(games=8, value_offset=0.3, init="m.pt"), 1, said.append)
    assert changed == {"loop.games": [16, 8], "loop.value_offset": [0.4, 0.3], "loop.init": [None, "m.pt"]}
    assert len(said) == 1 and "games 16 -> 8, value_offset 0.4 -> 0.3, init None -> 'm.pt'" in said[0]
    assert "generation 1" in said[0]
    stored = json.loads((tmp_path / "loop.json").read_text())
    assert stored["loop"]["games"] == 16 and [c["generation"] for c in stored["changes"]] == [1]
    # In force from then on: the same flags again change nothing; with nothing left to make, nothing is recorded.
    assert record_settings(tmp_path, settings(games=8, value_offset=0.3, init="m.pt"), 2, said.append) == {}
    assert record_settings(tmp_path, settings(games=4), None, said.append) == {} and len(said) == 1
    assert len(json.loads((tmp_path / "loop.json").read_text())["changes"]) == 1


def test_a_shard_named_twice_is_read_once_with_a_note(tmp_path, capsys):
    shard = write_games(tmp_path / "games", lowest_tile_games(2, seed=4))
    out = tmp_path / "t"
    assert main(["train", str(shard), str(tmp_path / "games"), str(shard), "--out", str(out), "--epochs", "1",
                 "--threads", "1", "--no-progress", *TINY]) == 0
    assert "named more than once; each shard's games are used once" in capsys.readouterr().err
    assert network.load_checkpoint(out / "model.pt", "cpu")[1]["games"] == 2


@pytest.mark.parametrize("teacher, mix", [("uniform", 0.5), ("heuristic", 1.0)])
def test_value_targets_move_toward_the_teachers_payoffs_by_the_mix(teacher, mix):
    from velmar_pipeline.evaluators import registry
    from velmar_pipeline.training.train import with_teacher_values

    data = positions.collect(lowest_tile_games(2, seed=5))
    mixed = with_teacher_values(data, TrainSettings(teacher=teacher, value_mix=mix), None, lambda line: None)
    predicted = registry.make(teacher)(data.planes.astype(np.float32))[1]
    np.testing.assert_allclose(mixed.values, (1 - mix) * data.values + mix * predicted, atol=1e-6)
    np.testing.assert_array_equal(mixed.policies, data.policies)
