#!/usr/bin/env python3
"""Fuzzer of the argument binding and conversion of every rotalink callable.

Each case calls one callable of the module (a constructor, the setpoint
classes of every control mode included, a preset, the functions
``mit_setpoint`` and ``register_reply``, a ``Damiao`` method, bound or unbound,
``SocketCanTransport`` or ``MotorGroup``) with generated positional and keyword arguments:
ints of any size, bools and int subclasses, floats of every class, strs with
NULs and surrogates, bytes, None, objects whose ``__float__`` / ``__index__``
raise or return the wrong type, exceptions whose ``__str__`` fails, objects
of the module's own classes, keyword names that are not identifiers, hold a
NUL or a surrogate, or repeat a positional.

Every case is checked twice:

* the hard rule: only TypeError, OverflowError, ValueError, UnicodeEncodeError,
  OSError (``SocketCanTransport`` only), or what a user object raised, may
  come out; never PanicException, SystemError or a crash; and a conversion
  TypeError starts with "argument '<name>': ";
* a model of the call: the binding rules and the conversions (the
  interpreter's own PyFloat_AsDouble, PyNumber_Index, PyLong_AsLong and
  PyLong_AsUnsignedLongLong, called through ctypes) give the exact exception
  type and message, or the exact values of the new object (32-bit rounding,
  getters, repr with an independent shortest-digits formatter), and no
  argument's or class's reference count may change across the call.

Modes:
  py_fuzz.py --seconds 30 [--seed 1]      deterministic random cases
  py_fuzz.py --replay SEED:INDEX          one random case again, verbosely
  py_fuzz.py --atheris [libFuzzer flags]  coverage-guided, with atheris
  py_fuzz.py --atheris CRASH_FILE          replay an atheris reproducer

Run it against any build of the module: PYTHONPATH picks which.
"""

import argparse
import ctypes
import gc
import itertools
import math
import os
import re
import struct
import sys
import time
import traceback
import warnings
from fractions import Fraction

import rotalink

# --------------------------------------------------------------- sources


class RandomSource:
    """Choices from a seeded generator."""

    def __init__(self, seed):
        import random

        self.r = random.Random(seed)

    def below(self, n):
        return self.r.randrange(n) if n > 1 else 0

    def bits(self, k):
        return self.r.getrandbits(k) if k > 0 else 0


