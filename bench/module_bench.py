"""Per-request cost of velmar_self_play's plain path against an instant in-process service.

Plays whole games where `put` takes the request and lets it go and `recv` returns one
prebuilt reply (objects of Python classes, so the engine takes its plain path through put
and recv, not the native one of the velmar_wire endpoints), and compares the time per
request with the floor measured in the same run: the same number of put/recv calls on
prebuilt objects plus building a fresh 5 x 400 list of floats per request from Python.
Then reports the peak resident memory of one game with a large search.

    python bench/module_bench.py [--games 3] [--sims 64] [--big-sims 800]
"""

import argparse
import resource
import subprocess
import sys
import time

import velmar_self_play


class Config:
    def __init__(self, sims_per_move, sample_moves=30):
        self.sims_per_move = sims_per_move
        self.sample_moves = sample_moves
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


REPLY = ([0.0] * 400, [0.25, 0.25, 0.25, 0.25])


class InstantQueue:
    """Takes a request and lets it go, as the pipeline's native sender does."""

    def __init__(self):
        self.count = 0

    def put(self, request):
        self.count += 1


class InstantPipe:
    def recv(self):
        return REPLY


def engine(games, sims):
    queue, pipe = InstantQueue(), InstantPipe()
    start = time.perf_counter()
    moves = 0
    for g in range(games):
        record = velmar_self_play.generate_game_data(g, Config(sims), queue, pipe)
        moves += len(record[0])
    return time.perf_counter() - start, queue.count, moves


def floor(requests):
    queue, pipe = InstantQueue(), InstantPipe()
    prebuilt = [[0.0] * 400 for _ in range(4)] + [[1.0] * 15 + [0.0] * 385]
    start = time.perf_counter()
    for i in range(requests):
        planes = [row[:] for row in prebuilt]  # fresh lists of shared float objects, as the engine makes
        queue.put((i, planes))
        pipe.recv()
    return time.perf_counter() - start


def peak_memory_of_one_game(sims):
    code = (
        "import resource, sys; sys.path[:0] = [%r]; import module_bench as b; b.engine(1, %d); "
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)" % (sys.path[0], sims)
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.strip().splitlines()[-1]) / 1024.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=3)
    parser.add_argument("--sims", type=int, default=64)
    parser.add_argument("--big-sims", type=int, default=800)
    args = parser.parse_args()

    seconds, requests, moves = engine(args.games, args.sims)
    floor_seconds = floor(requests)
    ours = seconds / requests * 1e6
    base = floor_seconds / requests * 1e6
    print(f"games {args.games}, sims_per_move {args.sims}: {moves} moves, {requests} requests")
    print(f"engine: {requests / seconds:,.0f} requests/s, {ours:.2f} us/request")
    print(f"floor:  {requests / floor_seconds:,.0f} requests/s, {base:.2f} us/request")
    print(f"ratio to floor: {ours / base:.2f}x")
    if args.big_sims:
        print(f"peak RSS of one game with sims_per_move {args.big_sims}: "
              f"{peak_memory_of_one_game(args.big_sims):.1f} MB")
    print(f"this process peak RSS: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MB")


if __name__ == "__main__":
    main()
