"""The old name of ``velmar_pipeline.records.positions``: the same module object, so that code importing
``velmar_pipeline.positions`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.records import positions as _moved

sys.modules[__name__] = _moved
