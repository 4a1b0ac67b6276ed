"""Evaluators for the inference service.

An evaluator is a callable ``(planes) -> (logits, values)`` with ``planes`` a float32 array
[B, 5, 400] (the encoded positions of one batch), ``logits`` [B, 400] (one unnormalised
log-probability per board cell) and ``values`` [B, 4] (the value of each player, slot k for the
player k seats after the one to move). Evaluators are made in the service process by a factory
``factory(seed) -> evaluator``; register one with :func:`register`, or name any importable
factory as ``package.module:attribute``.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable

import numpy as np

CELLS = 400
PLAYERS = 4
PLANES = 5

Evaluator = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]
Factory = Callable[[int | None], Evaluator]

_REGISTRY: dict[str, tuple[Factory, str]] = {}


def register(name: str, help: str = "") -> Callable[[Factory], Factory]:
    """Decorator adding a factory to the registry under ``name``."""

    def add(factory: Factory) -> Factory:
        _REGISTRY[name] = (factory, help)
        return factory

    return add


def names() -> list[str]:
    return sorted(_REGISTRY)


def describe() -> str:
    return "; ".join(f"{name}: {help}" for name, (_, help) in sorted(_REGISTRY.items()))


def resolve(name: str) -> Factory:
    """The factory registered as ``name`` or importable as ``module:attribute``; ValueError if none."""
    if name in _REGISTRY:
        return _REGISTRY[name][0]
    if ":" in name:
        module_name, _, attribute = name.partition(":")
        try:
            module = importlib.import_module(module_name)
            return getattr(module, attribute)
        except (ImportError, AttributeError) as error:
            raise ValueError(f"cannot load evaluator {name!r}: {error}") from error
    raise ValueError(f"unknown evaluator {name!r} (known: {', '.join(names())}, or module:factory)")


def make(name: str, seed: int | None = None) -> Evaluator:
    return resolve(name)(seed)


@register("uniform", "zero logits (uniform priors) and values of 0.25 for every player")
def uniform(seed: int | None = None) -> Evaluator:
    def evaluate(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = planes.shape[0]
        return np.zeros((batch, CELLS), np.float32), np.full((batch, PLAYERS), 0.25, np.float32)

    return evaluate


@register("random", "standard normal logits and random values summing to 1 (seeded by --seed)")
def random(seed: int | None = None) -> Evaluator:
    rng = np.random.default_rng(seed)

    def evaluate(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = planes.shape[0]
        logits = rng.standard_normal((batch, CELLS), dtype=np.float32)
        values = rng.dirichlet(np.ones(PLAYERS), size=batch).astype(np.float32)
        return logits, values

    return evaluate


@register("echo", "diagnostic: plane 0 of the position as logits and the first four planes' means as values")
def echo(seed: int | None = None) -> Evaluator:
    def evaluate(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return planes[:, 0, :].copy(), planes[:, :PLAYERS, :].mean(axis=2)

    return evaluate
