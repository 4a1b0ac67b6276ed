"""Soak benchmark of velmar_self_play: many games in one process, resident memory as they go.

Plays --games games one after another in this process against an instant in-process service
(put keeps nothing, recv returns one prebuilt reply), and prints the resident set size every
--every games, with the number of objects the garbage collector tracks. Every --fail-every-th
call is made to fail instead: its pipe raises at a random request, so the failure paths (the
plain Exception of a root failure and the PanicException of a leaf failure) soak as well.
After the first checkpoint (the warm-up) the figures should stay flat.

    python bench/soak_bench.py [--games 300] [--every 25] [--sims 8] [--fail-every 5] [--seed 1]

The engine's own output (the "Game finished" lines, the internal-failure reports) goes to
/dev/null; the figures go to standard output.
"""

import argparse
import gc
import os
import random
import resource
import time

import velmar_self_play
from velmar_pipeline.streams import swapped_output


class Config:
    def __init__(self, sims_per_move):
        self.sims_per_move = sims_per_move
        self.sample_moves = 30
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


REPLY = ([0.0] * 400, [0.25, 0.25, 0.25, 0.25])


class Queue:
    def __init__(self):
        self.count = 0

    def put(self, request):
        self.count += 1


class Pipe:
    """Answers REPLY; raises EOFError at request `fail_at` (counted by the queue), if given."""

    def __init__(self, queue, fail_at=None):
        self.queue = queue
        self.fail_at = fail_at

    def recv(self):
        if self.queue.count == self.fail_at:
            raise EOFError("the service is gone")
        return REPLY


def resident_mb():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=300, help="calls in all (default 300)")
    parser.add_argument("--every", type=int, default=25, help="games between checkpoints (default 25)")
    parser.add_argument("--sims", type=int, default=8, help="sims_per_move (default 8)")
    parser.add_argument("--fail-every", type=int, default=5,
                        help="every n-th call fails at a random request; 0: none (default 5)")
    parser.add_argument("--seed", type=int, default=1, help="draws the failing requests (default 1)")
    args = parser.parse_args()
    if args.games < 1 or args.every < 1 or args.sims < 0 or args.fail_every < 0:
        parser.error("--games and --every must be positive, --sims and --fail-every not negative")

    rng = random.Random(args.seed)
    config = Config(args.sims)
    outcomes = {"record": 0, "Exception": 0, "PanicException": 0}
    moves = requests = 0
    rows = []
    start = time.perf_counter()
    # The engine's output goes to /dev/null for the run; the figures go to a copy of standard output.
    with swapped_output() as (stdout_fd, _), os.fdopen(os.dup(stdout_fd), "w", buffering=1) as out:
        failing_calls = f"1 call in {args.fail_every} failing" if args.fail_every else "no call failing"
        out.write(f"soak: {args.games} games, sims_per_move {args.sims}, {failing_calls}, "
                  f"checkpoint every {args.every}\n")
        out.write(f"{'games':>6} {'RSS MB':>8} {'gc objects':>11} {'records':>8} {'failed':>7} {'s':>7}\n")
        out.write(f"{0:>6} {resident_mb():>8.1f} {len(gc.get_objects()):>11} {0:>8} {0:>7} {0.0:>7.1f}\n")
        for game in range(1, args.games + 1):
            queue = Queue()
            failing = args.fail_every and game % args.fail_every == 0
            # Request 1 is the first root; later ones are mostly leaves.
            pipe = Pipe(queue, rng.choice([1, rng.randrange(2, 2000)]) if failing else None)
            try:
                record = velmar_self_play.generate_game_data(game, config, queue, pipe)
                moves += len(record[0])
                outcomes["record"] += 1
            except BaseException as exc:  # noqa: BLE001 - PanicException is not an Exception
                name = type(exc).__name__
                if name not in outcomes:
                    raise
                outcomes[name] += 1
            requests += queue.count
            if game % args.every == 0 or game == args.games:
                gc.collect()
                rss = resident_mb()
                rows.append((game, rss))
                failed = outcomes["Exception"] + outcomes["PanicException"]
                out.write(f"{game:>6} {rss:>8.1f} {len(gc.get_objects()):>11} {outcomes['record']:>8} "
                          f"{failed:>7} {time.perf_counter() - start:>7.1f}\n")
        seconds = time.perf_counter() - start
        out.write(f"outcomes: {outcomes}; {moves} moves and {requests} requests in {seconds:.1f} s "
                  f"({requests / seconds:,.0f} requests/s)\n")
        if len(rows) >= 3:
            (g0, r0), (g1, r1) = rows[0], rows[-1]
            out.write(f"RSS after warm-up (game {g0}): {r0:.1f} MB; at game {g1}: {r1:.1f} MB; "
                      f"growth {r1 - r0:+.1f} MB ({(r1 - r0) * 1024 / (g1 - g0):+.1f} KB/game); "
                      f"peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MB\n")


if __name__ == "__main__":
    main()
