"""The old name of ``velmar_pipeline.selfplay.config``: the same module object, so that code importing
``velmar_pipeline.config`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import config as _moved

sys.modules[__name__] = _moved
