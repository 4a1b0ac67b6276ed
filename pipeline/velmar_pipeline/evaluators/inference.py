"""The network on the CPU through ONNX Runtime, and the choice of backend for a checkpoint.

A network is trained and saved with torch (``velmar_pipeline.evaluators.network``); for play on the CPU it
runs exported as an ONNX model (``velmar_pipeline.evaluators.onnx_export``), several times faster than
torch's eager forward pass on small batches. This module needs onnxruntime and numpy, never
torch, so that a node that only plays can serve an ``.onnx`` file without torch.

The choice of backend (``--inference``): ``torch`` runs the checkpoint as it is; ``onnx`` serves
its ONNX twin; ``auto`` does the latter unless torch sees a GPU. The twin is written beside the
checkpoint (``model.pt`` -> ``model.onnx``) and reused while it holds the export of that very
checkpoint (its SHA-256 is in the twin's metadata), so a checkpoint that changed is exported anew;
where the checkpoint's folder cannot be written, it goes to a folder under the system's
temporary folder. Every time it is chosen, the twin is checked against torch on a fixed batch of
positions.

An exported model has input ``planes`` (batch, 5, 400) float32 and outputs ``logits``
(batch, 400) and ``values`` (batch, 4), the payoff softmax in slot order, as every evaluator.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
from pathlib import Path

import numpy as np

from velmar_rules import CELLS, PLANES, PLAYERS, Game
from velmar_pipeline.errors import ModelError

BACKENDS = ("auto", "torch", "onnx")
SUFFIX = ".onnx"
INPUT = "planes"
OUTPUTS = ("logits", "values")
# Both backends compute in float32; they differ by the order of the sums only.
TOLERANCE = 1e-4
METADATA_SOURCE_HASH = "velmar.checkpoint_sha256"


def default_threads(cores: int | None = None) -> int:
    """Intra-op threads for training and the arena: all cores but one.

    OpenMP threads that find their cores busy wait for each other at every layer; on the 2-core
    machines this project runs on, 2 threads next to any other work train several times slower
    than 1.
    """
    cores = cores or os.cpu_count() or 1
    return max(1, cores - 1)


def service_threads(cores: int | None = None) -> int:
    """Intra-op threads of the inference service: a quarter of the cores, 1 to 4.

    The workers' engines take a core each, and the service's batches are small (one request per
    game in flight), so more threads mostly add synchronisation.
    """
    cores = cores or os.cpu_count() or 1
    return max(1, min(4, cores // 4))


def requested_service_threads() -> int:
    """``VELMAR_SERVICE_THREADS`` from the environment (for measuring), else :func:`service_threads`."""
    return int(os.environ.get("VELMAR_SERVICE_THREADS", 0)) or service_threads()


def is_onnx(path: str | os.PathLike) -> bool:
    return str(path).endswith(SUFFIX)


def _runtime():
    try:
        import onnxruntime
    except ImportError:
        raise ModelError("serving an ONNX model needs onnxruntime: pip install '.[serve]'") from None
    return onnxruntime


class OnnxEvaluator:
    """Evaluator ``(planes[B, 5, 400]) -> (logits[B, 400], values[B, 4])`` backed by an ONNX model.

    ValueError, naming the file, when it is no ONNX model or not one with this project's inputs
    and outputs.
    """

    def __init__(self, path: str | os.PathLike, threads: int = 1, data: bytes | None = None):
        """``data``: the model's bytes, when it is not read from ``path`` (which then only names it)."""
        ort = _runtime()
        options = ort.SessionOptions()
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = 1
        options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
        options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        options.log_severity_level = 3  # errors only: its warnings are about graph rewrites
        # Threads that spin while waiting for work take the core a worker's engine needs.
        options.add_session_config_entry("session.intra_op.allow_spinning", "0")
        try:
            self.session = ort.InferenceSession(str(path) if data is None else data, options,
                                                providers=["CPUExecutionProvider"])
        except Exception as error:
            first = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
            raise ModelError(f"{path}: not a usable ONNX model ({first})") from None
        self.path = str(path)
        self.metadata = dict(self.session.get_modelmeta().custom_metadata_map)
        self._check_signature()

    def _check_signature(self) -> None:
        inputs = self.session.get_inputs()
        outputs = {out.name: out for out in self.session.get_outputs()}
        expected = (f"input {INPUT} [batch, {PLANES}, {CELLS}] and outputs logits [batch, {CELLS}], "
                    f"values [batch, {PLAYERS}]")
        found = (f"inputs {[(i.name, i.shape) for i in inputs]}, "
                 f"outputs {[(o.name, o.shape) for o in outputs.values()]}")
        if (len(inputs) != 1 or inputs[0].name != INPUT or inputs[0].type != "tensor(float)"
                or not _shape_fits(inputs[0].shape, (PLANES, CELLS))
                or any(name not in outputs for name in OUTPUTS)
                or not _shape_fits(outputs["logits"].shape, (CELLS,))
                or not _shape_fits(outputs["values"].shape, (PLAYERS,))):
            raise ModelError(f"{self.path}: not a velmar network: it needs {expected}; it has {found}")
        fixed = [shape[0] for shape in (inputs[0].shape, *(outputs[name].shape for name in OUTPUTS))
                 if isinstance(shape[0], int)]
        if fixed:  # what torch.onnx.export writes without dynamic axes: the service batches many positions
            raise ModelError(f"{self.path}: its batch is fixed at {fixed[0]}; export it with a dynamic batch "
                             "(velmar-pipeline export CHECKPOINT, or dynamic_axes in torch.onnx.export)")

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        planes = np.ascontiguousarray(planes, dtype=np.float32)
        logits, values = self.session.run(OUTPUTS, {INPUT: planes})
        return logits, values


