"""The old name of ``velmar_pipeline.records.atomic``: the same module object, so that code importing
``velmar_pipeline.atomic`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.records import atomic as _moved

sys.modules[__name__] = _moved