class ByteSource:
    """Choices taken from fuzzer bytes; past their end every choice is 0."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def _take(self, nbytes):
        chunk = self.data[self.pos:self.pos + nbytes]
        self.pos += nbytes
        return int.from_bytes(chunk, "little") if chunk else 0

    def below(self, n):
        if n <= 1:
            return 0
        return self._take((n.bit_length() + 7) // 8) % n

    def bits(self, k):
        return self._take((k + 7) // 8) & ((1 << k) - 1) if k > 0 else 0


def pick(src, seq):
    return seq[src.below(len(seq))]


# ------------------------------------------------------------ user objects


class FuzzError(Exception):
    """An exception that only user objects raise."""


class TypeErrorSub(TypeError):
    pass


class StrFailsTypeError(TypeError):
    def __str__(self):
        raise FuzzError("__str__ of a TypeError failed")


class StrNotStrTypeError(TypeError):
    def __str__(self):
        return 42


class CauseTypeError(TypeError):
    pass


def make_exception(kind):
    """A fresh exception instance of `kind` (deterministic)."""
    if kind == "cause":
        e = CauseTypeError("with a cause")
        e.__cause__ = FuzzError("the cause")
        return e
    cls = {
        "fuzz": FuzzError,
        "type": TypeError,
        "typesub": TypeErrorSub,
        "strfails": StrFailsTypeError,
        "strnotstr": StrNotStrTypeError,
        "value": ValueError,
        "overflow": OverflowError,
        "key": KeyError,
        "zero": ZeroDivisionError,
        "runtime": RuntimeError,
        "unicode": UnicodeError,
        "keyboard": KeyboardInterrupt,
    }[kind]
    return cls("raised by a user object", kind)


EXCEPTION_KINDS = ["fuzz", "type", "typesub", "strfails", "strnotstr", "value", "overflow",
                   "key", "zero", "runtime", "unicode", "keyboard", "cause"]


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class IntSubWithDunders(int):
    """An int subclass whose own __float__ / __index__ say something else."""

    def __float__(self):
        return 0.5

    def __index__(self):
        return 7


class Dotted:
    pass


Dotted.__name__ = "some.dotted.Name"  # type name in messages: the part after the last dot


def _ret(value):
    def method(self):
        return value
    return method


def _raise(kind):
    def method(self):
        raise make_exception(kind)
    return method


def user_object(src):
    """An instance of a fresh class with a __float__ and/or __index__."""
    returns = [
        ("float", lambda: 2.5), ("floatsub", lambda: FloatSub(1.25)), ("int", lambda: 3),
        ("big", lambda: 1 << 200), ("neg", lambda: -1), ("u16max", lambda: 65535),
        ("u16over", lambda: 65536), ("bool", lambda: True), ("intsub", lambda: IntSub(9)),
        ("str", lambda: "1.5"), ("none", lambda: None), ("nan", lambda: float("nan")),
        ("huge", lambda: 1e300),
    ]
    ns = {}
    desc = []
    for dunder in ("__float__", "__index__"):
        choice = src.below(3 + 2)  # 0 absent, 1 raise, else return
        if choice == 0:
            continue
        if choice == 1:
            kind = pick(src, EXCEPTION_KINDS)
            ns[dunder] = _raise(kind)
            desc.append(f"{dunder} raises {kind}")
        else:
            name, fn = pick(src, returns)
            ns[dunder] = _ret(fn())
            desc.append(f"{dunder} -> {name}")
    label = "User(" + ", ".join(desc) + ")"
    ns["__repr__"] = lambda self, label=label: label
    cls = type("User", (object,), ns)
    return cls()


# ------------------------------------------------------------ value pool

F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
F32_TIE = float.fromhex("0x1.ffffffp+127")  # FLT_MAX plus half an ulp: rounds to inf

SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.1, 12.5, 12.566, 30.0, 500.0, 5.0, 10.0, 1e-45, 1.4e-45, 5e-324,
    -5e-324, 1e-40, 1.17549435e-38, F32_MAX, -F32_MAX, F32_TIE, -F32_TIE,
    math.nextafter(F32_TIE, 0.0), math.nextafter(F32_TIE, math.inf), 1e39, -1e39, 1e300,
    sys.float_info.max, -sys.float_info.max, float("inf"), float("-inf"), float("nan"),
    -float("nan"), 1e16, 1e-4, 9.99999974738e-05, 65535.0, 4095.0, 0.5, 2.0 ** 24 + 1,
    1e20, 123456789.0,
]

SPECIAL_INTS = [
    0, 1, 2, 7, 255, 256, 0x7FF, 0x800, 65535, 65536, -1, -65535, 2 ** 31 - 1, 2 ** 31, 2 ** 32,
    2 ** 63 - 1, 2 ** 63, -(2 ** 63), -(2 ** 63) - 1, 2 ** 64 - 1, 2 ** 64, -(2 ** 64), 10 ** 400,
    -(10 ** 400), 2 ** 1024, 2 ** 128, 2 ** 128 - 2 ** 103,
]

STRINGS = [
    "", "a", "can0", "vcan0", "lo", "eth0", "1.5", "nan", "inf", "\0", "can\0", "x" * 15,
    "x" * 16, "x" * 300, "\udc80", "a\ud800b", "\U0001F600", "é", "q", "p_max", " ", "\n",
]

KW_NAMES = [
    "p_max", "v_max", "kp_max", "kd_max", "t_max", "q", "dq", "kp", "kd", "tau", "motor_id",
    "master_id", "limits", "timeout_ms", "bus", "setpoint", "iface", "self", "current", "mode",
    "modes", "setpoints", "", "p_max\0",
    "\0", "q\0x", "not an identifier", "1st", "\udc80", "p_max\udc80", "é", "P_MAX",
    "kwargs", "args", "__class__",
]


def fresh_float(src):
    k = src.below(5)
    if k == 0:
        return struct.unpack("<d", src.bits(64).to_bytes(8, "little"))[0]
    if k == 1:
        return struct.unpack("<f", src.bits(32).to_bytes(4, "little"))[0]
    if k == 2:
        return (src.below(4001) - 2000) / pick(src, [1, 2, 4, 8, 10, 100, 3])
    # A new object with a special value.
    return struct.unpack("<d", struct.pack("<d", pick(src, SPECIAL_FLOATS)))[0]


def fresh_int(src):
    k = src.below(4)
    if k == 0:
        return pick(src, SPECIAL_INTS)
    if k == 1:
        return src.below(70000) - 3
    if k == 2:
        n = src.bits(src.below(4100) + 1)
        return -n if src.below(2) else n
    return src.below(0x10000)


def fresh_str(src):
    k = src.below(3)
    if k == 0:
        return pick(src, STRINGS)
    alphabet = "abc_019 \0\udc80\ud83d\U0001F600é.-"
    return "".join(pick(src, alphabet) for _ in range(src.below(20)))


def module_object(src):
    k = src.below(15)
    if k == 0:
        return rotalink.MitLimits()
    if k == 1:
        return getattr(rotalink.MitLimits, pick(src, PRESETS))()
    if k == 2:
        return rotalink.MitSetpoint(q=0.25)
    if k == 3:
        return rotalink.mit_setpoint()
    if k == 4:
        return rotalink.Damiao(src.below(0x10000), src.below(0x10000))
    if k == 5:
        return pick(src, [rotalink.MitLimits, rotalink.MitSetpoint, rotalink.MotorState,
                          rotalink.Damiao, rotalink.SocketCanTransport])
    if k == 6:
        return rotalink
    if k == 7:
        return rotalink.mit_setpoint
    if k == 8:
        return rotalink.Damiao.enable
    if k == 9:
        return rotalink.MitLimits.dm4310
    if k == 10:
        return rotalink.Damiao(1, 2).enable
    if k == 11:
        return pick(src, [rotalink.PosVelSetpoint(0.5, 1.0), rotalink.VelSetpoint(-2.0),
                          rotalink.ForcePosSetpoint(0.25, 3.0, 0.5)])
    if k == 12:
        return pick(src, list(rotalink.ControlMode) + [rotalink.ControlMode])
    if k == 13:
        return pick(src, [rotalink.PosVelSetpoint, rotalink.VelSetpoint, rotalink.ForcePosSetpoint])
    return rotalink.MitLimits(p_max=-1.0)


def gen_value(src, depth=0):
    k = src.below(20)
    if k < 3:
        return fresh_float(src)
    if k < 6:
        return fresh_int(src)
    if k == 6:
        return bool(src.below(2))
    if k == 7:
        return pick(src, [IntSub, IntSubWithDunders])(fresh_int(src))
    if k == 8:
        return FloatSub(fresh_float(src))
    if k == 9:
        return fresh_str(src)
    if k == 10:
        return StrSub(fresh_str(src))
    if k == 11:
        return pick(src, [b"", b"1", b"can0", bytearray(b"12"), memoryview(b"ab")])
    if k == 12:
        return None
    if k < 15:
        return user_object(src)
    if k < 17:
        return module_object(src)
    if k == 17:
        import decimal

        return pick(src, [complex(1, 2), decimal.Decimal("1.5"), decimal.Decimal("nan"),
                          Fraction(1, 3), Fraction(10 ** 400, 3)])
    if k == 18:
        return pick(src, [Dotted(), object(), [], (), {}, 1j, Ellipsis, NotImplemented, type])
    if depth < 1:
        return [gen_value(src, depth + 1)]
    return 0


def gen_kw_name(src, params):
    k = src.below(10)
    if k < 6 and params:
        name = pick(src, params)
    elif k < 8:
        name = pick(src, KW_NAMES)
    else:
        name = fresh_str(src)
    return StrSub(name) if src.below(8) == 0 else name


# ---------------------------------------------------- interpreter oracles

_api = ctypes.pythonapi
_PyFloat_AsDouble = _api.PyFloat_AsDouble
_PyFloat_AsDouble.argtypes = [ctypes.py_object]
_PyFloat_AsDouble.restype = ctypes.c_double
_PyNumber_Index = _api.PyNumber_Index
_PyNumber_Index.argtypes = [ctypes.py_object]
_PyNumber_Index.restype = ctypes.py_object
_PyLong_AsLong = _api.PyLong_AsLong
_PyLong_AsLong.argtypes = [ctypes.py_object]
_PyLong_AsLong.restype = ctypes.c_long
_PyLong_AsULL = _api.PyLong_AsUnsignedLongLong
_PyLong_AsULL.argtypes = [ctypes.py_object]
_PyLong_AsULL.restype = ctypes.c_ulonglong
_libc = ctypes.CDLL(None, use_errno=True)
_if_nametoindex = _libc.if_nametoindex
_if_nametoindex.argtypes = [ctypes.c_char_p]
_if_nametoindex.restype = ctypes.c_uint


class Raise:
    """An expected exception: its exact type, and its message when known."""

    def __init__(self, etype, message=None, pattern=None, cause=None):
        self.etype = etype
        self.message = message
        self.pattern = pattern
        self.cause = cause

    def __repr__(self):
        return f"{self.etype.__name__}({self.message if self.message is not None else self.pattern!r})"


def raised(exc):
    """What an exception caught from the interpreter's own call predicts."""
    return Raise(type(exc), safe_str(exc))


