"""Module entry and registration: the public surface of ``rotalink``.

Covers the module attributes, the registration order in ``__all__``, import
behaviour (re-import, fresh interpreter, sub-interpreter), and how each class,
preset, method and the functions ``mit_setpoint`` and ``register_reply`` present themselves to Python:
names, text signatures, doc texts and type flags.
"""

import importlib
import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

import rotalink
from conftest import doc_presets

FULL_ALL = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "MotorState",
    "Damiao",
    "SocketCanTransport",
    "mit_setpoint",
    "MotorGroup",
    "GroupError",
    "Register",
    "register_reply",
    "ControlMode",
    "PosVelSetpoint",
    "VelSetpoint",
    "ForcePosSetpoint",
    "JointLimits",
    "Status",
    "ControlLoop",
    "LoopStats",
    "Move",
    "RECORD_TOPICS",
    "Joint",
    "Robot",
    "RobotLoop",
    "JointStates",
    "REGISTER_ID",
    "REGISTER_READ_OP",
    "REGISTER_WRITE_OP",
    "SPECIAL_COMMANDS",
    "CAN_BIT_RATES",
    "TIMEOUT_UNIT_US",
    "enable_frame",
    "disable_frame",
    "set_zero_frame",
    "clear_error_frame",
    "refresh_frame",
    "read_register_frame",
    "write_register_frame",
    "save_parameters_frame",
]

CLASS_NAMES = ["MitLimits", "MitSetpoint", "MotorState", "Damiao", "SocketCanTransport", "MotorGroup",
               "PosVelSetpoint", "VelSetpoint", "ForcePosSetpoint", "JointLimits", "ControlLoop", "LoopStats",
               "Move", "Joint", "Robot", "RobotLoop", "JointStates"]

PRESETS = [row[0] for row in doc_presets()]  # as docs/API.md tabulates them

BUS_METHODS = ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"]

ENSURE_MIT_MODE_DOC = (
    "Force the firmware into MIT control mode (register 10 = 1). Some\n"
    "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
    "silently ignored. A motor that reports itself enabled is refused."
)

# Type flags as CPython defines them.
TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14
TPFLAGS_IMMUTABLETYPE = 1 << 8


ALL_CLASSES = [pytest.param(n, id=n) for n in CLASS_NAMES]


def subprocess_env():
    """Environment for a child interpreter that finds the same ``rotalink``."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rotalink.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in sys.path if p])
    return env


def run_child(code):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=subprocess_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    return proc


# ------------------------------------------------------------ module attributes


def test_version_is_the_release_string():
    assert type(rotalink.__version__) is str
    assert rotalink.__version__ == "1.0.0"


def test_module_doc_is_empty_string():
    assert rotalink.__doc__ == ""


def test_module_name():
    assert rotalink.__name__ == "rotalink"


def test_all_lists_registered_names_in_registration_order():
    names = rotalink.__all__
    assert type(names) is list
    assert all(type(n) is str for n in names)
    assert names == FULL_ALL


def test_every_name_in_all_is_an_attribute():
    for name in rotalink.__all__:
        assert hasattr(rotalink, name), name
    assert len(set(rotalink.__all__)) == len(rotalink.__all__)


def test_no_stray_public_or_private_attributes():
    public = [n for n in dir(rotalink) if not n.startswith("_")]
    assert public == sorted(n for n in rotalink.__all__ if not n.startswith("__"))
    single_underscore = [n for n in dir(rotalink) if n.startswith("_") and not n.startswith("__")]
    assert single_underscore == []


def test_panic_exception_is_not_exported():
    assert not hasattr(rotalink, "PanicException")
    assert "PanicException" not in rotalink.__all__


# --------------------------------------------------------------------- importing


def test_reimport_after_removal_from_sys_modules_returns_same_module():
    original = sys.modules["rotalink"]
    before = list(original.__all__)
    try:
        del sys.modules["rotalink"]
        again = importlib.import_module("rotalink")
        assert again is original
        assert again.__all__ == before
        assert again.MitLimits is original.MitLimits
    finally:
        sys.modules["rotalink"] = original


def test_reload_keeps_module_and_all():
    before = list(rotalink.__all__)
    assert importlib.reload(rotalink) is rotalink
    assert rotalink.__all__ == before


def test_fresh_interpreter_imports_twice_and_body_runs_once():
    proc = run_child(
        """
        import importlib, json, sys
        import rotalink
        first = rotalink
        cls = rotalink.MitLimits
        del sys.modules["rotalink"]
        import rotalink
        second = rotalink
        reloaded = importlib.reload(rotalink)
        print(json.dumps({
            "same": first is second and second is reloaded,
            "same_class": cls is second.MitLimits,
            "all": list(second.__all__),
            "version": second.__version__,
        }))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    result = json.loads(proc.stdout)
    assert result["same"] is True
    assert result["same_class"] is True
    assert result["all"] == rotalink.__all__
    assert result["version"] == "1.0.0"


