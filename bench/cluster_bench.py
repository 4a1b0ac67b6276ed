"""Requests/s of the same self-play run three ways, repeated and interleaved on this machine:

  single    today's single-machine runner: --workers W;
  local-1   --cluster local: one Ray node with W CPUs, so one node runner with W workers;
  local-2   two Ray nodes started here (ray.cluster_utils.Cluster) with W/2 CPUs each, so two
            node runners with W/2 workers each.

Every way writes its records (the cluster's driver always does). A cluster is started and ended
around each of its runs, so that no idle Ray process runs beside the others. Prints requests/s
(median, min-max) of the play clock (games dealt to last game; start-up excluded in all three)
and each way's ratio to the single-machine median.

    .venv/bin/python bench/cluster_bench.py [--games 16] [--sims-per-move 8] [--workers 2] [--repeats 3]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile

from velmar_pipeline.selfplay import cluster
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.command import run_selfplay
from velmar_pipeline.selfplay.options import Options


def options(args, out):
    return Options(games=args.games, workers=args.workers, out=out, progress=False, evaluator=args.evaluator)


def single(args, search):
    with tempfile.TemporaryDirectory(prefix="velmar-bench-") as out:
        return run_selfplay(search, options(args, out), log=lambda text: None)


def on_cluster(args, search, address, workers_per_node):
    with tempfile.TemporaryDirectory(prefix="velmar-bench-") as out:
        connection = cluster.Connection(address)
        try:
            return cluster.ClusterRun(search, options(args, out), connection, workers_per_node,
                                      log=lambda text: None).run()
        finally:
            connection.close()


def local_one(args, search):
    return on_cluster(args, search, "local", None)


def local_two(args, search):
    from ray.cluster_utils import Cluster

    per_node = max(1, args.workers // 2)
    nodes = Cluster(initialize_head=True, head_node_args={"num_cpus": per_node, "include_dashboard": False})
    try:
        nodes.add_node(num_cpus=per_node)
        nodes.wait_for_nodes()
        return on_cluster(args, search, nodes.address, None)
    finally:
        nodes.shutdown()


WAYS = {"single": single, "local-1": local_one, "local-2": local_two}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--sims-per-move", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--evaluator", default="uniform")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    search = SearchConfig(sims_per_move=args.sims_per_move)
    figures = {name: [] for name in WAYS}
    for repeat in range(args.repeats):
        for name, way in WAYS.items():
            summary = way(args, search)
            if summary.games != args.games or summary.worker_failures:
                sys.exit(f"{name}: {summary.games} of {args.games} games; {summary.worker_failures}")
            figures[name].append(summary.requests_per_s)
            print(f"repeat {repeat} {name:8s} {summary.requests_per_s:8.0f} requests/s "
                  f"({summary.seconds:.1f} s of play, {summary.wall_seconds:.1f} s in all)", flush=True)
    base = statistics.median(figures["single"])
    print(f"\n{args.games} games, sims_per_move {args.sims_per_move}, {args.workers} workers in all, "
          f"evaluator {args.evaluator}, {args.repeats} repeats")
    for name, values in figures.items():
        median = statistics.median(values)
        print(f"{name:8s} median {median:8.0f} requests/s (min {min(values):.0f}, max {max(values):.0f}); "
              f"{median / base:.3f} of single")


if __name__ == "__main__":
    main()
