"""Shards written and read back: round trips, numbering, records the engine hands over."""

import json

import numpy as np
import pytest

from velmar_pipeline.records import shards as records


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
