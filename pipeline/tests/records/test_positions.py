"""Positions replayed from records: value slots, encoded states, records that contradict their replay."""

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.records import positions
from velmar_pipeline.records import shards as records

from scripted_games import lowest_tile_games


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
