"""Errors as the one line a command prints, the two kinds a command ends with, and the optional
packages a command needs.

A command's handler marks which failures are the user's input (``bad_input``: status 2) and which
a run that failed (``run_failed``: status 1); ``__main__`` prints either as one line, once."""

from __future__ import annotations

import importlib
from collections.abc import Iterator
from contextlib import contextmanager

TRAIN_EXTRA = "pip install '.[train]'"


def one_line(error: BaseException) -> str:
    """``Type: first line of the message``: what a user needs of an error from a library that
    writes several lines (torch's loader, say), without its traceback."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0] if lines else ''}".rstrip(": ")


class BadInput(Exception):
    """Input the command cannot use (a flag, a file, a folder): ``error: ...``, status 2."""


class RunFailed(Exception):
    """A run that started and failed (lost games, a loss that is no longer finite): ``failed: ...``,
    status 1."""


@contextmanager
def bad_input(*kinds: type[BaseException]) -> Iterator[None]:
    """Errors of these kinds raised inside become ``BadInput`` with their message."""
    try:
        yield
    except kinds as error:
        raise BadInput(str(error)) from error


@contextmanager
def run_failed(*kinds: type[BaseException], brief: bool = False) -> Iterator[None]:
    """Errors of these kinds raised inside become ``RunFailed``; ``brief`` keeps the first line
    with the type's name (a library's several-line message), else the message as it is."""
    try:
        yield
    except kinds as error:
        raise RunFailed(one_line(error) if brief else str(error)) from error


class ClusterError(RuntimeError):
    """A Ray cluster that cannot be used (unreachable, no node with CPUs): one line for the user.
    Here, not in ``cluster``, so that commands catch it without importing Ray."""


class ModelError(ValueError):
    """A network model that cannot be served (unreadable, foreign, or an export that disagrees
    with its checkpoint): one line naming the file, status 2 wherever it is found."""


def missing(*modules: str) -> list[str]:
    """Those of ``modules`` that cannot be imported here (imported to know: a package present but
    broken counts as missing)."""
    absent = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            absent.append(name)
    return absent


def require(what: str, *modules: str) -> None:
    """ValueError in one line naming the optional packages ``what`` needs and this installation
    lacks, checked before any work: an installation with only the ``[serve]`` extra plays ``.onnx``
    models, and the commands that train or draw say what to install instead of failing halfway."""
    absent = missing(*modules)
    if absent:
        raise ValueError(f"{what} needs {' and '.join(absent)}, which are not installed: {TRAIN_EXTRA}")
