"""Argument binding and conversion at the Python boundary.

How positional and keyword arguments are bound to parameters and the exact
TypeError texts when that fails; how each argument is converted (32-bit float,
unsigned 16-bit, unsigned 64-bit, text, records and the bus object) and which
exceptions carry the argument prefix; and that no call, succeeding or failing,
leaks references or memory.
"""

import array
import gc
import math
import operator
import sys
import tracemalloc

import pytest

import rotalink
from rotalink import MitLimits, MitSetpoint, MotorState, mit_setpoint

LIMIT_FIELDS = ["p_max", "v_max", "kp_max", "kd_max", "t_max"]
SETPOINT_FIELDS = ["q", "dq", "kp", "kd", "tau"]
BUS_METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]

U16_RANGE_MESSAGE = "out of range integral type conversion attempted"


def damiao(*args, **kwargs):
    return rotalink.Damiao(*args, **kwargs)


def transport(*args, **kwargs):
    return rotalink.SocketCanTransport(*args, **kwargs)


def method(name):
    """Calls ``name`` on a fresh ``Damiao(1, 0)`` with the given arguments."""

    def call(*args, **kwargs):
        return getattr(rotalink.Damiao(1, 0), name)(*args, **kwargs)

    call.__name__ = name
    return call


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.args == (message,)
    return info.value


# Reference messages, produced by CPython's own converters for the same value.


def float_protocol_message(obj):
    try:
        math.fabs(obj)  # converts with the same float protocol
    except TypeError as exc:
        return str(exc)
    raise AssertionError("%r converts to float" % (obj,))