def safe_str(exc):
    try:
        return str(exc)
    except BaseException:  # noqa: B902 - any failure of a user __str__
        return None


def prefixed(exc, name):
    """A conversion failure as the binding reports it."""
    if isinstance(exc, TypeError):
        try:
            text = str(exc)
        except BaseException as e2:  # the str() failure is what comes out
            return raised(e2)
        return Raise(TypeError, f"argument '{name}': {text}", cause=exc.__cause__)
    return raised(exc)


def type_name(obj):
    return type(obj).__name__.rsplit(".", 1)[-1]


def f32(d):
    """The nearest 32-bit float (as a Python float); beyond the range, inf."""
    try:
        return struct.unpack("<f", struct.pack("<f", d))[0]
    except OverflowError:
        return math.copysign(math.inf, d)


def conv_f32(obj, name):
    if type(obj) is float:
        return True, f32(obj)
    try:
        d = _PyFloat_AsDouble(obj)
    except BaseException as e:
        return False, prefixed(e, name)
    return True, f32(d)


def conv_u16(obj, name):
    try:
        index = _PyNumber_Index(obj)
    except BaseException as e:
        return False, prefixed(e, name)
    try:
        v = _PyLong_AsLong(index)
    except BaseException as e:
        return False, raised(e)
    if v < 0 or v > 0xFFFF:
        return False, Raise(OverflowError, "out of range integral type conversion attempted")
    return True, v


def conv_u64(obj, name):
    if type(obj) is not int:
        try:
            obj = _PyNumber_Index(obj)
        except BaseException as e:
            return False, prefixed(e, name)
    try:
        return True, _PyLong_AsULL(obj)
    except BaseException as e:
        return False, raised(e)


def instance_of(obj, cls, name):
    if cls in type(obj).__mro__:
        return True, obj
    return False, Raise(TypeError, f"argument '{name}': '{type_name(obj)}' object cannot be "
                                   f"converted to '{cls.__name__}'")