def _shape_fits(shape, tail: tuple[int, ...]) -> bool:
    """A declared shape of (any batch, *tail): the batch may be named or fixed, the rest must match."""
    return len(shape) == 1 + len(tail) and all(s == t for s, t in zip(shape[1:], tail))


def reference_planes(count: int = 64, seed: int = 0) -> np.ndarray:
    """A fixed batch of positions from seeded random games, every phase of a game included."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        game = Game()
        step = 0
        while not game.is_over and len(out) < count:
            if step % 7 == 0:
                out.append(game.encode())
            game.apply(int(rng.choice(game.legal_tiles())))
            step += 1
    return np.stack(out)


def file_sha256(path: str | os.PathLike) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def twin_paths(checkpoint: str | os.PathLike, sha256: str) -> list[Path]:
    """Where a checkpoint's ONNX twin may live: beside it, else under the temporary folder."""
    checkpoint = Path(checkpoint)
    spare = Path(tempfile.gettempdir()) / "velmar-onnx" / f"{checkpoint.stem}-{sha256[:16]}{SUFFIX}"
    return [checkpoint.with_suffix(SUFFIX), spare]


def current_twin(checkpoint: str | os.PathLike, sha256: str) -> OnnxEvaluator | None:
    """The loaded twin that holds the export of this checkpoint, if one exists; None otherwise."""
    for path in twin_paths(checkpoint, sha256):
        if not path.is_file():
            continue
        try:
            twin = OnnxEvaluator(path)
        except ValueError:
            continue  # damaged or foreign: exported anew
        if twin.metadata.get(METADATA_SOURCE_HASH) == sha256:
            return twin
    return None


def check_agreement(expected: tuple[np.ndarray, np.ndarray], found: tuple[np.ndarray, np.ndarray],
                    what: str) -> None:
    """ValueError when two backends' (logits, values) differ beyond :data:`TOLERANCE`."""
    for name, want, got in zip(OUTPUTS, expected, found):
        gap = float(np.max(np.abs(np.asarray(want, np.float64) - got))) if len(want) else 0.0
        if not gap <= TOLERANCE * (1.0 + float(np.max(np.abs(want)))):
            raise ModelError(f"{what}: its {name} differ from torch's by {gap:.3g} (tolerance {TOLERANCE:g})")


def resolve_backend(inference: str, model: str) -> str:
    """``torch`` or ``onnx`` for serving ``model`` (a checkpoint or an ``.onnx`` file) on this machine."""
    if inference not in BACKENDS:
        raise ModelError(f"--inference must be one of {', '.join(BACKENDS)}, got {inference!r}")
    if is_onnx(model):
        if inference == "torch":
            raise ModelError(f"{model} is an ONNX model; --inference torch needs a checkpoint")
        return "onnx"
    if inference == "auto":
        try:
            import torch
        except ImportError:
            raise ModelError(f"reading the checkpoint {model} needs torch: pip install '.[train]', "
                             "or serve its ONNX export (velmar-pipeline export)") from None
        return "torch" if torch.cuda.is_available() else "onnx"
    if inference == "torch":
        try:
            import torch  # noqa: F401
        except ImportError:
            raise ModelError(f"--inference torch needs torch to run {model}: pip install '.[train]', "
                             "or serve its ONNX export (--inference onnx)") from None
    return inference
