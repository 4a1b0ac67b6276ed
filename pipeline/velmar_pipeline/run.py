"""The old name of ``velmar_pipeline.selfplay.run``: the same module object, so that code importing
``velmar_pipeline.run`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import run as _moved

sys.modules[__name__] = _moved
