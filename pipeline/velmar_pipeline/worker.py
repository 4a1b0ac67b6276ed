"""The old name of ``velmar_pipeline.selfplay.worker``: the same module object, so that code importing
``velmar_pipeline.worker`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import worker as _moved

sys.modules[__name__] = _moved
