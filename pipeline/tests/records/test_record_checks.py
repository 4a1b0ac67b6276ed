"""Damaged and poisoned shards are refused on reading, and records that contradict their own replay by
every command that replays them, in one line naming the file, game and move; shards written and read
back; the positions a record replays into."""

import json
import os

import numpy as np
import pytest

import velmar_rules
from scripted_games import lowest_tile_games, write_games
from velmar_pipeline.records import positions
from velmar_pipeline.records import shards as records
from velmar_pipeline.__main__ import main


def arrays_of(path):
    with np.load(path) as data:
        return {key: data[key] for key in data.files}


def set_cell(key, index, value):
    def damage(arrays):
        arrays[key] = arrays[key].copy()
        arrays[key][index] = value
    return damage


def replace(key, make):
    def damage(arrays):
        arrays[key] = make(arrays[key])
    return damage


CASES = {
    "empty file": (None, b"", "not a readable shard"),
    "truncated": (None, "half", "not a readable shard"),
    "bit-flipped": (None, "flip", "not a readable shard"),
    "an ONNX model": (None, b"\x08\x07\x12\x0cvelmar-pipeline", "not an .npz archive"),
    "a FIFO": (None, "fifo", "not a shard file (not a regular file)"),
    "missing key": (lambda a: a.pop("payoffs"), None, "missing payoffs"),
    "offsets backwards": (replace("offsets", lambda o: np.array([0, o[2], o[1], o[2]][:len(o)], np.int64)),
                          None, "offsets"),
    "399-wide policies": (replace("policies", lambda p: p[:, :399]), None, "policies must be float32"),
    "3-column moves": (replace("moves", lambda m: np.concatenate([m, m[:, :1]], axis=1)), None,
                       "moves must be int32"),
    "float moves": (replace("moves", lambda m: m.astype(np.float32)), None, "moves must be int32"),
    "NaN payoff": (set_cell("payoffs", (1, 2), np.nan), None, "game 1: payoff"),
    "payoff 5, -3": (set_cell("payoffs", 0, [5, -3, 0, 0]), None, "game 0: payoff [5.0, -3.0, 0.0, 0.0]"),
    "negative policy": (set_cell("policies", (3, 7), -0.5), None, "game 0 move 3: the policy"),
    "NaN policy": (set_cell("policies", (2, 0), np.nan), None, "game 0 move 2: the policy"),
    "cell out of range": (set_cell("moves", (5, 1), 400), None, "game 0 move 5: (player, cell)"),
    "newer format": (replace("metadata", lambda m: np.array(json.dumps({**json.loads(str(m)), "format": 99}))),
                     None, "format 99 is newer"),
}


@pytest.mark.parametrize("case", CASES)
def test_a_damaged_shard_is_refused_naming_file_and_game(tmp_path, case):
    damage, raw, message = CASES[case]
    path = write_games(tmp_path, lowest_tile_games(2, seed=5))
    if damage is not None:
        arrays = arrays_of(path)
        damage(arrays)
        np.savez_compressed(path, **arrays)
    elif raw == "half":
        path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])
    elif raw == "fifo":
        path.unlink()
        os.mkfifo(path)
    elif raw == "flip":
        data = bytearray(path.read_bytes())
        for i in range(200, len(data) - 200, 97):
            data[i] ^= 0xFF
        path.write_bytes(bytes(data))
    else:
        path.write_bytes(raw)
    with pytest.raises(records.RecordError) as caught:
        records.load_games(path)
    text = str(caught.value)
    assert text.startswith(str(path)) and message in text and "\n" not in text


def legal_before(game, move):
    return velmar_rules.replay(game.history()[:move]).legal_tiles()


def unshared_tile(move):
    """The tile played at ``move`` gets no share: all the policy goes to another legal tile."""
    def damage(game):
        other = next(c for c in legal_before(game, move) if c != game.moves[move, 1])
        game.policies[move] = 0.0
        game.policies[move, other] = 1.0
        return game
    return damage


def loser_takes_all(game):
    payoff = np.zeros(4, np.float32)
    payoff[int(np.argmin(game.payoff))] = 1.0  # someone the replay gives less than a win
    game.payoff = payoff
    return game


def edited(action):
    def damage(game):
        action(game)
        return game
    return damage


def shortened(game):
    return records.GameRecord(game.moves[:-5], game.policies[:-5], game.payoff)


