"""Search settings for self-play, handed to ``velmar_self_play.generate_game_data`` as its config."""

from __future__ import annotations

import argparse
import dataclasses
import math
from dataclasses import dataclass

import numpy as np

from velmar_pipeline.errors import add_flags, setting, settings_from
from velmar_pipeline.evaluators.inference import BACKENDS


class ConfigError(ValueError):
    """A search setting the engine cannot use."""


@dataclass(frozen=True)
class SearchConfig:
    """The six search settings the engine reads by attribute name.

    sims_per_move: simulations of the tree search for each tile (>= 1).
    sample_moves: tiles k with k + 1 < sample_moves are drawn in proportion to the visits;
        later tiles take the most visited child (0 and 1: never drawn).
    c_base, c_init: constants of the exploration coefficient (> 0 and >= 0).
    dirichlet_alpha: concentration of the root noise (> 0).
    exploration_fraction: weight of the root noise in the priors, in [0, 1].
    """

    sims_per_move: int = setting(8, help="simulations per tile (>= 1)")
    sample_moves: int = setting(
        30, help="tiles k with k + 1 < this are drawn by visit share, later ones are the most visited")
    c_base: float = setting(1.0, help="exploration base constant (> 0)")
    c_init: float = setting(0.0, help="exploration additive constant (>= 0)")
    dirichlet_alpha: float = setting(0.3, help="root noise concentration (> 0)")
    exploration_fraction: float = setting(0.25, help="weight of the root noise, in [0, 1]")

    def __post_init__(self) -> None:
        validate(self)

    def as_dict(self) -> dict[str, float | int]:
        return dataclasses.asdict(self)



def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def as_float32(value: float) -> float:
    """``value`` narrowed to a 32-bit float, as the engine reads it."""
    with np.errstate(over="ignore"):
        return float(np.float32(value))


def validate(config: SearchConfig) -> None:
    """Raises ConfigError naming the first setting the engine cannot use.

    The engine reads the counts as unsigned 64-bit integers and the constants as 32-bit floats,
    so a constant must stay finite, and a positive one positive, once narrowed.
    """
    for name in ("sims_per_move", "sample_moves"):
        value = getattr(config, name)
        if not _is_int(value):
            raise ConfigError(f"{name} must be an integer, got {value!r}")
        if value >= 2**63:
            raise ConfigError(f"{name} is too large: {value}")
    for name in ("c_base", "c_init", "dirichlet_alpha", "exploration_fraction"):
        value = getattr(config, name)
        if not _is_number(value) or not math.isfinite(value) or not math.isfinite(as_float32(value)):
            raise ConfigError(f"{name} must be a finite number within 32-bit float range, got {value!r}")
    if config.sims_per_move < 1:
        raise ConfigError(f"sims_per_move must be >= 1, got {config.sims_per_move}")
    if config.sample_moves < 0:
        raise ConfigError(f"sample_moves must be >= 0, got {config.sample_moves}")
    if config.c_base <= 0:
        raise ConfigError(f"c_base must be > 0, got {config.c_base}")
    if as_float32(config.c_base) == 0 or not math.isfinite(as_float32(1.0 / as_float32(config.c_base))):
        raise ConfigError(f"c_base is too small for a 32-bit float (its reciprocal overflows): {config.c_base}")
    if config.c_init < 0:
        raise ConfigError(f"c_init must be >= 0, got {config.c_init}")
    if config.dirichlet_alpha <= 0:
        raise ConfigError(f"dirichlet_alpha must be > 0, got {config.dirichlet_alpha}")
    if as_float32(config.dirichlet_alpha) == 0:
        raise ConfigError(f"dirichlet_alpha is too small for a 32-bit float (it would be 0): {config.dirichlet_alpha}")
    if not 0.0 <= config.exploration_fraction <= 1.0:
        raise ConfigError(f"exploration_fraction must be in [0, 1], got {config.exploration_fraction}")


DEFAULTS = SearchConfig()

# Subtracted from every predicted payoff before the engine sees it (see velmar_pipeline.evaluators.registry).
VALUE_OFFSET = 0.4


def validate_value_offset(value: object) -> float:
    if not _is_number(value) or not math.isfinite(value) or not -1.0 <= value <= 2.0:
        raise ConfigError(f"value_offset must be a number in [-1, 2], got {value!r}")
    return float(value)


def add_search_arguments(
    parser: argparse.ArgumentParser, title: str = "search settings", search_optional: bool = False
) -> None:
    """The six search settings as command-line flags (read back with :func:`search_from`).

    With ``search_optional`` the simulations default to 0, which stands for no search at all.
    """
    group = parser.add_argument_group(title)
    if search_optional:
        add_flags(group, SearchConfig, sims_per_move=0, helps={
            "sims_per_move": "simulations per tile (0: no search; the other search settings apply from 1)"})
    else:
        add_flags(group, SearchConfig)
    group.add_argument("--value-offset", type=float, default=VALUE_OFFSET,
                       help="subtracted from every predicted payoff before the search sees it (see README)")


def match_settings(search: SearchConfig) -> SearchConfig:
    """``search`` as a match plays it: no root noise and no tiles drawn by visit share, every tile
    the most visited. Self-play explores on purpose; a match measures strength."""
    return dataclasses.replace(search, exploration_fraction=0.0, sample_moves=0)


def search_from(args: argparse.Namespace) -> SearchConfig:
    """The SearchConfig of flags added by :func:`add_search_arguments`; ConfigError if unusable."""
    return settings_from(SearchConfig, args)


def add_inference_argument(parser) -> None:
    parser.add_argument("--inference", choices=BACKENDS, default="auto",
                        help="how a network checkpoint runs: onnx (its ONNX export, written beside it and checked "
                        "against torch, through ONNX Runtime), torch, or auto (onnx on the CPU, torch where torch "
                        "sees a GPU)")
