"""Damaged and poisoned shards are refused on reading, and records that contradict their own replay by
every command that replays them, in one line naming the file, game and move."""

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
