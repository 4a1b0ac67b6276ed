"""The ``train`` command: fit the policy-value network to self-play records.

Every game of the shards is replayed with ``velmar_rules`` to get the planes of each position.
Losses, per position:

- policy: cross-entropy between the record's visit shares and the softmax of the logits over the
  legal tiles only (the engine never looks at the logits of other cells, so they are not fitted),
  averaged over the positions that have a policy target (positions of random games have none) and
  left out for a value-only network;
- value: cross-entropy between the final payoff in slot order (``positions.slots_from_players``)
  and the softmax of the value logits. A payoff is a distribution over the players (the leaders
  share 1), so its cross-entropy is the natural fit for a softmax output.

A fraction of the games (``--holdout``) is kept out of training and scored after every epoch, so
over-fitting a small window shows in the log; which games is decided by each game's own tiles, so
a loop's growing window holds out the same games in every generation. With ``--augment`` (the
default) every training position is used under a random quarter turn of the board each time
(``positions.rotate``): an exact symmetry of the game, so four times the positions for the cost of
a gather. Validation positions are scored as they are. Writes ``model.pt``, ``losses.csv`` (one
row per ``--log-every`` steps and one per validation) and ``loss.png`` into ``--out``.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import hashlib
import io
import json
import logging
import math
import os
import shutil
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from velmar_pipeline.records import positions as positions_module
from velmar_pipeline.records import shards as records
from velmar_pipeline.evaluators.architecture import DEFAULT as DEFAULT_ARCHITECTURE
from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.records.atomic import atomic_file
from velmar_pipeline.records.positions import Positions
from velmar_pipeline.errors import require as require_packages
from velmar_pipeline.errors import add_flags, bad_input, run_failed, setting, settings_from

logger = logging.getLogger(__name__)

CHECKPOINT_NAME = "model.pt"
LOSSES_NAME = "losses.csv"
PLOT_NAME = "loss.png"
YARDSTICK_NAME = "yardstick.json"
LOSS_COLUMNS = ["step", "epoch", "split", "policy_loss", "value_loss", "loss", "positions"]
POLICY_TARGETS = ("visits", "improved", "lookahead")
# What the teacher's ONNX export and its runtime need, beyond training itself.
LOOKAHEAD_MODULES = {"visits": (), "improved": ("onnx", "onnxruntime"), "lookahead": ("onnx", "onnxruntime")}
MAX_THREADS = 1024  # torch takes a C int; far more threads than cores only wait on each other
MASKED_LOGIT = -1.0e4  # finite, so a zero target times its log-probability stays 0 instead of NaN


class TrainingFailed(RuntimeError):
    """Training went wrong (a loss that is no longer finite); nothing was written."""


def torch_device(name: str | None):
    """The torch device to train on: ``name``, or CUDA when available; ValueError for a device
    this machine does not have."""
    from velmar_pipeline.evaluators import network

    if name is None:
        return network.default_device()
    try:
        device = network.torch.device(name)
    except RuntimeError as error:
        raise ValueError(f"--device {name!r} is not a torch device ({error})") from None
    if device.type == "cuda" and not network.torch.cuda.is_available():
        raise ValueError(f"--device {name!r}: torch sees no CUDA GPU on this machine")
    if device.type not in ("cpu", "cuda"):
        raise ValueError(f"--device {name!r}: only cpu and cuda are supported")
    return device


TEACHER_HELP = "the teacher of the lookahead targets: a checkpoint, net:model.onnx, heuristic or module:attribute"


@dataclass
class TrainSettings:
    epochs: int = setting(2, help="passes over the positions")
    batch_size: int = setting(256, help="positions per step")
    learning_rate: float = setting(1e-3, flag="--lr", help="AdamW learning rate")
    weight_decay: float = setting(1e-4, help="AdamW weight decay")
    value_weight: float = setting(1.0, help="weight of the value loss")
    holdout: float = setting(0.1, help="share of the games kept for validation (the same games in every window)")
    log_every: int = setting(20, help="steps per row of losses.csv")
    seed: int | None = setting(0, flag="--train-seed", help="seed of the split, the order and the init")
    progress: bool = True
    device: str | None = setting(None, help="torch device (default: cuda when available, else cpu)")
    # Torch threads on the CPU; None: inference.default_threads().
    threads: int | None = setting(None, type=int, help="torch threads (default: the cores but one)")
    augment: bool = setting(True, action=argparse.BooleanOptionalAction,
                            help="use every training position under a random quarter turn of the board")
    # Policy targets (velmar_pipeline.training.lookahead): "improved" (the teacher's priors moved by its
    # one-tile value lookahead), "lookahead" (the lookahead alone) or "visits" (the records' visit
    # shares). teacher: any evaluator name, None for the --init network; teacher_values: the
    # lookahead's values when they come from another evaluator than the teacher.
    policy_targets: str = setting("visits", choices=POLICY_TARGETS,
                                  help="what the policy head fits: the teacher's priors improved by its one-tile "
                                  "value lookahead, the lookahead alone, or the records' visit shares")
    teacher: str | None = setting(None, metavar="EVALUATOR", help=TEACHER_HELP + " (default: --init)")
    teacher_values: str | None = setting(
        None, metavar="EVALUATOR", help="the values of the lookahead from another evaluator than --teacher")
    temperature: float = setting(
        0.03, help="lookahead targets: how much a child's value moves the target (payoff share per logit)")
    value_mix: float = setting(
        0.0, help="value targets: this share of the teacher's predicted payoffs (--teacher-values, else --teacher) "
        "mixed into each training position's final payoff; validation keeps the payoffs (0: payoffs alone)")
    # The share of each game's positions given a lookahead target.
    policy_share: float = setting(1.0, help="lookahead targets: the share of each game's positions labelled (each "
                                  "costs one evaluation per legal tile); the others train the value only")

    def validate(self) -> None:
        if self.epochs < 1:
            raise ValueError(f"--epochs must be >= 1, got {self.epochs}")
        if self.batch_size < 1:
            raise ValueError(f"--batch-size must be >= 1, got {self.batch_size}")
        for flag, value in (("--lr", self.learning_rate), ("--weight-decay", self.weight_decay),
                            ("--value-weight", self.value_weight)):
            if not math.isfinite(value):
                raise ValueError(f"{flag} must be a finite number, got {value}")
        if not self.learning_rate > 0:
            raise ValueError(f"--lr must be > 0, got {self.learning_rate}")
        if self.weight_decay < 0 or self.value_weight < 0:
            raise ValueError("--weight-decay and --value-weight must be >= 0")
        if not 0 <= self.holdout < 1:
            raise ValueError(f"--holdout must be in [0, 1), got {self.holdout}")
        if self.threads is not None and not 1 <= self.threads <= MAX_THREADS:
            raise ValueError(f"--threads must be in [1, {MAX_THREADS}], got {self.threads}")
        if self.seed is not None and not 0 <= self.seed < 2**63:
            raise ValueError(f"--train-seed must be in [0, 2**63), got {self.seed}")
        if self.log_every < 1:
            raise ValueError(f"--log-every must be >= 1, got {self.log_every}")
        if self.policy_targets not in POLICY_TARGETS:
            raise ValueError(f"--policy-targets must be one of {', '.join(POLICY_TARGETS)}, "
                             f"got {self.policy_targets!r}")
        if not (math.isfinite(self.temperature) and self.temperature > 0):
            raise ValueError(f"--temperature must be > 0, got {self.temperature}")
        if not 0 <= self.value_mix <= 1:
            raise ValueError(f"--value-mix must be in [0, 1], got {self.value_mix}")
        if not 0 < self.policy_share <= 1:
            raise ValueError(f"--policy-share must be in (0, 1], got {self.policy_share}")


@dataclass
class TrainResult:
    checkpoint: Path
    rows: list[dict] = field(default_factory=list)
    games: int = 0
    train_positions: int = 0
    validation_positions: int = 0
    steps: int = 0
    seconds: float = 0.0
    yardstick: dict | None = None  # the network's and the heuristic's on the held-out games


    def last(self, split: str) -> dict | None:
        found = [row for row in self.rows if row["split"] == split]
        return found[-1] if found else None


def batch_losses(model, planes, policies, values):
    """(policy loss, value loss, rows with a policy target) of one batch, tensors on the model's device.

    The value loss is the mean over the batch, the policy loss the mean over the rows whose policy
    target is not all zeros (0 when there are none, or when the network has no policy head).
    """
    from torch.nn import functional as F

    x = planes.float()
    logits, value_logits = model(x)
    value_loss = -(values * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    if not model.architecture.policy_head:
        zero = value_loss.new_zeros(())
        return zero, value_loss, zero
    targeted = (policies.sum(dim=1) > 0).float()
    legal = x[:, positions_module.LEGAL_PLANE] > 0.5
    log_policy = F.log_softmax(logits.masked_fill(~legal, MASKED_LOGIT), dim=1)
    count = targeted.sum()
    policy_loss = -(policies * log_policy).sum(dim=1).sum() / count.clamp(min=1.0)
    return policy_loss, value_loss, count


def split_games(games: Sequence, holdout: float, seed: int | None,
                keys: np.ndarray | None = None) -> tuple[list, list]:
    """(training games, validation games); at least one game trains, validation only with 2+ games.

    With ``keys`` (:func:`game_keys`) a game is held out when its key is below ``holdout``, so a
    window that grows by generations holds out the same games every time: a network trained on from
    the previous generation is never validated on games it has already learned from. Without them,
    ``round(holdout x count)`` games drawn by ``seed``."""
    count = len(games)
    if count < 2:
        return list(games), []
    if keys is None:
        held = min(int(round(count * holdout)), count - 1)
        chosen = np.zeros(count, bool)
        chosen[np.random.default_rng(seed).permutation(count)[:held]] = True
    else:
        chosen = np.asarray(keys) < holdout
        if chosen.all():  # at least one game trains
            chosen[np.argmax(keys)] = False
        if not chosen.any() and round(count * holdout) >= 1:  # one, where a drawn split would hold one out
            chosen[np.argmin(keys)] = True
    return [g for g, c in zip(games, chosen) if not c], [g for g, c in zip(games, chosen) if c]


def game_keys(games: Sequence, seed: int | None) -> np.ndarray:
    """A number in [0, 1) for each game, from its tiles and ``seed`` alone: the same game gets the
    same key in every window."""
    salt = int(seed or 0).to_bytes(8, "little", signed=True)
    digests = (hashlib.sha256(salt + np.ascontiguousarray(game.moves, np.int32).tobytes()).digest()
               for game in games)
    return np.array([int.from_bytes(d[:8], "little") / 2.0**64 for d in digests])


def split_positions(data: Positions, holdout: float, seed: int | None) -> tuple[Positions, Positions | None]:
    """(training, validation) positions of ``data``, split by their game as :func:`split_games` does."""
    games = np.unique(data.game)
    training_games, validation_games = split_games(games, holdout, seed)
    if not validation_games:
        return data, None
    held = np.isin(data.game, validation_games)
    return data.subset(np.flatnonzero(~held)), data.subset(np.flatnonzero(held))


def _tensors(data, rows: np.ndarray, device, turns: np.ndarray | None = None):
    import torch

    planes, policies, values, to_move = data.batch(rows)
    if turns is not None:
        planes, policies, values, _ = positions_module.rotate(planes, policies, values, to_move, turns)
    return tuple(torch.from_numpy(np.ascontiguousarray(a)).to(device, non_blocking=True)
                 for a in (planes, policies, values))


class _Sums:
    """Running sums of the losses, each weighted by the rows it was averaged over."""

    def __init__(self):
        self.policy = self.policy_rows = self.value = self.rows = 0.0

    def add(self, policy_loss, value_loss, policy_rows, rows: int) -> None:
        policy_rows = float(policy_rows)
        self.policy += policy_loss.item() * policy_rows
        self.policy_rows += policy_rows
        self.value += value_loss.item() * rows
        self.rows += rows

    def means(self) -> tuple[float, float]:
        """(policy loss, value loss); the policy loss is NaN when no row had a policy target."""
        policy = self.policy / self.policy_rows if self.policy_rows else math.nan
        return policy, self.value / self.rows


def evaluate(model, data, batch_size: int, device) -> tuple[float, float]:
    """Mean policy and value losses over ``data`` (eval mode, no gradients; policy NaN without targets)."""
    import torch

    model.eval()
    sums = _Sums()
    with torch.inference_mode():
        for start in range(0, len(data), batch_size):
            rows = np.arange(start, min(start + batch_size, len(data)))
            policy_loss, value_loss, policy_rows = batch_losses(model, *_tensors(data, rows, device))
            sums.add(policy_loss, value_loss, policy_rows, len(rows))
    return sums.means()


def fit(
    model,
    data: Positions | positions_module.PositionSets,
    validation: Positions | positions_module.PositionSets | None,
    settings: TrainSettings,
    first_step: int = 0,
) -> list[dict]:
    """Trains ``model`` in place for ``settings.epochs`` passes over ``data``; returns the log rows.

    The validation positions are scored before the first step too (epoch 0), so the log shows
    where training started from. With ``settings.augment`` each training batch is turned by a
    random quarter turn per position.
    """
    import torch

    device = next(model.parameters()).device
    if settings.seed is not None:
        torch.manual_seed(settings.seed)
    rng = np.random.default_rng(settings.seed)
    optimizer = torch.optim.AdamW(model.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay)
    steps_per_epoch = math.ceil(len(data) / settings.batch_size)
    rows: list[dict] = []
    if validation is not None and len(validation):
        rows.append(_row(first_step, -1, "validation", *evaluate(model, validation, settings.batch_size, device),
                         settings, len(validation)))
    bar = None
    if settings.progress:
        from tqdm import tqdm

        bar = tqdm(total=steps_per_epoch * settings.epochs, unit="step", dynamic_ncols=True, file=sys.stderr)
    step = first_step
    try:
        for epoch in range(settings.epochs):
            model.train()
            order = rng.permutation(len(data))
            sums = _Sums()
            for batch_number in range(steps_per_epoch):
                first = batch_number * settings.batch_size
                rows_of_batch = np.sort(order[first:first + settings.batch_size])
                turns = rng.integers(4, size=len(rows_of_batch)) if settings.augment else None
                policy_loss, value_loss, policy_rows = batch_losses(
                    model, *_tensors(data, rows_of_batch, device, turns))
                loss = policy_loss + settings.value_weight * value_loss
                if not torch.isfinite(loss):
                    raise TrainingFailed(
                        f"the loss is not finite at step {step + 1} (policy {policy_loss.detach().item():g}, value "
                        f"{value_loss.detach().item():g}): lower --lr; no checkpoint was written")
                optimizer.zero_grad(set_to_none=True)
                loss.backward()
                optimizer.step()
                step += 1
                sums.add(policy_loss, value_loss, policy_rows, len(rows_of_batch))
                last_of_epoch = batch_number == steps_per_epoch - 1
                if step % settings.log_every == 0 or last_of_epoch:
                    rows.append(_row(step, epoch, "train", *sums.means(), settings, int(sums.rows)))
                    sums = _Sums()
                if bar is not None:
                    bar.set_postfix_str(f"epoch {epoch + 1}/{settings.epochs}, loss {loss.item():.3f}", refresh=False)
                    bar.update(1)
            recalibrate_batch_norm(model, data, settings, rng, device)
            if validation is not None and len(validation):
                policy_value = evaluate(model, validation, settings.batch_size, device)
                rows.append(_row(step, epoch, "validation", *policy_value, settings, len(validation)))
    finally:
        if bar is not None:
            bar.close()
    model.eval()
    return rows


# Batches whose statistics the network's batch norms keep for evaluation.
RECALIBRATION_BATCHES = 64


def recalibrate_batch_norm(model, data, settings: TrainSettings, rng: np.random.Generator, device) -> None:
    """Sets every batch norm's running statistics to their plain average over a sample of training
    batches, seen by the weights as they are now.

    The running averages kept during training mix batches seen by older weights; with the weights
    still moving, that is enough to shift the value head's inputs: a 4 x 32 network trained for one
    pass over 250 000 positions scored a value loss of 1.44 on held-out games with its running
    statistics and 1.28 with recalibrated ones (1.29 in training mode).
    """
    import torch

    norms = [m for m in model.modules() if isinstance(m, torch.nn.modules.batchnorm._BatchNorm)]
    if not norms or not len(data):
        return
    saved = [m.momentum for m in norms]
    for norm in norms:
        norm.reset_running_stats()
        norm.momentum = None  # a cumulative average
    model.train()
    try:
        with torch.no_grad():
            order = rng.permutation(len(data))
            for start in range(0, min(len(data), RECALIBRATION_BATCHES * settings.batch_size), settings.batch_size):
                rows = np.sort(order[start:start + settings.batch_size])
                turns = rng.integers(4, size=len(rows)) if settings.augment else None
                model(_tensors(data, rows, device, turns)[0].float())
    finally:
        for norm, momentum in zip(norms, saved):
            norm.momentum = momentum
        model.eval()


def _row(step, epoch, split, policy_loss, value_loss, settings, count) -> dict:
    policy_part = 0.0 if math.isnan(policy_loss) else policy_loss
    return {
        "step": step,
        "epoch": epoch + 1,
        "split": split,
        "policy_loss": round(float(policy_loss), 6),
        "value_loss": round(float(value_loss), 6),
        "loss": round(float(policy_part + settings.value_weight * value_loss), 6),
        "positions": count,
    }


def write_losses(path: Path, rows: Sequence[dict]) -> None:
    text = io.StringIO(newline="")
    writer = csv.DictWriter(text, LOSS_COLUMNS)
    writer.writeheader()
    writer.writerows(rows)
    with atomic_file(path) as file:
        file.write(text.getvalue().encode())


def read_losses(path: str | Path) -> list[dict]:
    with open(path, newline="") as file:
        return [
            {**row, "step": int(row["step"]), "epoch": int(row["epoch"]), "positions": int(row["positions"]),
             **{k: float(row[k]) for k in ("policy_loss", "value_loss", "loss")}}
            for row in csv.DictReader(file)
        ]


def plot_losses(rows: Sequence[dict], path: Path, title: str = "") -> Path:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure, axes = plt.subplots(1, 2, figsize=(10, 4), dpi=100)
    for axis, key, name in ((axes[0], "policy_loss", "policy"), (axes[1], "value_loss", "value")):
        for split, style in (("train", "-"), ("validation", "o--")):
            chosen = [row for row in rows if row["split"] == split]
            if chosen:
                axis.plot([r["step"] for r in chosen], [r[key] for r in chosen], style, label=split)
        axis.set_title(f"{name} loss (cross-entropy)")
        axis.set_xlabel("training step")
        axis.grid(alpha=0.3)
        axis.legend()
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    try:
        with atomic_file(path) as file:
            figure.savefig(file, format="png")
    finally:
        plt.close(figure)
    return path


def run_train(
    shards,
    out: str | Path,
    settings: TrainSettings | None = None,
    init: str | Path | None = None,
    architecture=None,
    info: dict | None = None,
    log: Callable[[str], None] | None = None,
    extra: Positions | None = None,
) -> TrainResult:
    """Trains on the games of ``shards`` (folders, files or a list of both; may be empty when
    ``extra`` is given) and on the positions ``extra`` (e.g. of random games, see
    ``velmar_pipeline.training.bootstrap``), and writes into ``out``.

    Starts from the checkpoint ``init`` when given (its architecture wins), else from a new
    network of ``architecture``. ``info`` goes into the checkpoint (the loop stores the generation).
    Both sources lose the same share of their games to validation.
    """
    from velmar_pipeline.evaluators import network

    settings = settings or TrainSettings()
    settings.validate()
    log = log or logger.info
    started = time.monotonic()
    records.check_output_folder(out, "the checkpoint")
    out = Path(out)
    device = torch_device(settings.device)
    paths = _shard_list(shards, log)
    extra = extra if extra is not None and len(extra) else None
    if not paths and extra is None:
        raise ValueError(f"no shards in {shards}")
    first_step = 0
    model = None
    if init is not None:  # a bad checkpoint is found before the games are replayed
        model, previous = network.load_checkpoint(init, device)
        check_outputs(model, f"--init {init}", ValueError)
        first_step = int(previous.get("step", 0))
        if settings.policy_targets != "visits" and not model.architecture.policy_head:
            model = network.with_policy_head(model)  # a value network learning priors from here on
    games, targets = _games_with_targets(paths, settings, init, log)
    if not games and extra is None:
        raise ValueError("the shards hold no games")
    training_games, validation_games = split_games(list(range(len(games))), settings.holdout, settings.seed,
                                                   keys=game_keys(games, settings.seed))
    training_parts = [_positions(games, targets, training_games)]
    if settings.value_mix > 0:
        training_parts[0] = with_teacher_values(training_parts[0], settings, init, log)
    validation_parts = [_positions(games, targets, validation_games)] if validation_games else []
    if extra is not None:
        extra_training, extra_validation = split_positions(extra, settings.holdout, settings.seed)
        training_parts.append(extra_training)
        validation_parts += [extra_validation] if extra_validation is not None else []
    training = positions_module.PositionSets(training_parts)
    validation = positions_module.PositionSets(validation_parts) if validation_parts else None
    threads = network.set_threads(settings.threads)
    if model is None:
        model = network.PolicyValueNet(architecture or Architecture()).to(device)
    log(
        f"train: {len(games)} games from {len(paths)} shard(s)"
        + (f" and {len(extra)} other positions" if extra is not None else "")
        + f": {len(training)} positions to train on, "
        f"{len(validation) if validation is not None else 0} held out; {network.parameter_count(model)} parameters"
        f" ({model.architecture.blocks} blocks x {model.architecture.channels} channels"
        + ("" if model.architecture.policy_head else ", value only") + f") on {device}"
        + (f" with {threads} thread(s)" if device.type == "cpu" else "")
    )
    rows = fit(model, training, validation, settings, first_step)
    check_outputs(model, "the trained network", TrainingFailed)
    steps = rows[-1]["step"] - first_step if rows else 0
    measured = held_out_yardstick(model, [games[i] for i in validation_games], log)
    created = not out.exists()
    out.mkdir(parents=True, exist_ok=True)  # only once there is something to write
    try:  # each file appears whole or not at all; the checkpoint, what matters most, first
        checkpoint = network.save_checkpoint(
            out / CHECKPOINT_NAME, model, step=first_step + steps, games=len(games),
            positions=len(training), **(info or {}),
        )
        write_losses(out / LOSSES_NAME, rows)
        if measured is not None:
            with atomic_file(out / YARDSTICK_NAME) as file:
                file.write(json.dumps(measured, indent=2).encode())
        plot_losses(rows, out / PLOT_NAME, title=f"{len(training)} positions, {len(games)} games"
                    + (f" and {len(extra)} other positions" if extra is not None else ""))
    except BaseException:
        if created:  # nothing of this run is left behind
            shutil.rmtree(out, ignore_errors=True)
        raise
    return TrainResult(
        checkpoint, rows, len(games), len(training), len(validation) if validation is not None else 0, steps,
        time.monotonic() - started, measured,
    )


def check_outputs(model, what: str, error: type[Exception]) -> None:
    """``error`` in one line unless ``model`` gives finite outputs on a batch of positions: finite
    weights may still compute NaN (a batch-norm variance below 0)."""
    from velmar_pipeline.evaluators import network
    from velmar_pipeline.evaluators import registry as evaluators
    from velmar_pipeline.evaluators.inference import reference_planes

    try:
        evaluators.checked_outputs(network.NetEvaluator(model), reference_planes(8))
    except ValueError as problem:
        message = str(problem).replace("the evaluator returned", "it computes")
        raise error(f"{what}: {message}; no checkpoint was written") from None


def held_out_yardstick(model, games: list, log) -> dict | None:
    """The trained network's yardstick beside the heuristic's on the held-out games, logged."""
    if not games:
        return None
    from velmar_pipeline.arena import yardstick
    from velmar_pipeline.evaluators import network
    from velmar_pipeline.evaluators import registry

    results = yardstick.compare([("network", network.NetEvaluator(model)),
                                 (yardstick.REFERENCE, registry.make(yardstick.REFERENCE))], games)
    for line in yardstick.lines(results):
        log(f"train: {line}")
    return results


def _positions(games: list, targets: list | None, chosen: list[int]) -> Positions:
    """The positions of ``games[chosen]``, checked against their replay, with the policy targets
    ``targets[chosen]`` in place of the records' own visit shares when given."""
    data = positions_module.collect(games[i] for i in chosen)
    if targets is None:
        return data
    policies = np.concatenate([targets[i] for i in chosen]) if chosen else data.policies
    return dataclasses.replace(data, policies=policies)


