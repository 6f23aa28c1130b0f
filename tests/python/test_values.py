"""The value classes: MitLimits, MitSetpoint, MotorState and the Damiao record.

Field values as stored (32-bit floats widened exactly), the per-model presets,
the text forms of ``repr``/``str``, immutability and identity semantics.
"""

import copy
import math
import pickle
import struct
import weakref

import pytest

import rotalink
from conftest import REPO, doc_presets, module_presets
from rotalink_sim.frames import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, pack_frame
from rotalink import MitLimits, MitSetpoint, MotorState, mit_setpoint

LIMIT_FIELDS = ["p_max", "v_max", "kp_max", "kd_max", "t_max"]
SETPOINT_FIELDS = ["q", "dq", "kp", "kd", "tau"]
STATE_FIELDS = ["motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"]

FLT_MAX = 3.4028234663852886e38
FLT_MAX_HALF_ULP_ABOVE = 3.4028235677973366e38  # FLT_MAX + 2**103: rounds to inf


def f32(x):
    """The 32-bit float nearest to ``x`` (ties to even), widened back to a double."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def bits(x):
    return struct.unpack(">I", struct.pack(">f", x))[0]


def from_bits(b):
    return struct.unpack(">f", struct.pack(">I", b))[0]


def same_float(a, b):
    """Equal as floats, NaN equal to NaN, and the sign of zero respected."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def fields(obj, names):
    return tuple(getattr(obj, n) for n in names)


# ------------------------------------------------------------------ defaults


def test_limits_defaults():
    lim = MitLimits()
    assert fields(lim, LIMIT_FIELDS) == (12.5, 30.0, 500.0, 5.0, 10.0)
    assert all(type(v) is float for v in fields(lim, LIMIT_FIELDS))


def test_limits_defaults_equal_dm4310():
    assert fields(MitLimits(), LIMIT_FIELDS) == fields(MitLimits.dm4310(), LIMIT_FIELDS)


@pytest.mark.parametrize("make", [MitSetpoint, mit_setpoint], ids=["class", "function"])
def test_setpoint_defaults_are_positive_zero(make):
    sp = make()
    assert type(sp) is MitSetpoint
    for v in fields(sp, SETPOINT_FIELDS):
        assert type(v) is float
        assert same_float(v, 0.0)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2, 3, 4, 5), {}, (1.0, 2.0, 3.0, 4.0, 5.0)),
        ((), {"t_max": 5, "p_max": 1}, (1.0, 30.0, 500.0, 5.0, 5.0)),
        ((1.5,), {"kd_max": 0.25}, (1.5, 30.0, 500.0, 0.25, 10.0)),
        ((1, 2), {"t_max": -3, "kp_max": 0}, (1.0, 2.0, 0.0, 5.0, -3.0)),
        ((-1.0,), {}, (-1.0, 30.0, 500.0, 5.0, 10.0)),
    ],
)
def test_limits_binds_positional_and_keyword(args, kwargs, expected):
    # No field is validated at construction: negative and zero limits are kept.
    assert fields(MitLimits(*args, **kwargs), LIMIT_FIELDS) == expected


@pytest.mark.parametrize("make", [MitSetpoint, mit_setpoint], ids=["class", "function"])
@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2, 3, 4, 5), {}, (1.0, 2.0, 3.0, 4.0, 5.0)),
        ((), {"tau": 2}, (0.0, 0.0, 0.0, 0.0, 2.0)),
        ((0.5, -0.5), {"kd": 7}, (0.5, -0.5, 0.0, 7.0, 0.0)),
        ((), {"kp": 1, "dq": 2, "q": 3, "kd": 4, "tau": 5}, (3.0, 2.0, 1.0, 4.0, 5.0)),
    ],
)
def test_setpoint_binds_positional_and_keyword(make, args, kwargs, expected):
    assert fields(make(*args, **kwargs), SETPOINT_FIELDS) == expected


def test_mit_setpoint_matches_constructor():
    a = mit_setpoint(tau=2)
    b = MitSetpoint(0, 0, 0, 0, 2)
    assert fields(a, SETPOINT_FIELDS) == fields(b, SETPOINT_FIELDS)
    assert a is not b


# ------------------------------------------------------- stored float32 values


