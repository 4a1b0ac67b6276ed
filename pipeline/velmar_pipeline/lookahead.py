"""The old name of ``velmar_pipeline.training.lookahead``: the same module object, so that code importing
``velmar_pipeline.lookahead`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.training import lookahead as _moved

sys.modules[__name__] = _moved
