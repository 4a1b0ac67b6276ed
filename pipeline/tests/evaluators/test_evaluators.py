"""The built-in evaluators and evaluators named by import path."""

import numpy as np
import pytest

from velmar_pipeline.evaluators import registry as evaluators


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
