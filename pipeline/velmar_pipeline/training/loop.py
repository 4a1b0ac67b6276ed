"""The ``loop`` command: generations of self-play and training, resumable from the disk.

Layout of the loop folder:

    loop.json              the settings of the first run, and every later change of them with the
                           generation it applies from (flags of later runs win)
    gatekeeper.json        the best player so far and every duel's decision
    init.pt                a copy of --init, the first best player, when given
    gen-0000/              generation 0
        shard-*.npz        its self-play games (worker-*.log beside them)
        shard-*.lookahead-*.npz  the policy targets of a shard's games, cached
        bootstrap.npz      instead of them with --bootstrap-games: positions of random games
        model.pt           the network trained after it: its presence marks the generation done
        losses.csv, loss.png
    gen-0001/ ...

The best player starts as the first teacher (``--teacher``, the hand-made ``heuristic`` by
default) or the ``--init`` network. Generation g plays ``--games`` games (generation 0:
``--first-games``) with the best player, then trains a network on the games of the last
``--window`` generations, on from the best network (or, while the best player is no network of
the loop, the previous generation's), and writes ``gen-g/model.pt``. Its values fit the games'
outcomes; its priors fit the best player's priors improved by a one-tile lookahead on the best
player's values (``velmar_pipeline.training.lookahead``). The new network meets the best player
head to head (``--gate-games``) and replaces it only by a measured win. Shards and checkpoints
are written atomically, so after an interruption the loop resumes at the first generation
without a checkpoint (or without its duel), playing only the games its folder still lacks. A
folder that holds only the small state (``loop.json``, ``gatekeeper.json``, the checkpoints, as
committed for a long run) resumes too: the records that are missing from a window are left out
of its training, and a generation whose checkpoint exists is never replayed.

With ``--bootstrap-games N`` generation 0 plays no self-play at all: it trains on
``--bootstrap-positions`` positions of each of N uniform-random games (``velmar_pipeline.training.bootstrap``;
value targets only) for ``--bootstrap-epochs``. A search with ``uniform`` sees only finished games
and its records teach little; random games' outcomes teach a value network enough to steer the
next generation's search. Later generations train on their window's self-play positions plus a
fresh random draw of ``--bootstrap-mix`` bootstrap positions per self-play position: a window
holds a few hundred games, whose outcomes a value network learns by heart and would forget the
thousands of outcomes it started from, so the random games stay in the mix as a replay buffer.
"""

from __future__ import annotations

import argparse
import functools
import json
import logging
import math
import os
import re
import signal
import sys
import time
from dataclasses import asdict, dataclass, replace
from pathlib import Path

import numpy as np

from velmar_pipeline.errors import require as require_packages
from velmar_pipeline.training import bootstrap
from velmar_pipeline.evaluators import registry as evaluators
from velmar_pipeline.arena import gatekeeper
from velmar_pipeline.evaluators import serving
from velmar_pipeline.records import shards as records
from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.records.atomic import atomic_file, is_existing_file, write_json
from velmar_pipeline.records.folder_lock import FolderLock
from velmar_pipeline.selfplay.config import (
    VALUE_OFFSET, ConfigError, SearchConfig, add_inference_argument, add_search_arguments, match_settings,
    search_from, validate_value_offset,
)
from velmar_pipeline.errors import (
    ClusterError, ModelError, add_flags, bad_input, like, one_line, run_failed, setting, settings_from,
)
from velmar_pipeline.selfplay.options import Options
from velmar_pipeline.records.positions import Positions
from velmar_pipeline.training.train import (
    CHECKPOINT_NAME, TrainSettings, add_architecture_arguments, add_train_arguments,
)
from velmar_pipeline.selfplay.process import stop_signals_to_catch

logger = logging.getLogger(__name__)

GENERATION_PATTERN = re.compile(r"^gen-(\d{4,})$")
LOOP_EPOCHS = 1
# The first best player, whose games generation 0 learns from and whose priors it is taught:
# hand-made, it plays thousands of games in minutes with no network to serve.
FIRST_TEACHER = "heuristic"
# The loop's policy targets: the best player's priors improved by the lookahead on its values,
# for a quarter of the positions (a lookahead costs one evaluation per legal tile).
POLICY_TARGETS = "improved"
POLICY_SHARE = 0.25


