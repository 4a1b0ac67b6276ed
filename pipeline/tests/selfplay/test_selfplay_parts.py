"""Search settings, command-line validation, evaluators and the record format."""

import dataclasses
import json
import os
import sys

import numpy as np
import pytest

from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.records import shards as records
from velmar_pipeline.__main__ import main
from velmar_pipeline.selfplay.config import ConfigError, SearchConfig


def test_defaults():
    config = SearchConfig()
    assert dataclasses.asdict(config) == {
        "sims_per_move": 8, "sample_moves": 30, "c_base": 1.0, "c_init": 0.0,
        "dirichlet_alpha": 0.3, "exploration_fraction": 0.25,
    }


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("sims_per_move", 0, "sims_per_move must be >= 1"),
        ("sims_per_move", -3, "sims_per_move must be >= 1"),
        ("sims_per_move", 2.5, "sims_per_move must be an integer"),
        ("sample_moves", -1, "sample_moves must be >= 0"),
        ("dirichlet_alpha", 0.0, "dirichlet_alpha must be > 0"),
        ("dirichlet_alpha", -0.1, "dirichlet_alpha must be > 0"),
        ("dirichlet_alpha", float("nan"), "dirichlet_alpha must be a finite number"),
        ("exploration_fraction", -0.01, r"exploration_fraction must be in \[0, 1\]"),
        ("exploration_fraction", 1.5, r"exploration_fraction must be in \[0, 1\]"),
        ("c_base", 0.0, "c_base must be > 0"),
    ],
)
def test_invalid_settings(field, value, message):
    with pytest.raises(ConfigError, match=message):
        SearchConfig(**{field: value})


@pytest.mark.parametrize("field, value",
                         [("exploration_fraction", 0.0), ("exploration_fraction", 1.0), ("sample_moves", 0)])