def with_teacher_values(data: Positions, settings: TrainSettings, init, log) -> Positions:
    """``data`` with each value target moved ``settings.value_mix`` of the way from the game's final
    payoff to the teacher's predicted payoffs for the position.

    A window of a thousand games holds a thousand outcomes: too few for a value head to learn what a
    teacher's values already say, and noisy where the game is still open. The teacher's values are
    a dense, noiseless signal to learn from; the outcomes keep correcting them.
    """
    from velmar_pipeline.training import lookahead

    name = settings.teacher_values or settings.teacher or (str(init) if init is not None else None)
    if name is None:
        raise ValueError("--value-mix needs a teacher: --teacher-values, --teacher or --init")
    try:
        evaluate = lookahead.make_teacher(lookahead.served_teacher(name))
    except ValueError as error:
        raise ValueError(f"--value-mix: {error}") from None
    started = time.monotonic()
    predicted = np.empty_like(data.values)
    for start in range(0, len(data), lookahead.BATCH):
        rows = np.arange(start, min(start + lookahead.BATCH, len(data)))
        predicted[rows] = np.asarray(evaluate(data.batch(rows)[0].astype(np.float32))[1], np.float32)
    mixed = (1 - settings.value_mix) * data.values + settings.value_mix * predicted
    log(f"train: value targets mixed {settings.value_mix:g} with the payoffs {name} predicts for "
        f"{len(data)} positions in {time.monotonic() - started:.0f} s")
    return dataclasses.replace(data, values=mixed.astype(np.float32))


