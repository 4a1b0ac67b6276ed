"""The old name of ``velmar_pipeline.training.loop``: the same module object, so that code importing
``velmar_pipeline.loop`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.training import loop as _moved

sys.modules[__name__] = _moved