@dataclass
class LoopSettings:
    generations: int = setting(3, help="generations in all")
    games: int = setting(16, help="self-play games per generation")
    window: int = setting(2, help="train on the games of this many latest generations")
    workers: int = setting(factory=lambda: os.cpu_count() or 1, type=int,
                           help="self-play worker processes (default: the cores)")
    # Games in flight per worker, as for selfplay: batches for a network served by torch.
    threads_per_worker: int = like(Options, "threads_per_worker")
    games_per_shard: int = like(Options, "games_per_shard")
    init: str | None = setting(None, help="checkpoint of the first best player: generation 0 plays and trains on "
                               "from it, and must beat it to replace it (instead of --teacher)")
    value_offset: float = VALUE_OFFSET
    # 0: generation 0 plays self-play with the first teacher (or --init).
    bootstrap_games: int = setting(
        0, help="train generation 0 on this many uniform-random games instead of self-play (0: off)")
    bootstrap_positions: int = setting(10, help="positions drawn from each random game")
    bootstrap_epochs: int = setting(1, help="passes over the random games' positions in generation 0")
    bootstrap_mix: float = setting(
        1.0, help="later generations also train on this many random-game positions per self-play position")
    bootstrap_seed: int = setting(0, help="seed of the random games")
    # Self-play on this Ray cluster (velmar_pipeline.selfplay.cluster); training stays here.
    cluster: str | None = setting(None, metavar="ADDRESS",
                                  help="self-play on a Ray cluster (HOST:PORT, auto or local, as for selfplay; "
                                  "--workers then counts per node); training stays on this machine")
    workers_per_node: int | None = None  # with cluster: None is one per CPU of each node
    inference: str = "auto"  # how self-play runs each generation's network (inference.BACKENDS)
    first_games: int = setting(
        0, help="self-play games of generation 0, played by the first best player (0: --games)")
    gate_games: int = setting(128, help="games with search of each new network against the best one; it becomes "
                              "the best only when it wins (0: every generation becomes the best)")
    gate_z: float = setting(gatekeeper.Z_PROMOTE, help="standard errors by which a new network's score must clear "
                            "0.25 to be promoted")
    # Duels at match settings (no root noise, no opening draws): they measure strength, and the
    # engine's own draws keep their games apart (46 and 47 distinct games in 48, match and self-play).
    gate_match: bool = setting(True, action=argparse.BooleanOptionalAction,
                               help="duels at match settings (no root noise, no opening draws), not self-play's")
    priors_games: int = setting(
        32, help="games of each new network against itself without priors, to measure them (0: none)")

    def validate(self) -> None:
        validate_value_offset(self.value_offset)
        for name in ("generations", "games", "window", "workers", "threads_per_worker", "games_per_shard",
                     "bootstrap_positions", "bootstrap_epochs"):
            if getattr(self, name) < 1:
                raise ConfigError(f"--{name.replace('_', '-')} must be >= 1, got {getattr(self, name)}")
        if self.bootstrap_games < 0:
            raise ConfigError(f"--bootstrap-games must be >= 0, got {self.bootstrap_games}")
        if not self.bootstrap_mix >= 0:
            raise ConfigError(f"--bootstrap-mix must be >= 0, got {self.bootstrap_mix}")
        if self.gate_games < 0 or self.priors_games < 0:
            raise ConfigError("--gate-games and --priors-games must be >= 0")
        if self.gate_games == 1 or self.priors_games == 1:
            raise ConfigError("a duel needs 2 games or more (0: none)")
        if not math.isfinite(self.gate_z):
            raise ConfigError("--gate-z must be a finite number")
        if self.first_games < 0:
            raise ConfigError(f"--first-games must be >= 0, got {self.first_games}")
        if self.init is not None:
            check_init(self.init)


def check_init(path: str) -> None:
    """ConfigError in one line unless ``path`` is a checkpoint that loads and evaluates a position
    (as selfplay tries its evaluator before any process starts)."""
    if not is_existing_file(path, "--init"):
        raise ConfigError(f"no checkpoint at {path!r}")
    found = os.stat(path)
    _tried_checkpoint(path, found.st_size, found.st_mtime_ns)


