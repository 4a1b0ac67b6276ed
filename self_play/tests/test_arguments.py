"""Argument parsing and the conversion of `id`."""

import itertools

import pytest

from selfplay_fakes import Config, Service, Watched, probe

velmar_self_play = pytest.importorskip("velmar_self_play")
generate_game_data = velmar_self_play.generate_game_data

NAMES = ("id", "config", "inference_queue", "pipe")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexFails:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def arguments(service, config=None, id_value=5):
    return {"id": id_value, "config": config or Config(), "inference_queue": service.queue,
            "pipe": service.pipe}


def assert_untouched(service, config):
    assert service.count == 0 and service.recvs == 0
    assert config.asked == []


@pytest.mark.parametrize("order", list(itertools.permutations(NAMES)))
def test_keywords_in_any_order_equal_positional(order):
    service = Service(recv_errors={1: EOFError})
    given = arguments(service, id_value=31)
    with pytest.raises(Exception) as info:
        generate_game_data(**{name: given[name] for name in order})
    assert type(info.value) is Exception
    assert service.count == 1 and service.ids == {31}


@pytest.mark.parametrize("positional", range(5))
def test_positional_then_keywords(positional):
    service = Service(recv_errors={1: EOFError})
    given = arguments(service, id_value=-7)
    args = [given[name] for name in NAMES[:positional]]
    kwargs = {name: given[name] for name in NAMES[positional:]}
    with pytest.raises(Exception) as info:
        generate_game_data(*args, **kwargs)
    assert type(info.value) is Exception
    assert service.ids == {-7}


@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(extra):
    service, config = Service(), Watched()
    args = [1, config, service.queue, service.pipe] + [None] * extra
    with pytest.raises(TypeError) as info:
        generate_game_data(*args)
    assert str(info.value) == (
        f"generate_game_data() takes 4 positional arguments but {4 + extra} were given")
    assert_untouched(service, config)


MISSING_CASES = [
    (("id", "config", "inference_queue"), "1 required positional argument: 'pipe'"),
    (("id", "config"), "2 required positional arguments: 'inference_queue' and 'pipe'"),
    (("id",), "3 required positional arguments: 'config', 'inference_queue', and 'pipe'"),
    ((), "4 required positional arguments: 'id', 'config', 'inference_queue', and 'pipe'"),
    (("id", "pipe"), "2 required positional arguments: 'config' and 'inference_queue'"),
    (("config", "inference_queue", "pipe"), "1 required positional argument: 'id'"),
]


@pytest.mark.parametrize("given, missing", MISSING_CASES)
def test_missing_arguments_by_keyword(given, missing):
    service, config = Service(), Watched()
    values = arguments(service, config)
    with pytest.raises(TypeError) as info:
        generate_game_data(**{name: values[name] for name in given})
    assert str(info.value) == f"generate_game_data() missing {missing}"
    assert_untouched(service, config)


@pytest.mark.parametrize("count", range(4))
def test_missing_arguments_by_position(count):
    given, missing = MISSING_CASES[3 - count]
    assert given == NAMES[:count]
    service, config = Service(), Watched()
    values = arguments(service, config)
    with pytest.raises(TypeError) as info:
        generate_game_data(*(values[name] for name in NAMES[:count]))
    assert str(info.value) == f"generate_game_data() missing {missing}"
    assert_untouched(service, config)


@pytest.mark.parametrize("keyword", ["seed", "ID", "queue"])
def test_unexpected_keyword(keyword):
    service, config = Service(), Watched()
    with pytest.raises(TypeError) as info:
        generate_game_data(1, config, service.queue, service.pipe, **{keyword: 0})
    assert str(info.value) == f"generate_game_data() got an unexpected keyword argument '{keyword}'"
    assert_untouched(service, config)


@pytest.mark.parametrize("position", range(4))
def test_multiple_values(position):
    service, config = Service(), Watched()
    values = arguments(service, config)
    args = [values[name] for name in NAMES]
    with pytest.raises(TypeError) as info:
        generate_game_data(*args, **{NAMES[position]: args[position]})
    assert str(info.value) == (
        f"generate_game_data() got multiple values for argument '{NAMES[position]}'")
    assert_untouched(service, config)


@pytest.mark.parametrize("id_value, expected", [
    (0, 0), (1, 1), (-1, -1), (2147483647, 2147483647), (-2147483648, -2147483648),
    (True, 1), (False, 0), (Index(12345), 12345), (Index(-2147483648), -2147483648),
])
def test_accepted_ids_reach_the_service(id_value, expected):
    service = probe(velmar_self_play, id_value)
    assert service.ids == {expected}
    assert all(type(i) is int for i in service.ids)


@pytest.mark.parametrize("id_value", [2147483648, -2147483649, 2**63 - 1, -(2**63), Index(2**40)])
def test_id_outside_32_bits(id_value):
    service, config = Service(), Watched()
    with pytest.raises(OverflowError) as info:
        generate_game_data(id_value, config, service.queue, service.pipe)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert_untouched(service, config)


@pytest.mark.parametrize("id_value", [2**64, 2**70, -(2**70)])
def test_id_beyond_64_bits(id_value):
    service, config = Service(), Watched()
    with pytest.raises(OverflowError) as info:
        generate_game_data(id_value, config, service.queue, service.pipe)
    assert str(info.value) == "Python int too large to convert to C long"
    assert_untouched(service, config)


@pytest.mark.parametrize("id_value, text", [
    (3.0, "'float' object cannot be interpreted as an integer"),
    ("7", "'str' object cannot be interpreted as an integer"),
    (None, "'NoneType' object cannot be interpreted as an integer"),
    (Index("7"), "__index__ returned non-int (type str)"),
])
def test_id_of_the_wrong_type(id_value, text):
    service, config = Service(), Watched()
    with pytest.raises(TypeError) as info:
        generate_game_data(id_value, config, service.queue, service.pipe)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'id': " + text
    assert_untouched(service, config)


def test_id_type_error_keeps_its_cause():
    root = KeyError("lookup")
    error = TypeError("no index here")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        generate_game_data(IndexFails(error), Config(), None, None)
    assert str(info.value) == "argument 'id': no index here"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("exc", [ValueError("bad id"), ZeroDivisionError("division by zero")])
def test_other_id_errors_pass_unchanged(exc):
    service, config = Service(), Watched()
    with pytest.raises(type(exc)) as info:
        generate_game_data(IndexFails(exc), config, service.queue, service.pipe)
    assert info.value is exc
    assert not str(info.value).startswith("argument 'id'")
    assert_untouched(service, config)


def test_id_error_comes_before_the_configuration_is_read():
    # An unreadable configuration would be a PanicException; the id is converted first.
    service = Service()
    with pytest.raises(OverflowError):
        generate_game_data(2**40, {}, service.queue, service.pipe)
    assert service.count == 0


def test_configuration_is_read_once_after_the_arguments():
    config = Watched()
    probe(velmar_self_play, 3, config)
    assert config.asked == [
        "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha",
        "exploration_fraction",
    ]
