"""The command line skeleton: `python -m velmar_pipeline`, and what every command does with its output paths."""

import os
import subprocess
import sys

import pytest

from scripted_games import lowest_tile_games, write_games
from velmar_pipeline.__main__ import build_parser, main
from velmar_pipeline.errors import dest_of, flag_fields, flag_of
from velmar_pipeline.selfplay.config import SearchConfig
from velmar_pipeline.selfplay.options import Options
from velmar_pipeline.training.loop import LoopSettings
from velmar_pipeline.training.train import TrainSettings


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


# Per command: its settings, and the flags that are no field of them (what the command reads itself).
NETWORK = {"--blocks", "--channels", "--value-only"}
SETTINGS = {
    "selfplay": ([SearchConfig, Options], {"--value-offset", "--model", "--inference", "--no-progress", "--cluster"}),
    "train": ([TrainSettings], {"shards", "--out", "--init", "--no-progress", *NETWORK}),
    "loop": ([LoopSettings, SearchConfig, TrainSettings], {"--dir", "--value-offset", "--inference", "--no-progress",
                                                           *NETWORK}),
}


@pytest.mark.parametrize("command", sorted(SETTINGS))
def test_each_setting_is_defined_once_and_each_flag_says_its_default_once(command):
    parser = build_parser()._subparsers._group_actions[0].choices[command]
    flags = {(action.option_strings or [action.dest])[0]: action for action in parser._actions if action.dest != "help"}
    settings, own = SETTINGS[command]
    fields = [(flag_of(f), f) for kind in settings for f in flag_fields(kind)]
    assert len({flag for flag, _ in fields}) == len(fields), "a flag defined by two settings fields"
    assert all(flags[flag].dest == dest_of(f) for flag, f in fields if flag in flags)
    assert set(flags) - {flag for flag, _ in fields} == own and {flag for flag, _ in fields} <= set(flags)
    formatter = parser._get_formatter()
    for action in (action for action in flags.values() if action.help):
        assert " ".join(formatter._expand_help(action).split()).count("(default:") <= 1, action.help
    assert "(default: None)" not in parser.format_help() and "(default: False)" not in parser.format_help()