@functools.lru_cache(maxsize=4)
def _tried_checkpoint(path: str, size: int, mtime_ns: int) -> None:
    # Once per file as it is: the command checks --init before its work, run_loop again for its
    # other callers. A failure is raised, not cached.
    from velmar_pipeline.evaluators import network

    try:
        evaluators.checked_outputs(network.NetEvaluator.load(path, "cpu"), evaluators.probe_planes())
    except Exception as error:
        raise ConfigError(f"--init {path!r} cannot be used: {one_line(error)}") from None


@dataclass
class GenerationReport:
    generation: int
    games_played: int
    selfplay_seconds: float
    requests_per_s: float
    train_seconds: float
    last_losses: dict | None
    random_positions: int = 0  # generation 0 with --bootstrap-games: the positions of random games
    decision: gatekeeper.Decision | None = None  # the gatekeeper's, for generations after 0


def generation_folder(root: Path, generation: int) -> Path:
    return root / f"gen-{generation:04d}"


def done_generations(root: Path) -> list[int]:
    """Generations whose checkpoint exists, in order."""
    found = []
    if root.is_dir():
        for path in root.iterdir():
            match = GENERATION_PATTERN.match(path.name)
            if match and (path / CHECKPOINT_NAME).is_file():
                found.append(int(match.group(1)))
    return sorted(found)


def latest_checkpoint(root: str | Path) -> Path | None:
    done = done_generations(Path(root))
    return generation_folder(Path(root), done[-1]) / CHECKPOINT_NAME if done else None


def games_in(folder: Path) -> int:
    """Games already written to the shards of ``folder`` (their payoff arrays only, nothing replayed)."""
    total = 0
    for path in records.shard_paths(folder):
        with np.load(path, allow_pickle=False) as data:
            total += len(data["payoffs"])
    return total


def bootstrap_positions(folder: Path, loop: LoopSettings, log) -> Positions:
    """Generation 0's random-game positions: read from ``folder`` when there, else played and saved."""
    path = folder / bootstrap.FILE_NAME
    if path.is_file():
        data, metadata = bootstrap.load(path)
        if (metadata.get("games"), metadata.get("positions_per_game")) != (loop.bootstrap_games,
                                                                            loop.bootstrap_positions):
            log(f"loop: {path} holds {metadata.get('games')} games x {metadata.get('positions_per_game')} "
                f"positions, not the {loop.bootstrap_games} x {loop.bootstrap_positions} asked for: using it as it is")
        return data
    log(f"loop: generation 0: {loop.bootstrap_games} random games, {loop.bootstrap_positions} positions from each, "
        f"on {loop.workers} process(es)")
    started = time.monotonic()
    data = bootstrap.random_positions(loop.bootstrap_games, loop.bootstrap_positions, loop.bootstrap_seed,
                                      loop.workers)
    seconds = time.monotonic() - started
    folder.mkdir(parents=True, exist_ok=True)
    bootstrap.save(path, data, {"games": loop.bootstrap_games, "positions_per_game": loop.bootstrap_positions,
                                "seed": loop.bootstrap_seed, "seconds": seconds})
    log(f"  {len(data)} positions in {seconds:.1f} s ({loop.bootstrap_games / seconds:.0f} games/s)")
    return data


def run_loop(
    root: str | Path,
    loop: LoopSettings,
    search: SearchConfig,
    training: TrainSettings,
    architecture: Architecture,
    log=None,
) -> tuple[list[GenerationReport], int | None]:
    """Runs the generations still missing; returns their reports and the signal that interrupted
    the self-play of a generation (None when it was not)."""

    loop.validate()
    training.validate()
    log = log or logger.info
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    done = set(done_generations(root))
    pending = [generation for generation in range(loop.generations) if generation not in done]
    record_settings(root, {"loop": asdict(loop), "search": search.as_dict(), "training": asdict(training),
                           "architecture": architecture.as_dict()}, pending[0] if pending else None, log)
    reports: list[GenerationReport] = []
    # Connected once for every generation: starting or joining a cluster takes seconds.
    selfplay = ClusterSelfplay(loop) if loop.cluster else None
    try:
        return _generations(root, loop, search, training, architecture, log, reports, done, selfplay)
    finally:
        if selfplay is not None:
            selfplay.close()


SETTINGS_NAME = "loop.json"
# How a run is carried out, not what it computes: these may differ from run to run unrecorded.
RUN_ONLY_SETTINGS = {"loop.generations", "loop.workers", "loop.threads_per_worker", "loop.games_per_shard",
                     "loop.cluster", "loop.workers_per_node", "training.progress", "training.device",
                     "training.threads", "training.log_every"}


