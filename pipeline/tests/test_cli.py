"""The command line skeleton: `python -m velmar_pipeline`, and what every command does with its output paths."""

import os
import subprocess
import sys

import pytest

from scripted_games import lowest_tile_games, write_games
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


FOLDER_FLAGS = {
    "selfplay --out": lambda shard, path: ["selfplay", "--out", path, "--games", "1"],
    "train --out": lambda shard, path: ["train", shard, "--out", path, "--no-progress"],
    "loop --dir": lambda shard, path: ["loop", "--dir", path, "--no-progress"],
}
FILE_FLAGS = {
    "show --out": lambda shard, path: ["show", shard, "--out", path],
    "show --gif": lambda shard, path: ["show", shard, "--out", "x.png", "--gif", path],
    "arena --json": lambda shard, path: ["arena", "uniform", "--games", "1", "--no-progress", "--json", path],
}
BAD_PATHS = {"empty": ("", "''"), "a 256-character name": ("x" * 256, "too long"),
             "a symbolic link loop": ("loop", "symbolic link")}


@pytest.mark.parametrize("flag, path", [(flag, path) for flag in [*FOLDER_FLAGS, *FILE_FLAGS] for path in BAD_PATHS
                                        # a file written over a symbolic link replaces the link
                                        if not (flag in FILE_FLAGS and path == "a symbolic link loop")])
def test_an_unusable_output_path_is_one_line_before_anything_is_written(tmp_path, monkeypatch, capsys, flag, path):
    if flag.split()[0] in ("train", "loop"):
        pytest.importorskip("torch")
    shard = str(write_games(tmp_path / "games", lowest_tile_games(1, seed=1)))
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    os.symlink("loop", "loop")
    name, words = BAD_PATHS[path]
    argv = {**FOLDER_FLAGS, **FILE_FLAGS}[flag](shard, name)
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err and "Traceback" not in err, err
    assert sorted(p.name for p in work.iterdir()) == ["loop"]
    assert sorted(p.name for p in (tmp_path / "games").iterdir()) == ["shard-00000.npz"]


# The flags of a command that are no field of its settings: what the command itself reads.
OWN_FLAGS = {
    "selfplay": {"--value-offset", "--model", "--inference", "--no-progress", "--cluster"},
    "train": {"shards", "--out", "--init", "--no-progress", "--blocks", "--channels", "--value-only"},
    "loop": {"--dir", "--value-offset", "--inference", "--no-progress", "--blocks", "--channels", "--value-only"},
}


def settings_of(command):
    from velmar_pipeline.selfplay.config import SearchConfig
    from velmar_pipeline.selfplay.options import Options
    from velmar_pipeline.training.loop import LoopSettings
    from velmar_pipeline.training.train import TrainSettings

    return {"selfplay": [SearchConfig, Options], "train": [TrainSettings],
            "loop": [LoopSettings, SearchConfig, TrainSettings]}[command]


@pytest.mark.parametrize("command", sorted(OWN_FLAGS))
def test_each_setting_is_defined_once_and_each_flag_says_its_default_once(command):
    from velmar_pipeline.__main__ import build_parser
    from velmar_pipeline.errors import dest_of, flag_fields, flag_of

    parser = build_parser()._subparsers._group_actions[0].choices[command]
    flags = {(action.option_strings or [action.dest])[0]: action for action in parser._actions
             if action.dest != "help"}
    fields = [(flag_of(f), f, settings) for settings in settings_of(command) for f in flag_fields(settings)]
    by_flag = {}
    for flag, field, settings in fields:
        assert flag not in by_flag, f"{flag} is a field of both {by_flag.get(flag)} and {settings.__name__}"
        by_flag[flag] = settings.__name__
        assert flag in flags and flags[flag].dest == dest_of(field), f"{command} lacks {flag} of {settings.__name__}"
    assert set(flags) - set(by_flag) == OWN_FLAGS[command]
    help_text = parser.format_help()
    assert "(default: None)" not in help_text and "(default: False)" not in help_text
    for action in flags.values():
        line = " ".join(parser._get_formatter()._expand_help(action).split()) if action.help else ""
        assert line.count("(default:") <= 1, line
