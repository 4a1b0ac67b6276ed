"""The old name of ``velmar_pipeline.training.train``: the same module object, so that code importing
``velmar_pipeline.train`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.training import train as _moved

sys.modules[__name__] = _moved
