"""The OS floor of the exchange: what its topology costs when nothing is computed.

Run through the same workers, request pipe, reply pipes and service as real self-play
(``Options.floor``): each worker thread writes a prebuilt request frame and reads the reply
bytes (``play_os_floor``), and the service answers every frame with one prebuilt reply, routed
by id, without reading the planes (``PrebuiltReplies``).

Each "game" makes ``VELMAR_FLOOR_REQUESTS`` requests (default 8000) and returns an empty record.
"""

from __future__ import annotations

import os

import numpy as np
import velmar_rules

from velmar_pipeline.selfplay import wire

REQUESTS_PER_GAME = int(os.environ.get("VELMAR_FLOOR_REQUESTS", "8000"))
PLANES = velmar_rules.Game().encode().tolist()
OS_FLOOR_PLAY = "velmar_pipeline.selfplay.floor:play_os_floor"
EMPTY_RECORD = ([], [], [0.25, 0.25, 0.25, 0.25])
# A reply as it arrives: the Connection's 4-byte length, then the message.
REPLY_MESSAGE = 4 + wire.REPLY


def play_os_floor(game_id, config, inference_queue, pipe):
    frame = wire.pack_request(game_id, PLANES)
    write, read = os.write, os.read
    request_fd, reply_fd = inference_queue.fd, pipe.fd
    for _ in range(REQUESTS_PER_GAME):
        write(request_fd, frame)
        if len(read(reply_fd, REPLY_MESSAGE)) != REPLY_MESSAGE:
            raise wire.RunStopped("the run is stopping")
    pipe.replies += REQUESTS_PER_GAME
    return EMPTY_RECORD


class PrebuiltReplies:
    """The OS floor's service side: prebuilt replies, only the ids taken from the frames."""

    def __init__(self, most: int):
        self.logits = np.zeros((most, velmar_rules.CELLS), np.float32)
        self.values = np.full((most, velmar_rules.PLAYERS), 0.25, np.float32)

    def answer(self, frames: bytes, writer: wire.ReplyWriter) -> int:
        ids = wire.request_ids(frames)
        writer.send(ids, self.logits[: len(ids)], self.values[: len(ids)])
        return len(ids)
