"""The old name of ``velmar_pipeline.selfplay.service``: the same module object, so that code importing
``velmar_pipeline.service`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import service as _moved

sys.modules[__name__] = _moved
