"""The optional packages a command needs, checked before it does any work: an installation with
only the ``[serve]`` extra plays ``.onnx`` models, and the commands that train or draw say what
to install instead of failing halfway."""

from __future__ import annotations

import importlib

TRAIN_EXTRA = "pip install '.[train]'"


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
    """ValueError in one line naming the packages ``what`` needs and this installation lacks."""
    absent = missing(*modules)
    if absent:
        raise ValueError(f"{what} needs {' and '.join(absent)}, which are not installed: {TRAIN_EXTRA}")
