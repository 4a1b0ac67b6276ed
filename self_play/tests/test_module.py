"""The module object: its attributes, the function's signature and the exported symbols."""

import ctypes
import inspect
import shutil
import subprocess

import pytest

velmar_self_play = pytest.importorskip("velmar_self_play")


def test_module_attributes():
    assert velmar_self_play.__name__ == "velmar_self_play"
    assert velmar_self_play.__all__ == ["generate_game_data"]
    assert velmar_self_play.__doc__ == ""
    public = {name for name in dir(velmar_self_play) if not name.startswith("_")}
    assert public == {"generate_game_data"}


def test_function_object():
    fn = velmar_self_play.generate_game_data
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == "generate_game_data"
    assert fn.__module__ == "velmar_self_play"
    assert fn.__text_signature__ == "(id, config, inference_queue, pipe)"


def test_signature_introspection():
    sig = inspect.signature(velmar_self_play.generate_game_data)
    assert list(sig.parameters) == ["id", "config", "inference_queue", "pipe"]
    for parameter in sig.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_only_the_init_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", velmar_self_play.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    # Version-node markers (type A) name no code or data.
    defined = [line.split()[-1] for line in listing.splitlines()
               if line.strip() and line.split()[-2] != "A"]
    assert defined == ["PyInit_velmar_self_play"], listing


def test_second_initialisation_is_refused():
    lib = ctypes.PyDLL(velmar_self_play.__file__)
    init = lib.PyInit_velmar_self_play
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="may only be initiali[sz]ed once per interpreter process"):
        init()
    # The module already imported is untouched.
    assert velmar_self_play.__all__ == ["generate_game_data"]
