"""The exchange with the inference service: requests, decoding of replies, and their failures."""

import re

import pytest

from selfplay_fakes import (
    CELLS, EVEN_VALUES, OPENING_TILES, UNIFORM_REPLY, UNWRAP_ERR, ZERO_LOGITS, Config, Service,
    assert_root_failure, catch_panic, check_record, decode_request, favour_highest_legal,
    panic_message, pyerr,
)

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data


class Text(str):
    pass


NOT_A_STR = TypeError("Can't extract `str` to `Vec`")


def not_a_sequence(name):
    return TypeError(f"'{name}' object cannot be converted to 'Sequence'")


def play(service, **settings):
    record = generate_game_data(11, Config(**settings), service.queue, service.pipe)
    assert service.problems == []
    assert service.ids == {11}
    return record


# Replies that cannot be decoded, with the error the module reports for them.
BAD_REPLIES = [
    pytest.param(("abc", EVEN_VALUES), NOT_A_STR, id="policy-str"),
    pytest.param((Text("abc"), EVEN_VALUES), NOT_A_STR, id="policy-str-subclass"),
    pytest.param((ZERO_LOGITS, "0.25"), NOT_A_STR, id="values-str"),
    pytest.param((None, EVEN_VALUES), not_a_sequence("NoneType"), id="policy-none"),
    pytest.param(({0: 0.0}, EVEN_VALUES), not_a_sequence("dict"), id="policy-dict"),
    pytest.param((ZERO_LOGITS, 0.25), not_a_sequence("float"), id="values-float"),
    pytest.param((ZERO_LOGITS, {0.25}), not_a_sequence("set"), id="values-set"),
    pytest.param(("abc", [0.25] * 3), NOT_A_STR, id="decoded-before-checked"),
    pytest.param(5, TypeError("'int' object is not subscriptable"), id="reply-int"),
    pytest.param((ZERO_LOGITS,), IndexError("tuple index out of range"), id="reply-short"),
    pytest.param({0: ZERO_LOGITS}, KeyError(1), id="reply-mapping-short"),
]


@pytest.mark.parametrize("reply, error", BAD_REPLIES)
def test_bad_first_reply_fails_at_the_root(reply, error, capfd):
    service = Service(replies={1: reply})
    assert_root_failure(
        lambda: generate_game_data(1, Config(), service.queue, service.pipe), capfd, error)
    assert service.count == 1


@pytest.mark.parametrize("reply", [
    ([0.0, None] + [0.0] * 398, EVEN_VALUES),
    (ZERO_LOGITS, [0.25, 0.25, "x", 0.25]),
    (ZERO_LOGITS, [0.25, 0.25, 0.25, 0.25, object()]),
], ids=["policy-none-item", "values-str-item", "fifth-value-object"])
def test_item_that_is_no_float(reply, capfd):
    service = Service(replies={1: reply})
    with pytest.raises(Exception) as info:
        generate_game_data(1, Config(), service.queue, service.pipe)
    assert type(info.value) is Exception and str(info.value) == '"Error running MCTS"'
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 2
    assert re.fullmatch(r"Error evaluating root node: PyErr \{ type: <class 'TypeError'>, "
                        r"value: TypeError\(.*real number.*\), traceback: None \}", lines[0])


@pytest.mark.parametrize("reply, error", BAD_REPLIES[:9])
def test_bad_later_reply_is_an_internal_failure(reply, error, capfd):
    # Request 2 is the first simulation's leaf.
    service = Service(replies={2: reply})
    exc = catch_panic(generate_game_data, 1, Config(sims_per_move=3), service.queue, service.pipe)
    assert re.fullmatch(re.escape(UNWRAP_ERR) + pyerr(error), panic_message(exc))
    assert service.count == 2
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("where", ["put", "recv"])
@pytest.mark.parametrize("error", [RuntimeError("service stopped"), EOFError(), ConnectionResetError(104, "reset")])
def test_service_failure_at_the_root(where, error, capfd):
    raise_it = lambda: type(error)(*error.args)  # noqa: E731
    service = Service(**{f"{where}_errors": {1: raise_it}})
    assert_root_failure(lambda: generate_game_data(1, Config(), service.queue, service.pipe), capfd,
                        error, traceback=True)


def test_failure_at_a_later_root(capfd):
    # With no simulations every request is a root, so the fourth move's search fails at its root.
    service = Service(recv_errors={4: EOFError})
    assert_root_failure(lambda: generate_game_data(1, Config(sims_per_move=0), service.queue,
                                                   service.pipe), capfd, EOFError(), traceback=True)
    assert service.count == 4


@pytest.mark.parametrize("where", ["put", "recv"])
@pytest.mark.parametrize("request_number", [2, 5])
def test_service_failure_at_a_leaf(where, request_number, capfd):
    service = Service(**{f"{where}_errors": {request_number: lambda: RuntimeError("gone")}})
    exc = catch_panic(generate_game_data, 1, Config(sims_per_move=4), service.queue, service.pipe)
    message = panic_message(exc)
    assert message.startswith(UNWRAP_ERR + "PyErr {")
    assert re.fullmatch(re.escape(UNWRAP_ERR) + pyerr(RuntimeError("gone"), traceback=True), message)
    assert service.count == request_number
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("queue, pipe, error", [
    (object(), Service().pipe, AttributeError("'object' object has no attribute 'put'")),
    (Service().queue, 17, AttributeError("'int' object has no attribute 'recv'")),
])
def test_objects_without_the_methods(queue, pipe, error, capfd):
    assert_root_failure(lambda: generate_game_data(1, Config(), queue, pipe), capfd, error)


