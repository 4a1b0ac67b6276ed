"""The arena (seating, tile choice, payoff totals) and the pictures of recorded games."""

import errno
import json
import os
import stat

import numpy as np
import pytest

from velmar_pipeline.show import pictures as show
from velmar_pipeline.arena import arena
from velmar_pipeline.arena.seats import seating
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.__main__ import main

from scripted_games import lowest_tile_games, write_games


@pytest.mark.parametrize("players", [1, 2, 3, 4])
def test_seats_rotate_evenly(players):
    seats = seating(players * 5, players)
    for seat in range(4):
        counts = np.bincount(seats[:, seat], minlength=players)
        assert (counts == 5).all()  # every evaluator in every seat equally often
    assert all(set(row) == set(range(players)) for row in seats[: max(1, players)])  # all play every game


@pytest.mark.parametrize("how", ["sample", "argmax"])
def test_chosen_tiles_are_legal(how):
    rng = np.random.default_rng(0)
    logits = rng.normal(size=(50, 400)) * 5
    mask = rng.random((50, 400)) < 0.05
    mask[np.arange(50), rng.integers(0, 400, 50)] = True
    logits[~mask] += 100  # large illegal logits must not matter
    chosen = arena.choose_tiles(logits, mask, how, rng)
    assert mask[np.arange(50), chosen].all()
    if how == "argmax":
        best = np.where(mask, logits, -np.inf).argmax(axis=1)
        np.testing.assert_array_equal(chosen, best)


def test_sampling_follows_the_softmax_of_the_legal_logits():
    rng = np.random.default_rng(1)
    logits = np.zeros((4000, 400))
    logits[:, 7] = np.log(3.0)
    mask = np.zeros((4000, 400), bool)
    mask[:, [7, 9]] = True
    share = (arena.choose_tiles(logits, mask, "sample", rng) == 7).mean()
    assert share == pytest.approx(0.75, abs=0.03)


def test_argmax_breaks_ties_at_random():
    rng = np.random.default_rng(2)
    mask = np.zeros((300, 400), bool)
    mask[:, [3, 4, 5]] = True
    chosen = arena.choose_tiles(np.zeros((300, 400)), mask, "argmax", rng)
    assert set(chosen) == {3, 4, 5}


@pytest.mark.parametrize(
    "names, choose",
    [(["uniform"], "sample"), (["uniform", "random"], "argmax"), (["random", "uniform", "random"], "sample"),
     (["uniform", "random", "uniform", "random"], "sample")],
)
def test_payoff_totals_sum_to_the_games(names, choose):
    players = [evaluators.make(name, seed) for seed, name in enumerate(names)]
    result = arena.play(players, arena.labels(names), games=6, choose=choose, seed=3, parallel=4)
    assert result.totals().sum() == pytest.approx(6.0)
    np.testing.assert_allclose(result.payoffs.sum(axis=1), 1.0)
    rows = result.rows()
    assert sum(row["seats"] for row in rows) == 24
    for row in rows:
        assert row["low"] <= row["mean"] <= row["high"]
    assert (result.lengths > 100).all()


def test_arena_command_with_a_network_seat(tmp_path, capsys):
    torch = pytest.importorskip("torch")
    from velmar_pipeline.evaluators import network
    from velmar_pipeline.evaluators.architecture import Architecture

    torch.manual_seed(0)
    model = network.save_checkpoint(tmp_path / "m.pt", network.PolicyValueNet(Architecture(blocks=1, channels=8)))
    out = tmp_path / "arena.json"
    assert main(["arena", str(model), "uniform", "--games", "4", "--seed", "1", "--threads", "1",
                 "--no-progress", "--json", str(out)]) == 0
    result = json.loads(out.read_text())
    assert [row["evaluator"] for row in result["evaluators"]] == [str(model), "uniform"]
    assert sum(row["total"] for row in result["evaluators"]) == pytest.approx(4.0)
    assert "95% interval" in capsys.readouterr().out


