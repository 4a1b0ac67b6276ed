"""Text output that never fails the work it reports on.

A command's standard output piped into ``head`` closes early; a worker's log sits on a disk that
fills up. Neither is a reason to lose games or to end with a traceback: :class:`BestEffort` keeps
the first error, points the file descriptor under the stream at ``/dev/null`` (so that what is
still buffered, native code writing to the descriptor, and the flush at exit all go nowhere
instead of failing again) and drops whatever follows.
"""

from __future__ import annotations

import os
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
