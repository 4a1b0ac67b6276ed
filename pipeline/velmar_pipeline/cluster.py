"""The old name of ``velmar_pipeline.selfplay.cluster``: the same module object, so that code importing
``velmar_pipeline.cluster`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import cluster as _moved

sys.modules[__name__] = _moved
