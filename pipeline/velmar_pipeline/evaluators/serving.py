"""What a ``--inference`` choice serves: a checkpoint as it is, or its checked ONNX twin.

Above both ``inference`` (ONNX Runtime, no torch) and ``onnx_export`` (which needs torch only
when a checkpoint is exported), so that neither of those imports the other back.
"""

from __future__ import annotations

from velmar_pipeline.evaluators import onnx_export
from velmar_pipeline.evaluators.inference import is_onnx, resolve_backend


def served_model(model: str, inference: str) -> str:
    """The file to serve for ``model`` under ``--inference``: the model itself, or the checked ONNX
    twin of a checkpoint (exported when missing or stale). ValueError in one line when it fails."""
    if resolve_backend(inference, model) != "onnx" or is_onnx(model):
        return model
    return str(onnx_export.checked_twin(model))


def served_evaluator(name: str, inference: str) -> str:
    """An evaluator name with a ``net:CHECKPOINT`` turned into what ``--inference`` serves."""
    if not name.startswith("net:"):
        return name
    return "net:" + served_model(name[len("net:"):], inference)