def lookahead_recipe(settings: TrainSettings, init):
    """The lookahead's recipe of ``settings`` (teachers served as the labelling processes make them)."""
    from velmar_pipeline.training import lookahead

    teacher = settings.teacher or (str(init) if init is not None else None)
    if teacher is None:
        raise ValueError(f"{settings.policy_targets} policy targets need a teacher: --teacher or --init")
    values = settings.teacher_values or teacher
    try:
        served_values = lookahead.served_teacher(values)
        served_priors = lookahead.served_teacher(teacher) if settings.policy_targets == "improved" else None
    except ValueError as error:
        raise ValueError(f"--teacher: {error}") from None
    return lookahead.Recipe(served_values, served_priors, settings.policy_targets, settings.temperature,
                            settings.policy_share)


def _games_with_targets(paths: list[Path], settings: TrainSettings, init, log) -> tuple[list, list | None]:
    """The games of the shards and, with lookahead targets, each game's targets (None: the records'
    visit shares)."""
    if settings.policy_targets == "visits":
        return records.load_games(paths), None
    from velmar_pipeline.training import lookahead

    recipe = lookahead_recipe(settings, init)
    started = time.monotonic()
    per_shard = [(path, records.read_shard(path)) for path in paths]
    games = [game for _, shard_games in per_shard for game in shard_games]
    targets = lookahead.shard_targets(per_shard, recipe, log=log)
    labelled = sum(int((t.sum(axis=1) > 0).sum()) for t in targets)
    log(f"train: {settings.policy_targets} targets of {labelled} positions by {settings.teacher or init}"
        + (f" with the values of {settings.teacher_values}" if settings.teacher_values else "")
        + f" (temperature {settings.temperature:g}) in {time.monotonic() - started:.0f} s")
    return games, targets