def _flat(settings: dict) -> dict:
    """{"section.name": value} of the settings, as JSON gives them back."""
    return {f"{section}.{name}": value for section, values in json.loads(json.dumps(settings)).items()
            for name, value in values.items()}


def record_settings(root: Path, settings: dict, generation: int | None, log) -> dict:
    """Writes the settings to ``root/loop.json`` on the first run. On a later run that has
    ``generation`` still to make, settings that differ from the ones in force (those of the first
    run with every recorded change) are named in the log and recorded with the generation they
    apply from. Returns the changes, {"section.name": [before, now]}."""
    path = root / SETTINGS_NAME
    if not path.exists():
        write_json(path, {**settings, "created": time.time(), "changes": []})
        return {}
    try:
        stored = json.loads(path.read_text())
        in_force = _flat({key: stored[key] for key in settings})
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise ValueError(f"{path} is not the settings file of a loop ({one_line(error)})") from None
    for change in stored.get("changes", []):
        in_force.update({key: values[1] for key, values in change["changed"].items()})
    now = _flat(settings)
    changed = {key: [in_force.get(key), value] for key, value in now.items()
               if key not in RUN_ONLY_SETTINGS and in_force.get(key) != value}
    if changed and generation is not None:
        log(f"loop: settings differ from {path}: "
            + ", ".join(f"{key.split('.', 1)[1]} {before!r} -> {value!r}" for key, (before, value) in changed.items())
            + f"; they apply from generation {generation} and are recorded there")
        stored.setdefault("changes", []).append({"generation": generation, "time": time.time(), "changed": changed})
        write_json(path, stored)
    return changed if generation is not None else {}


class ClusterSelfplay:
    """The self-play of every generation on one cluster connection; the checkpoint of the
    generation travels to the nodes through the object store."""

    def __init__(self, loop: LoopSettings):
        self.loop = loop
        self.connection = None

    def __call__(self, search: SearchConfig, options):
        from velmar_pipeline.selfplay import cluster

        if self.connection is None:
            self.connection = cluster.Connection(self.loop.cluster)
        return cluster.ClusterRun(search, options, self.connection, self.loop.workers_per_node).run()

    def close(self) -> None:
        if self.connection is not None:
            self.connection.close()