REPLAY_CASES = {
    "payoff not the replay's": (loser_takes_all, "game 1: the stored payoff"),
    "tile without a share": (unshared_tile(7), "game 1: move 7: the tile played"),
    "wrong player": (edited(lambda g: g.moves.__setitem__((3, 0), (g.moves[3, 0] + 1) % 4)),
                     "game 1: move 3: the record has player"),
    "policy on an illegal cell": (edited(lambda g: (g.policies.__setitem__(5, 0.0),
                                                    g.policies.__setitem__((5, 399), 1.0))),
                                  "game 1: move 5: the policy puts weight on cell 399"),
    "illegal tile": (edited(lambda g: g.moves.__setitem__((10, 1), g.moves[3, 1])), "game 1: move 10: "),
    "unfinished game": (shortened, "game 1: the record ends after"),
}


@pytest.mark.parametrize("command", ["train", "stats"])
@pytest.mark.parametrize("case", REPLAY_CASES)
def test_records_that_contradict_their_replay_are_refused_alike_by_train_and_stats(tmp_path, capsys, command, case):
    if command == "train":
        pytest.importorskip("torch")
    damage, message = REPLAY_CASES[case]
    games = lowest_tile_games(2, seed=6)
    games[1] = damage(games[1])
    shard = write_games(tmp_path / "games", games)
    out = tmp_path / "out"
    flags = ["--out", str(out), "--no-progress", "--blocks", "1", "--channels", "8"] if command == "train" else []
    assert main([command, str(shard), *flags]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"{shard} {message}" in err, err
    assert not out.exists()


@pytest.mark.parametrize("sims, move, accepted", [(10, 5, True), (10, 40, False), (8, 5, False), (32, 0, False)])
def test_only_a_drawn_tile_of_an_inexact_draw_may_have_no_share(sims, move, accepted):
    """The engine's draw by visit share can fall short of 1 in float32 unless the simulations are a
    power of two, and then lays its last child, visited or not: only there is an unshared tile genuine."""
    game = unshared_tile(move)(lowest_tile_games(1, seed=6)[0])
    game.metadata = {"search": {"sims_per_move": sims, "sample_moves": 30}}
    if accepted:
        positions.game_positions(game)
    else:
        with pytest.raises(ValueError, match=f"move {move}: the tile played"):
            positions.game_positions(game)


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


# The engine fills its per-player values from the reply with out[(k - p) mod 4] = values[k]:
# for values [a, b, c, d] it reads [a, b, c, d] with player 0 to move, [b, c, d, a] with player 1,
# [c, d, a, b] with player 2 and [d, a, b, c] with player 3.
@pytest.mark.parametrize(
    "to_move, by_player",
    [(0, "abcd"), (1, "bcda"), (2, "cdab"), (3, "dabc")],
)
def test_value_slots_follow_the_engine_order(to_move, by_player):
    slots = np.array(list("abcd"))
    assert "".join(positions.players_from_slots(slots, to_move)) == by_player
    assert "".join(positions.slots_from_players(np.array(list(by_player)), to_move)) == "abcd"


@pytest.mark.parametrize("to_move", [0, 1, 2, 3])
def test_value_targets_of_recorded_positions(to_move, monkeypatch):
    game = lowest_tile_games(1, seed=5)[0]
    game.payoff = np.array([0.1, 0.2, 0.3, 0.4], np.float32)  # distinct, so every slot is told apart
    monkeypatch.setattr(positions, "PAYOFF_TOLERANCE", 1.0)  # no replay ends with such a payoff
    data = positions.collect([game])
    rows = np.flatnonzero(game.moves[:, 0] == to_move)
    assert len(rows) > 20
    for k in range(4):
        np.testing.assert_array_equal(data.values[rows, k], game.payoff[(k - to_move) % 4])
    np.testing.assert_array_equal(data.to_move[rows], to_move)


def test_positions_are_the_encoded_states_before_each_tile():
    game = lowest_tile_games(1, seed=2)[0]
    data = positions.collect([game])
    state = velmar_rules.Game()
    for row, (player, cell) in enumerate(game.history()):
        np.testing.assert_array_equal(data.planes[row], state.encode())
        assert data.to_move[row] == player
        state.apply(cell)
    np.testing.assert_allclose(data.policies.sum(axis=1), 1.0)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda m: m.__setitem__((3, 0), (m[3, 0] + 1) % 4), "player"),
        (lambda m: m.__setitem__((0, 1), 399), "move 0: Invalid move"),
        (lambda m: None, "not over"),
    ],
    ids=["wrong player", "illegal tile", "cut short"],
)
def test_broken_records_are_refused(damage, message):
    game = lowest_tile_games(1, seed=3)[0]
    moves = game.moves.copy()
    damage(moves)
    if message == "not over":
        moves = moves[:-5]
    with pytest.raises(ValueError, match=message):
        positions.game_positions(records.GameRecord(moves, game.policies[: len(moves)], game.payoff))