def _shard_list(shards, log: Callable[[str], None] | None = None) -> list[Path]:
    """The shard files of ``shards`` (files and folders), each once: a shard named twice (or
    also through its folder) is read once, with a note."""
    if isinstance(shards, (str, Path)):
        shards = [shards]
    paths: list[Path] = []
    seen: set[Path] = set()
    repeated: list[Path] = []
    for item in shards:
        item = Path(item)
        for path in records.shard_paths(item) if item.is_dir() else [item]:
            key = path.resolve()
            if key in seen:
                repeated.append(path)
                continue
            seen.add(key)
            paths.append(path)
    if repeated and log is not None:
        log(f"train: note: {repeated[0]}" + (f" and {len(repeated) - 1} other shard(s)" if len(repeated) > 1 else "")
            + " named more than once; each shard's games are used once")
    return paths


def add_architecture_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("network (a new one; a checkpoint brings its own)")
    group.add_argument("--blocks", type=int, default=DEFAULT_ARCHITECTURE.blocks, help="residual blocks")
    group.add_argument("--channels", type=int, default=DEFAULT_ARCHITECTURE.channels, help="channels of the trunk")
    group.add_argument("--value-only", action="store_true",
                       help="no policy head: logits of 0 (uniform priors), trained on the value loss alone")