ROUNDING_CASES = [
    # (double given, the nearest float32 widened back to a double)
    (1.0 + 2.0**-24, 1.0),                             # tie: to even (down)
    (1.0 + 3 * 2.0**-24, 1.0 + 2.0**-22),              # tie: to even (up)
    (1.0 + 2.0**-24 + 2.0**-52, 1.0 + 2.0**-23),       # just above a tie
    (1.0 + 2.0**-24 - 2.0**-53, 1.0),                  # just below a tie
    (-(1.0 + 3 * 2.0**-24), -(1.0 + 2.0**-22)),
    (1.0 + 2.0**-23, 1.0 + 2.0**-23),                  # exact
    (16777217.0, 16777216.0),                          # 2**24 + 1: tie to even
    (16777219.0, 16777220.0),
    (0.1, 0.10000000149011612),
    (12.566, from_bits(0x41490E56)),
    (FLT_MAX, FLT_MAX),
    (math.nextafter(FLT_MAX_HALF_ULP_ABOVE, 0.0) if hasattr(math, "nextafter")
     else FLT_MAX_HALF_ULP_ABOVE - 2.0**75, FLT_MAX),  # just below the overflow tie
    (FLT_MAX_HALF_ULP_ABOVE, math.inf),                # the tie itself overflows
    (-FLT_MAX_HALF_ULP_ABOVE, -math.inf),
    (1e39, math.inf),
    (-1e39, -math.inf),
    (1e300, math.inf),
    (-1e300, -math.inf),
    (math.inf, math.inf),
    (-math.inf, -math.inf),
    (2.0**-149, 2.0**-149),                            # smallest subnormal
    (2.0**-150, 0.0),                                  # tie with zero: to even
    (2.0**-150 + 2.0**-170, 2.0**-149),
    (3 * 2.0**-150, 2.0**-148),                        # subnormal tie to even
    (-(2.0**-150), -0.0),                              # underflow keeps the sign
    (1e-50, 0.0),
    (-1e-50, -0.0),
    (5e-324, 0.0),
    (-0.0, -0.0),
    (2.0**-126, 2.0**-126),                            # smallest normal
]


@pytest.mark.parametrize("given, expected", ROUNDING_CASES)
def test_float_arguments_round_to_nearest_float32(given, expected):
    assert same_float(f32(given), expected)  # the table itself is consistent
    lim = MitLimits(given, given, given, given, given)
    sp = MitSetpoint(given, given, given, given, given)
    fn = mit_setpoint(given, given, given, given, given)
    for v in fields(lim, LIMIT_FIELDS) + fields(sp, SETPOINT_FIELDS) + fields(fn, SETPOINT_FIELDS):
        assert type(v) is float
        assert same_float(v, expected), (given, v)


def test_nan_stays_nan_in_every_field():
    for field in LIMIT_FIELDS:
        assert math.isnan(getattr(MitLimits(**{field: math.nan}), field))
    for field in SETPOINT_FIELDS:
        assert math.isnan(getattr(MitSetpoint(**{field: math.nan}), field))
        assert math.isnan(getattr(mit_setpoint(**{field: -math.nan}), field))


def test_each_field_is_stored_in_its_own_slot():
    lim = MitLimits(1.25, 2.5, 3.75, 4.125, 5.0625)
    assert fields(lim, LIMIT_FIELDS) == (1.25, 2.5, 3.75, 4.125, 5.0625)
    sp = MitSetpoint(-1.25, -2.5, 3.75, 4.125, -5.0625)
    assert fields(sp, SETPOINT_FIELDS) == (-1.25, -2.5, 3.75, 4.125, -5.0625)


def _spread_of_doubles():
    """Doubles across the whole range, most of them not representable as float32."""
    out = []
    for exp in range(-160, 130, 7):
        for mant in (1.0, 1.1, 1.2345678901, 1.5, 1.9999999999, 1.333333333333):
            out.append(mant * 2.0**exp)
            out.append(-mant * 2.0**exp)
    return out


def test_getters_return_exactly_widened_float32_values():
    values = _spread_of_doubles()
    for i in range(0, len(values) - 4, 5):
        chunk = values[i:i + 5]
        sp = MitSetpoint(*chunk)
        lim = MitLimits(*chunk)
        for given, got_sp, got_lim in zip(chunk, fields(sp, SETPOINT_FIELDS), fields(lim, LIMIT_FIELDS)):
            assert same_float(got_sp, f32(given)), given
            assert same_float(got_lim, f32(given)), given


