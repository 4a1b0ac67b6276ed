"""Shared set-up for the velmar_pipeline tests, which sit in one folder per room of the package.

The helpers (scripted_games.py, pipeline_fakes.py) live next to this file; make sure they are
importable from every room's folder whatever import mode pytest runs in.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)
