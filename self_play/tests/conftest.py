"""Shared set-up for the velmar_self_play tests.

The fakes live in selfplay_fakes.py next to this file; make sure it is importable whatever import
mode pytest runs in.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from selfplay_fakes import Config, Service  # noqa: E402


@pytest.fixture
def config():
    """A valid configuration with two simulations per move and greedy choice throughout."""
    return Config()


@pytest.fixture
def service():
    """A fake service answering a uniform policy and values of 0.25."""
    return Service()