def architecture_from(args: argparse.Namespace) -> Architecture:
    architecture = Architecture(blocks=args.blocks, channels=args.channels, policy_head=not args.value_only)
    check_fits_in_memory(architecture, args.batch_size)
    return architecture


def check_fits_in_memory(architecture: Architecture, batch_size: int) -> None:
    """ValueError naming --blocks and --channels when training the network would take more than
    this machine's memory: refused before torch allocates (or loops over) any of it."""
    needed = training_bytes(architecture, batch_size)
    available = _memory_bytes()
    if available is not None and needed > available:
        raise ValueError(f"--blocks {architecture.blocks} --channels {architecture.channels} (with --batch-size "
                         f"{batch_size}) need about {needed / 2**30:.3g} GiB to train, more than this machine's "
                         f"{available / 2**30:.3g} GiB")


def training_bytes(architecture: Architecture, batch_size: int) -> int:
    """A lower bound of what training takes: float32 weights with their gradients and AdamW's two
    moments, and the trunk's activations kept for the backward pass (about three per convolution)."""
    from velmar_rules import CELLS

    a = architecture
    weights = (18 * a.channels**2 * a.blocks + 45 * a.channels
               + a.value_channels * CELLS // a.value_pool**2 * a.value_hidden)
    activations = batch_size * a.channels * CELLS * (6 * a.blocks + 4)
    return 4 * (4 * weights + activations)


def _memory_bytes() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None


def add_train_arguments(parser: argparse.ArgumentParser, **defaults) -> None:
    """The training flags; ``defaults`` replaces a setting's default on this command line."""
    helps = {"teacher": f"{TEACHER_HELP} (default: {defaults['teacher']})"} if "teacher" in defaults else None
    add_flags(parser.add_argument_group("training"), TrainSettings, helps=helps, **defaults)


def train_settings_from(args: argparse.Namespace) -> TrainSettings:
    return settings_from(TrainSettings, args, progress=not args.no_progress)


def add_train(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "train",
        help="fit the policy-value network to record shards",
        description="Replays the games of record shards and fits the policy-value network to the search's "
        "visit shares and the final payoffs. Writes model.pt, losses.csv and loss.png into --out.",
    )
    parser.add_argument("shards", nargs="+", help="shard files or folders of shards")
    parser.add_argument("--out", default="train-out", help="folder for the checkpoint, the loss log and the plot")
    parser.add_argument("--init", default=None, help="checkpoint to start from (default: a new network)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_architecture_arguments(parser)
    add_train_arguments(parser)
    parser.set_defaults(handler=_run_train)


def _run_train(args: argparse.Namespace) -> int:
    # A RuntimeError from torch (an overflow, memory, a device that went away) writes many lines.
    with run_failed(RuntimeError, brief=True), run_failed(TrainingFailed), bad_input(ValueError, OSError):
        require_packages("train", "torch", "matplotlib", *LOOKAHEAD_MODULES[args.policy_targets])
        settings = train_settings_from(args)
        settings.validate()
        architecture = architecture_from(args)
        result = run_train(args.shards, args.out, settings, init=args.init, architecture=architecture)
    print(f"trained {result.steps} steps on {result.train_positions} positions in {result.seconds:.1f} s")
    for split in ("train", "validation"):
        row = result.last(split)
        if row is not None:
            note = " (no policy head or target)" if math.isnan(row["policy_loss"]) else ""
            print(f"last {split} losses: policy {row['policy_loss']:.4f}, value {row['value_loss']:.4f}{note}")
    print(f"checkpoint: {result.checkpoint}")
    return 0
