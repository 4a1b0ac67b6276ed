"""The settings of a self-play run (``Options``), checked before any process starts."""

from __future__ import annotations

import os
from dataclasses import dataclass

from velmar_pipeline.errors import setting
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.selfplay import service
from velmar_pipeline.selfplay.config import VALUE_OFFSET, ConfigError, validate_value_offset

# Longer waits than these are typing errors, and past them the waiting calls overflow.
MAX_REPLY_TIMEOUT_S = 1e6
MAX_WAIT_MS = 60_000.0


@dataclass
class Options:
    games: int = setting(8, help="games to play")
    workers: int = setting(factory=lambda: os.cpu_count() or 1, type=int,
                           help="worker processes, at most --games (default: the core count)")
    # Games in flight per worker: the search runs without the interpreter lock.
    threads_per_worker: int = setting(8, help="games played at once in each worker")
    batch_size: int | None = setting(None, type=int, help="most requests per evaluation (default: workers x threads)")
    # None: gather for a tenth of the last evaluation's time (a cheap evaluator never waits, a
    # network's batches fill); a number: at most that long.
    max_wait_ms: float | None = setting(
        None, type=float, help="longest wait for a batch to fill after its first request (0: evaluate whatever "
        "has arrived; default: a tenth of the last evaluation's time, so that cheap evaluators never wait and a "
        "network's batches fill)")
    evaluator: str = setting("uniform", help=f"evaluator: {', '.join(evaluators.names())}, or module:factory")
    seed: int | None = setting(None, type=int, help="seed of the random evaluator")
    out: str = setting("selfplay-out", help="folder for the shards and the worker logs")
    games_per_shard: int = setting(64, help="games per shard file")
    reply_timeout: float = setting(120.0, help="seconds a worker waits for one reply before giving up")
    progress: bool = True
    play: str = "velmar_self_play:generate_game_data"
    write_records: bool = True
    value_offset: float = VALUE_OFFSET
    floor: bool = False  # benchmarks only: measure the OS floor of this topology (velmar_pipeline.selfplay.floor)

    def validate(self) -> None:
        validate_value_offset(self.value_offset)
        if self.games < 1:
            raise ConfigError(f"--games must be >= 1, got {self.games}")
        if self.workers < 1:
            raise ConfigError(f"--workers must be >= 1, got {self.workers}")
        if self.threads_per_worker < 1:
            raise ConfigError(f"--threads-per-worker must be >= 1, got {self.threads_per_worker}")
        if self.workers * self.threads_per_worker > service.MAX_SLOTS:
            raise ConfigError(f"at most {service.MAX_SLOTS} games in flight (workers x threads)")
        if self.batch_size is not None and self.batch_size < 1:
            raise ConfigError(f"--batch-size must be >= 1, got {self.batch_size}")
        in_flight = self.workers * self.threads_per_worker
        if self.batch_size is not None and self.batch_size > in_flight:  # its buffers alone could exhaust memory
            raise ConfigError(f"--batch-size {self.batch_size} is more than the games in flight (workers x threads "
                              f"per worker = {in_flight}), which no batch can exceed; use at most {in_flight}")
        if self.max_wait_ms is not None and not 0 <= self.max_wait_ms <= MAX_WAIT_MS:
            raise ConfigError(f"--max-wait-ms must be in [0, {MAX_WAIT_MS:g}], got {self.max_wait_ms}")
        if self.games_per_shard < 1:
            raise ConfigError(f"--games-per-shard must be >= 1, got {self.games_per_shard}")
        if not 0 < self.reply_timeout <= MAX_REPLY_TIMEOUT_S:
            raise ConfigError(f"--reply-timeout must be in (0, {MAX_REPLY_TIMEOUT_S:g}] seconds, "
                              f"got {self.reply_timeout}")
        if self.seed is not None and not 0 <= self.seed < 2**63:
            raise ConfigError(f"--seed must be in [0, 2**63), got {self.seed}")
        try:
            evaluators.resolve(self.evaluator)
        except ValueError as error:
            raise ConfigError(str(error)) from None