def _has_subinterpreters():
    import importlib.util

    return any(importlib.util.find_spec(m) is not None
               for m in ("_interpreters", "_xxsubinterpreters"))


# A sub-interpreter that shares the main one's settings ("legacy"), in which
# the module's own refusal runs: from 3.12 the default is an isolated one,
# which refuses every single-phase module before it is initialised.
@pytest.mark.skipif(not _has_subinterpreters(), reason="no sub-interpreter support in this Python")
def test_import_from_sub_interpreter_is_refused_and_main_module_keeps_working():
    proc = run_child(
        """
        import json
        import rotalink
        try:
            import _interpreters  # 3.13 and later
        except ImportError:
            import _xxsubinterpreters
            try:
                sid = _xxsubinterpreters.create(isolated=False)
            except TypeError:  # 3.8
                sid = _xxsubinterpreters.create()
            try:
                _xxsubinterpreters.run_string(sid, "import rotalink")
                outcome = "imported"
            except Exception as exc:
                outcome = str(exc)
            finally:
                _xxsubinterpreters.destroy(sid)
        else:
            sid = _interpreters.create("legacy")
            failure = _interpreters.run_string(sid, "import rotalink")
            _interpreters.destroy(sid)
            outcome = "imported" if failure is None else failure.formatted
        print(json.dumps({"outcome": outcome, "repr": repr(rotalink.MitLimits())}))
        """
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert "ImportError" in result["outcome"]
    assert result["outcome"].endswith(
        "rotalink does not support sub-interpreters: it can only be imported once per process,"
        " by the main interpreter")
    assert result["repr"] == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"


# ----------------------------------------------------------------------- classes


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_identity(name):
    cls = getattr(rotalink, name)
    assert type(cls) is type
    assert cls.__module__ == "rotalink"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == "<class 'rotalink.%s'>" % name
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_type_flags(name):
    cls = getattr(rotalink, name)
    flags = cls.__flags__
    assert flags & TPFLAGS_HEAPTYPE
    assert not flags & TPFLAGS_BASETYPE
    assert not flags & TPFLAGS_HAVE_GC
    assert not flags & TPFLAGS_IMMUTABLETYPE
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_cannot_be_subclassed(name):
    cls = getattr(rotalink, name)
    with pytest.raises(TypeError):

        class Derived(cls):
            pass

    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_object_accepts_new_class_attributes(name):
    cls = getattr(rotalink, name)
    cls.extra_marker = 7
    try:
        assert cls.extra_marker == 7
    finally:
        del cls.extra_marker
    assert not hasattr(cls, "extra_marker")


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_equality_and_hash_are_inherited_from_object(name):
    cls = getattr(rotalink, name)
    assert cls.__eq__ is object.__eq__
    assert cls.__ne__ is object.__ne__
    assert cls.__hash__ is object.__hash__
    assert cls.__lt__ is object.__lt__


CLASS_SIGNATURES = [
    ("MitLimits", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"),
    ("MitSetpoint", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"),
    ("Damiao", "(motor_id, master_id, limits=None, timeout_ms=20)"),
    ("SocketCanTransport", "(iface)"),
    ("MotorGroup", "(members, timeout_ms=20, fd=False, watchdog_ms=None, joint_limits=None, disable_timeout_ms=500)"),
    ("PosVelSetpoint", "(q=0.0, dq=0.0)"),
    ("VelSetpoint", "(dq=0.0)"),
    ("ForcePosSetpoint", "(q=0.0, dq=0.0, current=0.0)"),
    ("JointLimits", "(q_min=-math.inf, q_max=math.inf, dq_max=math.inf, tau_max=math.inf)"),
    ("Joint", "(name, bus, motor_id, master_id, limits=None, direction=1, offset=0.0, gear=1.0, joint_limits=None, "
              "mode=ControlMode.MIT, kp=0.0, kd=0.0)"),
    ("Robot", "(joints, timeout_ms=20, fd=False, watchdog_ms=None, disable_timeout_ms=500)"),
]
# What inspect shows where it differs from the text signature.
SHOWN = {"JointLimits": "(q_min=-inf, q_max=inf, dq_max=inf, tau_max=inf)",
         "Joint": "(name, bus, motor_id, master_id, limits=None, direction=1, offset=0.0, gear=1.0, "
                  "joint_limits=None, mode=<ControlMode.MIT: 1>, kp=0.0, kd=0.0)"}


@pytest.mark.parametrize("name, signature", [pytest.param(n, s, id=n) for n, s in CLASS_SIGNATURES])
def test_class_text_signature_and_empty_doc(name, signature):
    cls = getattr(rotalink, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""
    assert str(inspect.signature(cls)) == SHOWN.get(name, signature)


@pytest.mark.parametrize("name, signature", [pytest.param(n, s, id=n) for n, s in CLASS_SIGNATURES])
def test_class_signature_parameters_are_positional_or_keyword(name, signature):
    params = list(inspect.signature(getattr(rotalink, name)).parameters.values())
    assert params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


# Made only by the module: no doc, no signature, and no constructor.
@pytest.mark.parametrize("name", ["MotorState", "ControlLoop", "LoopStats", "Move", "RobotLoop", "JointStates"])
def test_class_without_constructor_has_no_doc_and_no_signature(name):
    cls = getattr(rotalink, name)
    assert cls.__doc__ is None
    assert cls.__text_signature__ is None
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == "No constructor defined for " + name


EXPECTED_MEMBERS = [
    ("MitLimits", set(PRESETS) | {"p_max", "v_max", "kp_max", "kd_max", "t_max"}),
    ("MitSetpoint", {"q", "dq", "kp", "kd", "tau"}),
    ("MotorState", {"motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"}),
    ("Damiao", {"motor_id", "master_id", "mit_control", "read_register", "write_register", "read_limits",
                "pos_vel_control", "vel_control", "force_pos_control", "refresh", "read_mode", "ensure_mode",
                "save_parameters"}
     | set(BUS_METHODS)),
    ("SocketCanTransport", set()),
    ("MotorGroup", {"members", "timeout_ms", "fd", "mit_control", "enable", "disable", "set_zero", "clear_error",
                    "control", "refresh", "ensure_mode", "hold", "watchdog_ms", "joint_limits", "clamped",
                    "start"}),
    ("PosVelSetpoint", {"q", "dq"}),
    ("VelSetpoint", {"dq"}),
    ("ForcePosSetpoint", {"q", "dq", "current"}),
    ("JointLimits", {"q_min", "q_max", "dq_max", "tau_max"}),
    ("ControlLoop", {"set", "move_to", "wait", "states", "stats", "stop", "running", "error", "recorded"}),
    ("LoopStats", {"cycles", "overruns", "missed", "faults", "rate_hz", "period_us", "latency_us", "recorded",
                   "record_dropped", "record_error"}),
    ("Move", {"wait", "done", "cancelled"}),
    ("Joint", {"name", "bus", "motor", "direction", "offset", "gear", "joint_limits", "mode", "kp", "kd"}),
    ("Robot", {"names", "joints", "group", "state", "command", "start", "load"}),
    ("RobotLoop", {"set", "move_to", "wait", "state", "stats", "stop", "loop", "running", "error", "recorded"}),
    ("JointStates", {"names", "q", "dq", "tau", "status", "t_mos", "t_rotor"}),
]


@pytest.mark.parametrize(
    "name, members",
    [pytest.param(n, m, id=n) for n, m in EXPECTED_MEMBERS],
)
def test_class_public_members_are_exactly_the_registered_ones(name, members):
    cls = getattr(rotalink, name)
    own = {k for k in vars(cls) if not k.startswith("_")}
    assert own == members
    public = {k for k in dir(cls) if not k.startswith("_")}
    assert public == members


GETTERS = [
    ("MitLimits", ["p_max", "v_max", "kp_max", "kd_max", "t_max"]),
    ("MitSetpoint", ["q", "dq", "kp", "kd", "tau"]),
    ("MotorState", ["motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"]),
    ("Damiao", ["motor_id", "master_id"]),
    ("MotorGroup", ["members", "timeout_ms", "fd", "watchdog_ms", "joint_limits", "clamped"]),
    ("PosVelSetpoint", ["q", "dq"]),
    ("VelSetpoint", ["dq"]),
    ("ForcePosSetpoint", ["q", "dq", "current"]),
    ("JointLimits", ["q_min", "q_max", "dq_max", "tau_max"]),
    ("ControlLoop", ["running", "error", "recorded"]),
    ("LoopStats", ["cycles", "overruns", "missed", "faults", "rate_hz", "period_us", "latency_us", "recorded",
                   "record_dropped", "record_error"]),
    ("Move", ["done", "cancelled"]),
    ("Joint", ["name", "bus", "motor", "direction", "offset", "gear", "joint_limits", "mode", "kp", "kd"]),
    ("Robot", ["names", "joints", "group"]),
    ("RobotLoop", ["loop", "running", "error", "recorded"]),
    ("JointStates", ["names", "q", "dq", "tau", "status", "t_mos", "t_rotor"]),
]


@pytest.mark.parametrize(
    "name, attr",
    [
        pytest.param(n, a, id="%s.%s" % (n, a))
        for n, attrs in GETTERS
        for a in attrs
    ],
)
def test_attribute_is_read_only_getter_without_doc(name, attr):
    descriptor = vars(getattr(rotalink, name))[attr]
    assert type(descriptor).__name__ == "getset_descriptor"
    assert descriptor.__name__ == attr
    assert descriptor.__doc__ is None


@pytest.mark.parametrize(
    "name, dunder",
    [
        pytest.param(n, d, id="%s.%s" % (n, d))
        for n in CLASS_NAMES
        for d in ("__dict__", "__weakref__")
    ],
)
def test_instances_have_no_dict_or_weakref_slot(name, dunder):
    assert dunder not in vars(getattr(rotalink, name))


# ----------------------------------------------------------------------- presets


@pytest.mark.parametrize("preset", PRESETS)
def test_preset_registration(preset):
    raw = vars(rotalink.MitLimits)[preset]
    assert isinstance(raw, staticmethod)
    fn = getattr(rotalink.MitLimits, preset)
    assert fn.__name__ == preset
    assert fn.__qualname__ == "MitLimits." + preset
    assert fn.__text_signature__ == "()"
    assert fn.__doc__ is None
    assert str(inspect.signature(fn)) == "()"


@pytest.mark.parametrize("preset", PRESETS)
@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((None,), {}), ((), {"p_max": 1.0}), ((1, 2), {})],
    ids=["int", "none", "keyword", "two"],
)
def test_preset_rejects_any_argument(preset, args, kwargs):
    fn = getattr(rotalink.MitLimits, preset)
    with pytest.raises(TypeError, match=r"takes no (keyword )?arguments"):
        fn(*args, **kwargs)


# ---------------------------------------------------------------- mit_setpoint


def test_mit_setpoint_function_registration():
    fn = rotalink.mit_setpoint
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__self__ is rotalink
    assert fn.__module__ == "rotalink"
    assert fn.__name__ == "mit_setpoint"
    assert fn.__qualname__ == "mit_setpoint"
    assert fn.__text_signature__ == "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"
    assert fn.__doc__ == "Build a `MitSetpoint` (handy when keyword args are awkward)."


def test_register_reply_registration():
    fn = rotalink.register_reply
    assert type(fn).__name__ == "builtin_function_or_method"
    assert (fn.__self__, fn.__module__, fn.__name__, fn.__qualname__) == (
        rotalink, "rotalink", "register_reply", "register_reply")
    assert fn.__text_signature__ == "(record)"
    assert fn.__doc__.startswith("The register read reply in `record`")


@pytest.mark.parametrize("name, signature, doc_start", [
    ("enable_frame", "(motor_id, mode=ControlMode.MIT)", "The frame of Damiao.enable as (identifier, data)"),
    ("disable_frame", "(motor_id, mode=ControlMode.MIT)", "The frame of Damiao.disable as (identifier, data)"),
    ("set_zero_frame", "(motor_id, mode=ControlMode.MIT)", "The frame of Damiao.set_zero as (identifier, data)"),
    ("clear_error_frame", "(motor_id, mode=ControlMode.MIT)",
     "The frame of Damiao.clear_error as (identifier, data)"),
    ("refresh_frame", "(motor_id)", "The refresh of Damiao.refresh"),
    ("read_register_frame", "(motor_id, register)", "The request of Damiao.read_register"),
    ("write_register_frame", "(motor_id, register, value)", "The request of Damiao.write_register"),
    ("save_parameters_frame", "(motor_id)", "The frame of Damiao.save_parameters"),
])
def test_frame_maker_registration(name, signature, doc_start):
    fn = getattr(rotalink, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert (fn.__self__, fn.__module__, fn.__name__, fn.__qualname__) == (rotalink, "rotalink", name, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__.startswith(doc_start)
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert [p.default for p in params if p.default is not inspect.Parameter.empty] in ([], [rotalink.ControlMode.MIT])


def test_mit_setpoint_signature():
    sig = inspect.signature(rotalink.mit_setpoint)
    assert str(sig) == "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default == 0.0 and type(p.default) is float


def test_class_signature_defaults():
    sig = inspect.signature(rotalink.MitLimits)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("p_max", 12.5), ("v_max", 30.0), ("kp_max", 500.0), ("kd_max", 5.0), ("t_max", 10.0),
    ]


# ---------------------------------------------------------------- Damiao methods


DAMIAO_METHOD_SIGNATURES = [
    pytest.param(m, "($self, bus)", "(bus)", id=m)
    for m in BUS_METHODS
] + [pytest.param("mit_control", "($self, bus, setpoint)", "(bus, setpoint)", id="mit_control"),
      pytest.param("read_limits", "($self, bus)", "(bus)", id="read_limits"),
      pytest.param("read_register", "($self, bus, register)", "(bus, register)", id="read_register"),
      pytest.param("write_register", "($self, bus, register, value)", "(bus, register, value)",
                   id="write_register")]
DOCUMENTED_METHODS = {"ensure_mit_mode", "read_limits", "read_register", "write_register"}


@pytest.mark.parametrize("method, signature, bound_signature", DAMIAO_METHOD_SIGNATURES)
def test_damiao_method_registration(method, signature, bound_signature):
    fn = getattr(rotalink.Damiao, method)
    assert type(fn).__name__ == "method_descriptor"
    assert fn.__name__ == method
    assert fn.__qualname__ == "Damiao." + method
    assert fn.__text_signature__ == signature
    # "$self" is the positional-only receiver; every other parameter is
    # positional-or-keyword.
    assert str(inspect.signature(fn)) == "(self, /, " + bound_signature[1:]
    bound = inspect.signature(getattr(rotalink.Damiao(1, 0), method))
    assert str(bound) == bound_signature
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in bound.parameters.values())
    if method == "ensure_mit_mode":
        assert fn.__doc__ == ENSURE_MIT_MODE_DOC
    elif method in DOCUMENTED_METHODS:
        assert fn.__doc__ and not fn.__doc__.startswith(method)
    else:
        assert fn.__doc__ is None


def test_damiao_constructor_signature_defaults():
    sig = inspect.signature(rotalink.Damiao)
    params = list(sig.parameters.values())
    assert [p.name for p in params] == ["motor_id", "master_id", "limits", "timeout_ms"]
    assert params[0].default is inspect.Parameter.empty
    assert params[1].default is inspect.Parameter.empty
    assert params[2].default is None
    assert params[3].default == 20


# ------------------------------------------------------------ the control loop


LOOP_METHODS = [
    ("MotorGroup.start", "($self, rate_hz, hold_ms=100, priority=None, cpu=None, stop_on_fault=True, blend_ms=0, "
     "record=None)",
     "Run the group's cycle"),
    ("ControlLoop.set", "($self, setpoints)", "The setpoints of the next cycles"),
    ("ControlLoop.move_to", "($self, targets, duration=None, velocity_limit=None, accel_limit=None, kp=None, kd=None)",
     "Move every member from where it is"),
    ("Move.wait", "($self, timeout_ms=None)", "Wait until the move arrives"),
    ("ControlLoop.wait", "($self, timeout_ms=None)", "Wait for the next cycle"),
    ("ControlLoop.states", "($self)", "The latest feedback of each member"),
    ("ControlLoop.stats", "($self)", "The loop's timing so far."),
    ("ControlLoop.stop", "($self)", "End the loop's thread"),
    ("ControlLoop.__enter__", "($self)", None),
    ("ControlLoop.__exit__", "($self, exc_type, exc_value, traceback)", "Stop the loop, as stop() does. An"),
    ("Robot.state", "($self)", "One refresh cycle"),
    ("Robot.command", "($self, q=None, dq=None, kp=None, kd=None, tau=None, current=None)", "One cycle, each joint"),
    ("Robot.start", "($self, rate_hz, hold_ms=100, priority=None, cpu=None, stop_on_fault=True, blend_ms=200, "
     "record=None)",
     "Run the robot's cycle"),
    ("Robot.__enter__", "($self)", "Put every joint's motor in the joint's control mode"),
    ("Robot.__exit__", "($self, exc_type, exc_value, traceback)", "Leave the group's scope"),
    ("RobotLoop.set", "($self, q=None, dq=None, kp=None, kd=None, tau=None, current=None)", "The command of the next"),
    ("RobotLoop.move_to", "($self, q, duration=None, velocity_limit=None, accel_limit=None, kp=None, kd=None)",
     "Move every joint from where it is"),
    ("RobotLoop.wait", "($self, timeout_ms=None)", "Wait for the next cycle"),
    ("RobotLoop.state", "($self)", "The latest states of the joints"),
    ("RobotLoop.stats", "($self)", "The loop's timing so far."),
    ("RobotLoop.stop", "($self)", "Stop the loop"),
    ("RobotLoop.__enter__", "($self)", None),
    ("RobotLoop.__exit__", "($self, exc_type, exc_value, traceback)", "Stop the loop, as ControlLoop's"),
]


@pytest.mark.parametrize("qualname, signature, doc", [pytest.param(*row, id=row[0]) for row in LOOP_METHODS])
def test_loop_method_registration(qualname, signature, doc):
    cls, name = qualname.split(".")
    fn = vars(getattr(rotalink, cls))[name]
    assert type(fn).__name__ == "method_descriptor"
    assert (fn.__name__, fn.__qualname__, fn.__text_signature__) == (name, qualname, signature)
    params = list(inspect.signature(fn).parameters.values())
    assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params[1:])
    assert fn.__doc__ is None if doc is None else fn.__doc__.startswith(doc)


def test_the_module_works_without_numpy_until_a_robot_result_is_made():
    # numpy is imported by the first robot result only: everything else,
    # Joint and Robot included, is there without it.
    proc = run_child("""
        import sys
        sys.modules["numpy"] = None  # import numpy raises ImportError
        import rotalink
        assert "numpy" not in [m for m in sys.modules if sys.modules[m] is not None]
        print(rotalink.Robot.__name__, rotalink.JointStates.__name__, rotalink.MitSetpoint(q=1.0).q)
    """)
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, "", "Robot JointStates 1.0\n")
