"""The ``train`` command: fit the policy-value network to self-play records.

Every game of the shards is replayed with ``velmar_rules`` to get the planes of each position.
Losses, per position:

- policy: cross-entropy between the record's visit shares and the softmax of the logits over the
  legal tiles only (the engine never looks at the logits of other cells, so they are not fitted);
- value: cross-entropy between the final payoff in slot order (``positions.slots_from_players``)
  and the softmax of the value logits. A payoff is a distribution over the players (the leaders
  share 1), so its cross-entropy is the natural fit for a softmax output.

A fraction of the games (``--holdout``) is kept out of training and scored after every epoch, so
over-fitting a small window shows in the log. Writes ``model.pt``, ``losses.csv`` (one row per
``--log-every`` steps and one per validation) and ``loss.png`` into ``--out``.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from velmar_pipeline import positions as positions_module
from velmar_pipeline import records
from velmar_pipeline.architecture import DEFAULT as DEFAULT_ARCHITECTURE
from velmar_pipeline.architecture import Architecture
from velmar_pipeline.positions import Positions

CHECKPOINT_NAME = "model.pt"
LOSSES_NAME = "losses.csv"
PLOT_NAME = "loss.png"
LOSS_COLUMNS = ["step", "epoch", "split", "policy_loss", "value_loss", "loss", "positions"]
MASKED_LOGIT = -1.0e4  # finite, so a zero target times its log-probability stays 0 instead of NaN


@dataclass
class TrainSettings:
    epochs: int = 2
    batch_size: int = 256
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    value_weight: float = 1.0
    holdout: float = 0.1  # share of the games kept for validation
    log_every: int = 20
    seed: int | None = 0
    progress: bool = True
    device: str | None = None
    threads: int | None = None  # torch threads on the CPU; None: network.default_threads()

    def validate(self) -> None:
        if self.epochs < 1:
            raise ValueError(f"--epochs must be >= 1, got {self.epochs}")
        if self.batch_size < 1:
            raise ValueError(f"--batch-size must be >= 1, got {self.batch_size}")
        if not self.learning_rate > 0:
            raise ValueError(f"--lr must be > 0, got {self.learning_rate}")
        if not 0 <= self.holdout < 1:
            raise ValueError(f"--holdout must be in [0, 1), got {self.holdout}")
        if self.threads is not None and self.threads < 1:
            raise ValueError(f"--threads must be >= 1, got {self.threads}")
        if self.log_every < 1:
            raise ValueError(f"--log-every must be >= 1, got {self.log_every}")


@dataclass
class TrainResult:
    checkpoint: Path
    rows: list[dict] = field(default_factory=list)
    games: int = 0
    train_positions: int = 0
    validation_positions: int = 0
    steps: int = 0
    seconds: float = 0.0

    def last(self, split: str) -> dict | None:
        found = [row for row in self.rows if row["split"] == split]
        return found[-1] if found else None


def batch_losses(model, planes, policies, values):
    """Mean policy and value losses of one batch (tensors already on the model's device)."""
    from torch.nn import functional as F

    x = planes.float()
    logits, value_logits = model(x)
    legal = x[:, positions_module.LEGAL_PLANE] > 0.5
    log_policy = F.log_softmax(logits.masked_fill(~legal, MASKED_LOGIT), dim=1)
    policy_loss = -(policies * log_policy).sum(dim=1).mean()
    value_loss = -(values * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    return policy_loss, value_loss


def split_games(games: Sequence, holdout: float, seed: int | None) -> tuple[list, list]:
    """(training games, validation games); at least one game trains, validation only with 2+ games."""
    count = len(games)
    held = min(int(round(count * holdout)), count - 1) if count > 1 else 0
    order = np.random.default_rng(seed).permutation(count)
    validation = [games[i] for i in sorted(order[:held])]
    training = [games[i] for i in sorted(order[held:])]
    return training, validation


def _tensors(data: Positions, rows: np.ndarray, device):
    import torch

    return (
        torch.from_numpy(data.planes[rows]).to(device, non_blocking=True),
        torch.from_numpy(data.policies[rows]).to(device, non_blocking=True),
        torch.from_numpy(data.values[rows]).to(device, non_blocking=True),
    )


def evaluate(model, data: Positions, batch_size: int, device) -> tuple[float, float]:
    """Mean policy and value losses over ``data`` (eval mode, no gradients)."""
    import torch

    model.eval()
    policy_sum = value_sum = 0.0
    with torch.inference_mode():
        for start in range(0, len(data), batch_size):
            rows = np.arange(start, min(start + batch_size, len(data)))
            policy_loss, value_loss = batch_losses(model, *_tensors(data, rows, device))
            policy_sum += policy_loss.item() * len(rows)
            value_sum += value_loss.item() * len(rows)
    return policy_sum / len(data), value_sum / len(data)


def fit(
    model,
    data: Positions,
    validation: Positions | None,
    settings: TrainSettings,
    first_step: int = 0,
) -> list[dict]:
    """Trains ``model`` in place for ``settings.epochs`` passes over ``data``; returns the log rows.

    The validation positions are scored before the first step too (epoch 0), so the log shows
    where training started from.
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
            sums = np.zeros(2)
            counted = 0
            for batch_number in range(steps_per_epoch):
                rows_of_batch = np.sort(order[batch_number * settings.batch_size:(batch_number + 1) * settings.batch_size])
                policy_loss, value_loss = batch_losses(model, *_tensors(data, rows_of_batch, device))
                loss = policy_loss + settings.value_weight * value_loss
                optimizer.zero_grad(set_to_none=True)
                loss.backward()
                optimizer.step()
                step += 1
                sums += (policy_loss.item() * len(rows_of_batch), value_loss.item() * len(rows_of_batch))
                counted += len(rows_of_batch)
                last_of_epoch = batch_number == steps_per_epoch - 1
                if step % settings.log_every == 0 or last_of_epoch:
                    rows.append(_row(step, epoch, "train", sums[0] / counted, sums[1] / counted, settings, counted))
                    sums[:] = 0
                    counted = 0
                if bar is not None:
                    bar.set_postfix_str(f"epoch {epoch + 1}/{settings.epochs}, loss {loss.item():.3f}", refresh=False)
                    bar.update(1)
            if validation is not None and len(validation):
                policy_value = evaluate(model, validation, settings.batch_size, device)
                rows.append(_row(step, epoch, "validation", *policy_value, settings, len(validation)))
    finally:
        if bar is not None:
            bar.close()
    model.eval()
    return rows


def _row(step, epoch, split, policy_loss, value_loss, settings, count) -> dict:
    return {
        "step": step,
        "epoch": epoch + 1,
        "split": split,
        "policy_loss": round(float(policy_loss), 6),
        "value_loss": round(float(value_loss), 6),
        "loss": round(float(policy_loss + settings.value_weight * value_loss), 6),
        "positions": count,
    }


def write_losses(path: Path, rows: Sequence[dict]) -> None:
    with open(path, "w", newline="") as file:
        writer = csv.DictWriter(file, LOSS_COLUMNS)
        writer.writeheader()
        writer.writerows(rows)


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
    figure.savefig(path)
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
) -> TrainResult:
    """Trains on the games of ``shards`` (folders, files or a list of both) and writes into ``out``.

    Starts from the checkpoint ``init`` when given (its architecture wins), else from a new
    network of ``architecture``. ``info`` goes into the checkpoint (the loop stores the generation).
    """
    from velmar_pipeline import network

    settings = settings or TrainSettings()
    settings.validate()
    log = log or (lambda text: print(text, file=sys.stderr, flush=True))
    started = time.monotonic()
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = _shard_list(shards)
    if not paths:
        raise ValueError(f"no shards in {shards}")
    games = records.load_games(paths)
    if not games:
        raise ValueError("the shards hold no games")
    training_games, validation_games = split_games(games, settings.holdout, settings.seed)
    training = positions_module.collect(training_games)
    validation = positions_module.collect(validation_games) if validation_games else None
    device = network.torch.device(settings.device) if settings.device else network.default_device()
    threads = network.set_threads(settings.threads)
    first_step = 0
    if init is not None:
        model, previous = network.load_checkpoint(init, device)
        first_step = int(previous.get("step", 0))
    else:
        model = network.PolicyValueNet(architecture or Architecture()).to(device)
    log(
        f"train: {len(games)} games from {len(paths)} shard(s): {len(training)} positions to train on, "
        f"{len(validation) if validation is not None else 0} held out; {network.parameter_count(model)} parameters"
        f" ({model.architecture.blocks} blocks x {model.architecture.channels} channels) on {device}"
        + (f" with {threads} thread(s)" if device.type == "cpu" else "")
    )
    losses_path = out / LOSSES_NAME
    rows = fit(model, training, validation, settings, first_step)
    write_losses(losses_path, rows)
    steps = rows[-1]["step"] - first_step if rows else 0
    checkpoint = network.save_checkpoint(
        out / CHECKPOINT_NAME, model, step=first_step + steps, games=len(games),
        positions=len(training), **(info or {}),
    )
    plot_losses(rows, out / PLOT_NAME, title=f"{len(training)} positions, {len(games)} games")
    return TrainResult(
        checkpoint, rows, len(games), len(training), len(validation) if validation is not None else 0, steps,
        time.monotonic() - started,
    )


def _shard_list(shards) -> list[Path]:
    if isinstance(shards, (str, Path)):
        shards = [shards]
    paths: list[Path] = []
    for item in shards:
        item = Path(item)
        paths.extend(records.shard_paths(item) if item.is_dir() else [item])
    return paths


def add_architecture_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("network (a new one; a checkpoint brings its own)")
    group.add_argument("--blocks", type=int, default=DEFAULT_ARCHITECTURE.blocks, help="residual blocks")
    group.add_argument("--channels", type=int, default=DEFAULT_ARCHITECTURE.channels, help="channels of the trunk")


def add_train_arguments(parser: argparse.ArgumentParser, epochs: int | None = None) -> None:
    d = TrainSettings()
    group = parser.add_argument_group("training")
    group.add_argument("--epochs", type=int, default=epochs or d.epochs, help="passes over the positions")
    group.add_argument("--batch-size", type=int, default=d.batch_size, help="positions per step")
    group.add_argument("--lr", type=float, default=d.learning_rate, help="AdamW learning rate")
    group.add_argument("--weight-decay", type=float, default=d.weight_decay, help="AdamW weight decay")
    group.add_argument("--value-weight", type=float, default=d.value_weight, help="weight of the value loss")
    group.add_argument("--holdout", type=float, default=d.holdout, help="share of the games kept for validation")
    group.add_argument("--log-every", type=int, default=d.log_every, help="steps per row of losses.csv")
    group.add_argument("--train-seed", type=int, default=d.seed, help="seed of the split, the order and the init")
    group.add_argument("--device", default=None, help="torch device (default: cuda when available, else cpu)")
    group.add_argument("--threads", type=int, default=None, help="torch threads (default: the cores but one)")


def settings_from(args: argparse.Namespace) -> TrainSettings:
    return TrainSettings(
        epochs=args.epochs, batch_size=args.batch_size, learning_rate=args.lr, weight_decay=args.weight_decay,
        value_weight=args.value_weight, holdout=args.holdout, log_every=args.log_every, seed=args.train_seed,
        progress=not args.no_progress, device=args.device, threads=args.threads,
    )


def add_train(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "train",
        help="fit the policy-value network to record shards",
        description="Replays the games of record shards and fits the policy-value network to the search's "
        "visit shares and the final payoffs. Writes model.pt, losses.csv and loss.png into --out.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("shards", nargs="+", help="shard files or folders of shards")
    parser.add_argument("--out", default="train-out", help="folder for the checkpoint, the loss log and the plot")
    parser.add_argument("--init", default=None, help="checkpoint to start from (default: a new network)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_architecture_arguments(parser)
    add_train_arguments(parser)
    parser.set_defaults(handler=_run_train)


def _run_train(args: argparse.Namespace) -> int:
    try:
        settings = settings_from(args)
        settings.validate()
        architecture = Architecture(blocks=args.blocks, channels=args.channels)
        result = run_train(args.shards, args.out, settings, init=args.init, architecture=architecture)
    except (ValueError, FileNotFoundError) as error:
        print(f"velmar-pipeline train: error: {error}", file=sys.stderr)
        return 2
    print(f"trained {result.steps} steps on {result.train_positions} positions in {result.seconds:.1f} s")
    for split in ("train", "validation"):
        row = result.last(split)
        if row is not None:
            print(f"last {split} losses: policy {row['policy_loss']:.4f}, value {row['value_loss']:.4f}")
    print(f"checkpoint: {result.checkpoint}")
    return 0
