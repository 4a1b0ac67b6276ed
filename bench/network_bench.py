"""Speed of the policy-value network on the CPU: torch against ONNX Runtime, alone and in self-play.

For two networks with random weights (torch.manual_seed(0)) -- the default architecture (4 blocks x
32 channels, policy head) and the 3 x 16 value-only one -- saved as a checkpoint in a temporary
folder and exported with ``onnx_export.export_checkpoint``, prints:

  1. the network alone: positions/s by batch size (--batches, 1 to 256 by default) of torch
     (``NetEvaluator``, 1 torch thread, inference mode) and of ONNX Runtime (``OnnxEvaluator``,
     1 intra-op thread), on the same positions (``inference.reference_planes``), the two measured
     alternately, each --repeats times: median [min-max] and the ratio of the medians; and how far
     the two backends' outputs are apart on those positions;
  2. self-play with each backend in the same run: ``run_selfplay`` with the evaluator
     ``net:model.pt`` (served by torch) and ``net:model.onnx`` (served by ONNX Runtime), alternately
     (torch, onnx, torch, onnx, ...), --repeats times, for each VELMAR_SERVICE_THREADS value in
     --service-threads and each count in --threads-per-worker: requests/s median [min-max], the
     median mean batch and busy share of the service, the network alone with that backend at the
     batch reached (round(median mean batch), measured with the service's thread count, alternating
     backends, --repeats times) and the ratio self-play / alone; then ONNX / torch requests/s (the
     ratio of the medians, and the median [range] of the ratios of the runs paired by repeat).

Usage:

    .venv/bin/python bench/network_bench.py [--repeats 3] [--batches 1 4 8 16 32 64 128 256]
        [--games 16] [--workers 2] [--threads-per-worker 8 16] [--sims-per-move 16]
        [--service-threads 1 2] [--seconds 1.0] [--skip-selfplay] [--quick]

--quick is a smoke run of about a minute (batches 1 8 64, 1 repeat, 8 games, sims 4). The defaults
take 10 to 20 minutes on a 2-core machine. Everything runs on the CPU, torch included (a machine with
a GPU would serve the .pt checkpoint on CUDA in part 2). Timings on a shared 2-core machine are noisy:
look at the ranges, and rerun before trusting a difference of less than about 20%.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import torch

from velmar_pipeline.evaluators import inference
from velmar_pipeline.evaluators import network
from velmar_pipeline.evaluators import onnx_export
from velmar_pipeline.evaluators.architecture import Architecture
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.command import run_selfplay
from velmar_pipeline.selfplay.options import Options

BACKENDS = ("torch", "onnx")
NETWORKS = (
    ("4x32", Architecture()),
    ("3x16 value-only", Architecture(blocks=3, channels=16, policy_head=False)),
)
QUICK = dict(batches=[1, 8, 64], repeats=1, games=8, sims_per_move=4, seconds=0.5)


def spread(values: list[float], width: int = 7) -> str:
    """median [min-max]"""
    return f"{statistics.median(values):>{width}.0f} [{min(values):.0f}-{max(values):.0f}]"


def spread_ratio(values: list[float]) -> str:
    return f"{statistics.median(values):.2f} [{min(values):.2f}-{max(values):.2f}]"


def inference_rate(evaluate, planes: np.ndarray, batch: int, seconds: float) -> float:
    """Positions/s of ``evaluate`` on batches of ``batch`` positions for about ``seconds``."""
    evaluate(planes[:batch])  # warm-up: first-call allocations
    done = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        offset = (done % (len(planes) - batch + 1)) if len(planes) > batch else 0
        evaluate(planes[offset:offset + batch])
        done += batch
    return done / (time.perf_counter() - start)


class Backends:
    """The two in-process evaluators of one network, with a given number of intra-op threads."""

    def __init__(self, model: network.PolicyValueNet, onnx_path: Path):
        self.model = model
        self.onnx_path = onnx_path
        self.torch_evaluator = network.NetEvaluator(model, torch.device("cpu"))
        self.onnx_evaluators: dict[int, inference.OnnxEvaluator] = {}

    def evaluator(self, backend: str, threads: int):
        if backend == "torch":
            torch.set_num_threads(threads)
            return self.torch_evaluator
        if threads not in self.onnx_evaluators:
            self.onnx_evaluators[threads] = inference.OnnxEvaluator(self.onnx_path, threads)
        return self.onnx_evaluators[threads]

    def rates(self, planes: np.ndarray, batch: int, threads: int, repeats: int,
              seconds: float) -> dict[str, list[float]]:
        """Positions/s of both backends at ``batch``, alternating torch and onnx, ``repeats`` times each."""
        out = {backend: [] for backend in BACKENDS}
        for _ in range(repeats):
            for backend in BACKENDS:
                out[backend].append(inference_rate(self.evaluator(backend, threads), planes, batch, seconds))
        return out


def selfplay_run(evaluator: str, args) -> object:
    with tempfile.TemporaryDirectory(prefix="velmar-netbench-") as out:
        options = Options(games=args.games, workers=args.workers, threads_per_worker=args.tpw, out=out,
                          progress=False, write_records=False, evaluator=evaluator)
        summary = run_selfplay(SearchConfig(sims_per_move=args.sims_per_move), options, log=lambda text: None)
    if summary.worker_failures or summary.games != args.games:
        sys.exit(f"selfplay with {evaluator} failed: {summary.worker_failures or f'{summary.games} games'}")
    return summary


def prepare(folder: str, name: str, architecture: Architecture) -> tuple[network.PolicyValueNet, Path, Path]:
    torch.manual_seed(0)
    model = network.PolicyValueNet(architecture).eval()
    stem = name.split()[0]
    checkpoint = network.save_checkpoint(os.path.join(folder, f"{stem}.pt"), model)
    exported = onnx_export.export_checkpoint(checkpoint, os.path.join(folder, f"{stem}.onnx"))
    return model, Path(checkpoint), Path(exported)


def network_alone(name: str, backends: Backends, planes: np.ndarray, args) -> None:
    model = backends.model
    expected = backends.evaluator("torch", 1)(planes)
    found = backends.evaluator("onnx", 1)(planes)
    gaps = [float(np.max(np.abs(want.astype(np.float64) - got))) for want, got in zip(expected, found)]
    print(f"\n{name}: {network.parameter_count(model)} parameters; outputs of the two on {len(planes)} positions "
          f"differ by at most {gaps[0]:.2g} (logits), {gaps[1]:.2g} (values)")
    print(f"{'batch':>6} {'torch positions/s':>24} {'onnx positions/s':>24} {'onnx/torch':>10}")
    for batch in args.batches:
        rates = backends.rates(planes, batch, 1, args.repeats, args.seconds)
        ratio = statistics.median(rates["onnx"]) / statistics.median(rates["torch"])
        print(f"{batch:>6} {spread(rates['torch'], 9):>24} {spread(rates['onnx'], 9):>24} {ratio:>10.2f}", flush=True)


def selfplay_both(name: str, backends: Backends, paths: dict[str, Path], planes: np.ndarray, args) -> None:
    for service_threads in args.service_threads:
        os.environ["VELMAR_SERVICE_THREADS"] = str(service_threads)
        for tpw in args.threads_per_worker:
            args.tpw = tpw
            runs = {backend: [] for backend in BACKENDS}
            for _ in range(args.repeats):
                for backend in BACKENDS:
                    runs[backend].append(selfplay_run(f"net:{paths[backend]}", args))
            batches = {backend: max(1, round(statistics.median(s.mean_batch for s in runs[backend])))
                       for backend in BACKENDS}
            alone = {backend: [] for backend in BACKENDS}
            for _ in range(args.repeats):
                for backend in BACKENDS:
                    alone[backend].append(inference_rate(backends.evaluator(backend, service_threads), planes,
                                                         batches[backend], args.seconds))
            for backend in BACKENDS:
                rates = [s.requests_per_s for s in runs[backend]]
                mean_batch = statistics.median(s.mean_batch for s in runs[backend])
                busy = statistics.median(s.service_busy for s in runs[backend])
                alone_rate = statistics.median(alone[backend])
                label = name if backend == "torch" else ""
                print(f"{label:<16} {service_threads:>7} {tpw:>6} {backend:<6} {spread(rates):>22} {mean_batch:>6.1f} "
                      f"{busy:>5.0%} {batches[backend]:>6} {spread(alone[backend]):>22} "
                      f"{statistics.median(rates) / alone_rate:>7.2f}", flush=True)
            torch_rates = [s.requests_per_s for s in runs["torch"]]
            onnx_rates = [s.requests_per_s for s in runs["onnx"]]
            paired = [o / t for o, t in zip(onnx_rates, torch_rates)]
            ratio = statistics.median(onnx_rates) / statistics.median(torch_rates)
            print(f"{'':<16} {'':>7} {'':>6} onnx/torch requests/s: {ratio:.2f}"
                  f" (paired by repeat: {spread_ratio(paired)})", flush=True)
    torch.set_num_threads(1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 4, 8, 16, 32, 64, 128, 256])
    parser.add_argument("--repeats", type=int, default=3, help="measurements of each backend, alternating")
    parser.add_argument("--seconds", type=float, default=1.0, help="time per network-alone measurement")
    parser.add_argument("--games", type=int, default=16, help="games per self-play run")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads-per-worker", type=int, nargs="+", default=[8], help="games in flight per worker")
    parser.add_argument("--sims-per-move", type=int, default=16)
    parser.add_argument("--service-threads", type=int, nargs="+", default=[inference.service_threads()],
                        help="VELMAR_SERVICE_THREADS values: intra-op threads of the service, either backend "
                        "(default: the service's own choice on this machine)")
    parser.add_argument("--skip-selfplay", action="store_true")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: " + ", ".join(f"{k} {v}" for k, v in QUICK.items()))
    args = parser.parse_args()
    if args.quick:
        for key, value in QUICK.items():
            setattr(args, key, value)

    import onnxruntime

    torch.set_num_threads(1)
    try:
        torch.set_num_interop_threads(1)
    except RuntimeError:
        pass
    planes = inference.reference_planes(2 * max(args.batches))
    print(f"{os.cpu_count()} cores; torch {torch.__version__}, onnxruntime {onnxruntime.__version__}, on the CPU; "
          f"{args.repeats} repeats, alternating the backends")
    print(f"\n1. The network alone, 1 thread each: positions/s, median [min-max] of {args.repeats} "
          f"measurements of {args.seconds:g} s")
    with tempfile.TemporaryDirectory(prefix="velmar-netbench-model-") as folder:
        prepared = {name: prepare(folder, name, architecture) for name, architecture in NETWORKS}
        backends = {name: Backends(model, onnx_path) for name, (model, _, onnx_path) in prepared.items()}
        for name, _ in NETWORKS:
            network_alone(name, backends[name], planes, args)
        if args.skip_selfplay:
            return

        print(f"\n2. Self-play, each backend in turn: {args.games} games per run, {args.workers} workers, "
              f"sims_per_move {args.sims_per_move}, {args.repeats} runs of each; requests/s median [min-max]; "
              f"batch and busy: the service's median mean batch and busy share; alone: the network alone with that "
              f"backend at that batch (rounded) and the service's thread count, positions/s median [min-max]")
        print(f"{'network':<16} {'svc thr':>7} {'thr/w':>6} {'':<6} {'requests/s':>22} {'batch':>6} {'busy':>5} "
              f"{'@batch':>6} {'alone positions/s':>22} {'sp/alone':>7}")
        for name, _ in NETWORKS:
            _, checkpoint, onnx_path = prepared[name]
            selfplay_both(name, backends[name], {"torch": checkpoint, "onnx": onnx_path}, planes, args)


if __name__ == "__main__":
    main()
