"""Shape of the policy-value network, kept free of torch so command lines can show the defaults."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

from velmar_rules import BOARD_WIDTH


@dataclass(frozen=True)
class Architecture:
    """blocks: residual blocks of the trunk; channels: their width; value_channels, value_pool and
    value_hidden: the value head's 1 x 1 convolution, the side of the squares it averages over
    (1: none; must divide the board's width) and its hidden layer; policy_head: False for a value-only network,
    whose logits are all 0 (uniform priors: the search alone shapes the visits)."""

    blocks: int = 4
    channels: int = 32
    value_channels: int = 4
    value_pool: int = 4  # a 5 x 5 grid: coarse enough not to memorise games, fine enough to tell the corners apart
    value_hidden: int = 64
    # Checkpoints written before this field existed lack it and load with the default.
    policy_head: bool = True

    def __post_init__(self) -> None:
        for name in ("channels", "value_channels", "value_hidden"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be >= 1, got {getattr(self, name)}")
        if self.value_pool < 1 or BOARD_WIDTH % self.value_pool:
            raise ValueError(f"value_pool must divide {BOARD_WIDTH}, got {self.value_pool}")
        if self.blocks < 0:
            raise ValueError(f"blocks must be >= 0, got {self.blocks}")

    def as_dict(self) -> dict[str, int | bool]:
        return dataclasses.asdict(self)


DEFAULT = Architecture()
