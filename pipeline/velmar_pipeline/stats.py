"""The old name of ``velmar_pipeline.records.stats``: the same module object, so that code importing
``velmar_pipeline.stats`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.records import stats as _moved

sys.modules[__name__] = _moved
