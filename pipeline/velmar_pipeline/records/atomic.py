"""Files that appear whole or not at all."""

from __future__ import annotations

import json
import os
import stat
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
        readable_as_usual(temporary)
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


@contextmanager
def atomic_path(path: str | os.PathLike, suffix: str = ".tmp") -> Iterator[str]:
    """A temporary file's name beside ``path``, for a writer that opens files by name (an image
    library): synced and renamed over ``path`` when the block ends normally, removed when it
    raises, as :func:`atomic_file` does."""
    path = Path(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{path.stem[:64]}-", suffix=suffix, dir=path.parent)
    os.close(fd)
    try:
        yield temporary
        fd = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        readable_as_usual(temporary)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def write_json(path: str | os.PathLike, data: object) -> None:
    """``data`` as indented JSON, written whole or not at all."""
    with atomic_file(path) as file:
        file.write(json.dumps(data, indent=2).encode())


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


def readable_as_usual(path: str | os.PathLike) -> None:
    """Gives a temporary file the mode a new file gets (0666 less the umask): mkstemp's 0600
    would hide the finished file from other users."""
    os.chmod(path, 0o666 & ~_umask())


def check_writable_file(path: str | os.PathLike, flag: str) -> None:
    """ValueError in one line unless :func:`atomic_file` can write a file at ``path`` (named by
    the command-line ``flag``): checked before the work whose result it is to hold."""
    text = os.fspath(path)
    if not text:
        raise ValueError(f"{flag} '' names no file")
    target = Path(text)
    if os.path.isdir(target):
        raise ValueError(f"{flag} {text!r} is a folder; name a file")
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{target.stem[:64]}-", suffix=".tmp", dir=target.parent)
        os.close(fd)
        os.unlink(temporary)
        if not os.path.lexists(target):  # the name itself may be too long, or not allowed here
            os.close(os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            os.unlink(target)
    except OSError as error:
        raise ValueError(f"{flag} {text!r} cannot be written: {error.strerror or error}") from None


def is_existing_file(path: str | os.PathLike, what: str) -> bool:
    """Whether a regular file is at ``path``; ValueError in one line naming ``what`` when the name
    itself cannot be looked up (empty, a component too long, a loop of links)."""
    text = os.fspath(path)
    if not text:
        raise ValueError(f"{what} '' names no file")
    try:
        return stat.S_ISREG(os.stat(text).st_mode)
    except (FileNotFoundError, NotADirectoryError):
        return False
    except OSError as error:
        raise ValueError(f"{what} {text!r}: {error.strerror or error}") from None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
