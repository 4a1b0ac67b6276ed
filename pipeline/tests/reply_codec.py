"""Reply messages packed and read in Python: the reference the native reply endpoints
(``velmar_wire.ReplyWriter`` and ``ReplyPipe``) are tested against, byte for byte. The run never
needs it: the service writes replies natively and the engine reads them itself."""

import numpy as np

from velmar_pipeline.selfplay.wire import ID, REPLY
from velmar_rules import CELLS, PLAYERS


def pack_replies(ids: np.ndarray, logits: np.ndarray, values: np.ndarray) -> list[bytes]:
    """One reply message per row of a batch's outputs (what ``ReplyWriter.send`` writes)."""
    table = np.empty((len(ids), CELLS + PLAYERS + 1), dtype="<f4")
    table[:, 0].view("<i4")[:] = ids
    table[:, 1 : 1 + CELLS] = logits
    table[:, 1 + CELLS :] = values
    return [row.tobytes() for row in table]


def unpack_reply(message: bytes) -> tuple[list[float], list[float], int]:
    """(logits, values, id) from one reply message, as the engine reads them."""
    if len(message) != REPLY:
        raise ValueError(f"a reply must be {REPLY} bytes, got {len(message)}")
    numbers = np.frombuffer(message, dtype="<f4", offset=ID.size)
    return numbers[:CELLS].tolist(), numbers[CELLS:].tolist(), ID.unpack_from(message)[0]
