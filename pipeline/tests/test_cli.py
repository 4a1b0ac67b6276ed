"""The command line skeleton: `python -m velmar_pipeline`."""

import subprocess
import sys

import pytest

from velmar_pipeline.__main__ import main


def test_help_through_python_m():
    out = subprocess.run(
        [sys.executable, "-m", "velmar_pipeline", "--help"], capture_output=True, text=True, check=True
    ).stdout
    assert "usage: velmar-pipeline" in out


def test_info_lists_the_modules(capsys):
    assert main(["info"]) == 0
    out = capsys.readouterr().out
    assert "velmar-self-play" in out
    assert "velmar_rules: " in out and "velmar_rules: not available" not in out


def test_no_command_prints_help(capsys):
    assert main([]) == 2
    assert "usage:" in capsys.readouterr().out


def test_unknown_command_is_an_error():
    with pytest.raises(SystemExit) as exit_info:
        main(["no-such-command"])
    assert exit_info.value.code == 2
