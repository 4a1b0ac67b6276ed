"""The value convention: evaluators predict payoffs, the search is sent them minus the offset; the
built-in evaluators and those named by import path."""

from multiprocessing import Pipe

import numpy as np
import pytest

import velmar_self_play
from scripted_games import real_positions
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.records import shards as records
from velmar_pipeline.selfplay import service
from velmar_pipeline.records import stats
import reply_codec
from velmar_pipeline.selfplay import wire
from velmar_pipeline.selfplay.config import DEFAULTS, VALUE_OFFSET, SearchConfig


def net_evaluator_name(tmp_path):
    torch = pytest.importorskip("torch")
    from velmar_pipeline.evaluators import network
    from velmar_pipeline.evaluators.architecture import Architecture

    torch.manual_seed(1)
    model = network.PolicyValueNet(Architecture(blocks=1, channels=8))
    return f"net:{network.save_checkpoint(tmp_path / 'm.pt', model, step=0)}"


@pytest.mark.parametrize("name", ["uniform", "random", "heuristic", "net"])
def test_the_service_sends_predicted_payoffs_minus_the_offset(tmp_path, name):
    if name not in evaluators.names():
        pytest.skip(f"no {name} evaluator")
    if name == "net":
        name = net_evaluator_name(tmp_path)
    planes = real_positions()
    ids = list(range(len(planes)))
    frames = b"".join(wire.pack_request(i, p) for i, p in zip(ids, planes))
    receive, send = Pipe(duplex=False)
    offset = 0.4
    service.answer(frames, service.reply_writer([send]), evaluators.make(name, seed=7), offset)
    logits, payoffs = evaluators.make(name, seed=7)(planes)
    assert np.all(payoffs >= 0) and np.allclose(payoffs.sum(axis=1), 1.0, atol=1e-5)
    for row in ids:
        sent_logits, sent_values, sent_id = reply_codec.unpack_reply(receive.recv_bytes())
        assert sent_id == row
        assert np.array_equal(sent_logits, np.asarray(logits[row], np.float32))
        assert np.array_equal(sent_values, np.asarray(payoffs[row], np.float32) - np.float32(offset))


@pytest.mark.parametrize("bad, number, message", [
    ("logits", np.inf, "non-finite logits"), ("values", np.inf, "non-finite values"),
    ("values", 5.0, r"values outside \[0, 1\] \(e.g. 5\)"), ("values", -0.5, r"outside \[0, 1\] \(e.g. -0.5\)"),
])
def test_evaluator_outputs_that_are_not_finite_or_not_payoffs_are_refused(bad, number, message):
    def broken(planes):
        logits, values = np.zeros((len(planes), 400)), np.full((len(planes), 4), 0.25)
        (logits if bad == "logits" else values)[-1, -1] = number
        return logits, values

    planes = real_positions(2)
    with pytest.raises(ValueError, match=message):
        evaluators.checked_outputs(broken, planes)
    # The service refuses the whole batch: not even the good first reply is sent.
    receive, send = Pipe(duplex=False)
    frames = b"".join(wire.pack_request(i, p) for i, p in enumerate(planes))
    with pytest.raises(ValueError, match=message):
        service.answer(frames, service.reply_writer([send]), broken)
    assert not receive.poll(0)


class ScriptedService:
    """In-process queue and pipe: uniform priors and a payoff guess that differs from position to
    position (a hash of the planes), sent minus ``offset`` as the service would."""

    def __init__(self, offset):
        self.offset = offset
        self.reply = None

    def put(self, request):
        planes = np.asarray(request[1], np.float32)
        rng = np.random.default_rng(int.from_bytes(np.packbits(planes.astype(bool)).tobytes()[:8], "little"))
        payoffs = rng.dirichlet(np.ones(4)).astype(np.float32)
        self.reply = (np.zeros(400, np.float32), evaluators.search_values(payoffs, self.offset))

    def recv(self):
        return self.reply


@pytest.mark.parametrize("offset, most_one_hot", [(0.0, 1.0), (VALUE_OFFSET, 0.5)])
def test_values_steer_the_search_only_below_the_fair_share(capfd, offset, most_one_hot):
    """Payoffs in [0, 1] as they are: every visit goes to the first child tried. Shifted by the
    default offset, the default search spreads its visits where the values differ."""
    search = SearchConfig(sims_per_move=16, sample_moves=0, c_base=DEFAULTS.c_base, c_init=DEFAULTS.c_init)
    scripted = ScriptedService(offset)
    moves, policies, payoff = velmar_self_play.generate_game_data(0, search, scripted, scripted)
    capfd.readouterr()
    spread = stats.spread_of([records.from_engine(moves, policies, payoff)]).as_dict()
    assert spread["one_hot_share_at_choices"] <= most_one_hot
    if offset == 0.0:
        assert spread["mean_visited"] == 1.0
    else:
        assert spread["mean_visited_at_choices"] > 1.5


@pytest.mark.parametrize("name", ["uniform", "random", "echo"])
def test_evaluator_shapes(name):
    planes = np.zeros((3, 5, 400), np.float32)
    logits, values = evaluators.make(name, seed=1)(planes)
    assert np.asarray(logits).shape == (3, 400)
    assert np.asarray(values).shape == (3, 4)


def test_uniform_and_seeded_random():
    planes = np.zeros((2, 5, 400), np.float32)
    logits, values = evaluators.make("uniform")(planes)
    assert not logits.any() and np.all(values == 0.25)
    a = evaluators.make("random", seed=7)(planes)
    b = evaluators.make("random", seed=7)(planes)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_allclose(a[1].sum(axis=1), 1.0, rtol=1e-5)


def test_evaluator_by_import_path():
    assert evaluators.resolve("velmar_pipeline.evaluators.registry:uniform") is evaluators.uniform
    with pytest.raises(ValueError, match="cannot load evaluator"):
        evaluators.resolve("velmar_pipeline.evaluators.registry:missing")
