"""Python tooling around the self-play engine: running self-play, records, training.

The compiled modules install beside this package as top-level modules:
``velmar_rules`` (the game rules) and ``velmar_self_play`` (the self-play engine).
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("velmar-self-play")
except _metadata.PackageNotFoundError:  # running from a source tree without an install
    __version__ = "0.0.0"

__all__ = ["__version__"]
