"""Reading the search settings from the `config` object, and the failures that follow from them."""

import math
import re

import pytest

from selfplay_fakes import (
    DEFAULTS, EVEN_VALUES, MISSING, SETTINGS, UNWRAP_ERR, Config, Service, Watched, catch_panic,
    panic_message, probe, pyerr,
)

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data


class ClassAttributes:
    sims_per_move = 2
    sample_moves = 0
    c_base = 19652.0
    c_init = 1.25
    dirichlet_alpha = 0.3
    exploration_fraction = 0.25


class Properties:
    def __init__(self, sims):
        self._sims = sims

    @property
    def sims_per_move(self):
        return self._sims

    sample_moves = property(lambda self: 0)
    c_base = property(lambda self: 19652.0)
    c_init = property(lambda self: 1.25)
    dirichlet_alpha = property(lambda self: 0.3)
    exploration_fraction = property(lambda self: 0.25)


class Hooked:
    """Everything through the class-level attribute hook."""

    def __init__(self, **values):
        self._values = {**DEFAULTS, **values}

    def __getattr__(self, name):
        try:
            return self.__dict__["_values"][name]
        except KeyError:
            raise AttributeError(name) from None


class Subclassed(ClassAttributes):
    sims_per_move = 3


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.3


def assert_sims_per_move(config, sims):
    """The first move makes sims + 1 requests: its root and one leaf per simulation."""
    if sims:
        # Request sims + 1 is still a leaf of the first move ...
        service = Service(recv_errors={sims + 1: EOFError})
        catch_panic(generate_game_data, 1, config, service.queue, service.pipe)
        assert service.count == sims + 1
    # ... and request sims + 2 is the root of the second.
    service = Service(recv_errors={sims + 2: EOFError})
    with pytest.raises(Exception) as info:
        generate_game_data(1, config, service.queue, service.pipe)
    assert type(info.value) is Exception
    assert service.count == sims + 2


@pytest.mark.parametrize("config, sims", [
    (Config(sims_per_move=2), 2),
    (ClassAttributes(), 2),
    (Properties(2), 2),
    (Hooked(), 2),
    (Subclassed(), 3),
    (Config(sims_per_move=True), 1),
    (Config(sims_per_move=False), 0),
    (Config(sims_per_move=Index(3)), 3),
    (Hooked(sims_per_move=1), 1),
], ids=["instance", "class", "property", "getattr", "subclass", "true", "false", "index", "hook1"])
def test_configuration_forms(config, sims):
    assert_sims_per_move(config, sims)


@pytest.mark.parametrize("overrides", [
    {"c_base": 2},
    {"c_init": 0},
    {"dirichlet_alpha": Floaty()},
    {"exploration_fraction": 1},
    {"exploration_fraction": 0.1},
    {"sample_moves": 2**64 - 1},
    {"sample_moves": True},
    {"c_base": float("inf")},
])
def test_convertible_values_are_accepted(overrides):
    probe(velmar_self_play, 1, Config(**overrides))


def expected_panic(exc, traceback=False):
    return re.escape(UNWRAP_ERR) + pyerr(exc, traceback)


@pytest.mark.parametrize("field, value", [
    ("sims_per_move", 3.0),
    ("sims_per_move", "2"),
    ("sims_per_move", None),
    ("sims_per_move", -1),
    ("sims_per_move", 2**64),
    ("sample_moves", -1),
    ("sample_moves", 0.5),
    ("c_base", "1"),
    ("c_init", "1.25"),
    ("c_init", None),
    ("dirichlet_alpha", "0.3"),
    ("exploration_fraction", [0.25]),
])
def test_unconvertible_value(field, value):
    config, service = Watched(**{field: value}), Service()
    exc = catch_panic(generate_game_data, 1, config, service.queue, service.pipe)
    message = panic_message(exc)
    assert message.startswith(UNWRAP_ERR + "PyErr { type: <class '")
    failure = TypeError(f"failed to extract field Config.{field}")
    assert re.fullmatch(expected_panic(failure), message), message
    # The read stops at the first bad field; the game never starts.
    assert config.asked == list(SETTINGS[:SETTINGS.index(field) + 1])
    assert service.count == 0


