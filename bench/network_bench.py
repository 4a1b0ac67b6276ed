"""Speed of the policy-value network: inference by batch size, and self-play with it.

Prints:
  1. positions/s of the network alone (inference mode, random weights of the chosen architecture)
     at batch sizes 1, 8, 32 and 128, for each torch thread count in --threads;
  2. requests/s of ``selfplay`` end to end with that network behind the service (2 workers,
     small searches), beside the ``uniform`` evaluator in the same run, for each count of threads
     per worker in --threads-per-worker (more games in flight make bigger batches); and the
     network's own positions/s at the mean batch size the service reached, with the service's
     torch threads: when the network is the bottleneck, self-play should come close to it.

Usage:

    .venv/bin/python bench/network_bench.py [--blocks 4] [--channels 32] [--games-per-slot 3] [--sims-per-move 4]

Runs on CUDA when torch sees a GPU. Timings on a shared 2-core machine are noisy: rerun before
trusting a difference of less than about 20%.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import torch

import velmar_rules
from velmar_pipeline import network
from velmar_pipeline.architecture import Architecture
from velmar_pipeline.config import SearchConfig
from velmar_pipeline.selfplay import Options, run_selfplay


def sample_planes(count: int, seed: int = 0) -> np.ndarray:
    """Planes of positions from random games (real occupancy and legal masks, not noise)."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        state = velmar_rules.Game()
        while not state.is_over and len(out) < count:
            out.append(state.encode())
            state.apply(int(rng.choice(state.legal_tiles())))
    return np.stack(out)


def inference_rate(evaluate, planes: np.ndarray, batch: int, seconds: float) -> float:
    evaluate(planes[:batch])  # warm-up: first-call allocations
    done = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        offset = (done % (len(planes) - batch + 1)) if len(planes) > batch else 0
        evaluate(planes[offset:offset + batch])
        done += batch
    return done / (time.perf_counter() - start)


def selfplay_run(evaluator: str, games: int, workers: int, threads: int, sims: int):
    with tempfile.TemporaryDirectory(prefix="velmar-netbench-") as out:
        options = Options(games=games, workers=workers, threads_per_worker=threads, out=out, progress=False,
                          write_records=False, evaluator=evaluator)
        summary = run_selfplay(SearchConfig(sims_per_move=sims), options)
    if summary.worker_failures:
        sys.exit(f"selfplay failed: {summary.worker_failures}")
    return summary


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--blocks", type=int, default=Architecture().blocks)
    parser.add_argument("--channels", type=int, default=Architecture().channels)
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 8, 32, 128])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="torch threads for part 1")
    parser.add_argument("--seconds", type=float, default=2.0, help="time per inference measurement")
    parser.add_argument("--games-per-slot", type=int, default=3, help="games per self-play run for each game in "
                        "flight: enough that the run's tail, with fewer games in flight, weighs little")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads-per-worker", type=int, nargs="+", default=[1, 8])
    parser.add_argument("--sims-per-move", type=int, default=4)
    parser.add_argument("--skip-selfplay", action="store_true")
    args = parser.parse_args()

    architecture = Architecture(blocks=args.blocks, channels=args.channels)
    torch.manual_seed(0)
    model = network.PolicyValueNet(architecture)
    device = network.default_device()
    evaluate = network.NetEvaluator(model.to(device))
    planes = sample_planes(max(args.batches) * 4)
    print(f"{os.cpu_count()} cores, device {device}, torch {torch.__version__}; network {architecture.blocks} blocks"
          f" x {architecture.channels} channels, {network.parameter_count(model)} parameters")
    print(f"{'threads':>7} " + " ".join(f"{'batch ' + str(b):>10}" for b in args.batches) + "   (positions/s)")
    for threads in args.threads if device.type == "cpu" else [torch.get_num_threads()]:
        torch.set_num_threads(threads)
        rates = [inference_rate(evaluate, planes, batch, args.seconds) for batch in args.batches]
        print(f"{threads:>7} " + " ".join(f"{rate:>10.0f}" for rate in rates), flush=True)
    if args.skip_selfplay:
        return

    with tempfile.TemporaryDirectory(prefix="velmar-netbench-model-") as folder:
        path = network.save_checkpoint(os.path.join(folder, "model.pt"), model.cpu())
        print(f"\nselfplay: {args.games_per_slot} games per game in flight, {args.workers} workers, "
              f"sims_per_move {args.sims_per_move}; "
              f"service torch threads {network.service_threads()} (VELMAR_SERVICE_THREADS overrides)")
        print(f"{'threads/worker':>14} {'uniform req/s':>14} {'network req/s':>14} {'ratio':>6} {'batch':>6} "
              f"{'busy':>5} {'net alone pos/s':>16} {'selfplay/alone':>15}")
        for threads in args.threads_per_worker:
            games = args.games_per_slot * args.workers * threads
            uniform = selfplay_run("uniform", games, args.workers, threads, args.sims_per_move)
            net = selfplay_run(f"net:{path}", games, args.workers, threads, args.sims_per_move)
            torch.set_num_threads(network.service_threads())
            batch = max(1, round(net.mean_batch))
            alone = inference_rate(evaluate, planes, batch, args.seconds)
            print(f"{threads:>14} {uniform.requests_per_s:>14.0f} {net.requests_per_s:>14.0f} "
                  f"{net.requests_per_s / uniform.requests_per_s:>6.2f} {net.mean_batch:>6.1f} "
                  f"{net.service_busy:>5.0%} {alone:>16.0f} "
                  f"{net.requests_per_s / alone:>15.2f}", flush=True)


if __name__ == "__main__":
    main()
