"""What travels between the workers and the inference service, byte for byte.

Requests go into one pipe shared by every worker, as fixed-size frames: the game id (int32,
little-endian) followed by the five planes packed to bits (2000 bits, 250 bytes). A frame is
smaller than PIPE_BUF, so each is written by a single ``os.write`` that the kernel keeps whole:
writers need no lock, and a worker killed at any moment leaves either a whole frame or nothing
behind. (A ``multiprocessing.Queue`` serialises writers with a lock; a worker killed while holding
it stalls every other worker.) Packing also moves the conversion of the 2000 floats out of the
service, which is the one serial stage, into the workers.

Replies go to the pipe of the slot that owns the id, as one message each: the id (int32) then
400 logits and 4 values (float32), all little-endian. An empty message means "the run is
stopping, abandon the game".

The endpoints on the hot path are native (``velmar_wire``): ``RequestSender`` and ``ReplyPipe``,
handed to the engine, and the service's ``RequestReader`` and ``ReplyWriter``. They wait and
write without the interpreter lock. Handed exactly these two endpoint types, the engine does not
even call ``put`` and ``recv``: it writes the frames and reads the replies itself through the C
interface ``velmar_wire`` exports (``pipeline/wire_module/velmar_wire.h``, the one C statement
of this format), failing with the same errors. The Python functions here (and the tests' reply
codec) are the reference they are all tested against, byte for byte.
"""

from __future__ import annotations

import os
import select
import struct
from collections.abc import Sequence

import numpy as np
import velmar_wire

from velmar_rules import CELLS, PLANES, PLAYERS
from velmar_wire import (  # noqa: F401 (the endpoints and their errors live here for the package)
    MisroutedReply,
    PlanesNotBinary,
    ReplyPipe,
    ReplyWriter,
    RequestSender,
    RunStopped,
    ServiceGone,
)

BITS = PLANES * CELLS
ID = struct.Struct("<i")
FRAME = ID.size + BITS // 8  # 254 bytes
REPLY = ID.size + 4 * (CELLS + PLAYERS)  # 1620 bytes
STOP = b""
_ROW = struct.Struct(f"<{CELLS}d")

assert FRAME <= select.PIPE_BUF, "a request frame must be written atomically"
assert (FRAME, REPLY) == (velmar_wire.FRAME, velmar_wire.REPLY), "the native endpoints disagree on the sizes"


def pack_request(request_id: int, planes: Sequence[Sequence[float]]) -> bytes:
    """One request frame from an id and 5 sequences of 400 values, each 0.0 or 1.0."""
    # struct converts a list of floats about four times faster than numpy's nested-list path.
    try:
        if len(planes) != PLANES:
            raise struct.error(f"{len(planes)} planes")
        raw = b"".join([_ROW.pack(*row) for row in planes])
    except struct.error as error:
        raise ValueError(f"planes must be {PLANES} x {CELLS} values ({error})") from None
    values = np.frombuffer(raw, dtype="<f8")
    bits = values != 0
    if not np.array_equal(values, bits):
        raise PlanesNotBinary("planes must hold only 0.0 and 1.0")
    try:
        head = ID.pack(request_id)
    except struct.error:
        raise ValueError("a request id must be a signed 32-bit integer") from None
    return head + np.packbits(bits).tobytes()


def request_ids(frames: bytes | bytearray | memoryview) -> np.ndarray:
    """The ids [B] (int32) of a run of whole frames."""
    rows = np.frombuffer(frames, dtype=np.uint8).reshape(-1, FRAME)
    return np.ascontiguousarray(rows[:, : ID.size]).view("<i4").reshape(-1)


def unpack_requests(frames: bytes | bytearray | memoryview) -> tuple[np.ndarray, np.ndarray]:
    """The ids [B] and the planes [B, 5, 400] (float32) of a run of whole frames."""
    rows = np.frombuffer(frames, dtype=np.uint8).reshape(-1, FRAME)
    ids = request_ids(frames)
    planes = np.unpackbits(rows[:, ID.size :], axis=1, count=BITS).reshape(-1, PLANES, CELLS)
    return ids, planes.astype(np.float32)


def decode_batch(frames: bytes | bytearray | memoryview) -> tuple[np.ndarray, np.ndarray]:
    """What ``unpack_requests`` returns, decoded natively."""
    return batch_arrays(*velmar_wire.unpack(frames))


def batch_arrays(ids: bytearray, planes: bytearray) -> tuple[np.ndarray, np.ndarray]:
    """The ids [B] (int32) and the planes [B, 5, 400] (float32) over the bytes that
    ``velmar_wire.unpack`` and ``RequestReader.read_batch`` (the service's hot path) decode into."""
    return np.frombuffer(ids, dtype="<i4"), np.frombuffer(planes, dtype=np.float32).reshape(-1, PLANES, CELLS)


class RequestReader:
    """The service's end of the shared request pipe: reads whole frames, with timeouts.

    The waiting and reading are native (``velmar_wire.RequestReader``: at most a poll and one read
    of every frame waiting per batch, without the interpreter lock); ``clock`` is accepted for the
    callers of the Python version this replaces, and the native reader keeps time itself, with
    the same monotonic clock."""

    def __init__(self, fd: int):
        self.fd = fd
        self.native = velmar_wire.RequestReader(fd)

    @property
    def closed(self) -> bool:
        """Every writer has closed its end."""
        return self.native.closed

    def read_batch(self, most: int, first_timeout: float, gather_timeout: float):
        """``decode_batch(read(...))`` decoded straight from the reader's buffer (one copy fewer),
        or None when no frame came."""
        batch = self.native.read_batch(most, first_timeout, gather_timeout)
        return None if batch is None else batch_arrays(*batch)

    def read(self, most: int, first_timeout: float, gather_timeout: float, clock=None) -> bytes:
        """Up to ``most`` whole frames: waits ``first_timeout`` for the first, then gathers more
        until ``most`` are in or ``gather_timeout`` has passed since the first arrived. A read takes
        every frame waiting (up to ``most``), so with no gathering one read is the whole batch."""
        return self.native.read(most, first_timeout, gather_timeout)


class Flag:
    """A run-wide yes/no shared by processes without a lock: one byte of shared memory.

    ``multiprocessing.Event`` takes a lock shared by every process even to read it; a process
    killed while holding it would block all the others.
    """

    def __init__(self, context):
        self._value = context.RawValue("b", 0)

    def set(self) -> None:
        self._value.value = 1

    def is_set(self) -> bool:
        return self._value.value != 0


class Tickets:
    """A worker's end of its ticket pipe: the parent writes one byte for each game the worker may
    start, and closes the pipe when no game is left.

    The pipe is the worker's own, so nothing is shared with the other workers, and the parent
    knows at any time how many games a worker holds (granted but not reported): those of a
    worker that dies go to the others.
    """

    def __init__(self, conn, poll_s: float = 0.05):
        self.fd = conn.fileno()
        self.conn = conn  # keeps the descriptor open
        os.set_blocking(self.fd, False)
        self.poll_ms = poll_s * 1000.0

    def take(self, keep_waiting) -> bool:
        """Waits for a ticket while ``keep_waiting()``; False when none is left or waiting stops.

        Safe to call from several threads at once."""
        poller = select.poll()  # a poll object must not be shared by threads
        poller.register(self.fd, select.POLLIN)
        while keep_waiting():
            if not poller.poll(self.poll_ms):
                continue
            try:
                return os.read(self.fd, 1) != b""  # b"": the parent closed the pipe
            except BlockingIOError:  # another thread of this worker took it
                continue
        return False
