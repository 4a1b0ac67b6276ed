"""What every command shares: errors as the one line a command prints, the two kinds a command
ends with, the optional packages a command needs, and settings that are their own flags.

A command's handler marks which failures are the user's input (``bad_input``: status 2) and which
a run that failed (``run_failed``: status 1); ``__main__`` prints either as one line, once."""

from __future__ import annotations

import importlib
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import MISSING, Field, field, fields
from typing import Any

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


# A setting's flag is a field of its settings dataclass: its name, type, default and help are
# written once there, and the parser and the settings object are both made from it.


def setting(default: Any = MISSING, *, help: str, flag: str | None = None, factory: Any = MISSING,
            **argparse_options: Any) -> Any:
    """A settings field that is also a flag (``--`` and the field's name with dashes, unless
    ``flag`` names it). A field made by ``factory`` (or with no value to show) has no default on
    the command line: its command says in ``help`` what it stands for."""
    metadata = {"flag": {"flag": flag, "help": help, **argparse_options}}
    if factory is not MISSING:
        return field(default_factory=factory, metadata=metadata)
    return field(default=default, metadata=metadata)


def like(settings: type, name: str) -> Any:
    """A field defined as ``settings``' field ``name``: the same default and the same flag."""
    source = next(f for f in fields(settings) if f.name == name)
    if source.default_factory is not MISSING:
        return field(default_factory=source.default_factory, metadata=source.metadata)
    return field(default=source.default, metadata=source.metadata)


def flag_fields(settings: type) -> list[Field]:
    return [f for f in fields(settings) if "flag" in f.metadata]


def flag_of(setting_field: Field) -> str:
    return setting_field.metadata["flag"]["flag"] or "--" + setting_field.name.replace("_", "-")


def dest_of(setting_field: Field) -> str:
    return flag_of(setting_field)[2:].replace("-", "_")


def add_flags(group: Any, settings: type, names: Sequence[str] | None = None, helps: dict[str, str] | None = None,
              **defaults: Any) -> None:
    """The flags of ``settings``' fields (of those ``names``, in that order, when given), into a
    parser or an argument group; ``defaults`` and ``helps`` replace a field's default and help on
    this command line."""
    chosen = flag_fields(settings)
    if names is not None:
        chosen = [next(f for f in chosen if f.name == name) for name in names]
    for f in chosen:
        options = {key: value for key, value in f.metadata["flag"].items() if key != "flag"}
        if helps and f.name in helps:
            options["help"] = helps[f.name]
        default = defaults.get(f.name, None if f.default is MISSING else f.default)
        if "type" not in options and "action" not in options and isinstance(default, (int, float)):
            options["type"] = type(default)
        group.add_argument(flag_of(f), default=default, **options)


def settings_from(settings: type, args: Any, **values: Any) -> Any:
    """``settings`` made from the parsed flags of its fields (those of this command line), and
    ``values`` for the others or instead of a flag's. A flag not given keeps a made default (the
    core count, say) as the field makes it."""
    given = {f.name: getattr(args, dest_of(f)) for f in flag_fields(settings) if hasattr(args, dest_of(f))}
    made = {f.name for f in flag_fields(settings) if f.default_factory is not MISSING and given.get(f.name) is None}
    return settings(**{**{name: value for name, value in given.items() if name not in made}, **values})
