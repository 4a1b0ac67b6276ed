"""The old name of ``velmar_pipeline.arena.gatekeeper``: the same module object, so that code importing
``velmar_pipeline.gatekeeper`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.arena import gatekeeper as _moved

sys.modules[__name__] = _moved
