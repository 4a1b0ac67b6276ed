"""The old name of ``velmar_pipeline.arena.search_arena``: the same module object, so that code importing
``velmar_pipeline.search_arena`` keeps working. Nothing in the package imports this name."""

import sys

from velmar_pipeline.arena import search_arena as _moved

sys.modules[__name__] = _moved
