"""The old name of ``velmar_pipeline.evaluators.architecture``: the same module object, so that code importing
``velmar_pipeline.architecture`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.evaluators import architecture as _moved

sys.modules[__name__] = _moved
