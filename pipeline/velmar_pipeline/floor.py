"""A stand-in for ``generate_game_data`` that replays one prebuilt request, with no engine.

Run through the same workers, request pipe, reply pipes and service as real self-play, it measures the
floor of the exchange: what the topology costs per request when the search costs nothing.
Each "game" makes ``VELMAR_FLOOR_REQUESTS`` requests (default 8000) of the real size (a
list of 5 lists of 400 floats) and returns an empty record.
"""

from __future__ import annotations

import os

import velmar_rules

REQUESTS_PER_GAME = int(os.environ.get("VELMAR_FLOOR_REQUESTS", "8000"))
PLANES = velmar_rules.Game().encode().tolist()


def play(game_id, config, inference_queue, pipe):
    request = (game_id, PLANES)
    put, recv = inference_queue.put, pipe.recv
    for _ in range(REQUESTS_PER_GAME):
        put(request)
        reply = recv()
        reply[0], reply[1]
    return [], [], [0.25, 0.25, 0.25, 0.25]
