"""Whole games: the training record, the summary line, and how tiles are chosen."""

import contextlib
import io
import math

import pytest

from selfplay_fakes import (
    PAYOFF_TEXTS, Config, Fd1Capture, Service, check_record, favour_highest_legal, greedy_choice,
    parse_summary, replay, uniform, with_values,
)

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data

# Values of -1 make every visited child look bad, so the simulations spread over the children and
# the visit counts tie often: good for telling a greedy choice from a drawn one.
SPREAD = with_values([-1.0] * 4)


class Played:
    def __init__(self, name, sims, service, **settings):
        self.name = name
        self.sims = sims
        self.service = service
        self.game_id = 1000 + len(name)
        with Fd1Capture() as fd1:
            self.record = generate_game_data(self.game_id, Config(sims_per_move=sims, **settings),
                                             service.queue, service.pipe)
        self.out = fd1.text


GAMES = {
    "uniform-1": lambda: Played("uniform-1", 1, Service()),
    "uniform-3": lambda: Played("uniform-3", 3, Service()),
    "spread-4": lambda: Played("spread-4", 4, Service(SPREAD), exploration_fraction=0.0),
    "no-sims": lambda: Played("no-sims", 0, Service()),
    "favoured": lambda: Played("favoured", 2, Service(favour_highest_legal(values=[0.5] * 4)),
                               exploration_fraction=0.0),
}


@pytest.fixture(scope="module", params=sorted(GAMES))
def played(request):
    return GAMES[request.param]()


def test_record_shape(played):
    moves, policies, payoff = check_record(played.record, played.sims)
    assert played.service.problems == []
    assert played.service.ids == {played.game_id}
    # One request per root, at most one per simulation.
    assert len(moves) <= played.service.count <= len(moves) * (played.sims + 1)


def test_summary_line(played):
    payoff = played.record[2]
    assert played.out.count("\n") == 1 and played.out.endswith("\n")
    line = played.out[:-1]
    assert line.startswith("Game finished with payoff: [")
    payoff_texts, score = parse_summary(line)
    assert line == "Game finished with payoff: [{}] and score: [{}]".format(
        ", ".join(payoff_texts), ", ".join(str(s) for s in score))
    for text, value in zip(payoff_texts, payoff):
        assert text in PAYOFF_TEXTS
        assert PAYOFF_TEXTS[text] == value
    assert all(-89 <= s <= 20 for s in score)


def test_replay_with_the_rules(played):
    game = replay(played.record)
    _, score = parse_summary(played.out)
    assert score == list(game.score())


def test_choice_is_greedy(played):
    moves, policies, _ = played.record
    for k, ((_, tile), policy) in enumerate(zip(moves, policies)):
        assert tile == greedy_choice(policy), f"move {k}"


def test_output_goes_to_the_file_descriptors(capfd):
    service = Service()
    diverted = io.StringIO()
    with contextlib.redirect_stdout(diverted), contextlib.redirect_stderr(diverted):
        record = generate_game_data(12, Config(sims_per_move=1), service.queue, service.pipe)
    assert diverted.getvalue() == ""
    captured = capfd.readouterr()
    # Standard error is a file here, not a terminal: no progress bar is drawn.
    assert captured.err == ""
    assert captured.out.count("\n") == 1
    payoff_texts, _ = parse_summary(captured.out)
    assert [PAYOFF_TEXTS[text] for text in payoff_texts] == record[2]


def test_no_simulations():
    service = Service(keep=True)
    record = generate_game_data(3, Config(sims_per_move=0, sample_moves=50), service.queue,
                                service.pipe)
    moves, policies, _ = check_record(record, 0)
    # Every share is 0/0; both the drawn and the greedy choice end on the last child.
    for (_, tile), policy in zip(moves, policies):
        assert all(math.isnan(share) for _, share in policy)
        assert tile == policy[-1][0]
    # Only roots were evaluated: one request per move.
    assert service.count == len(moves)