@pytest.mark.parametrize("field", SETTINGS)
def test_missing_attribute(field):
    service = Service()
    exc = catch_panic(generate_game_data, 1, Config(**{field: MISSING}), service.queue, service.pipe)
    failure = AttributeError(f"'Config' object has no attribute '{field}'")
    assert re.fullmatch(expected_panic(failure), panic_message(exc))
    assert service.count == 0


def test_first_missing_attribute_is_named():
    exc = catch_panic(generate_game_data, 1, Config(sims_per_move=MISSING, c_init=MISSING), None, None)
    message = panic_message(exc)
    assert "'sims_per_move'" in message and "c_init" not in message


def test_mapping_is_not_a_configuration():
    service = Service()
    exc = catch_panic(generate_game_data, 1, dict(DEFAULTS), service.queue, service.pipe)
    try:
        getattr({}, "sims_per_move")
    except AttributeError as error:
        failure = error
    message = panic_message(exc)
    assert re.fullmatch(expected_panic(failure), message), message
    assert "AttributeError(\"'dict' object has no attribute 'sims_per_move'\")" in message
    assert service.count == 0


def test_attribute_error_from_python_code_keeps_its_traceback():
    class Failing(Config):
        @property
        def c_base(self):
            raise ValueError("c_base is not ready")

    exc = catch_panic(generate_game_data, 1, Failing(c_base=MISSING), None, None)
    assert re.fullmatch(expected_panic(ValueError("c_base is not ready"), traceback=True),
                        panic_message(exc))


def test_panic_is_not_stopped_by_exception_handlers(capfd):
    stopped = False
    with pytest.raises(BaseException) as info:
        try:
            generate_game_data(1, {}, None, None)
        except Exception:
            stopped = True
    assert not stopped, "a handler for Exception caught the internal failure"
    assert type(info.value).__name__ == "PanicException"
    assert not issubclass(type(info.value), Exception)
    assert type(info.value).__bases__ == (BaseException,)
    # The class is made once and kept.
    again = catch_panic(generate_game_data, 1, {}, None, None)
    assert type(again) is type(info.value)
    # A report with the message goes to standard error; standard output stays clean.
    captured = capfd.readouterr()
    assert "failed" not in captured.out and captured.out == ""
    assert "'dict' object has no attribute 'sims_per_move'" in captured.err


@pytest.mark.parametrize("alpha", [0.0, 0, -1.0, -1e-30, float("nan"), float("-inf")])
def test_dirichlet_alpha_must_be_positive(alpha, capfd):
    service = Service()
    exc = catch_panic(generate_game_data, 1, Config(dirichlet_alpha=alpha), service.queue,
                      service.pipe)
    assert panic_message(exc) == UNWRAP_ERR + "AlphaTooSmall"
    # The root was evaluated; the noise failed before any simulation.
    assert service.count == 1
    assert capfd.readouterr().out == ""


def test_no_noise_at_a_root_with_one_child():
    # The first root gets a single child (only cell 0 has a logit), so no noise is drawn there
    # and the bad alpha fails only at the second move's root.
    service = Service(replies={1: ([0.0], EVEN_VALUES)})
    exc = catch_panic(generate_game_data, 1, Config(dirichlet_alpha=0.0, sims_per_move=0),
                      service.queue, service.pipe)
    assert panic_message(exc) == UNWRAP_ERR + "AlphaTooSmall"
    assert service.count == 2


def test_nan_settings_other_than_alpha_are_not_checked():
    # Only their conversion is checked; the configuration is accepted.
    probe(velmar_self_play, 1, Config(c_init=math.nan, exploration_fraction=math.nan))