def quoted_list(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


def bind(sig, params, required, args, kwargs):
    """The binding rules: a dict of bound parameters, or a Raise."""
    n = len(params)
    if len(args) > n:
        takes = f"from {required} to {n}" if required != n else f"{n}"
        verb = "was" if len(args) == 1 else "were"
        return Raise(TypeError, f"{sig}() takes {takes} positional arguments but {len(args)} {verb} given")
    bound = dict(zip(params, args))
    for key, value in kwargs.items():
        # A name that is not valid UTF-8 (a lone surrogate) names no
        # parameter: it is an unexpected keyword like any other.
        name = str.__str__(key)
        if name not in params:
            return Raise(TypeError, f"{sig}() got an unexpected keyword argument '{name}'")
        if name in bound:
            return Raise(TypeError, f"{sig}() got multiple values for argument '{name}'")
        bound[name] = value
    missing = [p for p in params[:required] if p not in bound]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return Raise(TypeError, f"{sig}() missing {len(missing)} required positional {word}: "
                                f"{quoted_list(missing)}")
    return bound


# ------------------------------------------------- shortest float text


def f32_neighbours(v):
    """The exact value of float32 `v` and its rounding interval (lo, hi, closed)."""
    bits = struct.unpack("<I", struct.pack("<f", v))[0] & 0x7FFFFFFF
    exact = Fraction(abs(v))
    below = struct.unpack("<f", struct.pack("<I", bits - 1))[0] if bits > 0 else -abs(v)
    # Past the largest float the next step is 2**128 (where infinity starts).
    above = Fraction(2 ** 128) if bits == 0x7F7FFFFF else Fraction(struct.unpack("<f", struct.pack("<I", bits + 1))[0])
    lo = (exact + Fraction(below)) / 2
    hi = (exact + above) / 2
    return exact, lo, hi, bits % 2 == 0


def exact_decimal(fr):
    """The positional text of a Fraction with a finite decimal expansion."""
    if fr.denominator == 1:
        return str(fr.numerator)
    scale = 0
    num, den = fr.numerator, fr.denominator
    while den != 1:
        num *= 10
        scale += 1
        g = math.gcd(num, den)
        num //= g
        den //= g
    digits = str(num).rjust(scale + 1, "0")
    out = digits[:-scale] + "." + digits[-scale:]
    return out.rstrip("0").rstrip(".")


def float_short(v):
    """Shortest digits that read back as the 32-bit float `v`, positional.

    A list: one text, or two when two shortest candidates lie equally close
    to the value (e.g. 3482250.75 between 3482250.7 and 3482250.8); which of
    the two is written is left open.
    """
    if math.isnan(v):
        return ["NaN"]
    if math.isinf(v):
        return ["inf" if v > 0 else "-inf"]
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    if v == 0:
        return [sign + "0"]
    exact, lo, hi, closed = f32_neighbours(v)
    k = math.floor(math.log10(exact))
    while Fraction(10) ** k > exact:
        k -= 1
    while Fraction(10) ** (k + 1) <= exact:
        k += 1
    for p in range(1, 10):
        q = Fraction(10) ** (k - p + 1)
        down = (exact // q) * q
        up = down if down == exact else down + q
        good = [c for c in (down, up) if lo < c < hi or (closed and (c == lo or c == hi))]
        if good:
            dist = min(abs(c - exact) for c in good)
            return [sign + exact_decimal(c) for c in good if abs(c - exact) == dist]
    raise AssertionError(f"no digits found for {v!r}")


# ------------------------------------------------------------- callables

# The module's model presets (the static methods of MitLimits, in order);
# their values (PRESET_VALUES, below) are read once from the native table.
PRESETS = [name for name, value in vars(rotalink.MitLimits).items() if isinstance(value, staticmethod)]

LIMIT_PARAMS = ["p_max", "v_max", "kp_max", "kd_max", "t_max"]
PRESET_VALUES = {name: tuple(getattr(getattr(rotalink.MitLimits, name)(), f) for f in LIMIT_PARAMS)
                 for name in PRESETS}
LIMIT_DEFAULTS = [12.5, 30.0, 500.0, 5.0, 10.0]
SETPOINT_PARAMS = ["q", "dq", "kp", "kd", "tau"]
# The setpoint classes of the other control modes: (class name, fields); every
# field defaults to 0.0.
MODE_SETPOINTS = [("PosVelSetpoint", ["q", "dq"]), ("VelSetpoint", ["dq"]),
                  ("ForcePosSetpoint", ["q", "dq", "current"])]
DAMIAO_PARAMS = ["motor_id", "master_id", "limits", "timeout_ms"]
BUS_METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode", "read_limits",
               "refresh", "read_mode"]
SETPOINT_METHODS = ["mit_control", "pos_vel_control", "vel_control", "force_pos_control"]
# Every Damiao method and its parameters; `bus` is always converted first.
METHOD_PARAMS = dict({m: ["bus"] for m in BUS_METHODS}, **{m: ["bus", "setpoint"] for m in SETPOINT_METHODS},
                     read_register=["bus", "register"], write_register=["bus", "register", "value"],
                     ensure_mode=["bus", "mode"])


class Expect:
    """An expected result: a check of the returned object, or a Raise."""

    def __init__(self, ok=None, fail=None):
        self.ok = ok        # callable(result) -> None or error text
        self.fail = fail    # Raise


def same_f32(got, want):
    if math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    return (isinstance(got, float) and got == want
            and math.copysign(1.0, got) == math.copysign(1.0, want))


def record_check(cls_name, params, values):
    def check(obj):
        if type(obj).__name__ != cls_name:
            return f"returned a {type(obj).__name__}, not a {cls_name}"
        for p, v in zip(params, values):
            got = getattr(obj, p)
            if not same_f32(got, v):
                return f"{p} reads {got!r}, expected {v!r}"
        wants = [f"{cls_name}(" + ", ".join(f"{p}={t}" for p, t in zip(params, texts)) + ")"
                 for texts in itertools.product(*(float_short(v) for v in values))]
        if repr(obj) not in wants or str(obj) != repr(obj):
            return f"repr {repr(obj)!r}, expected {' or '.join(map(repr, wants))}"
        return None
    return check


def model_floats(sig, params, defaults, cls_name, args, kwargs):
    b = bind(sig, params, 0, args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    values = list(defaults)
    for i, p in enumerate(params):
        if p in b:
            ok, v = conv_f32(b[p], p)
            if not ok:
                return Expect(fail=v)
            values[i] = v
    return Expect(ok=record_check(cls_name, params, values))


def model_damiao(args, kwargs):
    b = bind("Damiao.__new__", DAMIAO_PARAMS, 2, args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    ok, motor = conv_u16(b["motor_id"], "motor_id")
    if not ok:
        return Expect(fail=motor)
    ok, master = conv_u16(b["master_id"], "master_id")
    if not ok:
        return Expect(fail=master)
    if b.get("limits") is not None:
        ok, err = instance_of(b["limits"], rotalink.MitLimits, "limits")
        if not ok:
            return Expect(fail=err)
    if "timeout_ms" in b:
        ok, err = conv_u64(b["timeout_ms"], "timeout_ms")
        if not ok:
            return Expect(fail=err)

    def check(obj):
        if type(obj) is not rotalink.Damiao:
            return f"returned {type(obj).__name__}"
        if obj.motor_id != motor or obj.master_id != master:
            return f"ids read {obj.motor_id}, {obj.master_id}; expected {motor}, {master}"
        want = f"Damiao(motor_id=0x{motor:x}, master_id=0x{master:x})"
        if repr(obj) != want or str(obj) != want:
            return f"repr {repr(obj)!r}, expected {want!r}"
        return None
    return Expect(ok=check)


def model_bus_method(name, args, kwargs):
    params = METHOD_PARAMS[name]
    b = bind(f"Damiao.{name}", params, len(params), args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    ok, err = instance_of(b["bus"], rotalink.SocketCanTransport, "bus")
    if not ok:
        return Expect(fail=err)
    raise AssertionError("a bus object reached a motor command")


def model_transport(args, kwargs):
    b = bind("SocketCanTransport.__new__", ["iface"], 1, args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    iface = b["iface"]
    if str not in type(iface).__mro__:
        return Expect(fail=Raise(TypeError, f"argument 'iface': '{type_name(iface)}' object cannot be "
                                            f"converted to 'str'"))
    try:
        raw = str.__str__(iface).encode("utf-8")
    except UnicodeEncodeError as e:
        return Expect(fail=raised(e))
    if b"\0" in raw:
        return Expect(fail=Raise(OSError, f"{os.strerror(22)} (os error 22)"))
    ctypes.set_errno(0)
    if _if_nametoindex(raw) == 0:
        e = ctypes.get_errno()
        return Expect(fail=Raise(OSError, f"{os.strerror(e)} (os error {e})"))
    # An existing interface: the socket, bind or option may fail, or a bus opens.
    return Expect(ok=lambda obj: None if type(obj) is rotalink.SocketCanTransport else "not a bus",
                  fail=Raise(OSError, pattern=r".+ \(os error \d+\)"))


GROUP_PARAMS = ["members", "timeout_ms", "fd", "watchdog_ms", "joint_limits", "disable_timeout_ms"]
MAX_WATCHDOG_MS = 0xFFFFFFFF // 20  # the motor's register counts 50 us units
MAX_DISABLE_TIMEOUT_MS = 60000


def model_group(args, kwargs):
    """MotorGroup's binding and conversions; no bus exists here, so every
    case ends with an error before a group is made."""
    b = bind("MotorGroup.__new__", GROUP_PARAMS, 1, args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    try:
        items = list(iter(b["members"]))
    except TypeError as e:
        return Expect(fail=Raise(TypeError, f"argument 'members': {e}"))
    for i, item in enumerate(items):
        name = f"members[{i}]"
        if not (isinstance(item, (tuple, list)) and len(item) == 2):
            return Expect(fail=Raise(TypeError, f"argument '{name}': expected a (SocketCanTransport, Damiao) "
                                                f"pair, got '{type_name(item)}'"))
        ok, err = instance_of(item[0], rotalink.SocketCanTransport, name)
        if not ok:
            return Expect(fail=err)
        raise AssertionError("a bus object reached a group")
    if "timeout_ms" in b:
        ok, err = conv_u64(b["timeout_ms"], "timeout_ms")
        if not ok:
            return Expect(fail=err)
    if "fd" in b:
        try:
            bool(b["fd"])
        except Exception as e:  # noqa: BLE001 - a user object's own error passes through
            return Expect(fail=raised(e))
    if b.get("watchdog_ms") is not None:
        ok, err = conv_u64(b["watchdog_ms"], "watchdog_ms")
        if not ok:
            return Expect(fail=err)
        ms = err
        if not 1 <= ms <= MAX_WATCHDOG_MS:
            return Expect(fail=Raise(ValueError, f"watchdog_ms must be None or from 1 to {MAX_WATCHDOG_MS} "
                                                 f"milliseconds, got {ms}"))
    if "disable_timeout_ms" in b:
        ok, err = conv_u64(b["disable_timeout_ms"], "disable_timeout_ms")
        if not ok:
            return Expect(fail=err)
        if err > MAX_DISABLE_TIMEOUT_MS:
            return Expect(fail=Raise(ValueError, f"disable_timeout_ms must be from 0 to {MAX_DISABLE_TIMEOUT_MS} "
                                                 f"milliseconds, got {err}"))
    return Expect(fail=Raise(ValueError, "a MotorGroup needs at least one member"))


def gen_members(src):
    """Mostly lists of pairs, now and then anything at all."""
    k = src.below(4)
    if k == 0:
        return gen_value(src)
    pairs = [(gen_value(src), gen_value(src)) for _ in range(src.below(3))]
    if k == 1 and pairs:
        pairs[src.below(len(pairs))] = gen_value(src)
    return pairs if src.below(2) else tuple(pairs)


def model_preset(name, args, kwargs):
    if args or kwargs:
        return Expect(fail=Raise(TypeError))
    return Expect(ok=record_check("MitLimits", LIMIT_PARAMS, [f32(v) for v in PRESET_VALUES[name]]))


def gen_record(src):
    """A raw socket's record, mostly of a register frame, now and then of
    another size, in a bytes-like object of any kind."""
    size = pick(src, [16, 72, 16, 72, 0, 8, 15, 17, 71, 73])
    can_id = pick(src, [0x011, 0x7FF, 0x800007FF, 0x0000FFFF, 0x40000011, 0x20000011, src.bits(32)]) & 0xFFFFFFFF
    length = pick(src, [8, 8, 7, 12, 255, src.below(256)])
    data = bytes([src.below(256), src.below(4), pick(src, [0x33, 0x55, src.below(256)])])
    data += bytes(src.below(256) for _ in range(61))
    raw = (struct.pack("=IBB2x", can_id, length, src.below(256)) + data)[:size].ljust(size, b"\0")
    return pick(src, [bytes, bytearray, memoryview])(raw)


def model_register_reply(args, kwargs):
    """An independent reading of the rule: a data frame of 8 bytes with 0x33
    in byte 2, not on standard id 0x7FF."""
    b = bind("register_reply", ["record"], 1, args, kwargs)
    if isinstance(b, Raise):
        return Expect(fail=b)
    try:
        raw = bytes(memoryview(b["record"]))
    except TypeError:
        return Expect(fail=Raise(TypeError, pattern=r"argument 'record': a bytes-like object is required, "
                                                    r"not '[^']+'"))
    if len(raw) not in (16, 72):
        return Expect(fail=Raise(ValueError, f"a record of {len(raw)} bytes is neither a CAN frame (16) "
                                             f"nor a CAN FD frame (72)"))
    can_id, length = struct.unpack_from("=IB", raw)
    classic = len(raw) == 16
    data = raw[8:8 + min(length, 8 if classic else 64)]
    refused = classic and can_id & 0x60000000  # an error frame or a remote request
    request = not can_id & 0x80000000 and can_id & 0x7FF == 0x7FF
    want = None
    if not refused and not request and len(data) == 8 and data[2] == 0x33:
        want = (data[0] | data[1] << 8, data[3], data[4:8])
    return Expect(ok=lambda got: None if got == want and type(got) is type(want)
                  else f"returned {got!r}, expected {want!r}")


# ------------------------------------------------------------------ cases


class Case:
    def __init__(self, label, fn, args, kwargs, expect, allowed_oserror=False):
        self.label = label
        self.fn = fn
        self.args = args
        self.kwargs = kwargs
        self.expect = expect
        self.allowed_oserror = allowed_oserror

    def describe(self):
        kw = ", ".join(f"{k!r}: {v!r}" for k, v in self.kwargs.items())
        return f"{self.label}(*{self.args!r}, **{{{kw}}})"


def gen_args(src, params):
    if params and src.below(3):
        # Well-formed: a subset of the parameters, the first few by position
        # and the rest by keyword in some order; now and then one more
        # keyword from anywhere.
        chosen = [p for p in params if src.below(3)]
        npos = src.below(len(chosen) + 1)
        args = tuple(gen_value(src) for _ in chosen[:npos])
        named = list(chosen[npos:])
        for i in range(len(named) - 1, 0, -1):
            j = src.below(i + 1)
            named[i], named[j] = named[j], named[i]
        kwargs = {(StrSub(p) if src.below(10) == 0 else p): gen_value(src) for p in named}
        if src.below(6) == 0:
            kwargs[gen_kw_name(src, params)] = gen_value(src)
        return args, kwargs
    n = src.below(len(params) + 3) if src.below(4) else src.below(8)
    args = tuple(gen_value(src) for _ in range(n))
    kwargs = {}
    for _ in range(src.below(5)):
        kwargs[gen_kw_name(src, params)] = gen_value(src)
    return args, kwargs


def gen_case(src):
    k = src.below(14)
    if k == 0:
        args, kwargs = gen_args(src, LIMIT_PARAMS)
        return Case("MitLimits", rotalink.MitLimits, args, kwargs,
                    model_floats("MitLimits.__new__", LIMIT_PARAMS, [f32(v) for v in LIMIT_DEFAULTS],
                                 "MitLimits", args, kwargs))
    if k == 1:
        args, kwargs = gen_args(src, SETPOINT_PARAMS)
        return Case("MitSetpoint", rotalink.MitSetpoint, args, kwargs,
                    model_floats("MitSetpoint.__new__", SETPOINT_PARAMS, [0.0] * 5, "MitSetpoint",
                                 args, kwargs))
    if k == 2:
        args, kwargs = gen_args(src, SETPOINT_PARAMS)
        return Case("mit_setpoint", rotalink.mit_setpoint, args, kwargs,
                    model_floats("mit_setpoint", SETPOINT_PARAMS, [0.0] * 5, "MitSetpoint", args, kwargs))
    if k == 3:
        name = pick(src, PRESETS)
        args, kwargs = gen_args(src, []) if src.below(3) == 0 else ((), {})
        return Case(f"MitLimits.{name}", getattr(rotalink.MitLimits, name), args, kwargs,
                    model_preset(name, args, kwargs))
    if k in (4, 5):
        args, kwargs = gen_args(src, DAMIAO_PARAMS)
        if src.below(2):  # mostly well-typed ids, to reach the later parameters
            args = (src.below(0x10000), src.below(0x10000)) + args[2:]
        return Case("Damiao", rotalink.Damiao, args, kwargs, model_damiao(args, kwargs))
    if k in (6, 7):
        name = pick(src, sorted(METHOD_PARAMS))
        motor = rotalink.Damiao(src.below(0x10000), src.below(0x10000), rotalink.MitLimits())
        params = METHOD_PARAMS[name]
        args, kwargs = gen_args(src, params)
        if src.below(2):
            # Called through the class, with the motor as the first argument.
            return Case(f"Damiao.{name}", getattr(rotalink.Damiao, name), (motor,) + args, kwargs,
                        model_bus_method(name, args, kwargs))
        return Case(f"motor.{name}", getattr(motor, name), args, kwargs,
                    model_bus_method(name, args, kwargs))
    if k == 8:
        # A method called through the class with something else as self.
        name = pick(src, sorted(METHOD_PARAMS))
        args, kwargs = gen_args(src, ["bus"])
        return Case(f"Damiao.{name}[wrong self]", getattr(rotalink.Damiao, name), args, kwargs,
                    Expect(fail=Raise(TypeError)) if not args or type(args[0]) is not rotalink.Damiao
                    else model_bus_method(name, args[1:], kwargs))
    if k == 9:
        args, kwargs = gen_args(src, ["iface"])
        if src.below(2):
            args = (fresh_str(src),) + args[1:]
        return Case("SocketCanTransport", rotalink.SocketCanTransport, args, kwargs,
                    model_transport(args, kwargs), allowed_oserror=True)
    if k == 10:
        args, kwargs = gen_args(src, GROUP_PARAMS)
        if src.below(2):
            args = (gen_members(src),) + args[1:]
        return Case("MotorGroup", rotalink.MotorGroup, args, kwargs, model_group(args, kwargs))
    if k == 11:
        args, kwargs = gen_args(src, ["record"])
        if src.below(4):
            args = (gen_record(src),) + args[1:]
        return Case("register_reply", rotalink.register_reply, args, kwargs, model_register_reply(args, kwargs))
    if k == 12:
        cls, params = pick(src, MODE_SETPOINTS)
        args, kwargs = gen_args(src, params)
        return Case(cls, getattr(rotalink, cls), args, kwargs,
                    model_floats(f"{cls}.__new__", params, [0.0] * len(params), cls, args, kwargs))
    args, kwargs = gen_args(src, [])
    return Case("MotorState", rotalink.MotorState, args, kwargs,
                Expect(fail=Raise(TypeError, "No constructor defined for MotorState")))


# ---------------------------------------------------------------- checking

ALWAYS_ALLOWED = (TypeError, OverflowError, ValueError, UnicodeEncodeError)
USER_RAISED = (FuzzError, KeyError, ZeroDivisionError, RuntimeError, UnicodeError,
               KeyboardInterrupt)
PRIVATE_TYPES = (float, int, str, bytes, bytearray, list)


def tracked(objs):
    """Objects whose reference count only this case can change."""
    out = []
    for o in objs:
        t = type(o)
        if o is None or isinstance(o, bool):
            continue
        if t is int and -5 <= o <= 256:
            continue
        if isinstance(o, (str, bytes)) and len(o) < 2:
            continue
        if type(o) is str and sys.intern(o) is o:
            continue  # interned: shared with the interpreter
        if t.__module__ == "rotalink" or t.__name__ in ("User", "Dotted") or isinstance(o, PRIVATE_TYPES):
            out.append(o)
    return out


class Failure(Exception):
    pass


def hard_rule(case, exc):
    """The rule every outcome obeys; None when it does."""
    if type(exc).__name__ == "PanicException" or isinstance(exc, SystemError):
        return f"internal fault: {type(exc).__name__}({safe_str(exc)!r})"
    if isinstance(exc, ALWAYS_ALLOWED):
        return None
    if isinstance(exc, OSError) and case.allowed_oserror:
        return None
    if isinstance(exc, USER_RAISED) and exc.args[:1] == ("raised by a user object",):
        return None
    if isinstance(exc, FuzzError):
        return None
    # A warning that the filter turned into an error, caused by a user
    # object's dunder returning a subclass of the type it should return.
    fail = case.expect.fail
    if isinstance(exc, Warning) and fail is not None and type(exc) is fail.etype:
        return None
    return f"{type(exc).__module__}.{type(exc).__name__} escaped: {safe_str(exc)!r}"


def run_case(case, verbose=False):
    classes = [rotalink.MitLimits, rotalink.MitSetpoint, rotalink.MotorState, rotalink.Damiao,
               rotalink.SocketCanTransport, rotalink.PosVelSetpoint, rotalink.VelSetpoint,
               rotalink.ForcePosSetpoint, rotalink.ControlMode]
    watch = tracked(list(case.args) + list(case.kwargs.values()) + list(case.kwargs.keys()))
    before = [sys.getrefcount(o) for o in watch]
    class_before = [sys.getrefcount(c) for c in classes]

    result = exc = None
    try:
        result = case.fn(*case.args, **case.kwargs)
    except BaseException as e:  # noqa: B902 - everything is judged below
        exc = e

    problems = []
    exp = case.expect
    if exc is not None:
        got = f"{type(exc).__name__}({safe_str(exc)!r})"
        rule = hard_rule(case, exc)
        if rule:
            problems.append(rule)
        if isinstance(exc, TypeError) and exp.fail and exp.fail.message and \
                exp.fail.message.startswith("argument '") and not safe_str(exc).startswith("argument '"):
            problems.append("a conversion TypeError lacks the argument prefix")
        if exp.fail is None:
            problems.append(f"raised {got}, expected success")
        else:
            f = exp.fail
            if type(exc) is not f.etype:
                problems.append(f"raised {got}, expected {f!r}")
            elif f.message is not None and safe_str(exc) != f.message:
                problems.append(f"raised {got}, expected message {f.message!r}")
            elif f.pattern is not None and not re.fullmatch(f.pattern, safe_str(exc) or ""):
                problems.append(f"raised {got}, expected a message like {f.pattern!r}")
            elif f.cause is not None and exc.__cause__ is not f.cause and \
                    type(exc.__cause__) is not type(f.cause):
                problems.append(f"cause {exc.__cause__!r}, expected {f.cause!r}")
        if verbose:
            traceback.print_exception(exc)
    else:
        if exp.ok is None:
            problems.append(f"returned {result!r}, expected {exp.fail!r}")
        else:
            why = exp.ok(result)
            if why:
                problems.append(why)
    exc = None
    result = None

    after = [sys.getrefcount(o) for o in watch]
    class_after = [sys.getrefcount(c) for c in classes]
    if after != before or class_after != class_before:
        gc.collect()
        after = [sys.getrefcount(o) for o in watch]
        class_after = [sys.getrefcount(c) for c in classes]
        for o, a, b in zip(watch, after, before):
            if a != b:
                problems.append(f"reference count of argument {o!r} went from {b} to {a}")
        for c, a, b in zip(classes, class_after, class_before):
            if a != b:
                problems.append(f"reference count of class {c.__name__} went from {b} to {a}")
    return problems


def one(src, verbose=False):
    warnings.simplefilter("error" if src.below(4) == 0 else "ignore")
    case = gen_case(src)
    if verbose:
        print("case:", case.describe())
        print("expected:", case.expect.fail if case.expect.ok is None else "success")
    problems = run_case(case, verbose)
    warnings.simplefilter("ignore")
    return case, problems


def report(case, problems, how):
    print("\n==== py_fuzz failure", file=sys.stderr)
    print("  call:", case.describe(), file=sys.stderr)
    for p in problems:
        print("  -", p, file=sys.stderr)
    print("  replay:", how, file=sys.stderr)
    sys.stderr.flush()


def random_mode(seconds, seed, max_cases):
    gc.disable()  # no collection inside a call: reference counts stay exact
    start = time.monotonic()
    i = 0
    failures = 0
    while time.monotonic() - start < seconds and (max_cases is None or i < max_cases):
        src = RandomSource(f"{seed}:{i}")
        case, problems = one(src)
        if problems:
            failures += 1
            report(case, problems, f"{sys.argv[0]} --replay {seed}:{i}")
            if failures >= 10:
                break
        i += 1
        if i % 2000 == 0:
            gc.collect()
    elapsed = time.monotonic() - start
    module = getattr(rotalink, "__file__", "?")
    print(f"py_fuzz: {i} cases in {elapsed:.1f} s ({i / max(elapsed, 1e-9):.0f}/s), "
          f"{failures} failures; module {module}")
    return 1 if failures else 0


def replay(spec):
    seed, _, index = spec.rpartition(":")
    case, problems = one(RandomSource(f"{seed}:{index}"), verbose=True)
    print("problems:", problems or "none")
    return 1 if problems else 0


def atheris_mode(argv):
    import atheris

    gc.disable()
    count = [0]

    def test_one_input(data):
        count[0] += 1
        if count[0] % 2000 == 0:
            gc.collect()
        case, problems = one(ByteSource(data))
        if problems:
            report(case, problems, "run again with --atheris on the crash file")
            raise Failure("; ".join(problems))

    # Coverage of the generator and the model (the module itself is not
    # instrumented): new branches there are new kinds of calls.
    atheris.instrument_all()
    atheris.Setup([sys.argv[0]] + argv, test_one_input)
    atheris.Fuzz()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--seed", default="1")
    ap.add_argument("--cases", type=int, default=None, help="stop after this many cases")
    ap.add_argument("--replay", metavar="SEED:INDEX")
    ap.add_argument("--atheris", action="store_true", help="coverage-guided; the rest goes to libFuzzer")
    opts, rest = ap.parse_known_args()
    if opts.replay:
        return replay(opts.replay)
    if opts.atheris:
        return atheris_mode(rest)
    return random_mode(opts.seconds, opts.seed, opts.cases)


if __name__ == "__main__":
    sys.exit(main())
