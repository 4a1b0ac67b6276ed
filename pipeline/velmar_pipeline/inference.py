"""The old name of ``velmar_pipeline.evaluators.inference``, with ``served_model`` and
``served_evaluator`` that moved to ``velmar_pipeline.evaluators.serving``, so that code importing
``velmar_pipeline.inference`` keeps working. Nothing in the package imports this name."""

from velmar_pipeline.evaluators.inference import *  # noqa: F401,F403
from velmar_pipeline.evaluators.inference import (  # noqa: F401
    BACKENDS, INPUT, METADATA_SOURCE_HASH, OUTPUTS, SUFFIX, TOLERANCE, OnnxEvaluator, check_agreement, current_twin,
    default_threads, file_sha256, is_onnx, reference_planes, requested_service_threads, resolve_backend,
    service_threads, twin_paths,
)
from velmar_pipeline.evaluators.serving import served_evaluator, served_model  # noqa: F401