def _generations(root, loop, search, training, architecture, log, reports, done, selfplay):
    from velmar_pipeline.selfplay.command import Options, run_selfplay
    from velmar_pipeline.training.train import run_train

    ledger = gatekeeper.Ledger.load(root)
    _crown_first(root, ledger, loop, training, done)
    random_games: Positions | None = None  # loaded once, for generation 0 and the later mixes
    for generation in range(loop.generations):
        folder = generation_folder(root, generation)
        if generation in done:
            if _undecided(root, ledger, loop, generation):  # stopped between training and duel
                reports.append(GenerationReport(generation, 0, 0.0, 0.0, 0.0, None))
                _decide(root, generation, ledger, loop, search, log, reports[-1])
            continue
        previous = generation_folder(root, generation - 1) / CHECKPOINT_NAME if generation > 0 else None
        if previous is not None and not previous.is_file():
            raise RuntimeError(f"generation {generation - 1} has no checkpoint ({previous}); cannot go on")
        player = _best_player(root, ledger, loop, training, generation)
        best = _best_file(root, player)
        start = best or previous  # a loop network to train on from; None: a new network
        teacher = str(best) if best is not None else player
        settings = replace(training, seed=None if training.seed is None else training.seed + generation,
                           teacher=teacher, teacher_values=None if best is not None else training.teacher_values)
        bootstrap_file = generation_folder(root, 0) / bootstrap.FILE_NAME
        if generation == 0 and loop.bootstrap_games:
            started = time.monotonic()
            random_games = bootstrap_positions(folder, loop, log)
            selfplay_seconds = time.monotonic() - started
            log(f"loop: generation 0: training on {len(random_games)} positions of random games")
            result = run_train([], folder, replace(settings, epochs=loop.bootstrap_epochs, policy_targets="visits"),
                               init=start, architecture=architecture, info={"generation": 0}, log=log,
                               extra=random_games)
            last = result.last("validation") or result.last("train")
            reports.append(GenerationReport(0, 0, selfplay_seconds, 0.0, result.seconds, last, len(random_games)))
            log(f"loop: generation 0 done in {selfplay_seconds + result.seconds:.0f} s"
                + (f" (value loss {last['value_loss']:.3f})" if last else ""))
            _decide(root, generation, ledger, loop, search, log, reports[-1])
            continue
        evaluator = serving.served_evaluator(f"net:{best}", loop.inference) if best is not None else player
        wanted = loop.first_games if generation == 0 and loop.first_games else loop.games
        have = games_in(folder)
        missing = wanted - have
        started = time.monotonic()
        requests_per_s = 0.0
        if missing > 0:
            log(f"loop: generation {generation}: {missing} self-play games with {evaluator}"
                + (f" ({have} already on disk)" if have else ""))
            options = Options(
                games=missing, workers=min(loop.workers, missing), threads_per_worker=loop.threads_per_worker,
                evaluator=evaluator, out=str(folder), games_per_shard=loop.games_per_shard,
                progress=training.progress, value_offset=loop.value_offset,
            )
            summary = (selfplay or run_selfplay)(search, options)
            requests_per_s = summary.requests_per_s
            for line in summary.lines():
                log(f"  {line}")
            if summary.interrupted:
                return reports, summary.stop_signal or signal.SIGINT
            if summary.games < missing:
                raise RuntimeError(f"generation {generation}: only {summary.games} of {missing} games were played")
        selfplay_seconds = time.monotonic() - started
        window = [generation_folder(root, g) for g in range(max(0, generation - loop.window + 1), generation + 1)]
        lacking = [folder.name for folder in window[:-1]
                   if not records.shard_paths(folder) and not (folder / bootstrap.FILE_NAME).is_file()]
        if lacking:  # a run resumed from its small state alone: the records were not kept
            log(f"loop: note: {', '.join(lacking)} hold no shards; generation {generation} trains without them")
        extra = None
        if loop.bootstrap_mix > 0 and bootstrap_file.is_file():
            if random_games is None:
                random_games, _ = bootstrap.load(bootstrap_file)
            extra = mixed_in(random_games, loop.bootstrap_mix * tiles_in(window), settings.seed)
        log(f"loop: generation {generation}: training on gen {window[0].name[4:]}..{window[-1].name[4:]}"
            + (f" and {len(extra)} positions of random games" if extra is not None else "")
            + (f", priors from {teacher} ({settings.policy_targets})" if settings.policy_targets != "visits" else ""))
        result = run_train(window, folder, settings, init=start, architecture=architecture,
                           info={"generation": generation}, log=log, extra=extra)
        last = result.last("validation") or result.last("train")
        reports.append(GenerationReport(generation, max(missing, 0), selfplay_seconds, requests_per_s,
                                        result.seconds, last))
        log(f"loop: generation {generation} done in {selfplay_seconds + result.seconds:.0f} s"
            + (f" (losses: policy {last['policy_loss']:.3f}, value {last['value_loss']:.3f})" if last else ""))
        _decide(root, generation, ledger, loop, search, log, reports[-1])
    return reports, None


INIT_NAME = "init.pt"


def _crown_first(root: Path, ledger: gatekeeper.Ledger, loop: LoopSettings, training: TrainSettings,
                 done: set[int]) -> None:
    """The first best player, before any generation: a copy of --init in the loop's folder, else
    the first teacher (an evaluator name such as ``heuristic``). A folder whose generations ran
    without a ledger starts from its latest network."""
    if loop.init is not None and not (root / INIT_NAME).is_file():
        with atomic_file(root / INIT_NAME) as file:
            file.write(Path(loop.init).read_bytes())
    if ledger.best is not None or not loop.gate_games:
        return
    if done:
        ledger.crown(str(Path(generation_folder(root, max(done)).name) / CHECKPOINT_NAME))
    else:
        ledger.crown(_first_best(loop, training))


def _first_best(loop: LoopSettings, training: TrainSettings) -> str:
    return INIT_NAME if loop.init is not None else training.teacher or FIRST_TEACHER


def _best_player(root: Path, ledger: gatekeeper.Ledger, loop: LoopSettings, training: TrainSettings,
                 generation: int) -> str:
    """The best player: the gatekeeper's, or without one (--gate-games 0) the previous generation's
    network. A network of the loop is named by its path in the loop's folder."""
    if loop.gate_games:
        return ledger.best
    if generation > 0:
        return str(Path(generation_folder(root, generation - 1).name) / CHECKPOINT_NAME)
    return _first_best(loop, training)