def index_message(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("%r has an index" % (obj,))


def c_long_overflow(value):
    """CPython's OverflowError text for ``value`` as a C long, or None if it fits."""
    try:
        array.array("l", [value])
    except OverflowError as exc:
        return str(exc)
    return None


def u64_overflow(value):
    try:
        array.array("Q", [value])
    except OverflowError as exc:
        return str(exc)
    raise AssertionError("%r fits in 64 bits" % (value,))


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return "Floaty(%r)" % (self.value,)


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "Indexy(%r)" % (self.value,)


class Raising:
    """Raises the given exception from every conversion hook."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc

    def __repr__(self):
        return "Raising(%r)" % (self.exc,)


class RaisingFresh:
    """Raises a new exception of the given type from every conversion hook."""

    def __init__(self, exc_type, message):
        self.exc_type, self.message = exc_type, message

    def __float__(self):
        raise self.exc_type(self.message)

    def __index__(self):
        raise self.exc_type(self.message)


class CausedTypeError:
    """A conversion hook that raises TypeError chained to another exception."""

    def __init__(self):
        self.root = KeyError("root cause")

    def __float__(self):
        raise TypeError("inner conversion failed") from self.root

    def __index__(self):
        raise TypeError("inner conversion failed") from self.root


class Recorder:
    """Records the order in which conversions happen."""

    def __init__(self, log, name, value=1.0):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(self.name)
        return self.value

    def __index__(self):
        self.log.append(self.name)
        return int(self.value)


# ----------------------------------------------------------- argument binding


FIVE_FLOAT_CALLABLES = [
    ("MitLimits.__new__", MitLimits, LIMIT_FIELDS),
    ("MitSetpoint.__new__", MitSetpoint, SETPOINT_FIELDS),
    ("mit_setpoint", mit_setpoint, SETPOINT_FIELDS),
]


def five_float_binding_cases():
    cases = []
    for name, fn, params in FIVE_FLOAT_CALLABLES:
        p0, p1 = params[0], params[1]
        cases += [
            pytest.param(fn, (1, 2, 3, 4, 5, 6), {},
                         "%s() takes from 0 to 5 positional arguments but 6 were given" % name,
                         id=name + "-six-positional"),
            pytest.param(fn, tuple(range(9)), {},
                         "%s() takes from 0 to 5 positional arguments but 9 were given" % name,
                         id=name + "-nine-positional"),
            pytest.param(fn, (1, 2, 3, 4, 5, 6), {"zz": 1},
                         "%s() takes from 0 to 5 positional arguments but 6 were given" % name,
                         id=name + "-surplus-before-keywords"),
            pytest.param(fn, (1,), {p0: 2},
                         "%s() got multiple values for argument '%s'" % (name, p0),
                         id=name + "-multiple-first"),
            pytest.param(fn, (1, 2), {p1: 2},
                         "%s() got multiple values for argument '%s'" % (name, p1),
                         id=name + "-multiple-second"),
            pytest.param(fn, (), {"zz": 1},
                         "%s() got an unexpected keyword argument 'zz'" % name,
                         id=name + "-unexpected"),
            pytest.param(fn, (), {p0.upper(): 1},
                         "%s() got an unexpected keyword argument '%s'" % (name, p0.upper()),
                         id=name + "-case-sensitive"),
            pytest.param(fn, (), {p0 + "x": 1},
                         "%s() got an unexpected keyword argument '%s'" % (name, p0 + "x"),
                         id=name + "-longer-name"),
            pytest.param(fn, (), {p1[:1]: 1},
                         "%s() got an unexpected keyword argument '%s'" % (name, p1[:1]),
                         id=name + "-prefix-of-name"),
            pytest.param(fn, (), {"\u00e9t\u00e9": 1},
                         "%s() got an unexpected keyword argument '\u00e9t\u00e9'" % name,
                         id=name + "-non-ascii"),
            pytest.param(fn, (), {p0 + "\x00": 1},
                         "%s() got an unexpected keyword argument '%s'" % (name, p0 + "\x00"),
                         id=name + "-embedded-nul"),
            pytest.param(fn, (), {"\ud800": 1},
                         "%s() got an unexpected keyword argument '\ud800'" % name,
                         id=name + "-lone-surrogate"),
            # Keywords are checked in the order given.
            pytest.param(fn, (1,), {"zz": 1, p0: 2},
                         "%s() got an unexpected keyword argument 'zz'" % name,
                         id=name + "-unexpected-then-multiple"),
            pytest.param(fn, (1,), {p0: 2, "zz": 1},
                         "%s() got multiple values for argument '%s'" % (name, p0),
                         id=name + "-multiple-then-unexpected"),
            pytest.param(fn, (), {"zz": 1, "yy": 2},
                         "%s() got an unexpected keyword argument 'zz'" % name,
                         id=name + "-first-unexpected-wins"),
            # Binding fails before anything is converted.
            pytest.param(fn, ("not a number",), {p0: 1},
                         "%s() got multiple values for argument '%s'" % (name, p0),
                         id=name + "-binding-before-conversion"),
            pytest.param(fn, ("not a number",), {"zz": 1},
                         "%s() got an unexpected keyword argument 'zz'" % name,
                         id=name + "-unexpected-before-conversion"),
        ]
    return cases


@pytest.mark.parametrize("fn, args, kwargs, message", five_float_binding_cases())
def test_binding_errors_of_float_callables(fn, args, kwargs, message):
    raises_exactly(TypeError, message, fn, *args, **kwargs)


def damiao_binding_cases():
    new = "Damiao.__new__"
    cases = [
        (damiao, (), {}, "%s() missing 2 required positional arguments: 'motor_id' and 'master_id'" % new),
        (damiao, (), {"limits": None, "timeout_ms": 5},
         "%s() missing 2 required positional arguments: 'motor_id' and 'master_id'" % new),
        (damiao, (1,), {}, "%s() missing 1 required positional argument: 'master_id'" % new),
        (damiao, (), {"master_id": 1}, "%s() missing 1 required positional argument: 'motor_id'" % new),
        (damiao, (1, 2, 3, 4, 5), {}, "%s() takes from 2 to 4 positional arguments but 5 were given" % new),
        (damiao, (1, 2), {"motor_id": 3}, "%s() got multiple values for argument 'motor_id'" % new),
        (damiao, (1, 2, None), {"limits": None}, "%s() got multiple values for argument 'limits'" % new),
        (damiao, (1, 2), {"zz": 3}, "%s() got an unexpected keyword argument 'zz'" % new),
        (damiao, (1, 2), {"timeout": 3}, "%s() got an unexpected keyword argument 'timeout'" % new),
        (damiao, (1, 2), {"\ud800": 1}, "%s() got an unexpected keyword argument '\ud800'" % new),
        (damiao, ("x",), {}, "%s() missing 1 required positional argument: 'master_id'" % new),
    ]
    for m in BUS_METHODS:
        name = "Damiao.%s" % m
        call = method(m)
        cases += [
            (call, (), {}, "%s() missing 1 required positional argument: 'bus'" % name),
            (call, (1, 2), {}, "%s() takes 1 positional arguments but 2 were given" % name),
            (call, (3,), {"bus": 4}, "%s() got multiple values for argument 'bus'" % name),
            (call, (), {"bux": 3}, "%s() got an unexpected keyword argument 'bux'" % name),
            (call, (), {"setpoint": 3}, "%s() got an unexpected keyword argument 'setpoint'" % name),
        ]
    call = method("mit_control")
    name = "Damiao.mit_control"
    cases += [
        (call, (), {}, "%s() missing 2 required positional arguments: 'bus' and 'setpoint'" % name),
        (call, (3,), {}, "%s() missing 1 required positional argument: 'setpoint'" % name),
        (call, (), {"setpoint": MitSetpoint()}, "%s() missing 1 required positional argument: 'bus'" % name),
        (call, (1, 2, 3), {}, "%s() takes 2 positional arguments but 3 were given" % name),
        (call, (3, 5), {"setpoint": 1}, "%s() got multiple values for argument 'setpoint'" % name),
        (call, (3, 5), {"zz": 1}, "%s() got an unexpected keyword argument 'zz'" % name),
        (call, (3,), {"\udcff": 5}, "%s() got an unexpected keyword argument '\udcff'" % name),
    ]
    return [
        pytest.param(*c, id="%s-%d" % (c[3].split("()")[0], i))
        for i, c in enumerate(cases)
    ]


@pytest.mark.parametrize("fn, args, kwargs, message", damiao_binding_cases())
def test_binding_errors_of_damiao(fn, args, kwargs, message):
    raises_exactly(TypeError, message, fn, *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "SocketCanTransport.__new__() missing 1 required positional argument: 'iface'"),
        (("a", "b"), {}, "SocketCanTransport.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"iface": "b"}, "SocketCanTransport.__new__() got multiple values for argument 'iface'"),
        ((), {"ifname": "a"}, "SocketCanTransport.__new__() got an unexpected keyword argument 'ifname'"),
        ((5,), {"zz": 1}, "SocketCanTransport.__new__() got an unexpected keyword argument 'zz'"),
    ],
)
def test_binding_errors_of_socketcan_transport(args, kwargs, message):
    raises_exactly(TypeError, message, transport, *args, **kwargs)


# ------------------------------------------------------------ float arguments


BAD_FLOATS = [
    "1.0",
    None,
    b"1",
    [],
    1j,
    object(),
    Floaty("2.5"),       # __float__ returning a non-float
    Indexy("3"),         # __index__ returning a non-int
]


@pytest.mark.parametrize(
    "fn, param",
    [pytest.param(fn, p, id="%s-%s" % (name, p)) for name, fn, params in FIVE_FLOAT_CALLABLES for p in params],
)
@pytest.mark.parametrize("bad", BAD_FLOATS, ids=repr)
def test_float_conversion_type_error_names_the_parameter(fn, param, bad):
    message = "argument '%s': %s" % (param, float_protocol_message(bad))
    raises_exactly(TypeError, message, fn, **{param: bad})
    position = (LIMIT_FIELDS if fn is MitLimits else SETPOINT_FIELDS).index(param)
    raises_exactly(TypeError, message, fn, *([0.0] * position + [bad]))


def test_float_conversion_message_example():
    raises_exactly(TypeError, "argument 'q': must be real number, not str", MitSetpoint, q="x")
    raises_exactly(TypeError, "argument 'tau': must be real number, not NoneType", mit_setpoint, tau=None)


@pytest.mark.parametrize("fn, param", [(MitSetpoint, "q"), (mit_setpoint, "kd"), (MitLimits, "t_max")])
def test_float_conversion_keeps_the_cause(fn, param):
    bad = CausedTypeError()
    exc = raises_exactly(TypeError, "argument '%s': inner conversion failed" % param, fn, **{param: bad})
    assert exc.__cause__ is bad.root


@pytest.mark.parametrize("fn, param", [(MitSetpoint, "q"), (mit_setpoint, "kd"), (MitLimits, "t_max")])
def test_float_conversion_without_cause_has_none(fn, param):
    exc = raises_exactly(TypeError, "argument '%s': %s" % (param, float_protocol_message("s")), fn,
                     **{param: "s"})
    assert exc.__cause__ is None


@pytest.mark.parametrize("fn, param", [(MitSetpoint, "dq"), (mit_setpoint, "tau"), (MitLimits, "p_max")])
@pytest.mark.parametrize(
    "error",
    [ValueError("no float here"), ZeroDivisionError("divided"), OverflowError("too big"),
     RuntimeError("argument 'x': looks prefixed")],
    ids=lambda e: type(e).__name__,
)
def test_float_conversion_other_errors_pass_through_unchanged(fn, param, error):
    with pytest.raises(type(error)) as info:
        fn(**{param: Raising(error)})
    assert info.value is error
    assert str(info.value) == str(error)


@pytest.mark.parametrize("fn, param", [(MitSetpoint, "q"), (mit_setpoint, "kp"), (MitLimits, "kd_max")])
@pytest.mark.parametrize("value", [10**400, -(10**400), Indexy(10**400)], ids=["big", "negative-big", "index"])
def test_float_conversion_of_huge_int_is_overflow_without_prefix(fn, param, value):
    with pytest.raises(OverflowError) as expected:
        math.fabs(value)
    with pytest.raises(OverflowError) as info:
        fn(**{param: value})
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected.value)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("fn", [MitSetpoint, mit_setpoint], ids=["class", "function"])
def test_floats_convert_in_parameter_order_and_stop_at_first_failure(fn):
    log = []
    with pytest.raises(TypeError) as info:
        fn(tau=Recorder(log, "tau"), kp=Recorder(log, "kp"), dq="bad", q=Recorder(log, "q"))
    assert str(info.value).startswith("argument 'dq': ")
    assert log == ["q"]

    log.clear()
    fn(tau=Recorder(log, "tau"), kd=Recorder(log, "kd"), q=Recorder(log, "q"))
    assert log == ["q", "kd", "tau"]


def test_limits_convert_in_parameter_order():
    log = []
    with pytest.raises(TypeError) as info:
        MitLimits(t_max="a", v_max="b", p_max=Recorder(log, "p_max"))
    assert str(info.value).startswith("argument 'v_max': ")
    assert log == ["p_max"]


@pytest.mark.parametrize("fn", [MitLimits, MitSetpoint, mit_setpoint], ids=["limits", "setpoint", "function"])
def test_binding_failure_converts_nothing(fn):
    log = []
    with pytest.raises(TypeError):
        fn(Recorder(log, "first"), zz=Recorder(log, "zz"))
    with pytest.raises(TypeError):
        fn(*[Recorder(log, str(i)) for i in range(6)])
    assert log == []


# ------------------------------------------------------- unsigned 16-bit ids


ID_PARAMS = ["motor_id", "master_id"]


def id_call(param, value):
    kwargs = {"motor_id": 1, "master_id": 2}
    kwargs[param] = value
    return rotalink.Damiao(**kwargs)


class FreshIndex:
    """__index__ returns an int made on each call, whose only reference is
    the one the conversion gets: the conversion must read it before letting
    it go."""

    def __init__(self, value):
        self.text = str(value)

    def __index__(self):
        return int(self.text)

    def __repr__(self):
        return "FreshIndex(%s)" % self.text


class BigIntSub(int):
    """Converted through a new exact int made from it."""


@pytest.mark.parametrize("make", [FreshIndex, BigIntSub], ids=["fresh-__index__", "int-subclass"])
def test_integers_owned_only_by_the_conversion_are_read_before_release(make):
    for param in ("motor_id", "master_id"):
        assert getattr(id_call(param, make(4660)), param) == 4660
        raises_exactly(OverflowError, U16_RANGE_MESSAGE, id_call, param, make(70000))
    assert repr(damiao(1, 0, timeout_ms=make(2**64 - 1))) == "Damiao(motor_id=0x1, master_id=0x0)"
    raises_exactly(OverflowError, u64_overflow(2**64), damiao, 1, 0, timeout_ms=make(2**64))


@pytest.mark.parametrize("param", ID_PARAMS)
@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (1, 1), (65535, 65535), (0x801, 0x801), (True, 1), (False, 0), (Indexy(0x7FF), 0x7FF),
     (type("MyInt", (int,), {})(42), 42)],
    ids=repr,
)
def test_id_accepts_integers_in_range(param, value, expected):
    got = getattr(id_call(param, value), param)
    assert type(got) is int and got == expected


@pytest.mark.parametrize("param", ID_PARAMS)
@pytest.mark.parametrize(
    "value", [65536, -1, 70000, -65535, 2**31, 2**40, -(2**40), 2**63 - 1, 2**70, -(2**70),
          Indexy(65536), Indexy(-1), Indexy(2**70)],
    ids=repr,
)
def test_id_out_of_range_is_overflow_without_prefix(param, value):
    plain = value.value if isinstance(value, Indexy) else value
    expected = c_long_overflow(plain) or U16_RANGE_MESSAGE
    raises_exactly(OverflowError, expected, id_call, param, value)


@pytest.mark.parametrize("param", ID_PARAMS)
@pytest.mark.parametrize("value", [1.5, 1.0, "1", None, b"\x01", MitLimits(), Indexy("1"), Indexy(1.0)],
                     ids=repr)
def test_id_non_integer_is_type_error_with_prefix(param, value):
    raises_exactly(TypeError, "argument '%s': %s" % (param, index_message(value)), id_call, param, value)


def test_id_message_examples():
    raises_exactly(TypeError, "argument 'motor_id': 'float' object cannot be interpreted as an integer",
               damiao, 1.5, 0)
    raises_exactly(OverflowError, U16_RANGE_MESSAGE, damiao, 65536, 0)
    raises_exactly(OverflowError, U16_RANGE_MESSAGE, damiao, -1, 0)
    assert damiao(True, 0).motor_id == 1


@pytest.mark.parametrize("param", ID_PARAMS)
def test_id_conversion_keeps_the_cause(param):
    bad = CausedTypeError()
    exc = raises_exactly(TypeError, "argument '%s': inner conversion failed" % param, id_call, param, bad)
    assert exc.__cause__ is bad.root


@pytest.mark.parametrize("param", ID_PARAMS)
@pytest.mark.parametrize("error", [ValueError("no index"), OverflowError("mine")], ids=lambda e: type(e).__name__)
def test_id_conversion_other_errors_pass_through(param, error):
    with pytest.raises(type(error)) as info:
        id_call(param, Raising(error))
    assert info.value is error


# --------------------------------------------------- unsigned 64-bit timeout


@pytest.mark.parametrize("value", [0, 1, 20, 1500, 2**32, 2**64 - 1, True, Indexy(1500),
                               type("MyInt", (int,), {})(7)], ids=repr)
def test_timeout_accepts_unsigned_64_bit_integers(value):
    d = damiao(1, 0, timeout_ms=value)
    assert repr(d) == "Damiao(motor_id=0x1, master_id=0x0)"


@pytest.mark.parametrize("value", [-5, -1, -(2**70), 2**64, 2**100, Indexy(-1), Indexy(2**64)], ids=repr)
def test_timeout_out_of_range_is_overflow_without_prefix(value):
    plain = value.value if isinstance(value, Indexy) else value
    raises_exactly(OverflowError, u64_overflow(plain), damiao, 1, 0, timeout_ms=value)
    raises_exactly(OverflowError, u64_overflow(plain), damiao, 1, 0, None, value)


@pytest.mark.parametrize("value", [None, 1.5, 20.0, "20", [], Indexy("x")], ids=repr)
def test_timeout_non_integer_is_type_error_with_prefix(value):
    raises_exactly(TypeError, "argument 'timeout_ms': %s" % index_message(value), damiao, 1, 0,
               timeout_ms=value)


def test_timeout_none_is_not_the_default():
    raises_exactly(TypeError, "argument 'timeout_ms': 'NoneType' object cannot be interpreted as an integer",
               damiao, 1, 0, timeout_ms=None)


def test_timeout_conversion_keeps_the_cause():
    bad = CausedTypeError()
    exc = raises_exactly(TypeError, "argument 'timeout_ms': inner conversion failed", damiao, 1, 0,
                     timeout_ms=bad)
    assert exc.__cause__ is bad.root


# ------------------------------------------------------------ record arguments


@pytest.mark.parametrize(
    "value, type_name",
    [(3, "int"), ("x", "str"), (1.5, "float"), (MitSetpoint(), "MitSetpoint"), (MitLimits, "type"),
     ((12.5, 30.0, 500.0, 5.0, 10.0), "tuple"), (Floaty(1.0), "Floaty")],
    ids=lambda v: type(v).__name__,
)
def test_limits_must_be_mit_limits(value, type_name):
    message = "argument 'limits': '%s' object cannot be converted to 'MitLimits'" % type_name
    raises_exactly(TypeError, message, damiao, 1, 0, limits=value)
    raises_exactly(TypeError, message, damiao, 1, 0, value)


def test_limits_none_is_like_omitted():
    for d in (damiao(1, 0, None), damiao(1, 0, limits=None), damiao(1, 0, None, 20)):
        assert repr(d) == "Damiao(motor_id=0x1, master_id=0x0)"


@pytest.mark.parametrize(
    "args, kwargs, exc_type, prefix",
    [
        (("a", 70000), {}, TypeError, "argument 'motor_id': "),
        ((70000, "a"), {}, OverflowError, U16_RANGE_MESSAGE),
        ((1, "a", 3, None), {}, TypeError, "argument 'master_id': "),
        ((1, 2, 3, None), {}, TypeError, "argument 'limits': "),
        ((), {"timeout_ms": None, "limits": 3, "master_id": 1, "motor_id": 2}, TypeError, "argument 'limits': "),
        ((), {"timeout_ms": -1, "limits": None, "master_id": "x", "motor_id": 2}, TypeError,
         "argument 'master_id': "),
        ((1, 2, None, -1), {}, OverflowError, ""),
    ],
)
def test_damiao_converts_in_parameter_order(args, kwargs, exc_type, prefix):
    with pytest.raises(exc_type) as info:
        damiao(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value).startswith(prefix)


# ---------------------------------------------------------------- bus argument


BUS_CALLS = [
    pytest.param(m, (), id=m)
    for m in BUS_METHODS
] + [pytest.param("mit_control", (MitSetpoint(),), id="mit_control")]


@pytest.mark.parametrize("name, rest", BUS_CALLS)
@pytest.mark.parametrize(
    "bus, type_name",
    [(3, "int"), (None, "NoneType"), ("vcan0", "str"), (MitSetpoint(), "MitSetpoint"),
     (Floaty(1.0), "Floaty")],
    ids=lambda v: type(v).__name__,
)
def test_bus_must_be_a_socketcan_transport(name, rest, bus, type_name):
    message = "argument 'bus': '%s' object cannot be converted to 'SocketCanTransport'" % type_name
    d = damiao(1, 0)
    raises_exactly(TypeError, message, getattr(d, name), bus, *rest)
    kwargs = {"bus": bus}
    if rest:
        kwargs["setpoint"] = rest[0]
    raises_exactly(TypeError, message, getattr(d, name), **kwargs)


def test_bus_examples():
    d = damiao(1, 0)
    raises_exactly(TypeError, "Damiao.enable() missing 1 required positional argument: 'bus'", d.enable)
    raises_exactly(TypeError, "argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'",
               d.enable, bus=3)


@pytest.mark.parametrize(
    "args, kwargs",
    [((3, 5), {}), ((), {"setpoint": 5, "bus": 3}), ((3,), {"setpoint": MitSetpoint()})],
    ids=["positional", "keywords-reversed", "good-setpoint"],
)
def test_mit_control_converts_bus_before_setpoint(args, kwargs):
    raises_exactly(TypeError, "argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'",
               damiao(1, 0).mit_control, *args, **kwargs)


def test_damiao_methods_require_a_damiao_self():
    with pytest.raises(TypeError):
        rotalink.Damiao.enable(MitLimits(), 3)
    with pytest.raises(TypeError):
        rotalink.Damiao.mit_control(3, 3, MitSetpoint())


# ---------------------------------------------------------------- text argument


@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (None, "NoneType"), (b"vcan0", "bytes"), (bytearray(b"vcan0"), "bytearray"),
     (["vcan0"], "list"), (Floaty(1.0), "Floaty")],
    ids=lambda v: type(v).__name__,
)
def test_iface_must_be_str(value, type_name):
    message = "argument 'iface': '%s' object cannot be converted to 'str'" % type_name
    raises_exactly(TypeError, message, transport, value)
    raises_exactly(TypeError, message, transport, iface=value)


def test_iface_that_is_not_utf8_encodable_raises_unicode_error_without_prefix():
    with pytest.raises(UnicodeEncodeError) as info:
        transport("vcan\ud800")
    assert not str(info.value).startswith("argument")


# ------------------------------------------------------ references and memory


N = 20000


def _fresh_float(text):
    return float(text)  # a new object, not a shared constant


def leak_cases():
    x = [_fresh_float(s) for s in ("1.25", "2.5", "3.75", "4.125", "5.0625")]
    big = int("123456789")
    text = "".join(["not", " a float"])
    caused = CausedTypeError()
    value_error = RaisingFresh(ValueError, "".join(["no", " float"]))
    indexy = Indexy(int("1000"))
    lim = MitLimits(*x)
    sp = MitSetpoint(*x)

    cases = [
        ("MitLimits-positional", MitLimits, tuple(x), {}, None),
        ("MitLimits-keywords", MitLimits, (), dict(zip(LIMIT_FIELDS, x)), None),
        ("MitLimits-objects", MitLimits, (big, indexy, Floaty(x[0])), {}, None),
        ("MitSetpoint-positional", MitSetpoint, tuple(x), {}, None),
        ("MitSetpoint-keywords", MitSetpoint, (), dict(zip(SETPOINT_FIELDS, x)), None),
        ("mit_setpoint-positional", mit_setpoint, tuple(x), {}, None),
        ("mit_setpoint-keywords", mit_setpoint, (x[0],), {"tau": x[1], "kd": x[2]}, None),
        ("getter-limits", operator.attrgetter("t_max"), (lim,), {}, None),
        ("getter-setpoint", operator.attrgetter("q"), (sp,), {}, None),
        ("repr-limits", repr, (lim,), {}, None),
        ("repr-setpoint", repr, (sp,), {}, None),
        ("str-setpoint", str, (sp,), {}, None),
        ("preset", MitLimits.dm3507, (), {}, None),
        ("preset-with-argument", MitLimits.dm4310, (lim,), {}, TypeError),
        ("MotorState", MotorState, (x[0],), {"k": x[1]}, TypeError),
        ("setattr", setattr, (lim, "p_max", x[0]), {}, AttributeError),
        ("too-many", MitSetpoint, tuple(x) + (big,), {}, TypeError),
        ("multiple", mit_setpoint, (x[0],), {"q": x[1]}, TypeError),
        ("unexpected", MitLimits, (), {"zz": x[0]}, TypeError),
        ("unexpected-vector", mit_setpoint, (), {"zz": x[0]}, TypeError),
        ("bad-float", MitSetpoint, (x[0], text), {}, TypeError),
        ("bad-float-vector", mit_setpoint, (), {"kp": text}, TypeError),
        ("caused-float", MitLimits, (caused,), {}, TypeError),
        ("caused-float-vector", mit_setpoint, (caused,), {}, TypeError),
        ("value-error-float", MitSetpoint, (value_error,), {}, ValueError),
        ("huge-int-float", mit_setpoint, (10**400,), {}, OverflowError),
    ]
    d = rotalink.Damiao(1, 0)
    cases += [
        ("Damiao", rotalink.Damiao, (indexy, big % 65536, lim, big), {}, None),
        ("Damiao-keywords", rotalink.Damiao, (), {"master_id": indexy, "motor_id": 1, "limits": lim}, None),
        ("Damiao-getter", operator.attrgetter("master_id"), (d,), {}, None),
        ("Damiao-repr", repr, (d,), {}, None),
        ("Damiao-missing", rotalink.Damiao, (), {"limits": lim}, TypeError),
        ("Damiao-u16-overflow", rotalink.Damiao, (big, 0), {}, OverflowError),
        ("Damiao-u16-type", rotalink.Damiao, (text, 0), {}, TypeError),
        ("Damiao-u16-caused", rotalink.Damiao, (caused, 0), {}, TypeError),
        ("Damiao-u64-negative", rotalink.Damiao, (1, 0, lim, -big), {}, OverflowError),
        ("Damiao-u64-none", rotalink.Damiao, (1, 0, lim, None), {}, TypeError),
        ("Damiao-limits-type", rotalink.Damiao, (1, 0, sp), {}, TypeError),
        ("enable-missing", d.enable, (), {}, TypeError),
        ("enable-bad-bus", d.enable, (), {"bus": lim}, TypeError),
        ("mit_control-bad-bus", d.mit_control, (lim, sp), {}, TypeError),
        ("mit_control-too-many", d.mit_control, (lim, sp, big), {}, TypeError),
    ]
    cases += [
        ("transport-bad-iface", rotalink.SocketCanTransport, (lim,), {}, TypeError),
        ("transport-unexpected", rotalink.SocketCanTransport, (), {"name": text}, TypeError),
    ]
    return cases


def _watched(args, kwargs):
    objs = list(args) + list(kwargs.values())
    for obj in list(objs):
        if isinstance(obj, CausedTypeError):
            objs.append(obj.root)
        if isinstance(obj, RaisingFresh):
            objs.append(obj.message)
    # Small ints, None and the bools are shared by the whole interpreter.
    objs = [o for o in objs if not (o is None or (type(o) in (int, bool) and -5 <= o <= 256))]
    objs += [MitLimits, MitSetpoint, MotorState, TypeError]
    objs += [rotalink.Damiao, rotalink.SocketCanTransport]
    return objs


def _repeat(fn, args, kwargs, exc_type, count):
    catch = exc_type or ()
    for _ in range(count):
        try:
            fn(*args, **kwargs)
        except catch:
            pass


@pytest.mark.parametrize("label, fn, args, kwargs, exc_type", leak_cases(), ids=[c[0] for c in leak_cases()])
def test_no_reference_or_memory_leak(label, fn, args, kwargs, exc_type):
    if exc_type is not None:
        with pytest.raises(exc_type):
            fn(*args, **kwargs)
    else:
        fn(*args, **kwargs)
    watched = _watched(args, kwargs)
    _repeat(fn, args, kwargs, exc_type, 200)  # warm caches
    gc.collect()
    total = getattr(sys, "gettotalrefcount", None)
    counts_before = [sys.getrefcount(o) for o in watched]
    total_before = total() if total else 0
    blocks_before = sys.getallocatedblocks()
    tracemalloc.start()
    try:
        memory_before = tracemalloc.get_traced_memory()[0]
        _repeat(fn, args, kwargs, exc_type, N)
        gc.collect()
        memory_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    counts_after = [sys.getrefcount(o) for o in watched]
    blocks_after = sys.getallocatedblocks()
    assert counts_after == counts_before, [
        (repr(o)[:40], b, a) for o, b, a in zip(watched, counts_before, counts_after) if a != b
    ]
    # A leaked object per call would be well over 20000 * 16 bytes.
    assert memory_after - memory_before < 64 * 1024
    assert blocks_after - blocks_before < N // 20
    if total:
        assert total() - total_before < 1000
