"""Search settings and the selfplay command's validation of its flags and its evaluator."""

import os
import sys

import pytest

from velmar_pipeline.__main__ import main
from velmar_pipeline.selfplay.config import ConfigError, SearchConfig


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("sims_per_move", 0, "sims_per_move must be >= 1"),
        ("sims_per_move", -3, "sims_per_move must be >= 1"),
        ("sims_per_move", 2.5, "sims_per_move must be an integer"),
        ("sample_moves", -1, "sample_moves must be >= 0"),
        ("dirichlet_alpha", 0.0, "dirichlet_alpha must be > 0"),
        ("dirichlet_alpha", -0.1, "dirichlet_alpha must be > 0"),
        ("dirichlet_alpha", float("nan"), "dirichlet_alpha must be a finite number"),
        ("exploration_fraction", -0.01, r"exploration_fraction must be in \[0, 1\]"),
        ("exploration_fraction", 1.5, r"exploration_fraction must be in \[0, 1\]"),
        ("c_base", 0.0, "c_base must be > 0"),
    ],
)
def test_invalid_settings(field, value, message):
    with pytest.raises(ConfigError, match=message):
        SearchConfig(**{field: value})


@pytest.mark.parametrize("field, value",
                         [("exploration_fraction", 0.0), ("exploration_fraction", 1.0), ("sample_moves", 0)])
def test_boundary_settings_are_valid(field, value):
    assert getattr(SearchConfig(**{field: value}), field) == value


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--sims-per-move", "0"], "sims_per_move must be >= 1"),
        (["--dirichlet-alpha", "0"], "dirichlet_alpha must be > 0"),
        (["--exploration-fraction", "2"], "exploration_fraction must be in [0, 1]"),
        (["--workers", "0"], "--workers must be >= 1"),
        (["--evaluator", "nonesuch"], "unknown evaluator 'nonesuch'"),
        (["--reply-timeout", "inf"], "--reply-timeout must be in (0, 1e+06] seconds"),
        (["--reply-timeout", "1e12"], "--reply-timeout must be in (0, 1e+06] seconds"),
        (["--max-wait-ms", "inf"], "--max-wait-ms must be in [0, 60000]"),
        (["--sample-moves", "99999999999999999999999"], "sample_moves is too large"),
        (["--dirichlet-alpha", "1e-50"], "dirichlet_alpha is too small for a 32-bit float"),
        (["--c-base", "1e39"], "c_base must be a finite number within 32-bit float range"),
        (["--c-base", "1e-50"], "c_base is too small for a 32-bit float"),
        (["--seed", "-1", "--evaluator", "random"], "--seed must be in [0, 2**63)"),
        (["--value-offset", "nan"], "value_offset must be a number in [-1, 2]"),
        (["--batch-size", str(2**32), "--workers", "2"], "--batch-size 4294967296 is more than the games in flight"),
        (["--evaluator", "net:" + "x" * 256], "File name too long"),
    ],
)
def test_cli_rejects_bad_settings_up_front(tmp_path, capsys, flags, message):
    assert main(["selfplay", "--out", str(tmp_path / "out"), *flags]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


class TestDispatcher:
    """Games handed to workers as tickets: never more than a worker's slots, lost ones re-dealt."""

    @staticmethod
    def make(games, capacity, workers):
        from multiprocessing import Pipe

        from velmar_pipeline.selfplay.run import Dispatcher

        pipes = [Pipe(duplex=False) for _ in range(workers)]
        return Dispatcher(games, capacity, [send for _, send in pipes]), [receive for receive, _ in pipes]

    @staticmethod
    def waiting(receive):
        """Tickets in the pipe, up to an end of file (which is left to read again)."""
        count = 0
        os.set_blocking(receive.fileno(), False)
        try:
            while os.read(receive.fileno(), 1):
                count += 1
        except BlockingIOError:
            pass
        return count

    def test_grants_up_to_capacity_and_refills_on_report(self):
        dispatcher, ends = self.make(games=5, capacity=2, workers=2)
        dispatcher.grant()
        assert [self.waiting(end) for end in ends] == [2, 2] and dispatcher.pool == 1
        dispatcher.reported(1)
        assert [self.waiting(end) for end in ends] == [0, 1] and dispatcher.pool == 0

    def test_a_released_worker_gives_its_games_to_the_others(self):
        dispatcher, ends = self.make(games=3, capacity=2, workers=2)
        dispatcher.grant()
        assert dispatcher.held == [2, 1]
        dispatcher.release(0)
        assert dispatcher.held == [0, 2] and dispatcher.pool == 1
        assert self.waiting(ends[0]) == 2 and os.read(ends[0].fileno(), 1) == b""  # closed for good
        dispatcher.reported(1)
        assert dispatcher.held == [0, 2] and dispatcher.pool == 0

    def test_pipes_close_once_every_game_is_reported(self):
        dispatcher, ends = self.make(games=2, capacity=1, workers=2)
        dispatcher.grant()
        dispatcher.reported(0)
        assert dispatcher.conns[0] is not None
        dispatcher.reported(1)
        assert dispatcher.conns == [None, None]
        for end in ends:
            assert self.waiting(end) == 1
            assert os.read(end.fileno(), 1) == b""  # end of file: no game left


@pytest.mark.parametrize(
    "source, name, message",
    [
        ("raise RuntimeError('boom')", "f", "cannot load evaluator 'broken_evaluator:f': RuntimeError: boom"),
        ("def f(:", "f", "SyntaxError"),
        ("f = 3", "f", "TypeError: int object is not callable"),
        ("def f(seed):\n    raise OSError('no')", "f", "cannot be used: OSError: no"),
        ("def f(seed):\n    return lambda p: (p, p)", "f", "the evaluator must return logits [2, 400]"),
        ("import numpy as np\ndef f(seed):\n    return lambda p: (np.zeros((len(p), 400)), np.full((len(p), 4), 5.0))",
         "f", "values outside [0, 1] (e.g. 5)"),
        (None, "net", "not a velmar policy-value checkpoint"),  # a checkpoint that is not one
    ],
)
def test_a_broken_evaluator_fails_in_one_line_before_any_process_starts(tmp_path, monkeypatch, capsys,
                                                                        source, name, message):
    if source is None:
        pytest.importorskip("torch")
        (tmp_path / "bad.pt").write_bytes(b"garbage")
        evaluator = f"net:{tmp_path / 'bad.pt'}"
    else:
        (tmp_path / "broken_evaluator.py").write_text(source + "\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        monkeypatch.delitem(sys.modules, "broken_evaluator", raising=False)
        evaluator = f"broken_evaluator:{name}"
    assert main(["selfplay", "--out", str(tmp_path / "out"), "--evaluator", evaluator]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("make, out", [
    (lambda root: (root / "f").write_text("x"), "f"),
    (lambda root: (root / "f").write_text("x"), "f/sub"),
])
def test_an_unusable_out_folder_is_one_line_and_status_2(tmp_path, capsys, make, out):
    make(tmp_path)
    assert main(["selfplay", "--out", str(tmp_path / out)]) == 2
    err = capsys.readouterr().err
    assert "cannot write records into" in err and err.count("\n") == 1
