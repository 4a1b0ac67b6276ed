"""Requests/s of self-play against the C floor of its own topology.

For each threads-per-worker setting, runs in turn, repeated and interleaved:
  selfplay  the real thing, `python -m velmar_pipeline selfplay` of this checkout: 2 workers, the
            uniform evaluator, sims_per_move 32, 16 games;
  baseline  (--baseline PYTHON) the same command run by another checkout's interpreter (its
            .venv/bin/python), e.g. the landed main, for a before-and-after in the same session;
  C floor   build/bench/exchange_floor (bench/exchange_floor.c): the same processes, threads,
            request pipe, reply pipes and service, in C with nothing in them (each thread writes a
            prebuilt 254-byte frame and reads the 1,624-byte reply; the service routes prebuilt
            replies by slot id), as many requests as the selfplay run before it made.
It prints requests/s of each (median [min-max]), selfplay's ratio to the C floor (and to the
baseline), the service's mean batch and its CPU time per request in µs (selfplay's from its
summary line, the floor's from getrusage): at the highest thread count the service is saturated,
and that is what the one serial stage costs per request.

    .venv/bin/python bench/selfplay_bench.py [--threads 1 4 8] [--repeats 5] [--games 16]
        [--baseline ../main/.venv/bin/python] [--evaluator net:models/best.pt --no-floor]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLOOR = ROOT / "build" / "bench" / "exchange_floor"
REQUESTS = re.compile(r"requests: (\d+) in [\d.]+ s of play \((\d+) requests/s")
SERVICE = re.compile(r"mean batch ([\d.]+)\)(?:, busy \d+% of the play(?:, ([\d.]+) us of its CPU per request)?)?")


@dataclass
class Run:
    requests_per_s: float
    mean_batch: float
    service_cpu_us: float | None  # the service's CPU time per request, where the run reports it
    requests: int = 0


def run_selfplay(python: str, args, threads: int) -> Run:
    """One `selfplay` run of the checkout that `python` belongs to, parsed from its summary."""
    with tempfile.TemporaryDirectory(prefix="velmar-bench-") as out:
        command = [python, "-m", "velmar_pipeline", "selfplay", "--games", str(args.games), "--workers",
                   str(args.workers), "--threads-per-worker", str(threads), "--sims-per-move",
                   str(args.sims_per_move), "--evaluator", args.evaluator, "--out", out, "--no-progress"]
        if args.max_wait_ms is not None:
            command += ["--max-wait-ms", str(args.max_wait_ms)]
        # From the caller's folder, so that a relative --evaluator net:PATH means the same to both
        # checkouts (the package lives under pipeline/, so no checkout's sources shadow another's).
        done = subprocess.run(command, capture_output=True, text=True)
    text = done.stdout + done.stderr
    requests, service = REQUESTS.search(text), SERVICE.search(text)
    if done.returncode != 0 or requests is None or service is None:
        sys.exit(f"{python} selfplay failed (status {done.returncode}):\n{text[-3000:]}")
    cpu = service.group(2)
    return Run(float(requests.group(2)), float(service.group(1)), float(cpu) if cpu else None,
               int(requests.group(1)))


def run_c_floor(args, threads: int, requests: int) -> Run:
    out = subprocess.run([str(args.floor), "--workers", str(args.workers), "--threads", str(threads),
                          "--requests", str(requests)], capture_output=True, text=True, check=True)
    fields = dict(item.split("=") for item in out.stdout.split())
    return Run(float(fields["requests_per_s"]), float(fields["mean_batch"]), float(fields["service_cpu_us"]),
               int(fields["requests"]))


def spread(values) -> str:
    return f"{statistics.median(values):,.0f} [{min(values):,.0f}-{max(values):,.0f}]"


def median_of(runs, field) -> str:
    values = [getattr(r, field) for r in runs if getattr(r, field) is not None]
    return f"{statistics.median(values):.1f}" if values else "-"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims-per-move", type=int, default=32)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 4, 8])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--max-wait-ms", type=float, default=None, help="default: the service's own choice")
    parser.add_argument("--evaluator", default="uniform")
    parser.add_argument("--floor", type=Path, default=FLOOR, help=f"the C floor program (default {FLOOR})")
    parser.add_argument("--no-floor", action="store_true", help="no C floor runs (with a network, say)")
    parser.add_argument("--baseline", help="another checkout's interpreter, run interleaved the same way")
    args = parser.parse_args()
    if not args.no_floor and not args.floor.is_file():
        sys.exit(f"{args.floor} is missing: build it first (scripts/setup.sh, or cmake --build build)")
    wait = "adaptive" if args.max_wait_ms is None else f"{args.max_wait_ms} ms"
    print(f"{os.cpu_count()} cores; {args.workers} workers, sims_per_move {args.sims_per_move}, {args.games} games "
          f"per run, {args.evaluator} evaluator, max wait {wait}, {args.repeats} repeats"
          + (f"; baseline {args.baseline}" if args.baseline else ""), flush=True)
    kinds = ["selfplay"] + (["baseline"] if args.baseline else []) + ([] if args.no_floor else ["C floor"])
    runs = {(kind, threads): [] for kind in kinds for threads in args.threads}
    for repeat in range(args.repeats):
        for threads in args.threads:
            done = {"selfplay": run_selfplay(sys.executable, args, threads)}
            if args.baseline:
                done["baseline"] = run_selfplay(args.baseline, args, threads)
            if not args.no_floor:
                done["C floor"] = run_c_floor(args, threads, done["selfplay"].requests)
            notes = []
            for kind in kinds:
                run = done[kind]
                runs[kind, threads].append(run)
                cpu = "" if run.service_cpu_us is None else f", service {run.service_cpu_us:.1f} µs/req"
                notes.append(f"{kind} {run.requests_per_s:,.0f} req/s (batch {run.mean_batch:.1f}{cpu})")
            print(f"  repeat {repeat + 1}, {threads} threads: " + "; ".join(notes), flush=True)

    print("requests/s, median [min-max]; ratios of the medians; service: its CPU µs per request")
    header = f"{'threads':>7}" + "".join(f" {kind:>27}" for kind in kinds)
    if "C floor" in kinds:
        header += f" {'/floor':>6}"
    if "baseline" in kinds:
        header += f" {'/baseline':>9}"
    header += "".join(f" {kind + ' batch':>14} {kind + ' µs':>11}" for kind in kinds)
    print(header)
    for threads in args.threads:
        medians = {kind: statistics.median(r.requests_per_s for r in runs[kind, threads]) for kind in kinds}
        line = f"{threads:>7}" + "".join(f" {spread([r.requests_per_s for r in runs[kind, threads]]):>27}"
                                         for kind in kinds)
        if "C floor" in kinds:
            line += f" {medians['selfplay'] / medians['C floor']:>6.2f}"
        if "baseline" in kinds:
            line += f" {medians['selfplay'] / medians['baseline']:>9.2f}"
        line += "".join(f" {median_of(runs[kind, threads], 'mean_batch'):>14}"
                        f" {median_of(runs[kind, threads], 'service_cpu_us'):>11}" for kind in kinds)
        print(line)


if __name__ == "__main__":
    main()
