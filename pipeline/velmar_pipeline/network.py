"""The old name of ``velmar_pipeline.evaluators.network``: the same module object, so that code importing
``velmar_pipeline.network`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.evaluators import network as _moved

sys.modules[__name__] = _moved
