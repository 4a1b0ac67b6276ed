"""One process at a time in a folder: an advisory lock on a file inside it.

The kernel drops a ``flock`` when its holder exits in any way (``kill -9`` included), so a lock
file left by a dead process is never mistaken for a live one; the holder's process id is written
into the file only to name it in the refusal.
"""

from __future__ import annotations

import fcntl
import os
from pathlib import Path

LOCK_NAME = ".lock"


class FolderBusy(ValueError):
    """Another live process holds the folder: one line naming it and the folder."""


class FolderLock:
    def __init__(self, folder: str | os.PathLike, what: str):
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / LOCK_NAME
        # Not O_TRUNC: the holder's id stays readable until the lock is ours.
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(self.fd, 32, 0).decode(errors="replace").strip() or "?"
            os.close(self.fd)
            raise FolderBusy(f"{folder} is in use by another {what} (process {holder}); wait for it to end "
                             f"or stop it, or use another folder") from None
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, f"{os.getpid()}\n".encode(), 0)

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)  # closing drops the lock; the file stays for the next holder
            self.fd = -1

    def __enter__(self) -> FolderLock:
        return self

    def __exit__(self, *exc) -> None:
        self.release()
