"""The old name of ``velmar_pipeline.evaluators.onnx_export``: the same module object, so that code importing
``velmar_pipeline.onnx_export`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.evaluators import onnx_export as _moved

sys.modules[__name__] = _moved
