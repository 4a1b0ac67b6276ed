"""Damaged and poisoned shards are refused on reading, in one line naming the file and game."""

import json

import numpy as np
import pytest

from scripted_games import lowest_tile_games, write_games
from velmar_pipeline import records


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
