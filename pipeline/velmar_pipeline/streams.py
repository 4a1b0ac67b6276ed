"""Text output that never fails the work it reports on, and standard output and error pointed
elsewhere for a while.

A command's standard output piped into ``head`` closes early; a worker's log sits on a disk that
fills up. Neither is a reason to lose games or to end with a traceback: :class:`BestEffort` keeps
the first error, points the file descriptor under the stream at ``/dev/null`` (so that what is
still buffered, native code writing to the descriptor, and the flush at exit all go nowhere
instead of failing again) and drops whatever follows.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import TextIO


class BestEffort:
    """Wraps a text stream: writes and flushes that fail with an OSError are dropped from then on,
    the error kept in ``failure``. Everything else is the wrapped stream's."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.failure: OSError | None = None

    def write(self, text: str) -> int:
        if self.failure is None:
            try:
                return self.stream.write(text)
            except OSError as error:
                self._failed(error)
        return len(text)

    def flush(self) -> None:
        if self.failure is None:
            try:
                self.stream.flush()
            except OSError as error:
                self._failed(error)

    def _failed(self, error: OSError) -> None:
        self.failure = error
        try:
            fd = self.stream.fileno()
            null = os.open(os.devnull, os.O_WRONLY)
        except (OSError, ValueError, AttributeError):  # a stream without a descriptor (tests capture it)
            return
        os.dup2(null, fd)
        os.close(null)
        try:
            self.stream.flush()  # what the failed write left in the buffer goes nowhere now
        except (OSError, ValueError):
            pass

    def __getattr__(self, name: str):
        return getattr(self.stream, name)


@contextlib.contextmanager
def swapped_output(target: str | os.PathLike = os.devnull) -> Iterator[tuple[int, int]]:
    """File descriptors 1 and 2 pointed at ``target`` (opened for appending) for the block, and
    given back after it, whatever the block raised. Yields copies of the two original descriptors,
    for what must still reach them (a progress bar); they are closed when the block ends.

    What Python had buffered is flushed before the swap and after the block, so each line goes
    where it was written while the swap lasted. Native code writing to the descriptors (the engine's
    lines, a child process started in the block) follows the swap as well.
    """
    sys.stdout.flush()
    sys.stderr.flush()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    saved = os.dup(1), os.dup(2)
    try:
        os.dup2(fd, 1)
        os.dup2(fd, 2)
        os.close(fd)
        fd = -1
        yield saved
    finally:
        if fd >= 0:
            os.close(fd)
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            for number, copy in zip((1, 2), saved):
                os.dup2(copy, number)
                os.close(copy)