def _best_file(root: Path, best: str) -> Path | None:
    """The best player's checkpoint when it is a network; None when it is an evaluator."""
    path = root / best
    return path if best.endswith(".pt") and path.is_file() else None


def _undecided(root: Path, ledger: gatekeeper.Ledger, loop: LoopSettings, generation: int) -> bool:
    candidate = str(Path(generation_folder(root, generation).name) / CHECKPOINT_NAME)
    return loop.gate_games > 0 and ledger.decided(generation) is None and ledger.best != candidate


def _decide(root: Path, generation: int, ledger: gatekeeper.Ledger, loop: LoopSettings, search: SearchConfig, log,
            report: GenerationReport) -> None:
    """The gatekeeper's duel; without one (--gate-games 0) the next generation takes the new network."""
    if loop.gate_games:
        _gate(root, generation, ledger, loop, search, log, report)


def _gate(root: Path, generation: int, ledger: gatekeeper.Ledger, loop: LoopSettings, search: SearchConfig, log,
          report: GenerationReport) -> None:
    """The candidate of ``generation`` against the best player, with search; the decision recorded."""
    from velmar_pipeline.arena.arena import make_player

    candidate = Path(generation_folder(root, generation).name) / CHECKPOINT_NAME
    best = ledger.best
    best_path = root / best
    opponent = str(best_path) if best_path.is_file() else best
    players = [make_player(name, backend=loop.inference) for name in (str(root / candidate), opponent)]
    log(f"loop: generation {generation}: {loop.gate_games} games against the best player, {best}")
    if loop.gate_match:
        search = match_settings(search)
    result = gatekeeper.duel(players[0], players[1], loop.gate_games, search, loop.value_offset)
    priors = None
    if loop.priors_games:
        priors = gatekeeper.duel(players[0], gatekeeper.without_priors(players[0]), loop.priors_games, search,
                                 loop.value_offset).as_dict()
    decision = gatekeeper.Decision(generation, str(candidate), str(best), result.as_dict(),
                                   gatekeeper.promotes(result, loop.gate_z), loop.gate_z, priors)
    ledger.record(decision)
    report.decision = decision
    log(f"loop: generation {generation} scores {result.score:.3f} [{result.low:.3f}, {result.high:.3f}] per seat "
        f"against {best}: " + ("promoted" if decision.promoted else f"not promoted; {ledger.best} stays the best")
        + ("" if priors is None else f"; with its priors against without them {priors['score']:.3f} "
           f"[{priors['low']:.3f}, {priors['high']:.3f}]"))


def tiles_in(folders: list[Path]) -> int:
    """Positions of the self-play games in ``folders`` (the shards' offsets only)."""
    total = 0
    for folder in folders:
        for path in records.shard_paths(folder):
            with np.load(path, allow_pickle=False) as data:
                total += int(data["offsets"][-1])
    return total


def mixed_in(data: Positions, count: float, seed: int | None) -> Positions | None:
    """A random draw of ``count`` positions of ``data`` (all of them when it holds fewer)."""
    count = min(int(round(count)), len(data))
    if count <= 0:
        return None
    if count == len(data):
        return data
    return data.subset(np.sort(np.random.default_rng(seed).choice(len(data), size=count, replace=False)))


def add_loop(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "loop",
        help="generations of self-play and training (resumable)",
        description="Plays self-play games with the best player so far (at first --teacher, the heuristic, or "
        "--init), trains a network on the last few generations' games (values on outcomes, priors on the best "
        "player's priors improved by its one-tile lookahead), keeps the new network only if it beats the best "
        "player head to head, and repeats. Run it again with the same --dir to resume after an "
        "interruption, or with a larger --generations to go on.",
    )
    parser.add_argument("--dir", default="loop-out", help="folder of the generations")
    add_flags(parser, LoopSettings, names=["generations", "games", "window", "workers", "threads_per_worker",
                                           "games_per_shard", "init", "first_games"])
    add_flags(parser.add_argument_group("generation 0 from random games"), LoopSettings, names=[
        "bootstrap_games", "bootstrap_positions", "bootstrap_epochs", "bootstrap_mix", "bootstrap_seed"])
    parser.add_argument("--no-progress", action="store_true", help="no progress bars")
    add_flags(parser, LoopSettings, names=["cluster"])
    add_inference_argument(parser)
    add_flags(parser.add_argument_group("gatekeeper"), LoopSettings,
              names=["gate_games", "gate_z", "gate_match", "priors_games"])
    add_search_arguments(parser, "search settings (as for selfplay)")
    add_architecture_arguments(parser)
    # Each generation trains the previous network again on a window that overlaps the last one,
    # so a single pass: a second one over a few dozen games mostly memorises their outcomes.
    add_train_arguments(parser, epochs=LOOP_EPOCHS, policy_targets=POLICY_TARGETS, policy_share=POLICY_SHARE,
                        teacher=FIRST_TEACHER)
    parser.set_defaults(handler=_run_loop)


