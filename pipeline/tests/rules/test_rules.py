"""velmar_rules against known positions and random whole games."""

import copy
import pickle
import random

import numpy as np
import pytest

import velmar_rules
from velmar_rules import Game, replay

OPENING = [0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80]
FIVE_IN_A_ROW = [0, 20, 40, 60]  # with 80: the only piece reaching cell 80 from the corner
SEEDS = [0, 1, 2, 3, 4]


def play_random(seed, max_tiles=None):
    """A game played on uniformly drawn legal tiles, to the end or `max_tiles` tiles."""
    rng = random.Random(seed)
    game = Game()
    while not game.is_over and (max_tiles is None or len(game.history) < max_tiles):
        game.apply(rng.choice(game.legal_tiles()))
    return game


def owners(game):
    """Owner of every cell (-1 when empty), from the cell bytes."""
    return np.frombuffer(game.cells, dtype=np.uint8).astype(np.int64) % 16 - 1


@pytest.fixture(scope="module", params=SEEDS)
def finished(request):
    return play_random(request.param)


def test_new_game():
    game = Game()
    assert game.legal_tiles() == OPENING
    assert game.current_player == 0
    assert game.players == [0, 1, 2, 3]
    assert game.history == []
    assert not game.is_over
    assert game.cells == bytes(velmar_rules.CELLS)
    assert game.score() == [-89] * 4
    assert "player 0 to move" in repr(game)
    assert game.board_string() == ("." * 20 + "\n") * 20


@pytest.mark.parametrize("order", [FIVE_IN_A_ROW, FIVE_IN_A_ROW[::-1], [40, 0, 60, 20]])
def test_cell_80_forces_five_in_a_row(order):
    game = Game()
    game.apply(80)
    assert game.legal_tiles() == FIVE_IN_A_ROW
    assert game.current_player == 0
    for tile in order:
        assert game.current_player == 0
        game.apply(tile)
    assert game.current_player == 1
    assert game.history == [(0, 80)] + [(0, t) for t in order]
    assert game.score() == [-84, -89, -89, -89]
    assert 19 in game.legal_tiles()  # player 1 starts from its own corner
    rows = game.board_string().splitlines()
    assert [row[0] for row in rows[:5]] == ["0"] * 5 and rows[5][0] == "."


@pytest.mark.parametrize("tile", [5, 19, 81, 399, -1, 400, 10**30, -(10**30)])
def test_invalid_move_changes_nothing(tile):
    game = Game()
    game.apply(0)
    before = (game.cells, game.history, game.legal_tiles(), game.current_player)
    with pytest.raises(ValueError, match="^Invalid move$"):
        game.apply(tile)
    assert (game.cells, game.history, game.legal_tiles(), game.current_player) == before


def test_tile_must_be_an_integer():
    game = Game()
    with pytest.raises(TypeError):
        game.apply(1.0)
    with pytest.raises(TypeError):
        game.apply("1")
    game.apply(np.int32(80))  # numpy integers are fine
    assert game.history == [(0, 80)]


def test_finished_game(finished):
    assert finished.is_over
    assert finished.current_player is None
    assert finished.players == []
    assert finished.legal_tiles() == []
    before = finished.cells
    for tile in (0, 123, 399, -5):
        with pytest.raises(ValueError, match="^No current player$"):
            finished.apply(tile)
    assert finished.cells == before
    with pytest.raises(ValueError, match="No current player"):
        finished.encode()
    assert "game over" in repr(finished)


def test_scores_and_payoff(finished):
    owner = owners(finished)
    score = finished.score()
    for p in range(4):
        laid = int((owner == p).sum())
        assert laid == sum(1 for q, _ in finished.history if q == p)
        if laid < 89:
            assert score[p] == laid - 89
    payoff = finished.payoff()
    leaders = [p for p in range(4) if score[p] == max(score)]
    assert payoff == pytest.approx([1 / len(leaders) if p in leaders else 0.0 for p in range(4)])


def test_encode_opening():
    planes = Game().encode()
    assert planes.shape == (velmar_rules.PLANES, velmar_rules.CELLS) == (5, 400)
    assert planes.dtype == np.float32
    assert not planes[:4].any()
    assert np.flatnonzero(planes[4]).tolist() == OPENING


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("tiles", [1, 5, 40, 150])
def test_encode_mid_game(seed, tiles):
    game = play_random(seed, max_tiles=tiles)
    if game.is_over:
        pytest.skip("game ended early")
    planes = game.encode()
    p = game.current_player
    owner = owners(game)
    for rel in range(4):
        # Plane 1 is the mover, plane 0 the player before, planes 2 and 3 the two after.
        expected = (owner >= 0) & ((owner - p + 1) % 4 == rel)
        assert np.array_equal(planes[rel] == 1, expected), rel
    assert set(np.unique(planes).tolist()) <= {0.0, 1.0}
    assert np.flatnonzero(planes[4]).tolist() == game.legal_tiles()


def before_last_tile(seed):
    """The position one tile before the end of a seeded random game."""
    return replay(play_random(seed).history[:-1])


