"""Evaluators for the inference service.

An evaluator is a callable ``(planes) -> (logits, values)`` with ``planes`` a float32 array
[B, 5, 400] (the encoded positions of one batch), ``logits`` [B, 400] (one unnormalised
log-probability per board cell) and ``values`` [B, 4] (slot k is the value of player (k - p) mod 4,
p being the player to move; see ``velmar_pipeline.records.positions``). Evaluators are made in the service
process by a factory ``factory(seed) -> evaluator``; register one with :func:`register`, or name
any importable factory as ``package.module:attribute``.

A registered evaluator may take one text argument, written ``name:argument`` (``net:PATH``, the
network checkpoint); its factory is then ``factory(seed, argument)``. The whole name travels to
the service process as it is, so the argument needs no channel of its own.

Value convention: every evaluator predicts payoffs, each player's expected share of the game's
payoff (>= 0, summing to 1; 0.25 is a fair share), the same scale as the training targets. The
search does not see them as they are: the service subtracts the run's value offset
(:func:`search_values`, ``--value-offset``) before it answers. The engine scores a child
``prior x C + Q`` and counts an unvisited child's Q as 0, so with payoffs in [0, 1] a visited
child never looks worse than an unvisited one and the first child tried at a node takes every
later visit. Shifted by about the fair share, a child that looks worse than average yields to its
untried siblings, and the values decide where the visits go.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from velmar_rules import BOARD_WIDTH, CELLS, PLAYERS, START_CORNERS, Game
from velmar_pipeline.records import positions
from velmar_pipeline.errors import one_line
from velmar_pipeline.records.atomic import is_existing_file

Evaluator = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]
Factory = Callable[[int | None], Evaluator]


@dataclass(frozen=True)
class _Entry:
    factory: Callable
    help: str
    argument: str | None  # what the argument names, for evaluators written name:argument
    check: Callable[[str], None] | None  # raises ValueError for an unusable argument


_REGISTRY: dict[str, _Entry] = {}


def register(
    name: str, help: str = "", argument: str | None = None, check: Callable[[str], None] | None = None
) -> Callable[[Callable], Callable]:
    """Decorator adding a factory to the registry under ``name``.

    With ``argument`` (a word for what it is, e.g. "model checkpoint") the evaluator is written
    ``name:ARGUMENT`` and made by ``factory(seed, ARGUMENT)``; ``check(ARGUMENT)`` runs when the
    name is resolved, so a bad argument fails before any process starts.
    """

    def add(factory: Callable) -> Callable:
        _REGISTRY[name] = _Entry(factory, help, argument, check)
        return factory

    return add


def names() -> list[str]:
    return sorted(_REGISTRY)


def describe() -> str:
    return "; ".join(f"{name}: {entry.help}" for name, entry in sorted(_REGISTRY.items()))


def resolve(name: str) -> Factory:
    """The factory for ``name``: registered, registered with an argument (``name:argument``) or
    importable as ``module:attribute``; ValueError if none."""
    if name in _REGISTRY:
        entry = _REGISTRY[name]
        if entry.argument is not None:
            raise ValueError(f"evaluator {name!r} needs a {entry.argument}: {name}:PATH (selfplay: --model PATH)")
        return entry.factory
    base, _, argument = name.partition(":")
    if argument and base in _REGISTRY:
        entry = _REGISTRY[base]
        if entry.argument is None:
            raise ValueError(f"evaluator {base!r} takes no argument (no --model either), got {name!r}")
        if entry.check is not None:
            entry.check(argument)
        factory = entry.factory

        def make_with_argument(seed: int | None = None) -> Evaluator:
            return factory(seed, argument)

        return make_with_argument
    if ":" in name:
        module_name, _, attribute = name.partition(":")
        try:
            module = importlib.import_module(module_name)
            return getattr(module, attribute)
        except Exception as error:  # a module that fails to import fails in its own way
            raise ValueError(f"cannot load evaluator {name!r}: {one_line(error)}") from None
    raise ValueError(f"unknown evaluator {name!r} (known: {', '.join(names())}, or module:factory)")


def with_argument(name: str, argument: str | None) -> str:
    """The evaluator name carrying ``argument`` (``net`` and a model path give ``net:PATH``)."""
    return name if argument is None else f"{name}:{argument}"


def make(name: str, seed: int | None = None) -> Evaluator:
    return resolve(name)(seed)


def probe(name: str, seed: int | None = None) -> None:
    """Makes the evaluator and evaluates the opening position once, so that a broken module, model
    or factory fails here, in one line (ValueError), before any process starts."""
    factory = resolve(name)
    try:
        if not callable(factory):
            raise TypeError(f"{type(factory).__name__} object is not callable")
        evaluator = factory(seed)
        checked_outputs(evaluator, probe_planes())
    except Exception as error:
        raise ValueError(f"evaluator {name!r} cannot be used: {one_line(error)}") from None


def probe_planes() -> np.ndarray:
    """Two positions: a model that only takes batches of one fails on them as in the service."""
    game = Game()
    first = game.encode()
    game.apply(int(game.legal_tiles()[0]))
    return np.stack([first, game.encode()])


def checked_outputs(evaluator: Evaluator, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The evaluator's (logits, values) for a batch as float32, ValueError when their shapes are
    wrong, a number is not finite (NaN or infinity would steer the search blindly) or a value is
    no payoff (:func:`check_payoffs`)."""
    logits, values = shaped_outputs(evaluator, planes)
    for name, array in (("logits", logits), ("values", values)):
        if not np.isfinite(array).all():
            raise ValueError(f"the evaluator returned non-finite {name} (NaN or infinity)")
    check_payoffs(values)
    return logits, values


