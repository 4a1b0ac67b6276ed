"""The network and its checkpoints: round trips, foreign files, older checkpoints, its evaluator."""

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.evaluators.architecture import Architecture

from pipeline_fakes import tiny_checkpoint

torch = pytest.importorskip("torch")
from velmar_pipeline.evaluators import network  # noqa: E402  (needs torch)


@pytest.mark.parametrize(
    "architecture",
    [Architecture(blocks=0, channels=4), Architecture(blocks=2, channels=8, value_pool=1, value_channels=2)],
)
def test_checkpoint_round_trip_gives_identical_outputs(tmp_path, architecture):
    torch.manual_seed(0)
    model = network.PolicyValueNet(architecture)
    model.train()
    model(torch.rand(16, 5, 400))  # moves the batch-norm running statistics off their defaults
    model.eval()
    path = network.save_checkpoint(tmp_path / "m.pt", model, step=17, generation=3)
    loaded, info = network.load_checkpoint(path, "cpu")
    planes = (torch.rand(6, 5, 400) < 0.3).float()
    with torch.inference_mode():
        for a, b in zip(model(planes), loaded(planes)):
            assert torch.equal(a, b)
    assert loaded.architecture == architecture
    assert (info["step"], info["generation"]) == (17, 3)


def test_loading_something_else_fails(tmp_path):
    torch.save({"weights": torch.zeros(3)}, tmp_path / "other.pt")
    with pytest.raises(ValueError, match="not a velmar policy-value checkpoint"):
        network.load_checkpoint(tmp_path / "other.pt")


def test_net_evaluator_shapes_and_values(tmp_path):
    evaluate = evaluators.make(f"net:{tiny_checkpoint(tmp_path / 'm.pt')}")
    planes = np.stack([velmar_rules.Game().encode()] * 3)
    logits, values = evaluate(planes)
    assert logits.shape == (3, 400) and logits.dtype == np.float32
    assert values.shape == (3, 4) and values.dtype == np.float32
    np.testing.assert_allclose(values.sum(axis=1), 1.0, rtol=1e-5)  # payoff predictions: a distribution


def test_checkpoints_without_the_policy_head_field_load_with_a_policy_head(tmp_path):
    path = tiny_checkpoint(tmp_path / "m.pt")
    payload = torch.load(path, weights_only=True)
    del payload["architecture"]["policy_head"]  # as written before value-only networks existed
    torch.save(payload, tmp_path / "old.pt")
    model, _ = network.load_checkpoint(tmp_path / "old.pt", "cpu")
    assert model.architecture.policy_head
    logits, _ = network.NetEvaluator(model)(np.stack([velmar_rules.Game().encode()]))
    assert np.abs(logits).max() > 0
