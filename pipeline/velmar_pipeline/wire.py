"""The old name of ``velmar_pipeline.selfplay.wire``: the same module object, so that code importing
``velmar_pipeline.wire`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import wire as _moved

sys.modules[__name__] = _moved