@pytest.mark.parametrize("reply, message", [
    (([0.0] * 401, EVEN_VALUES), "index out of bounds: the len is 400 but the index is 400"),
    (([0.0] * 500, EVEN_VALUES), "index out of bounds: the len is 400 but the index is 400"),
    (([0.0] * 401, [0.25] * 3), "index out of bounds: the len is 400 but the index is 400"),
    ((ZERO_LOGITS, [0.25] * 3), "index out of bounds: the len is 3 but the index is 3"),
    ((ZERO_LOGITS, []), "index out of bounds: the len is 0 but the index is 0"),
], ids=["401", "500", "401-and-3", "3-values", "no-values"])
@pytest.mark.parametrize("request_number", [1, 2])
def test_reply_of_the_wrong_length(reply, message, request_number, capfd):
    service = Service(replies={request_number: reply})
    exc = catch_panic(generate_game_data, 1, Config(), service.queue, service.pipe)
    assert panic_message(exc) == message
    assert service.count == request_number
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("form", [tuple, list, lambda pair: {0: pair[0], 1: pair[1]}],
                         ids=["tuple", "list", "mapping"])
def test_reply_forms(form):
    reply = form(UNIFORM_REPLY)
    moves, policies, _ = check_record(play(Service(lambda request: reply), sims_per_move=1), 1)
    assert len(moves) == len(policies) > 60


def test_extra_reply_items_and_values_are_ignored():
    reply = [ZERO_LOGITS, [0.25, 0.25, 0.25, 0.25, 9.0], "not read", None]
    check_record(play(Service(lambda request: reply), sims_per_move=2), 2)


def test_empty_policy_leaves_the_root_without_children():
    # No move to choose from: an absent value where one is required.
    service = Service(replies={1: ([], EVEN_VALUES)})
    exc = catch_panic(generate_game_data, 1, Config(sims_per_move=0), service.queue, service.pipe)
    assert panic_message(exc) == "called `Option::unwrap()` on a `None` value"


def test_short_policy_gives_no_children_past_its_end():
    # Cells 0..20 only: of the opening tiles that leaves 0, 1, 2, 3, 4 and 20.
    service = Service(replies={1: ([0.0] * 21, EVEN_VALUES)})
    moves, policies, _ = check_record(play(service, sims_per_move=2), 2)
    assert sorted(tile for tile, _ in policies[0]) == [0, 1, 2, 3, 4, 20]
    assert moves[0][1] in (0, 1, 2, 3, 4, 20)


def test_first_request():
    service = Service(recv_errors={1: EOFError}, keep=True, check=True)
    with pytest.raises(Exception):
        generate_game_data(-123456, Config(), service.queue, service.pipe)
    assert service.problems == []
    (rid, marked), = service.kept
    assert rid == -123456
    assert all(not marked[q] for q in range(4))
    assert sorted(marked[4]) == OPENING_TILES


def test_every_request_of_a_game():
    service = Service(check=True)
    moves, _, _ = check_record(generate_game_data(2**31 - 1, Config(sims_per_move=1), service.queue,
                                                  service.pipe), 1)
    assert service.problems == []
    assert service.ids == {2**31 - 1}
    assert service.count == service.recvs
    # One request per root and at most one per simulation.
    assert len(moves) < service.count <= 2 * len(moves)


@pytest.mark.parametrize("illegal", [0.0, 1000.0, -1000.0])
@pytest.mark.parametrize("logit", [50.0, 100.0, 1e30])
def test_large_logits_give_finite_priors(logit, illegal):
    # Softmax over the legal tiles only, shifted by their largest logit: the favoured tile gets a
    # prior of nearly 1, takes every simulation and is played, whatever the illegal cells say.
    service = Service(favour_highest_legal(logit, illegal))
    moves, policies, _ = check_record(play(service, sims_per_move=4, exploration_fraction=0.0), 4)
    for (_, played), policy in zip(moves, policies):
        highest = max(tile for tile, _ in policy)
        assert played == highest
        assert dict(policy)[highest] == 1.0


@pytest.mark.parametrize("values, spread", [
    ([-1.0, 0.5, -1.0, 0.5], True),
    ([0.5, -1.0, 0.5, -1.0], False),
])
def test_value_slots_follow_the_player_to_move(values, spread):
    # Slot k of the values belongs to player (k - p) mod 4, p to move in the evaluated position, so
    # a freshly evaluated leaf, whoever is to move there, scores slot 2p mod 4 (0 or 2) for itself.
    # With two simulations and equal priors (no noise in the mix) the second one returns to the
    # child the first one evaluated when that score is positive and goes elsewhere when it is
    # negative. The first 100 moves are far from any finished position.
    service = Service(lambda request: (ZERO_LOGITS, values))
    _, policies, _ = check_record(play(service, sims_per_move=2, exploration_fraction=0.0), 2)
    assert len(policies[0]) == len(OPENING_TILES)
    checked = 0
    for policy in policies[:100]:
        if len(policy) < 2:
            continue
        shares = sorted((share for _, share in policy), reverse=True)
        assert shares[:2] == ([0.5, 0.5] if spread else [1.0, 0.0])
        checked += 1
    assert checked > 50


def test_requests_are_fresh_lists():
    seen = []

    def answer(request):
        seen.append(request)
        return UNIFORM_REPLY

    service = Service(answer, recv_errors={6: EOFError})
    with pytest.raises(Exception):
        generate_game_data(1, Config(sims_per_move=0), service.queue, service.pipe)
    assert len(seen) == 5
    assert len({id(request[1]) for request in seen}) == 5
    # What the service holds is its own: later requests did not change earlier ones.
    assert [sorted(decode_request(r)[1][4]) for r in seen][0] == OPENING_TILES
    assert all(len(r[1]) == 5 and all(len(plane) == CELLS for plane in r[1]) for r in seen)