def test_getter_reads_are_repeatable():
    sp = MitSetpoint(q=0.1)
    assert sp.q == sp.q == 0.10000000149011612
    assert sp.q != 0.1


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "given, expected",
    [
        (1, 1.0),
        (-7, -7.0),
        (True, 1.0),
        (False, 0.0),
        (2**24 + 1, 16777216.0),
        (2**128, math.inf),
        (-(2**128), -math.inf),
        (Floaty(2.5), 2.5),
        (Floaty(0.1), 0.10000000149011612),
        (Floaty(1e39), math.inf),
        (Indexy(3), 3.0),
        (Indexy(2**24 + 3), 16777220.0),
        (type("F", (float,), {})(0.1), 0.10000000149011612),
    ],
    ids=repr,
)
def test_float_protocol_values_are_accepted(given, expected):
    for obj in (MitLimits(given), MitSetpoint(given), mit_setpoint(given)):
        first = getattr(obj, "p_max" if type(obj) is MitLimits else "q")
        assert type(first) is float
        assert same_float(first, expected)


def test_decimal_and_fraction_go_through_float_protocol():
    import decimal
    import fractions

    assert MitSetpoint(q=decimal.Decimal("0.1")).q == f32(0.1)
    assert MitSetpoint(q=fractions.Fraction(1, 3)).q == f32(1 / 3)


def test_edge_values_from_the_codec_table():
    assert MitSetpoint(q=1).q == 1.0 and type(MitSetpoint(q=1).q) is float
    assert MitSetpoint(q=1e300).q == math.inf
    assert MitLimits(1e39).p_max == math.inf
    assert MitSetpoint(q=0.1).q == 0.10000000149011612


# -------------------------------------------------------------------- presets


# The presets as docs/API.md tabulates them: the module must give exactly
# these, in this order, and the README the same table.
PRESET_TABLE = doc_presets()


def test_the_module_has_the_documented_presets_in_order():
    assert len(PRESET_TABLE) == 15
    assert list(module_presets()) == [row[0] for row in PRESET_TABLE]
    assert doc_presets(REPO / "README.md") == PRESET_TABLE


@pytest.mark.parametrize("name, p_max, v_max, kp_max, kd_max, t_max", PRESET_TABLE, ids=lambda v: str(v))
def test_preset_values(name, p_max, v_max, kp_max, kd_max, t_max):
    lim = getattr(MitLimits, name)()
    assert type(lim) is MitLimits
    expected = tuple(f32(v) for v in (p_max, v_max, kp_max, kd_max, t_max))
    assert fields(lim, LIMIT_FIELDS) == expected


@pytest.mark.parametrize("name", ["dm3507", "dm6248p"])
def test_p_max_12_566_is_the_nearest_float32(name):
    p_max = getattr(MitLimits, name)().p_max
    assert bits(p_max) == 0x41490E56
    assert p_max != 12.566
    assert p_max != f32(4 * math.atan(1.0))


@pytest.mark.parametrize("name", [row[0] for row in PRESET_TABLE])
def test_each_preset_call_returns_a_new_object(name):
    fn = getattr(MitLimits, name)
    a, b = fn(), fn()
    assert a is not b
    assert fields(a, LIMIT_FIELDS) == fields(b, LIMIT_FIELDS)


@pytest.mark.parametrize("alias, original", [("dm4340p", "dm4340"), ("dmh6220", "dmg6215")])
def test_alias_presets_equal_field_by_field_but_are_distinct(alias, original):
    a = getattr(MitLimits, alias)()
    b = getattr(MitLimits, original)()
    assert a is not b
    assert fields(a, LIMIT_FIELDS) == fields(b, LIMIT_FIELDS)
    assert a != b  # identity equality only


def test_presets_are_reachable_through_an_instance():
    assert fields(MitLimits(1, 2, 3, 4, 5).dm8009(), LIMIT_FIELDS) == (12.5, 45.0, 500.0, 5.0, 54.0)


# ---------------------------------------------------------------- text forms


