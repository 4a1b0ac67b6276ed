"""Game records and positions made without the engine, for the tests of every room."""

import numpy as np

import velmar_rules
from velmar_pipeline.records import shards as records


def lowest_tile_games(count, seed=0):
    """``count`` complete games of random legal tiles whose policy targets put most of their weight
    on the lowest legal cell, a target that a network can learn (through its per-cell bias alone),
    and the rest on the tile played (a record's tile always has a share in its own policy)."""
    rng = np.random.default_rng(seed)
    games = []
    for _ in range(count):
        state = velmar_rules.Game()
        moves, policies = [], []
        while not state.is_over:
            legal = state.legal_tiles()
            tile = int(rng.choice(legal))
            policy = np.zeros(400, np.float32)
            policy[tile] = 0.05
            policy[min(legal)] += 0.95
            moves.append((state.current_player, tile))
            policies.append(policy)
            state.apply(tile)
        games.append(records.GameRecord(
            np.array(moves, np.int32), np.stack(policies), np.array(state.payoff(), np.float32)))
    return games


def write_games(folder, games, name="shard-00000.npz"):
    folder.mkdir(parents=True, exist_ok=True)
    return records.write_shard(folder / name, games, {"evaluator": "scripted"})


def real_positions(count=6, seed=3):
    """Positions of one random game, spread over its length."""
    rng = np.random.default_rng(seed)
    game = velmar_rules.Game()
    seen = []
    while not game.is_over:
        seen.append(game.encode())
        game.apply(int(rng.choice(game.legal_tiles())))
    return np.stack([seen[i] for i in np.linspace(0, len(seen) - 1, count).astype(int)])