BROKEN_EVALUATORS = """
import numpy as np

def broken_after(batches, damage):
    def make(seed):
        calls = []
        def evaluate(planes):
            calls.append(1)
            logits, values = np.zeros((len(planes), 400), np.float32), np.full((len(planes), 4), 0.25, np.float32)
            return damage(logits, values) if len(calls) > batches else (logits, values)
        return evaluate
    return make

infinite = broken_after(3, lambda logits, values: (logits + np.inf, values))
reshaped = broken_after(3, lambda logits, values: (logits[:, :399], values))
beyond = broken_after(0, lambda logits, values: (logits, values + 4.75))
"""


@pytest.mark.parametrize("name, message", [
    ("infinite", "broken_evaluators:infinite: the evaluator returned non-finite logits"),
    ("reshaped", "broken_evaluators:reshaped: the evaluator must return logits"),
    ("beyond", "values outside [0, 1] (e.g. 5)"),
])
def test_the_arena_without_search_refuses_a_broken_evaluator_in_one_line(tmp_path, monkeypatch, capsys, name,
                                                                         message):
    (tmp_path / "broken_evaluators.py").write_text(BROKEN_EVALUATORS)
    monkeypatch.syspath_prepend(str(tmp_path))
    out = tmp_path / "arena.json"
    assert main(["arena", f"broken_evaluators:{name}", "uniform", "--games", "2", "--no-progress",
                 "--json", str(out)]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err
    assert not out.exists()


@pytest.fixture(scope="module")
def shard(tmp_path_factory):
    return write_games(tmp_path_factory.mktemp("games"), lowest_tile_games(2, seed=9))


def image(path):
    from PIL import Image

    with Image.open(path) as picture:
        return np.asarray(picture.convert("RGB")), getattr(picture, "n_frames", 1)


@pytest.mark.parametrize("move", [None, 0, 40])
def test_show_draws_the_board(tmp_path, shard, move):
    game = show.load_game(shard, 1)
    owners = show.board_owners(game, move)
    expected = len(game) if move is None else move
    assert (owners > 0).sum() == expected  # one square per tile laid
    out = tmp_path / "game.png"
    flags = [] if move is None else ["--move", str(move)]
    assert main(["show", str(shard), "--game", "1", "--out", str(out), *flags]) == 0
    pixels, _ = image(out)
    width, height = show.FIGURE_INCHES
    assert pixels.shape == (height * show.DPI, width * show.DPI, 3)
    left, bottom, box_width, box_height = show.BOARD_BOX  # the board alone, not the legend
    board = pixels[round((1 - bottom - box_height) * pixels.shape[0]):round((1 - bottom) * pixels.shape[0]),
                   round(left * pixels.shape[1]):round((left + box_width) * pixels.shape[1])].astype(int)
    colours = {tuple((np.array(c) * 255).round().astype(int)) for c in show.COLOURS[1:]}
    present = {c for c in colours if (np.abs(board - c).sum(axis=2) < 6).sum() > 50}
    last_piece_outline = (board.sum(axis=2) == 0).sum()  # only the last piece's outline is black
    if move is None or move >= 40:
        assert present == colours  # all four players have squares on the board
        assert last_piece_outline > 0
    else:
        assert not present and last_piece_outline == 0


def test_show_writes_an_animation(tmp_path, shard):
    gif = tmp_path / "game.gif"
    assert main(["show", str(shard), "--out", str(tmp_path / "g.png"), "--gif", str(gif), "--every", "50"]) == 0
    game = show.load_game(shard, 0)
    _, frames = image(gif)
    assert frames == len(range(0, len(game), 50)) + 1
    umask = os.umask(0)
    os.umask(umask)
    for picture in (gif, tmp_path / "g.png"):  # as any new file, not mkstemp's 0600
        assert stat.S_IMODE(picture.stat().st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("flags, message", [(["--game", "5"], "holds 2 games"), (["--move", "9999"], "cannot show")])
def test_show_rejects_what_is_not_there(tmp_path, shard, capsys, flags, message):
    assert main(["show", str(shard), "--out", str(tmp_path / "x.png"), *flags]) == 2
    assert message in capsys.readouterr().err


def illegal_shard(folder):
    game = lowest_tile_games(1, seed=2)[0]
    game.moves[10, 1] = game.moves[3, 1]  # a cell already taken
    return write_games(folder, [game])


@pytest.mark.parametrize("make_shard, flags, message", [
    (None, ["--gif", "g.gif", "--fps", "0"], "--fps must be a number in [0.01, 100]"),
    (None, ["--gif", "g.gif", "--fps", "1e-9"], "--fps must be a number in [0.01, 100]"),
    ("folder", [], "is a folder: show draws one game of one shard file"),
    ("illegal", ["--gif", "g.gif"], "move 10"),
    ("full disk", [], "game-0.png cannot be written: No space left on device"),
])
def test_show_refuses_bad_input_in_one_line_and_writes_nothing(tmp_path, shard, capsys, monkeypatch,
                                                               make_shard, flags, message):
    monkeypatch.chdir(tmp_path)
    target = {"folder": shard.parent}.get(make_shard, shard)
    if make_shard == "full disk":
        from matplotlib.figure import Figure

        def no_room(figure, target, **options):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        monkeypatch.setattr(Figure, "savefig", no_room)
    if make_shard == "illegal":
        target = illegal_shard(tmp_path / "bad")
    assert main(["show", str(target), *flags]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not list(tmp_path.glob("*.png")) and not list(tmp_path.glob("*.gif")) and not list(tmp_path.glob(".*"))


def test_show_out_folder_takes_the_default_name(tmp_path, shard):
    assert main(["show", str(shard), "--out", str(tmp_path)]) == 0
    assert (tmp_path / "game-0.png").is_file() and not (tmp_path.parent / f"{tmp_path.name}.png").exists()


def own_pieces(owners: np.ndarray) -> np.ndarray:
    """The pieces of a board found without the replay: a player's pieces never share an edge, so
    each edge-connected group of one player's squares is one piece. -1 for an empty cell."""
    labels = np.full(owners.shape, -1)
    for number, start in enumerate(zip(*np.nonzero(owners > 0))):
        if labels[start] >= 0:
            continue
        labels[start] = number
        stack = [start]
        while stack:
            row, column = stack.pop()
            for near in ((row - 1, column), (row + 1, column), (row, column - 1), (row, column + 1)):
                if (0 <= near[0] < owners.shape[0] and 0 <= near[1] < owners.shape[1] and labels[near] < 0
                        and owners[near] == owners[row, column]):
                    labels[near] = number
                    stack.append(near)
    return labels


def same_pieces(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two labellings cut the occupied cells into the same pieces (whatever their numbers)."""
    pairs = set(zip(a[a >= 0].tolist(), b[b >= 0].tolist()))
    return np.array_equal(a >= 0, b >= 0) and len(pairs) == len({x for x, _ in pairs}) == len({y for _, y in pairs})


# Random legal games (seeded): game 6 ends with one player alone laying the last 16 tiles, 4 pieces
# in a row without a change of player; the others end in turns, one of them cut after 60 tiles.
@pytest.mark.parametrize("seed, moves, lone_pieces", [(6, None, 4), (3, None, 3), (0, None, 1), (0, 60, 0), (6, 1, 0)])
def test_show_outlines_each_piece_and_the_last_one_laid(seed, moves, lone_pieces):
    game = lowest_tile_games(1, seed=seed)[0]
    moves = len(game) if moves is None else moves
    pieces = show.board_pieces(game, moves)
    assert same_pieces(pieces, own_pieces(show.board_owners(game, moves)))
    assert set(np.bincount(pieces[pieces >= 0])) <= {1, 2, 3, 4, 5}  # the catalogue's sizes
    history = game.history()[:moves]
    numbers = show.piece_numbers(history)
    last_player = history[-1][0]
    tail = next(k for k in range(len(history), -1, -1) if k == 0 or history[k - 1][0] != last_player)
    if lone_pieces:  # the game's end: the last player moved alone from `tail` on
        assert game.history()[tail - 1][0] != last_player and len(set(numbers[tail:])) == lone_pieces
    last = pieces[divmod(int(history[-1][1]), 20)]
    assert np.array_equal(pieces == last, np.isin(np.arange(400), [c for (_, c), n in zip(history, numbers)
                                                                    if n == numbers[-1]]).reshape(20, 20))
    outline = show.piece_edges(pieces, only=last)
    assert len(outline) == len(show.piece_edges(np.where(pieces == last, 0, -1)))  # its whole border, alone
