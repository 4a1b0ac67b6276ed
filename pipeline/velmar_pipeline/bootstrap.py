"""The old name of ``velmar_pipeline.training.bootstrap``: the same module object, so that code importing
``velmar_pipeline.bootstrap`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.training import bootstrap as _moved

sys.modules[__name__] = _moved