# Float32 softmax outputs stay within [0, 1]; the slack only forgives rounding in other evaluators.
PAYOFF_SLACK = 1e-3


def check_payoffs(values: np.ndarray) -> None:
    """ValueError when a finite value lies outside [0, 1]: values are predicted payoffs, each
    player's share of the game's payoff, and the value offset assumes that scale. (Non-finite
    values are left to the caller's own check.)"""
    outside = np.isfinite(values) & ((values < -PAYOFF_SLACK) | (values > 1.0 + PAYOFF_SLACK))
    if outside.any():
        raise ValueError(f"the evaluator returned values outside [0, 1] (e.g. {float(values[outside][0]):g}): "
                         "values are predicted payoffs, each player's share of the game's payoff")


def shaped_outputs(evaluator: Evaluator, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``checked_outputs`` but for the finiteness, which the service's reply writer checks as it
    copies the numbers."""
    batch = len(planes)
    logits, values = evaluator(planes)
    logits = np.asarray(logits, dtype=np.float32)
    values = np.asarray(values, dtype=np.float32)
    if logits.shape != (batch, CELLS) or values.shape != (batch, PLAYERS):
        raise ValueError(
            f"the evaluator must return logits [{batch}, {CELLS}] and values [{batch}, {PLAYERS}],"
            f" got {list(logits.shape)} and {list(values.shape)}"
        )
    return np.ascontiguousarray(logits), np.ascontiguousarray(values)


def search_values(payoffs: np.ndarray, value_offset: float) -> np.ndarray:
    """The values the engine is sent: predicted payoffs minus the value offset (float32)."""
    return np.subtract(payoffs, np.float32(value_offset), dtype=np.float32)


@register("uniform", "zero logits (uniform priors) and values of 0.25 for every player")
def uniform(seed: int | None = None) -> Evaluator:
    # The outputs never change: read-only slices of one table, grown as batches grow.
    outputs = _ConstantOutputs(np.zeros(CELLS, np.float32), np.full(PLAYERS, 0.25, np.float32))
    return lambda planes: outputs.first(planes.shape[0])


class _ConstantOutputs:
    def __init__(self, logits: np.ndarray, values: np.ndarray):
        self.row = logits, values
        self.tables = self._grown(1)

    def _grown(self, batch: int) -> tuple[np.ndarray, np.ndarray]:
        tables = tuple(np.tile(row, (batch, 1)) for row in self.row)
        for table in tables:
            table.flags.writeable = False
        return tables

    def first(self, batch: int) -> tuple[np.ndarray, np.ndarray]:
        if batch > len(self.tables[0]):
            self.tables = self._grown(max(batch, 2 * len(self.tables[0])))
        return self.tables[0][:batch], self.tables[1][:batch]


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


def _check_model(path: str) -> None:
    if not is_existing_file(path, "the model"):
        raise ValueError(f"no model checkpoint at {path!r}")


@register("net", "a policy-value network: net:PATH of a checkpoint (torch; CUDA when available) or of an ONNX "
          "model (.onnx: ONNX Runtime on the CPU, no torch needed)", argument="model checkpoint", check=_check_model)
def net(seed: int | None = None, model: str = "") -> Evaluator:
    from velmar_pipeline.evaluators import inference  # onnxruntime and torch only where a network is used

    if inference.is_onnx(model):
        return inference.OnnxEvaluator(model, inference.requested_service_threads())
    from velmar_pipeline.evaluators import network

    return network.service_evaluator(seed, model)


_EDGES = ((-1, 0), (1, 0), (0, -1), (0, 1))
_DIAGONALS = ((-1, -1), (-1, 1), (1, -1), (1, 1))


def _neighbours(grid: np.ndarray, steps) -> np.ndarray:
    """out[..., r, c]: how many cells (r + dr, c + dc), (dr, dc) in ``steps``, are set in ``grid`` (..., W, W)."""
    width = grid.shape[-1]
    padded = np.zeros(grid.shape[:-2] + (width + 2, width + 2), np.int8)
    padded[..., 1:-1, 1:-1] = grid
    return sum(padded[..., 1 + r:1 + r + width, 1 + c:1 + c + width] for r, c in steps)


@dataclass(frozen=True)
class HeuristicWeights:
    """Weights of the hand-made evaluator (see :func:`heuristic`)."""

    # Measured with 16 simulations against uniform: values that hardly tell positions apart
    # (sharpness 0.05 or less) win little more than uniform does; other weights within a factor of
    # 2 to 3 of these made no difference that 32 to 64 games could show.
    corner_value: float = 1.0  # stones a free corner is worth in the score estimate
    sharpness: float = 0.15  # payoff = softmax(sharpness x score estimate)
    block: float = 1.0  # logit per opponent corner a tile takes
    gain: float = 0.5  # logit per own corner a tile opens
    loss: float = 0.5  # logit taken per own corner a tile closes
    centre: float = 1.0  # logit for the centre over a board corner


def heuristic_evaluator(weights: HeuristicWeights = HeuristicWeights()) -> Evaluator:
    """A hand-made evaluator, an opponent to measure against that knows a little about the game.

    Everything turns on free corners: the empty cells diagonal to a player's stones and edge to
    edge with none of them, the only places its next pieces can start. Values: each player's
    stones laid (its score so far) plus its free corners (room for more), as a softmax of
    ``sharpness`` times that estimate. Logits for the player to move: taking an opponent's free
    corner, opening corners of its own that it lacks, not closing the ones it has (a tile edge
    to edge with them), and reaching toward the centre, where the board is open.

    The planes are relative to the player to move, which is recovered from the start corners
    (``positions.players_to_move``); the values are computed by player and then put in slots.
    """
    w = weights
    width = BOARD_WIDTH
    middle = (width - 1) / 2
    axis = np.abs(np.arange(width) - middle)
    centre = 1.0 - (axis[:, None] + axis[None, :]) / (2 * middle)  # 1 at the middle, 0 at a board corner
    start = np.zeros((PLAYERS, width, width), bool)
    for player, cell in enumerate(START_CORNERS):
        start[player].flat[cell] = True

    def evaluate(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        planes = np.asarray(planes)
        batch = len(planes)
        to_move = positions.players_to_move(planes)
        stones = positions.stones_by_player(planes, to_move).reshape(batch, PLAYERS, width, width) > 0.5
        empty = ~stones.any(axis=1, keepdims=True)
        touching = _neighbours(stones, _EDGES) > 0
        # A free corner: an empty cell diagonal to the player's stones and edge to edge with none of them
        # (a player without stones has its start corner).
        played = stones.any(axis=(2, 3))[:, :, None, None]
        corners = empty & ~touching & np.where(played, _neighbours(stones, _DIAGONALS) > 0, start)
        score = stones.sum(axis=(2, 3)) + w.corner_value * corners.sum(axis=(2, 3))
        scaled = w.sharpness * (score - score.max(axis=1, keepdims=True))
        payoffs = np.exp(scaled)
        payoffs /= payoffs.sum(axis=1, keepdims=True)

        mine = np.arange(batch), to_move
        theirs = corners.sum(axis=1) - corners[mine]  # opponents whose free corner a cell is
        opens = empty[:, 0] & ~touching[mine] & ~corners[mine]
        logits = (w.block * theirs + w.gain * _neighbours(opens, _DIAGONALS)
                  - w.loss * _neighbours(corners[mine], _EDGES) + w.centre * centre)
        return (logits.reshape(batch, CELLS).astype(np.float32),
                positions.slots_from_players(payoffs, to_move).astype(np.float32))

    return evaluate


@register("heuristic", "hand-made: priors for tiles that take opponents' corners, open own ones and reach "
          "the centre; payoffs from stones laid and free corners")
def heuristic(seed: int | None = None) -> Evaluator:
    return heuristic_evaluator()
