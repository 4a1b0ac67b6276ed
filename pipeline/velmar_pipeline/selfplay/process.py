"""What every child process of a run does first: leave the stop signals to the parent and
write its standard output and error to its own log.

Shared by the inference service and the workers (and the commands that catch the same stop
signals), so that neither imports the other for it.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time

from velmar_pipeline.streams import BestEffort

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stop_signals_to_catch() -> list[int]:
    """The stop signals a command may take charge of: those not ignored. A signal ignored when
    the process started (SIGHUP under ``nohup``, SIGINT for a background job of a script) stays
    ignored, as the Unix convention has it."""
    return [number for number in STOP_SIGNALS if signal.getsignal(number) != signal.SIG_IGN]


def ignore_stop_signals() -> None:
    """The parent decides how a run ends: a child ignores the stop signals."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)


def end_with_parent(parent: int, every_s: float = 0.5) -> None:
    """Ends this process as soon as ``parent`` is no longer its parent (killed, even by SIGKILL):
    a helper left running would hold its memory and its pipes for nobody. Checked by a daemon
    thread, so a main thread blocked on a full pipe is no obstacle; usable as a pool initializer."""

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(every_s)
        os._exit(1)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


def redirect_output(log_path: str) -> None:
    """Points file descriptors 1 and 2 (and sys.stdout/stderr with them) at ``log_path``.

    The log is kept as well as it can be: a write that fails (a full disk) silences it instead of
    failing the process (``streams.BestEffort``); :func:`log_failure` tells whether one did.
    """
    sys.stdout.flush()
    sys.stderr.flush()
    if os.path.islink(log_path):  # as a shard's or a checkpoint's, a link is replaced, never written through
        os.unlink(log_path)
    fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW, 0o644)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    os.close(fd)
    sys.stdout = BestEffort(open(1, "w", buffering=1, closefd=False))
    sys.stderr = BestEffort(open(2, "w", buffering=1, closefd=False))


def log_failure() -> str | None:
    """Why the log set up by :func:`redirect_output` could not be written, or None."""
    for stream in (sys.stdout, sys.stderr):
        stream.flush()
        failure = getattr(stream, "failure", None)
        if failure is not None:
            return failure.strerror or str(failure)
    return None
