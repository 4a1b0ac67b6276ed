"""Files that appear whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO


@contextmanager
def atomic_file(path: str | os.PathLike) -> Iterator[BinaryIO]:
    """A binary file to write ``path`` through: a temporary file in the same folder, synced and
    renamed over ``path`` when the block ends normally, deleted when it raises. Readers never
    see a partial file, and an interrupted write leaves the old one in place."""
    path = Path(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{path.stem}-", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, 0o666 & ~_umask())  # mkstemp's 0600 would hide the file from other users
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
