"""The old name of ``velmar_pipeline.selfplay.node_runner``: the same module object, so that code importing
``velmar_pipeline.node_runner`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.selfplay import node_runner as _moved

sys.modules[__name__] = _moved