SHORT_FORMS = [
    (12.5, "12.5"),
    (30.0, "30"),
    (500.0, "500"),
    (5.0, "5"),
    (0.0, "0"),
    (-0.0, "-0"),
    (-1e-50, "-0"),
    (1e20, "100000000000000000000"),
    (1e16, "10000000000000000"),
    (1e38, "100000000000000000000000000000000000000"),
    (FLT_MAX, "340282350000000000000000000000000000000"),
    (0.1, "0.1"),
    (12.566, "12.566"),
    (-1.5, "-1.5"),
    (-12.5, "-12.5"),
    (1 / 3, "0.33333334"),
    (math.pi, "3.1415927"),
    (123456.789, "123456.79"),
    (16777217.0, "16777216"),
    (65535.0, "65535"),
    (1e-7, "0.0000001"),
    (2.0**-126, "0.000000000000000000000000000000000000011754944"),
    (2.0**-149, "0.000000000000000000000000000000000000000000001"),
    (1.0000001, "1.0000001"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
    (math.inf, "inf"),
    (1e39, "inf"),
    (-math.inf, "-inf"),
]


@pytest.mark.parametrize("value, text", SHORT_FORMS, ids=[t for _, t in SHORT_FORMS])
def test_short_float_form_in_repr(value, text):
    assert repr(MitSetpoint(q=value)) == "MitSetpoint(q=%s, dq=0, kp=0, kd=0, tau=0)" % text
    assert repr(mit_setpoint(tau=value)) == "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=%s)" % text
    assert repr(MitLimits(kd_max=value)) == (
        "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=%s, t_max=10)" % text
    )


def _significant_digits(text):
    digits = text.lstrip("-").replace(".", "").lstrip("0").rstrip("0")
    return max(len(digits), 1)


def _shortest_digit_count(x):
    for p in range(1, 10):
        if f32(float("%.*e" % (p - 1, x))) == x:
            return p
    raise AssertionError(x)


def test_short_float_form_is_positional_shortest_and_round_trips():
    bit_patterns = list(range(1, 0x7F800000, 0x7F800000 // 1500)) + [0x7F7FFFFF, 0x00800000, 0x3F800001]
    values = [from_bits(b) for b in bit_patterns]
    values += [-v for v in values[::3]]
    for i in range(0, len(values) - 4, 5):
        chunk = values[i:i + 5]
        text = repr(MitSetpoint(*chunk))
        assert text.startswith("MitSetpoint(q=") and text.endswith(")")
        parts = [p.split("=", 1)[1] for p in text[len("MitSetpoint("):-1].split(", ")]
        assert len(parts) == 5
        for x, t in zip(chunk, parts):
            assert "e" not in t and "E" not in t, t
            assert not t.endswith(".0"), t
            assert "." not in t or not t.endswith("0"), t
            assert f32(float(t)) == x, (x, t)
            assert _significant_digits(t) <= _shortest_digit_count(x), (x, t)
            assert t.startswith("-") == (x < 0)


def test_repr_lists_fields_in_declaration_order():
    assert repr(MitLimits()) == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"
    assert repr(MitLimits(1, 2, 3, 4, 5)) == "MitLimits(p_max=1, v_max=2, kp_max=3, kd_max=4, t_max=5)"
    assert repr(MitLimits.dm3507()) == "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)"
    assert repr(MitSetpoint()) == "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"
    assert repr(MitSetpoint(1, -2, 3.5, 0.25, -0.0)) == "MitSetpoint(q=1, dq=-2, kp=3.5, kd=0.25, tau=-0)"


@pytest.mark.parametrize(
    "obj",
    [MitLimits(), MitLimits(0.1, -0.0, math.nan, math.inf, 1e20), MitSetpoint(q=-math.inf),
     mit_setpoint(1, 2, 3, 4, 5), MitLimits.dmh3510()],
    ids=repr,
)
def test_str_equals_repr(obj):
    assert str(obj) == repr(obj)
    assert format(obj) == repr(obj)


# ------------------------------------------------------------ immutability


VALUE_INSTANCES = [
    ("MitLimits", MitLimits, LIMIT_FIELDS),
    ("MitSetpoint", MitSetpoint, SETPOINT_FIELDS),
    ("mit_setpoint", mit_setpoint, SETPOINT_FIELDS),
    ("preset", MitLimits.dm4310, LIMIT_FIELDS),
]


@pytest.mark.parametrize(
    "make, field",
    [pytest.param(make, f, id="%s.%s" % (label, f)) for label, make, names in VALUE_INSTANCES for f in names],
)
def test_attributes_cannot_be_set_or_deleted(make, field):
    obj = make()
    before = getattr(obj, field)
    with pytest.raises(AttributeError):
        setattr(obj, field, 1.0)
    with pytest.raises(AttributeError):
        delattr(obj, field)
    with pytest.raises(AttributeError):
        object.__setattr__(obj, field, 1.0)
    assert same_float(getattr(obj, field), before)


@pytest.mark.parametrize("make", [m for _, m, _ in VALUE_INSTANCES], ids=[l for l, _, _ in VALUE_INSTANCES])
def test_instances_take_no_new_attributes_and_no_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("make", [m for _, m, _ in VALUE_INSTANCES], ids=[l for l, _, _ in VALUE_INSTANCES])
def test_identity_equality_and_hash(make):
    a, b = make(), make()
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        a + b


@pytest.mark.parametrize("make", [m for _, m, _ in VALUE_INSTANCES], ids=[l for l, _, _ in VALUE_INSTANCES])
def test_every_construction_returns_a_new_object(make):
    assert make() is not make()


@pytest.mark.parametrize(
    "obj", [MitLimits(1, 2, 3, 4, 5), MitSetpoint(1, 2, 3, 4, 5)], ids=["limits", "setpoint"]
)
@pytest.mark.parametrize("op", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_copy_and_pickle_never_silently_reset_values(obj, op):
    # Without a reduction of their own the classes cannot be copied; what must
    # never happen is a copy that quietly carries the default values instead.
    names = LIMIT_FIELDS if type(obj) is MitLimits else SETPOINT_FIELDS
    try:
        result = op(obj)
    except TypeError:
        return
    if op is pickle.dumps:
        result = pickle.loads(result)
    assert fields(result, names) == fields(obj, names)


def test_no_instance_without_a_constructor():
    for cls in (MitLimits, MitSetpoint, MotorState):
        with pytest.raises(TypeError):
            object.__new__(cls)


# ---------------------------------------------------------------- MotorState


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((1, 2, 3, 4, 5, 6, 7), {}), ((), {"motor_id": 1}), ((), {"zz": 1})],
    ids=["none", "one", "all", "keyword", "unknown-keyword"],
)
def test_motor_state_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        MotorState(*args, **kwargs)
    assert str(info.value) == "No constructor defined for MotorState"
    with pytest.raises(TypeError) as info:
        MotorState.__new__(MotorState, *args, **kwargs)
    assert str(info.value) == "No constructor defined for MotorState"


# -------------------------------------------------------------------- Damiao


@pytest.mark.parametrize(
    "args, kwargs, motor_id, master_id, text",
    [
        ((1, 0), {}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((0x11, 0x101), {}, 0x11, 0x101, "Damiao(motor_id=0x11, master_id=0x101)"),
        ((0x801, 0x11), {}, 2049, 0x11, "Damiao(motor_id=0x801, master_id=0x11)"),
        ((65535, 0xABCD), {}, 65535, 0xABCD, "Damiao(motor_id=0xffff, master_id=0xabcd)"),
        ((0, 0x7FF), {}, 0, 0x7FF, "Damiao(motor_id=0x0, master_id=0x7ff)"),
        ((True, False), {}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((), {"master_id": 2, "motor_id": 3}, 3, 2, "Damiao(motor_id=0x3, master_id=0x2)"),
        ((1, 0, None, 1500), {}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((1, 0), {"limits": None}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((1, 0), {"limits": MitLimits.dm8009(), "timeout_ms": 0}, 1, 0,
         "Damiao(motor_id=0x1, master_id=0x0)"),
        ((1, 0), {"timeout_ms": 2**64 - 1}, 1, 0, "Damiao(motor_id=0x1, master_id=0x0)"),
        ((Indexy(0x123), Indexy(0x45)), {}, 0x123, 0x45, "Damiao(motor_id=0x123, master_id=0x45)"),
    ],
)
def test_damiao_getters_and_repr(args, kwargs, motor_id, master_id, text):
    d = rotalink.Damiao(*args, **kwargs)
    assert type(d.motor_id) is int and d.motor_id == motor_id
    assert type(d.master_id) is int and d.master_id == master_id
    assert repr(d) == text
    assert str(d) == text


def test_damiao_is_immutable_and_compares_by_identity():
    d = rotalink.Damiao(1, 0)
    for attr in ("motor_id", "master_id"):
        with pytest.raises(AttributeError):
            setattr(d, attr, 5)
        with pytest.raises(AttributeError):
            delattr(d, attr)
    with pytest.raises(AttributeError):
        d.extra = 1
    assert not hasattr(d, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(d)
    other = rotalink.Damiao(1, 0)
    assert d == d and d != other
    assert hash(d) == object.__hash__(d)
    assert (d.motor_id, d.master_id) == (1, 0)


def test_damiao_keeps_limits_and_timeout_private():
    d = rotalink.Damiao(1, 0, MitLimits.dm4340(), 50)
    for name in ("limits", "timeout_ms", "timeout"):
        assert not hasattr(d, name)


# ---------------------------------------------------------- register_reply

READ = bytes([0x02, 0x01, 0x33, 0x0A, 0x01, 0x02, 0x03, 0x04])  # motor 0x102, register 10
WRITE = READ[:2] + b"\x55" + READ[3:]
REPLY = (0x102, 10, b"\x01\x02\x03\x04")


@pytest.mark.parametrize("record, want", [
    pytest.param(pack_frame(0x011, READ), REPLY, id="read reply"),
    pytest.param(bytearray(pack_frame(0x011, READ)), REPLY, id="bytearray"),
    pytest.param(pack_frame(0x011, READ, fd=True), REPLY, id="fd of 8 bytes"),
    pytest.param(pack_frame(0x013 | CAN_EFF_FLAG, READ), REPLY, id="extended id"),
    pytest.param(pack_frame(0x7FF | CAN_EFF_FLAG, READ), REPLY, id="extended 0x7FF"),
    pytest.param(pack_frame(0x011, WRITE), None, id="write echo"),
    pytest.param(pack_frame(0x011 | CAN_RTR_FLAG, READ), None, id="remote"),
    pytest.param(pack_frame(0x011 | CAN_ERR_FLAG, READ), None, id="error frame"),
    pytest.param(pack_frame(0x7FF, READ), None, id="read request on 0x7FF"),
    pytest.param(pack_frame(0x011, READ[:7]), None, id="7 bytes"),
    pytest.param(pack_frame(0x011, READ + b"\0" * 4, fd=True), None, id="fd of 12 bytes"),
    pytest.param(pack_frame(0x011, READ)[:15], ValueError("a record of 15 bytes is neither a CAN frame (16) "
                                                        "nor a CAN FD frame (72)"), id="15 bytes"),
    pytest.param(b"", ValueError("a record of 0 bytes is neither a CAN frame (16) nor a CAN FD frame (72)"),
                 id="empty"),
    pytest.param("x" * 16, TypeError("argument 'record': a bytes-like object is required, not 'str'"), id="str"),
    pytest.param(None, TypeError("argument 'record': a bytes-like object is required, not 'NoneType'"),
                 id="None"),
])
def test_register_reply(record, want):
    if isinstance(want, Exception):
        with pytest.raises(type(want)) as info:
            rotalink.register_reply(record)
        assert str(info.value) == str(want)
    else:
        got = rotalink.register_reply(record=record)
        assert got == want and type(got) is type(want)


# ------------------------------------------------------------ the wire table

def test_wire_values():
    assert (rotalink.REGISTER_ID, rotalink.REGISTER_READ_OP, rotalink.REGISTER_WRITE_OP,
            rotalink.TIMEOUT_UNIT_US) == (0x7FF, 0x33, 0x55, 50)
    assert dict(rotalink.SPECIAL_COMMANDS) == {"enable": 0xFC, "disable": 0xFD, "set_zero": 0xFE,
                                               "clear_error": 0xFB}
    assert dict(rotalink.CAN_BIT_RATES) == {
        0: (125000, None), 1: (200000, None), 2: (250000, None), 3: (500000, None), 4: (1000000, None),
        5: (1000000, 2000000), 6: (1000000, 2500000), 7: (1000000, 3200000), 8: (1000000, 4000000),
        9: (1000000, 5000000)}
    for table in (rotalink.SPECIAL_COMMANDS, rotalink.CAN_BIT_RATES):
        assert type(table) is type(type.__dict__)  # types.MappingProxyType
        with pytest.raises(TypeError):
            table[0] = 1
    assert {m.name: m.id_offset for m in rotalink.ControlMode} == {
        "MIT": 0x000, "POS_VEL": 0x100, "VEL": 0x200, "FORCE_POS": 0x300}
    with pytest.raises(AttributeError):
        rotalink.ControlMode.VEL.id_offset = 0


FF7 = "FF FF FF FF FF FF FF "


@pytest.mark.parametrize("call, identifier, data", [
    (lambda: rotalink.enable_frame(0x01), 0x001, FF7 + "FC"),
    (lambda: rotalink.disable_frame(0x12, rotalink.ControlMode.POS_VEL), 0x112, FF7 + "FD"),
    (lambda: rotalink.set_zero_frame(motor_id=0x12, mode=3), 0x212, FF7 + "FE"),
    (lambda: rotalink.clear_error_frame(0x812, rotalink.ControlMode.FORCE_POS), 0x312, FF7 + "FB"),
    (lambda: rotalink.disable_frame(0x4FE, rotalink.ControlMode.FORCE_POS), 0x7FE, FF7 + "FD"),
    (lambda: rotalink.refresh_frame(0x1234), 0x7FF, "34 02 CC 00 00 00 00 00"),
    (lambda: rotalink.read_register_frame(0x1234, rotalink.Register.CTRL_MODE), 0x7FF, "34 12 33 0A 00 00 00 00"),
    (lambda: rotalink.write_register_frame(0x01, rotalink.Register.PMAX, 12.5), 0x7FF, "01 00 55 15 00 00 48 41"),
    (lambda: rotalink.write_register_frame(0x01, 35, 0xFFFFFFFF), 0x7FF, "01 00 55 23 FF FF FF FF"),
    (lambda: rotalink.save_parameters_frame(0x1234), 0x7FF, "34 02 AA 01 00 00 00 00"),
])
def test_frame_makers_golden(call, identifier, data):
    got = call()
    assert type(got) is tuple and type(got[1]) is bytes
    assert got == (identifier, bytes.fromhex(data))


@pytest.mark.parametrize("call, want", [
    (lambda: rotalink.enable_frame(0x7FF), ValueError(
        "the MIT command identifier 0x7ff (0x000 + motor_id 0x7ff) is the register identifier")),
    (lambda: rotalink.disable_frame(0x4FF, rotalink.ControlMode.FORCE_POS), ValueError(
        "the FORCE_POS command identifier 0x7ff (0x300 + motor_id 0x4ff) is the register identifier")),
    (lambda: rotalink.disable_frame(0x600, rotalink.ControlMode.VEL), ValueError(
        "the VEL command identifier 0x800 (0x200 + motor_id 0x600) is past the standard range 0x7ff")),
    (lambda: rotalink.enable_frame(1, 5), ValueError(
        "argument 'mode': 5 is not a control mode; the modes are MIT (1), POS_VEL (2), VEL (3) or FORCE_POS (4)")),
    (lambda: rotalink.enable_frame(0x10000), OverflowError("out of range integral type conversion attempted")),
    (lambda: rotalink.refresh_frame(-1), OverflowError("out of range integral type conversion attempted")),
    (lambda: rotalink.enable_frame(1.0), TypeError(
        "argument 'motor_id': 'float' object cannot be interpreted as an integer")),
    (lambda: rotalink.read_register_frame(1, 37), RuntimeError("register 37 is not in the Damiao register table")),
    (lambda: rotalink.write_register_frame(1, rotalink.Register.SN, 1), RuntimeError("register 15 is read-only")),
    (lambda: rotalink.write_register_frame(1, rotalink.Register.PMAX, math.inf), ValueError(
        "register 21 (PMAX) takes a finite value")),
    (lambda: rotalink.write_register_frame(1, rotalink.Register.ESC_ID, 1 << 32), OverflowError(
        "out of range integral type conversion attempted")),
    (lambda: rotalink.write_register_frame(1, rotalink.Register.ESC_ID, 1.0), TypeError(
        "argument 'value': 'float' object cannot be interpreted as an integer")),
])
def test_frame_makers_refuse(call, want):
    with pytest.raises(type(want)) as info:
        call()
    assert str(info.value) == str(want)
