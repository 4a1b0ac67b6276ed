"""The policy-value network, its checkpoints and its evaluator for the inference service.

Input: the (5, 400) position planes, seen as 5 x 20 x 20 images. A convolutional stem and a
trunk of residual blocks feed two heads:

- policy: a 1 x 1 convolution to one logit per cell plus a learned per-cell bias (400 logits).
  Being convolutional it shares what it learns about a pattern across the board; the bias lets
  it prefer regions. A value-only network (``Architecture.policy_head`` False) has no policy
  weights and returns logits of 0: uniform priors, as the ``uniform`` evaluator gives.
- value: a 1 x 1 convolution averaged over 4 x 4 squares, a hidden layer and 4 logits. Averaging
  keeps where things are only coarsely: a head that sees every cell memorises the outcome of each
  game it trains on far sooner, and the loop trains on a few dozen games at a time. The softmax
  of the logits is the predicted payoff in slot order (slot k is player (k - p) mod 4 for p to
  move, see ``velmar_pipeline.records.positions``). A payoff is non-negative and sums to 1, so the
  softmax keeps predictions on the same scale as the engine's terminal payoffs.

Weights and activations are kept channels-last (NHWC): on the 2-core CPU machines this project
runs on, the 3 x 16 and 4 x 32 networks then train 1.2 to 1.5 times as fast and evaluate batches
of a few hundred positions up to 1.8 times as fast; CUDA takes either layout.

A checkpoint is a ``torch.save`` of a plain dict (the ``state_dict``, the architecture and the
training step), so ``load_checkpoint`` rebuilds the model with no code changes and loads with
``weights_only=True``.
"""

from __future__ import annotations

import io
import os
import time
from pathlib import Path

import numpy as np
import torch
from torch import nn
from torch.nn import functional as F

from velmar_rules import BOARD_WIDTH as BOARD
from velmar_rules import CELLS, PLANES, PLAYERS
from velmar_pipeline.evaluators import inference
from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.records.atomic import atomic_file

CHECKPOINT_KIND = "velmar-policy-value"
CHECKPOINT_VERSION = 1


class ResidualBlock(nn.Module):
    def __init__(self, channels: int):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return F.relu(x + y)