# name: (position, what its children must include: "stays" a child with the same player to move,
# "passes" one with another player to move, "ends" one whose game is over)
CHILDREN_CASES = {
    "opening": (Game, {"stays"}),
    "last square of five in a row": (lambda: replay([(0, 80), (0, 0), (0, 20), (0, 40)]), {"passes"}),
    "middle": (lambda: play_random(3, max_tiles=60), {"stays", "passes"}),
    "late": (lambda: play_random(3, max_tiles=150), {"stays", "passes"}),
    "before the last tile": (lambda: before_last_tile(2), {"ends"}),
}


@pytest.mark.parametrize("make, includes", CHILDREN_CASES.values(), ids=CHILDREN_CASES.keys())
def test_encode_children_matches_each_child(make, includes):
    game = make()
    history = game.history
    tiles, planes, players, payoffs = game.encode_children()
    n = len(game.legal_tiles())
    assert (tiles.dtype, planes.dtype, players.dtype, payoffs.dtype) == (np.int32, np.float32, np.int8, np.float32)
    assert (tiles.shape, planes.shape, players.shape, payoffs.shape) == ((n,), (n, 5, 400), (n,), (n, 4))
    assert tiles.tolist() == game.legal_tiles()
    assert game.history == history
    kinds = set()
    for tile, child_planes, player, payoff in zip(tiles.tolist(), planes, players.tolist(), payoffs):
        child = game.copy()
        child.apply(tile)
        if child.is_over:
            kinds.add("ends")
            assert player == -1
            assert not child_planes.any()
            assert payoff.tolist() == child.payoff()
            with pytest.raises(ValueError, match="^No current player$"):
                child.encode_children()
        else:
            kinds.add("stays" if player == game.current_player else "passes")
            assert player == child.current_player
            assert np.array_equal(child_planes, child.encode())
            assert not payoff.any()
    assert kinds >= includes


@pytest.mark.parametrize("make_copy", [Game.copy, copy.copy, copy.deepcopy, lambda g: pickle.loads(pickle.dumps(g))])
def test_copies_are_independent(make_copy):
    game = play_random(7, max_tiles=30)
    twin = make_copy(game)
    assert (twin.cells, twin.history, twin.legal_tiles()) == (game.cells, game.history, game.legal_tiles())
    before = (game.cells, game.history, game.legal_tiles(), game.current_player)
    twin.apply(twin.legal_tiles()[-1])
    assert (game.cells, game.history, game.legal_tiles(), game.current_player) == before
    assert len(twin.history) == len(game.history) + 1


def test_replay_reproduces_games(finished):
    for moves in (finished.history, np.array(finished.history, dtype=np.int32)):
        again = replay(moves)
        assert again.cells == finished.cells
        assert again.history == finished.history
        assert again.score() == finished.score()
        assert again.payoff() == finished.payoff()
        assert again.is_over
    partial = replay(finished.history[:37])
    assert partial.history == finished.history[:37]
    assert partial.legal_tiles() == replay(partial.history).legal_tiles()


def test_replay_names_the_first_illegal_move(finished):
    moves = finished.history
    k = len(moves) // 2
    player, _ = moves[k]
    occupied = moves[0][1]
    with pytest.raises(ValueError, match=rf"^move {k} \(player {player}, cell {occupied}\) is illegal: Invalid move$"):
        replay(moves[:k] + [(player, occupied)] + moves[k + 1 :])
    other = (player + 1) % 4
    illegal = rf"^move {k} \(player {other}, cell \d+\) is illegal: player {player} is to move$"
    with pytest.raises(ValueError, match=illegal):
        replay(moves[:k] + [(other, moves[k][1])] + moves[k + 1 :])
    n = len(moves)
    with pytest.raises(ValueError, match=rf"^move {n} \(player 0, cell 0\) is illegal: No current player$"):
        replay(moves + [(0, 0)])


@pytest.mark.parametrize("bad", [[(0, 80), 5], [(0, 80), (0,)], [(0, 80), (0, 1, 2)], [(0, 80), (0, "x")]])
def test_replay_rejects_malformed_entries(bad):
    with pytest.raises(TypeError, match="move 1"):
        replay(bad)


def test_no_cpp_exception_escapes():
    """Arbitrary input gives only ValueError or TypeError, never a crash or RuntimeError."""
    rng = random.Random(11)
    for _ in range(20):
        game = Game()
        while not game.is_over:
            for junk in (rng.randrange(-500, 900), 2**64, -(2**63) - 1):
                try:
                    game.apply(junk)
                except ValueError:
                    pass
            if not game.is_over:
                game.apply(rng.choice(game.legal_tiles()))
        with pytest.raises(ValueError):
            game.apply(0)
    assert issubclass(velmar_rules.InternalFailure, RuntimeError)


def test_docstrings():
    assert velmar_rules.__doc__
    for name in ("apply", "legal_tiles", "encode", "encode_children", "score", "payoff", "copy", "board_string"):
        assert getattr(Game, name).__doc__, name
    assert replay.__doc__ and "illegal" in replay.__doc__