def _run_loop(args: argparse.Namespace) -> int:
    from velmar_pipeline.training.train import architecture_from, train_settings_from

    with bad_input(ValueError, OSError):  # ConfigError and FolderBusy are ValueErrors
        serving_onnx = args.policy_targets == "lookahead" or args.inference != "torch"
        require_packages("loop", "torch", "matplotlib", *(("onnx", "onnxruntime") if serving_onnx else ()))
        search = search_from(args)
        loop = settings_from(LoopSettings, args, value_offset=args.value_offset,
                             workers_per_node=args.workers if args.cluster else None, inference=args.inference)
        training = train_settings_from(args)
        training.validate()
        architecture = architecture_from(args)
        records.check_output_folder(args.dir, "the generations")
        gatekeeper.Ledger.load(args.dir)  # a ledger that contradicts itself is refused before any work
        loop.validate()  # last: it loads and tries --init
        lock = FolderLock(args.dir, "loop")  # two loops in one folder would write the same generations
    done = done_generations(Path(args.dir))
    print(f"loop: {args.dir}: generations done {done or 'none'}, going to {loop.generations}", flush=True)
    stopped_by = []

    def on_stop_signal(signum, frame) -> None:  # SIGTERM and SIGHUP end training as Ctrl-C does
        stopped_by.append(signum)
        raise KeyboardInterrupt

    # Not a signal ignored from the start (SIGHUP under nohup): that one stays ignored.
    previous = {number: signal.signal(number, on_stop_signal) for number in stop_signals_to_catch()
                if number != signal.SIGINT}
    try:
        # A generation that lost games, or bad records, is a failed run; a cluster or model that
        # cannot be used is input.
        with run_failed(RuntimeError, ValueError, OSError), bad_input(ClusterError, ModelError):
            reports, interrupted = run_loop(args.dir, loop, search, training, architecture)
    except KeyboardInterrupt:  # during training: the generation without a checkpoint is redone on resume
        print("loop: interrupted; run the same command again to resume", file=sys.stderr)
        return 128 + (stopped_by[0] if stopped_by else signal.SIGINT)
    finally:
        lock.release()
        for number, handler in previous.items():
            signal.signal(number, handler)
    for report in reports:
        losses = report.last_losses or {}
        played = (f"{report.random_positions} positions of random games ({report.selfplay_seconds:.0f} s)"
                  if report.random_positions else
                  f"{report.games_played} games ({report.requests_per_s:.0f} req/s, {report.selfplay_seconds:.0f} s)")
        print(f"gen {report.generation}: {played}, training {report.train_seconds:.0f} s, "
              f"policy loss {losses.get('policy_loss', float('nan')):.3f}, "
              f"value loss {losses.get('value_loss', float('nan')):.3f}")
    if interrupted:
        print("loop: interrupted; run the same command again to resume", file=sys.stderr)
        return 128 + interrupted
    ledger = gatekeeper.Ledger.load(args.dir)
    for decision in ledger.decisions:
        duel = decision.duel
        print(f"gen {decision.generation} vs {decision.best_before}: {duel['score']:.3f} "
              f"[{duel['low']:.3f}, {duel['high']:.3f}] in {duel['games']} games, "
              + ("promoted" if decision.promoted else "not promoted"))
    print(f"latest checkpoint: {latest_checkpoint(args.dir)}")
    if ledger.best is not None:
        best = Path(args.dir) / ledger.best
        print(f"best player: {best if best.is_file() else ledger.best}")
    return 0
