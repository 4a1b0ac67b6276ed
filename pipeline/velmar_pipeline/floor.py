"""The old name of ``velmar_pipeline.selfplay.floor``: the same module object, so that code importing
``velmar_pipeline.floor`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import floor as _moved

sys.modules[__name__] = _moved