class PolicyValueNet(nn.Module):
    """``forward(planes) -> (policy_logits [B, 400], value_logits [B, 4])``; planes [B, 5, 400] or [B, 5, 20, 20]."""

    def __init__(self, architecture: Architecture | None = None):
        super().__init__()
        self.architecture = architecture or Architecture()
        a = self.architecture
        self.stem = nn.Sequential(
            nn.Conv2d(PLANES, a.channels, 3, padding=1, bias=False), nn.BatchNorm2d(a.channels), nn.ReLU()
        )
        self.trunk = nn.Sequential(*[ResidualBlock(a.channels) for _ in range(a.blocks)])
        if a.policy_head:
            self.policy_conv = nn.Conv2d(a.channels, 1, 1)
            self.policy_bias = nn.Parameter(torch.zeros(CELLS))
        self.value_conv = nn.Sequential(
            nn.Conv2d(a.channels, a.value_channels, 1, bias=False), nn.BatchNorm2d(a.value_channels), nn.ReLU(),
            nn.AvgPool2d(a.value_pool) if a.value_pool > 1 else nn.Identity(),
        )
        self.value_fc = nn.Sequential(
            nn.Linear(a.value_channels * CELLS // a.value_pool**2, a.value_hidden), nn.ReLU(),
            nn.Linear(a.value_hidden, PLAYERS),
        )
        self.to(memory_format=torch.channels_last)  # load_state_dict copies into these strides

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        x = planes.reshape(-1, PLANES, BOARD, BOARD).contiguous(memory_format=torch.channels_last)
        x = self.trunk(self.stem(x))
        if self.architecture.policy_head:
            policy = self.policy_conv(x).flatten(1) + self.policy_bias
        else:
            policy = x.new_zeros(x.shape[0], CELLS)
        value = self.value_fc(self.value_conv(x).flatten(1))
        return policy, value


def with_policy_head(model: PolicyValueNet) -> PolicyValueNet:
    """The same network with a policy head added, whose logits start at 0 (uniform priors): a value
    network that goes on to learn priors keeps everything it knows."""
    import dataclasses

    grown = PolicyValueNet(dataclasses.replace(model.architecture, policy_head=True))
    grown.load_state_dict(model.state_dict(), strict=False)
    with torch.no_grad():
        grown.policy_conv.weight.zero_()
        grown.policy_conv.bias.zero_()
    device = next(model.parameters()).device
    return grown.to(device).train(model.training)


def default_device() -> torch.device:
    return torch.device("cuda" if torch.cuda.is_available() else "cpu")


def parameter_count(model: nn.Module) -> int:
    return sum(p.numel() for p in model.parameters())


def save_checkpoint(path: str | os.PathLike, model: PolicyValueNet, **info) -> Path:
    """Writes the weights, the architecture and ``info`` (step, generation, ...) atomically."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    state = {k: v.detach().cpu() for k, v in model.state_dict().items()}
    broken = [k for k, v in state.items() if v.is_floating_point() and not torch.isfinite(v).all()]
    if broken:
        raise ValueError(f"not writing {path}: {broken[0]} holds NaN or infinity")
    payload = {
        "kind": CHECKPOINT_KIND,
        "version": CHECKPOINT_VERSION,
        "architecture": model.architecture.as_dict(),
        "state_dict": state,
        "created": time.time(),
        **info,
    }
    # Serialised in memory first: a write that fails (a full disk) is then an OSError naming the
    # file, not an error from inside torch's zip writer.
    buffer = io.BytesIO()
    torch.save(payload, buffer)
    with atomic_file(path) as file:
        file.write(buffer.getbuffer())
    return path


def load_checkpoint(path: str | os.PathLike, device: str | torch.device | None = None) -> tuple[PolicyValueNet, dict]:
    """The model of a checkpoint (in eval mode, on ``device``, default CUDA when present) and its other entries.

    ValueError in one line naming the file for anything that is not a checkpoint this code wrote:
    another file, another dict, weights that do not fit the architecture, or weights holding NaN or
    infinity (which ``save_checkpoint`` never writes). OSError when the file cannot be read.
    """
    try:
        payload = torch.load(path, map_location="cpu", weights_only=True)
    except OSError:
        raise
    except Exception as error:  # torch's own messages run to many lines and advise unsafe loading
        raise ValueError(f"{path}: not a velmar policy-value checkpoint (torch cannot load it: "
                         f"{type(error).__name__})") from None
    if not isinstance(payload, dict) or payload.get("kind") != CHECKPOINT_KIND:
        raise ValueError(f"{path}: not a velmar policy-value checkpoint")
    if payload.get("version") != CHECKPOINT_VERSION:
        raise ValueError(f"{path}: checkpoint version {payload.get('version')}, this code reads {CHECKPOINT_VERSION}")
    state = payload.get("state_dict")
    if not isinstance(state, dict) or not all(isinstance(v, torch.Tensor) for v in state.values()):
        raise ValueError(f"{path}: a velmar checkpoint without its weights")
    broken = [k for k, v in state.items() if v.is_floating_point() and not torch.isfinite(v).all()]
    if broken:
        raise ValueError(f"{path}: the weights hold NaN or infinity ({broken[0]}); this network cannot be used")
    try:
        model = PolicyValueNet(Architecture(**payload["architecture"]))
        model.load_state_dict(state)
    except (TypeError, ValueError, RuntimeError, KeyError) as error:
        lines = str(error).strip().splitlines()
        raise ValueError(f"{path}: the weights do not fit the checkpoint's architecture "
                         f"({lines[0] if lines else type(error).__name__})") from None
    model.to(torch.device(device) if device is not None else default_device())
    model.eval()
    info = {k: v for k, v in payload.items() if k != "state_dict"}
    return model, info


class NetEvaluator:
    """Evaluator ``(planes[B, 5, 400]) -> (logits[B, 400], values[B, 4])`` backed by a network.

    Values are the softmax of the value logits: payoff predictions in slot order.
    """

    def __init__(self, model: PolicyValueNet, device: torch.device | None = None):
        self.device = device or next(model.parameters()).device
        self.model = model.to(self.device).eval()

    @classmethod
    def load(cls, path: str | os.PathLike, device: str | torch.device | None = None) -> NetEvaluator:
        model, _ = load_checkpoint(path, device)
        return cls(model)

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = torch.from_numpy(np.ascontiguousarray(planes, dtype=np.float32))
        with torch.inference_mode():
            logits, value_logits = self.model(batch.to(self.device, non_blocking=True))
            values = torch.softmax(value_logits, dim=1)
            return logits.float().cpu().numpy(), values.float().cpu().numpy()


def set_threads(threads: int | None) -> int:
    """Sets torch's intra-op threads (``None``: ``inference.default_threads``) and returns the number."""
    threads = threads or inference.default_threads()
    torch.set_num_threads(threads)
    return threads


def service_evaluator(seed: int | None, model: str) -> NetEvaluator:
    """The ``net`` evaluator as the inference service makes it (``seed`` is unused: inference is deterministic).

    Threads: ``inference.requested_service_threads``.
    """
    torch.set_num_threads(inference.requested_service_threads())
    try:
        torch.set_num_interop_threads(1)
    except RuntimeError:  # only allowed before the first parallel work in the process
        pass
    return NetEvaluator.load(model)