def test_boundary_settings_are_valid(field, value):
    assert getattr(SearchConfig(**{field: value}), field) == value


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--sims-per-move", "0"], "sims_per_move must be >= 1"),
        (["--dirichlet-alpha", "0"], "dirichlet_alpha must be > 0"),
        (["--exploration-fraction", "2"], "exploration_fraction must be in [0, 1]"),
        (["--workers", "0"], "--workers must be >= 1"),
        (["--evaluator", "nonesuch"], "unknown evaluator 'nonesuch'"),
        (["--reply-timeout", "inf"], "--reply-timeout must be in (0, 1e+06] seconds"),
        (["--reply-timeout", "1e12"], "--reply-timeout must be in (0, 1e+06] seconds"),
        (["--max-wait-ms", "inf"], "--max-wait-ms must be in [0, 60000]"),
        (["--sample-moves", "99999999999999999999999"], "sample_moves is too large"),
        (["--dirichlet-alpha", "1e-50"], "dirichlet_alpha is too small for a 32-bit float"),
        (["--c-base", "1e39"], "c_base must be a finite number within 32-bit float range"),
        (["--c-base", "1e-50"], "c_base is too small for a 32-bit float"),
        (["--seed", "-1", "--evaluator", "random"], "--seed must be in [0, 2**63)"),
        (["--value-offset", "nan"], "value_offset must be a number in [-1, 2]"),
        (["--batch-size", str(2**32), "--workers", "2"], "--batch-size 4294967296 is more than the games in flight"),
        (["--evaluator", "net:" + "x" * 256], "File name too long"),
    ],
)
def test_cli_rejects_bad_settings_up_front(tmp_path, capsys, flags, message):
    assert main(["selfplay", "--out", str(tmp_path / "out"), *flags]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_selfplay_help_documents_defaults(capsys):
    with pytest.raises(SystemExit):
        main(["selfplay", "--help"])
    text = capsys.readouterr().out
    for flag in ("--sims-per-move", "--games", "--workers", "--threads-per-worker", "--batch-size",
                 "--max-wait-ms", "--evaluator", "--out", "--games-per-shard", "--seed", "--value-offset"):
        assert flag in text
    assert "default: 8" in text and "default: 0.4" in text


@pytest.mark.parametrize("name", ["uniform", "random", "echo"])
def test_evaluator_shapes(name):
    planes = np.zeros((3, 5, 400), np.float32)
    logits, values = evaluators.make(name, seed=1)(planes)
    assert np.asarray(logits).shape == (3, 400)
    assert np.asarray(values).shape == (3, 4)


def test_uniform_and_seeded_random():
    planes = np.zeros((2, 5, 400), np.float32)
    logits, values = evaluators.make("uniform")(planes)
    assert not logits.any() and np.all(values == 0.25)
    a = evaluators.make("random", seed=7)(planes)
    b = evaluators.make("random", seed=7)(planes)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_allclose(a[1].sum(axis=1), 1.0, rtol=1e-5)


def test_evaluator_by_import_path():
    assert evaluators.resolve("velmar_pipeline.evaluators.registry:uniform") is evaluators.uniform
    with pytest.raises(ValueError, match="cannot load evaluator"):
        evaluators.resolve("velmar_pipeline.evaluators.registry:missing")


def make_game(rng, length):
    moves = [(int(rng.integers(4)), int(rng.integers(400))) for _ in range(length)]
    policies = []
    for _ in range(length):
        cells = rng.choice(400, size=int(rng.integers(1, 6)), replace=False)
        shares = rng.random(len(cells))
        policies.append([(int(c), float(s / shares.sum())) for c, s in zip(cells, shares)])
    payoff = [0.5, 0.5, 0.0, 0.0]
    return moves, policies, payoff


def test_dense_policies():
    dense = records.dense_policies([[(3, 0.25), (7, 0.75)], [], [(399, 1.0)]])
    assert dense.shape == (3, 400) and dense.dtype == np.float32
    assert dense[0, 3] == 0.25 and dense[0, 7] == 0.75 and dense[0].sum() == 1.0
    assert not dense[1].any()
    assert dense[2, 399] == 1.0


@pytest.mark.parametrize("lengths", [[5], [3, 0, 7], [1] * 10])
def test_shard_round_trip(tmp_path, lengths):
    rng = np.random.default_rng(len(lengths))
    raw = [make_game(rng, n) for n in lengths]
    games = [records.from_engine(*g) for g in raw]
    path = records.write_shard(tmp_path / "shard-00000.npz", games, {"evaluator": "uniform", "search": {"x": 1}})
    loaded = records.read_shard(path)
    assert len(loaded) == len(lengths)
    for (moves, policies, payoff), game in zip(raw, loaded):
        assert game.moves.dtype == np.int32 and game.moves.shape == (len(moves), 2)
        assert game.history() == moves
        assert game.policies.dtype == np.float32 and game.policies.shape == (len(moves), 400)
        for row, entries in enumerate(policies):
            for cell, share in entries:
                assert game.policies[row, cell] == np.float32(share)
            assert np.count_nonzero(game.policies[row]) == len(entries)
        assert game.payoff.dtype == np.float32 and game.payoff.tolist() == payoff
        assert game.metadata["evaluator"] == "uniform" and game.metadata["format"] == records.FORMAT_VERSION
    with np.load(path) as data:
        assert set(data.files) == {"moves", "policies", "payoffs", "offsets", "metadata"}
        assert json.loads(str(data["metadata"]))["games"] == len(lengths)


def test_writers_sharing_a_folder_never_take_the_same_number(tmp_path):
    games = [records.GameRecord(np.array([[0, n]], np.int32), np.eye(400, dtype=np.float32)[[n]],
                                np.eye(4, dtype=np.float32)[0]) for n in range(6)]
    first, second = (records.ShardWriter(tmp_path, 1) for _ in range(2))  # both start at number 0
    for n, game in enumerate(games):
        (first if n % 2 else second).add(game)
    assert len(records.shard_paths(tmp_path)) == 6
    assert sorted(int(g.moves[0, 1]) for g in records.load_games(tmp_path)) == list(range(6))
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_writer_numbers_shards_after_existing_ones(tmp_path):
    rng = np.random.default_rng(0)
    writer = records.ShardWriter(tmp_path, games_per_shard=2)
    for _ in range(5):
        writer.add(records.from_engine(*make_game(rng, 2)))
    writer.flush()
    assert [p.name for p in writer.written] == ["shard-00000.npz", "shard-00001.npz", "shard-00002.npz"]
    again = records.ShardWriter(tmp_path, games_per_shard=2)
    again.add(records.from_engine(*make_game(rng, 1)))
    assert again.flush().name == "shard-00003.npz"
    assert len(records.load_games(tmp_path)) == 6
    assert len(list(records.iter_games(writer.written[:2]))) == 4
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_from_engine_rejects_mismatched_records():
    with pytest.raises(ValueError, match="2 moves but 1 policy"):
        records.from_engine([(0, 0), (0, 1)], [[(0, 1.0)]], [1, 0, 0, 0])
    with pytest.raises(ValueError, match="payoff"):
        records.from_engine([], [], [1, 0, 0])


class TestDispatcher:
    """Games handed to workers as tickets: never more than a worker's slots, lost ones re-dealt."""

    @staticmethod
    def make(games, capacity, workers):
        from multiprocessing import Pipe

        from velmar_pipeline.selfplay.run import Dispatcher

        pipes = [Pipe(duplex=False) for _ in range(workers)]
        return Dispatcher(games, capacity, [send for _, send in pipes]), [receive for receive, _ in pipes]

    @staticmethod
    def waiting(receive):
        """Tickets in the pipe, up to an end of file (which is left to read again)."""
        count = 0
        os.set_blocking(receive.fileno(), False)
        try:
            while os.read(receive.fileno(), 1):
                count += 1
        except BlockingIOError:
            pass
        return count

    def test_grants_up_to_capacity_and_refills_on_report(self):
        dispatcher, ends = self.make(games=5, capacity=2, workers=2)
        dispatcher.grant()
        assert [self.waiting(end) for end in ends] == [2, 2] and dispatcher.pool == 1
        dispatcher.reported(1)
        assert [self.waiting(end) for end in ends] == [0, 1] and dispatcher.pool == 0

    def test_a_released_worker_gives_its_games_to_the_others(self):
        dispatcher, ends = self.make(games=3, capacity=2, workers=2)
        dispatcher.grant()
        assert dispatcher.held == [2, 1]
        dispatcher.release(0)
        assert dispatcher.held == [0, 2] and dispatcher.pool == 1
        assert self.waiting(ends[0]) == 2 and os.read(ends[0].fileno(), 1) == b""  # closed for good
        dispatcher.reported(1)
        assert dispatcher.held == [0, 2] and dispatcher.pool == 0

    def test_pipes_close_once_every_game_is_reported(self):
        dispatcher, ends = self.make(games=2, capacity=1, workers=2)
        dispatcher.grant()
        dispatcher.reported(0)
        assert dispatcher.conns[0] is not None
        dispatcher.reported(1)
        assert dispatcher.conns == [None, None]
        for end in ends:
            assert self.waiting(end) == 1
            assert os.read(end.fileno(), 1) == b""  # end of file: no game left


@pytest.mark.parametrize(
    "source, name, message",
    [
        ("raise RuntimeError('boom')", "f", "cannot load evaluator 'broken_evaluator:f': RuntimeError: boom"),
        ("def f(:", "f", "SyntaxError"),
        ("f = 3", "f", "TypeError: int object is not callable"),
        ("def f(seed):\n    raise OSError('no')", "f", "cannot be used: OSError: no"),
        ("def f(seed):\n    return lambda p: (p, p)", "f", "the evaluator must return logits [2, 400]"),
        ("import numpy as np\ndef f(seed):\n    return lambda p: (np.zeros((len(p), 400)), np.full((len(p), 4), 5.0))",
         "f", "values outside [0, 1] (e.g. 5)"),
        (None, "net", "not a velmar policy-value checkpoint"),  # a checkpoint that is not one
    ],
)
def test_a_broken_evaluator_fails_in_one_line_before_any_process_starts(tmp_path, monkeypatch, capsys,
                                                                        source, name, message):
    if source is None:
        pytest.importorskip("torch")
        (tmp_path / "bad.pt").write_bytes(b"garbage")
        evaluator = f"net:{tmp_path / 'bad.pt'}"
    else:
        (tmp_path / "broken_evaluator.py").write_text(source + "\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        monkeypatch.delitem(sys.modules, "broken_evaluator", raising=False)
        evaluator = f"broken_evaluator:{name}"
    assert main(["selfplay", "--out", str(tmp_path / "out"), "--evaluator", evaluator]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("make, out", [
    (lambda root: (root / "f").write_text("x"), "f"),
    (lambda root: (root / "f").write_text("x"), "f/sub"),
])
def test_an_unusable_out_folder_is_one_line_and_status_2(tmp_path, capsys, make, out):
    make(tmp_path)
    assert main(["selfplay", "--out", str(tmp_path / out)]) == 2
    err = capsys.readouterr().err
    assert "cannot write records into" in err and err.count("\n") == 1