def test_requests_encode_the_positions():
    rules = pytest.importorskip("velmar_rules")
    service = Service(keep=True)
    record = generate_game_data(4, Config(sims_per_move=0), service.queue, service.pipe)
    moves, _, _ = check_record(record, 0)
    assert len(service.kept) == len(moves)
    game = rules.Game()
    for k, ((_, tile), (rid, marked)) in enumerate(zip(moves, service.kept)):
        assert rid == 4
        player = game.current_player
        # Plane q holds the squares of player (p + q - 1) mod 4, p to move.
        laid = moves[:k]
        expected = [{cell for owner, cell in laid if owner == (player + q + 3) % 4} for q in range(4)]
        assert [set(plane) for plane in marked[:4]] == expected, f"move {k}"
        assert set(marked[4]) == set(game.legal_tiles()), f"move {k}"
        game.apply(tile)


@pytest.mark.parametrize("sample_moves", [0, 1])
@pytest.mark.parametrize("answer", ["uniform", "spread"])
def test_greedy_without_sampling(sample_moves, answer):
    service = Service(SPREAD if answer == "spread" else uniform)
    record = generate_game_data(5, Config(sims_per_move=4, sample_moves=sample_moves,
                                          exploration_fraction=0.0), service.queue, service.pipe)
    moves, policies, _ = check_record(record, 4)
    for k, ((_, tile), policy) in enumerate(zip(moves, policies)):
        assert tile == greedy_choice(policy), f"move {k}"


@pytest.mark.parametrize("sample_moves", [2, 10, 120])
def test_opening_moves_are_drawn(sample_moves):
    service = Service(SPREAD)
    record = generate_game_data(6, Config(sims_per_move=4, sample_moves=sample_moves,
                                          exploration_fraction=0.0), service.queue, service.pipe)
    moves, policies, _ = check_record(record, 4)
    drawn = sample_moves - 1
    for k, ((_, tile), policy) in enumerate(zip(moves, policies)):
        if k < drawn:
            assert dict(policy)[tile] > 0.0, f"move {k} drew an unvisited tile"
        else:
            assert tile == greedy_choice(policy), f"move {k} is not greedy"
    if drawn >= 100:
        # Most of these roots had four children with one visit each: a greedy choice would always
        # take the last of them, a drawn one does so only a quarter of the time.
        departures = sum(tile != greedy_choice(policy)
                         for (_, tile), policy in zip(moves[:drawn], policies[:drawn]))
        assert departures > 0


def test_most_visited_tile_is_played():
    # The favoured tile (the highest legal cell) takes every simulation and is played.
    service = Service(favour_highest_legal(values=[0.5] * 4))
    record = generate_game_data(7, Config(sims_per_move=3, exploration_fraction=0.0),
                                service.queue, service.pipe)
    moves, policies, _ = check_record(record, 3)
    for (_, tile), policy in zip(moves, policies):
        assert tile == max(t for t, _ in policy)
        assert dict(policy)[tile] == 1.0


def test_consecutive_games_are_independent():
    records = []
    for game_id in (8, 9):
        service = Service()
        records.append(generate_game_data(game_id, Config(sims_per_move=1), service.queue,
                                          service.pipe))
        assert service.ids == {game_id}
    for record in records:
        moves, _, _ = check_record(record, 1)
        assert moves[0][1] in (0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80)


def test_ties_are_not_broken_by_a_fixed_cell_order():
    # Uniform priors and no noise in the mix: every opening child ties, so the first simulation
    # takes the first child in the root's iteration order. That order is drawn afresh for every
    # tree, so across calls the first simulated tile varies.
    first_tiles = set()
    for _ in range(12):
        service = Service(recv_errors={3: EOFError}, keep=True)
        with pytest.raises(Exception):
            generate_game_data(1, Config(sims_per_move=1, exploration_fraction=0.0), service.queue,
                               service.pipe)
        (_, root), (_, leaf) = service.kept[:2]
        assert not root[1]
        (tile,) = leaf[1]  # player 0 is still to move after one tile of its first piece
        first_tiles.add(tile)
    assert len(first_tiles) > 1
