"""Files that appear whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO


@contextmanager
def atomic_file(path: str | os.PathLike, publish: Callable[[str], None] | None = None) -> Iterator[BinaryIO]:
    """A binary file to write ``path`` through: a temporary file in the same folder, synced and
    renamed over ``path`` when the block ends normally, deleted when it raises. Readers never
    see a partial file, and an interrupted write leaves the old one in place; a write that fails
    raises an OSError naming ``path``. ``publish``, when
    given, puts the finished temporary file in place instead of the rename."""
    path = Path(path)
    # The stem is cut short so that a name near the length limit still has room for a temporary one.
    fd, temporary = tempfile.mkstemp(prefix=f".{path.stem[:64]}-", suffix=".tmp", dir=path.parent)
    try:
        try:
            with os.fdopen(fd, "wb") as file:
                yield file
                file.flush()
                os.fsync(file.fileno())
        except OSError as error:
            if error.filename is not None or error.errno is None:
                raise
            # A failed write or flush (a full disk) names no file by itself.
            raise OSError(error.errno, error.strerror, str(path)) from None
        os.chmod(temporary, 0o666 & ~_umask())  # mkstemp's 0600 would hide the file from other users
        if publish is None:
            os.replace(temporary, path)
        else:
            publish(temporary)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def claim_first_free(temporary: str, candidates: Iterable[Path]) -> Path:
    """Gives the finished ``temporary`` file the first candidate name no file holds and returns it.

    A hard link fails instead of replacing a file that exists, even one another process created a
    moment ago, so two writers never take the same name; the temporary name is removed after.
    """
    for path in candidates:
        try:
            os.link(temporary, path)
        except FileExistsError:
            continue
        os.unlink(temporary)
        return path
    raise FileExistsError(f"no free name for {temporary}")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
