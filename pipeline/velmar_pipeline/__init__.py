"""Python tooling around the self-play engine: running self-play, records, training.

The package is in rooms by job; a room imports only the rooms below it, never one that imports
it back (``pipeline/tests/test_import_graph.py`` checks it):

- ``__main__``: the command line, one table of commands;
- ``training``: training on records (``train``) and the loop of generations (``loop``);
- ``arena``: matches between evaluators with or without search, the gatekeeper's too;
- ``show``: pictures and the HTML page of a recorded game;
- ``selfplay``: a self-play run, its inference service, workers and exchange, the Ray cluster layer;
- ``evaluators``: what answers a batch (built-ins, the network, ONNX Runtime);
- ``records``: shards written and read, and the positions they replay into;
- ``errors`` and ``streams``: errors as one line and the exit status they end a command with,
  output that never fails the work, descriptors swapped.

The compiled modules install beside this package as top-level modules:
``velmar_rules`` (the game rules), ``velmar_self_play`` (the self-play engine) and
``velmar_wire`` (the exchange's native endpoints).
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("velmar-self-play")
except _metadata.PackageNotFoundError:  # running from a source tree without an install
    __version__ = "0.0.0"

__all__ = ["__version__"]
