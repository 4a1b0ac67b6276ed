"""The game page of ``show --html``: what a browser shows against the record, and bad input."""

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.__main__ import main
from velmar_pipeline.records import shards as records

from headless_browser import Browser, chromium
from scripted_games import lowest_tile_games, write_games


def searched_games(count, seed):
    """Complete games whose every tile has a search-like policy: shares on up to 24 legal tiles,
    the tile played among them, not always the most visited."""
    rng = np.random.default_rng(seed)
    games = lowest_tile_games(count, seed)
    for game in games:
        state = velmar_rules.Game()
        for row, (_, cell) in enumerate(game.moves):
            legal = state.legal_tiles()
            visited = {int(cell), *rng.choice(legal, size=min(len(legal), 24), replace=False).tolist()}
            game.policies[row] = 0
            game.policies[row, sorted(visited)] = rng.dirichlet(np.full(len(visited), 0.5))
            state.apply(int(cell))
    return games


@pytest.fixture(scope="module")
def shard(tmp_path_factory):
    return write_games(tmp_path_factory.mktemp("games"), searched_games(2, seed=4))


def expected_view(game, move):
    """What the page must show at ``move``: the tile marked, the top of the sorted shares, the scores."""
    scores = velmar_rules.replay(game.history()[:move]).score()
    if move == len(game):
        return int(game.moves[-1, 1]), None, None, scores
    shares = np.rint(game.policies[move].astype(np.float64) * 10_000)
    top = min(np.flatnonzero(shares == shares.max()))
    return int(game.moves[move, 1]), int(top), 100 * float(game.policies[move, top]), scores


READ_VIEW = """(() => {
  const top = document.querySelector("#shares tr[data-cell]");
  return {move: Number(document.getElementById("move-number").textContent),
          mark: Number(document.querySelector("#board .mark").getAttribute("data-cell")),
          top: top ? Number(top.dataset.cell) : null,
          share: top ? parseFloat(top.querySelector(".share").textContent) : null,
          scores: [...document.querySelectorAll("#players .score")].map(c => Number(c.textContent)),
          hash: location.hash, heat: document.querySelectorAll("#priors rect.heat").length};
})()"""


@pytest.mark.skipif(chromium() is None, reason="needs Debian's chromium package (scripts/setup.sh installs it)")
def test_the_page_steps_through_the_game_in_a_browser(tmp_path, shard):
    page = tmp_path / "game.html"
    assert main(["show", str(shard.parent), "--game", "1", "--html", str(page), "--evaluator", "heuristic"]) == 0
    game = records.read_shard(shard)[1]
    last = len(game)
    browser = Browser(tmp_path / "profile")
    try:
        browser.open(page.as_uri() + "#move=7")  # the fragment is read on load
        for keys, move in [
            ([], 7), (["ArrowRight"] * 3, 10), (["ArrowLeft"], 9), (["End"], last), (["ArrowRight"], last),
            (["ArrowLeft"], last - 1), (["Home"], 0), (["ArrowLeft"], 0), (["ArrowUp"] * 2, 2),
        ]:
            for key in keys:
                browser.press(key)
            view = browser.evaluate(READ_VIEW)
            mark, top, share, scores = expected_view(game, move)
            assert (view["move"], view["mark"], view["top"], view["scores"]) == (move, mark, top, scores), keys
            assert share is None or abs(view["share"] - share) < 0.05
            assert view["hash"].startswith(f"#move={move}") and (view["heat"] > 0) == (move < last)
        assert not browser.errors()
        assert {url.split("#")[0] for url in browser.requested()} == {page.as_uri()}  # nothing from outside
    finally:
        browser.close()


def broken_evaluator(seed=None):
    return lambda planes: (np.zeros((len(planes), 3)), np.zeros((len(planes), 4)))


def damaged_shard(folder, damage):
    game = lowest_tile_games(1, seed=2)[0]
    damage(game)
    return write_games(folder, [game])


def taken_cell(game):
    game.moves[10, 1] = game.moves[3, 1]


def share_on_a_taken_cell(game):
    game.policies[12, game.moves[3, 1]] = 0.5
    game.policies[12] /= 1.5


@pytest.mark.parametrize("case, flags, message", [
    (taken_cell, [], "move 10"),
    (share_on_a_taken_cell, [], "move 12: the policy puts weight on cell"),
    ("shard", ["--game", "2"], "holds 2 games; there is no game 2"),
    ("folder", ["--game", "-1"], "holds 2 games; there is no game -1"),
    ("shard", ["--html", "missing/page.html"], "--html"),
    ("shard", ["--evaluator", "no-such-evaluator"], "unknown evaluator"),
    ("shard", ["--evaluator", "models/missing.pt"], "unknown evaluator"),
    ("shard", ["--evaluator", f"{__name__}:broken_evaluator"], "cannot be used"),
    ("shard", ["--evaluator", "DAMAGED"], "cannot be used"),
])
def test_the_page_refuses_bad_input_in_one_line_and_writes_nothing(tmp_path, shard, capsys, monkeypatch,
                                                                     case, flags, message):
    monkeypatch.chdir(tmp_path)
    target = {"shard": shard, "folder": shard.parent}.get(case) or damaged_shard(tmp_path / "bad", case)
    damaged = shard.parent / "damaged.pt"  # outside tmp_path, which must stay empty
    damaged.write_bytes(b"not a checkpoint")
    flags = [str(damaged) if flag == "DAMAGED" else flag for flag in flags]
    assert main(["show", str(target), "--html", "page.html", *flags]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert [p.name for p in tmp_path.iterdir()] == (["bad"] if callable(case) else [])


def test_a_long_game_with_an_evaluator_stays_small(tmp_path):
    game = searched_games(1, seed=11)[0]
    shard = write_games(tmp_path, [game])
    page = tmp_path / "game.html"
    assert main(["show", str(shard), "--html", str(page), "--evaluator", "random"]) == 0
    assert page.stat().st_size < 1_000_000 * len(game) / 300  # about 1 MB for 300 tiles
