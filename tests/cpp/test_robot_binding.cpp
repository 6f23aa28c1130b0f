// Robot through the binding, on a bus object holding an in-memory transport:
// the frames of a mixed-mode command against the joint/motor formulas
// written out here and the simulator's own codec, the feedback converted
// back, the vectors each form takes, the refusals (nothing sent), and the
// loop in joint units.
#include <gtest/gtest.h>

#include <string>

#include "bus_object.hpp"

namespace {

using rotalink::test::make_frame;
using rotalink::test::MemoryTransport;
using rotalink::testing::make_bus;
using rotalink::testing::run;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;

// Motors 1..4 answer a command of any mode and a refresh; motor i reports
// position raw 0x9000 + 0x100 * i, velocity raw 0x900, torque raw 0x700,
// 30 and 31 degrees; ENABLED, DISABLED after a disable. Each answers a
// read of its mode register (10).
void answer_all(MemoryTransport* t) {
    t->respond([](const CanFrame& f, MemoryTransport& bus) {
        const bool disable = f.data.size() == 8 && f.data[0] == 0xFF && f.data[7] == 0xFD;
        for (std::uint8_t id = 1; id <= 4; ++id) {
            const bool refresh = f.id.value == 0x7FF && f.data.size() >= 3 && f.data[0] == id && f.data[2] == 0xCC;
            // A read of register 10: motor k is in mode k (the robot's joint k's).
            const bool mode_read = f.id.value == 0x7FF && f.data.size() == 8 && f.data[0] == id &&
                                   f.data[2] == 0x33 && f.data[3] == 10;
            if (mode_read) bus.queue(make_frame(CanId::standard(0x10u + id), {id, 0x00, 0x33, 10, id, 0, 0, 0}));
            if ((f.id.value != 0x7FF && (f.id.value & 0xFF) == id) || refresh) {
                bus.queue(make_frame(CanId::standard(0x10u + id),
                                     {static_cast<std::uint8_t>((disable ? 0 : 0x10) | id), static_cast<std::uint8_t>(0x90 + id), 0x00,
                                      0x90, 0x07, 0x00, 30, 31}));
            }
        }
    });
}

// The frames sent since `from`, published as `name`: a list of
// (identifier, payload bytes).
void expose_sent(MemoryTransport* t, std::size_t from, const char* name) {
    PyObject* list = PyList_New(0);
    for (std::size_t k = from; k < t->sent().size(); ++k) {
        const CanFrame& f = t->sent()[k];
        PyObject* item = Py_BuildValue("(Iy#)", f.id.value, reinterpret_cast<const char*>(f.data.data()),
                                       static_cast<Py_ssize_t>(f.data.size()));
        PyList_Append(list, item);
        Py_DECREF(item);
    }
    rotalink::testing::expose_object(name, list);
    Py_DECREF(list);
}

// The robot of every test: four joints, one per mode, with reversed
// directions, offsets and gears; and the conversion written out.
// The simulator's codec is the source tree's (beside the shared refusals).
const char* const kRobot = "import os, sys\nsys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname("
                           "os.path.abspath('" ROTALINK_REFUSALS "'))), 'src'))\n" R"PY(
import math, struct
import numpy as np
from rotalink_sim import codec, model
J, M, JL = rotalink.Joint, rotalink.ControlMode, rotalink.JointLimits
L4340, L4310 = rotalink.MitLimits.dm4340(), rotalink.MitLimits.dm4310()
SPECS = [  # name, motor_id, limits, direction, offset, gear, mode, joint limits, kp, kd
    ("shoulder", 1, L4340, -1, 0.35, 6.33, M.MIT, JL(-1.6, 1.6, 1.5, 150.0), 300.0, 8.0),
    ("wrist", 2, L4310, -1, 0.5, 1.0, M.POS_VEL, JL(0.0, 1.2, 2.0), 0.0, 0.0),
    ("roll", 3, L4310, 1, 0.0, 2.0, M.VEL, JL(dq_max=6.0), 0.0, 0.0),
    ("grip", 4, L4310, -1, 0.2, 1.5, M.FORCE_POS, None, 0.0, 0.0),
]
def make(bus, **kw):
    return rotalink.Robot([J(n, bus, i, 0x10 + i, lim, direction=d, offset=o, gear=g, joint_limits=jl, mode=m,
                             kp=kp, kd=kd) for n, i, lim, d, o, g, m, jl, kp, kd in SPECS], **kw)
def clamp(x, lo, hi):
    return min(max(x, lo), hi)
def expected(q, dq, kp, kd, tau, current):
    """(identifier, payload) per joint, from the formulas: p = o + d g q,
    v = d g dq (a speed: g |dq|), t = d tau / g, gains / g^2."""
    out = []
    for i, (n, mid, lim, d, o, g, m, jl, _, _) in enumerate(SPECS):
        jl = jl or JL()
        qi = clamp(q[i], jl.q_min, jl.q_max)
        dqi = clamp(dq[i], -jl.dq_max, jl.dq_max)
        if m == M.MIT:
            data = codec.encode_command(lim, o + d * g * qi, d * g * dqi, kp[i] / g ** 2, kd[i] / g ** 2,
                                        d * clamp(tau[i], -jl.tau_max, jl.tau_max) / g)
            out.append((mid, data))
        elif m == M.POS_VEL:
            out.append((0x100 + mid, ("pos_vel", o + d * g * qi, g * abs(dqi))))
        elif m == M.VEL:
            out.append((0x200 + mid, ("vel", d * g * dqi)))
        else:
            out.append((0x300 + mid, ("force_pos", o + d * g * qi, g * abs(dqi), current[i])))
    return out
def check_frames(sent, want):
    assert [i for i, _ in sent] == [i for i, _ in want], (sent, want)
    for (i, data), (_, w) in zip(sent, want):
        if isinstance(w, bytes):
            assert data == w, (hex(i), data.hex(), w.hex())
            continue
        mode = {"pos_vel": M.POS_VEL, "vel": M.VEL, "force_pos": M.FORCE_POS}[w[0]]
        got = model.decode_wire(int(mode), data)
        steps = {"pos_vel": (1e-6, 1e-6), "vel": (1e-6,), "force_pos": (1e-6, 0.01, 1e-4)}[w[0]]
        assert all(abs(a - b) <= s + 1e-6 * abs(b) for a, b, s in zip(got, w[1:], steps)), (hex(i), got, w)
)PY";

// A dict published as KEEP, where a test's snippets keep what the next reads.
// The robot's results are numpy arrays: without numpy (a target with no
// wheel of it) the tests skip.
#define START_ROBOT_TEST()                                                                \
    do {                                                                        \
        if (run("import numpy") != "") GTEST_SKIP() << "numpy is not installed"; \
        keep_dict();                                                            \
    } while (false)
void keep_dict() {
    PyObject* d = PyDict_New();
    rotalink::testing::expose_object("KEEP", d);
    Py_DECREF(d);
}

TEST(RobotBinding, MixedModesOnTheWireAndTheFeedbackInJointUnits) {
    MemoryTransport* t = make_bus("rbus");
    answer_all(t);
    START_ROBOT_TEST();
    const std::size_t before = t->sent().size();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
robot = make(rbus)
assert robot.names == ("shoulder", "wrist", "roll", "grip") and len(robot) == 4
assert robot.group.joint_limits[3] is None and robot.group.joint_limits[0] is not None
q, dq, tau = np.array([2.0, 0.7, 0.0, -0.4]), [0.5, 3.0, -7.0, 1.0], (200.0, 0.0, 0.0, 0.0)
js = robot.command(q=q, dq=dq, tau=tau, current=0.25)  # kp, kd: the joints' defaults
# q past q_max, dq past dq_max and tau past tau_max are clamped in joint units
KEEP.update(robot=robot, js=js, want=expected(q, dq, [300.0] * 4, [8.0] * 4, tau, [0.25] * 4))
)PY"),
              "");
    expose_sent(t, before, "SENT");
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
check_frames(SENT, KEEP["want"])
js, robot = KEEP["js"], KEEP["robot"]
assert type(js) is rotalink.JointStates and js.names == robot.names and len(js) == 4
assert [a.dtype.name for a in (js.q, js.dq, js.tau, js.status, js.t_mos, js.t_rotor)] == ["float64"] * 3 + ["int32"] * 3
for i, (n, mid, lim, d, o, g, m, jl, _, _) in enumerate(SPECS):
    fb = codec.decode_feedback(lim, bytes([0x10 | mid, 0x90 + mid, 0, 0x90, 0x07, 0, 30, 31]))
    want = ((fb.position - o) / (d * g), fb.velocity / (d * g), d * g * fb.torque)
    got = (js.q[i], js.dq[i], js.tau[i])
    assert all(abs(a - b) <= 1e-5 * max(1.0, abs(b)) for a, b in zip(got, want)), (n, got, want)
assert list(js.status) == [1] * 4 and list(js.t_mos) == [30] * 4 and list(js.t_rotor) == [31] * 4
assert repr(js).startswith("JointStates(names=('shoulder', 'wrist', 'roll', 'grip'), q=[")
s = robot.state()
assert np.array_equal(s.q, js.q) and s.q is not js.q
)PY"),
              "");
}

TEST(RobotBinding, EveryFormOfAVectorAndEveryRefusalBeforeAnythingIsSent) {
    MemoryTransport* t = make_bus("vbus");
    answer_all(t);
    START_ROBOT_TEST();
    const std::size_t first = t->sent().size();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
robot = make(vbus)
base = dict(q=[0.1, 0.2, 0.0, 0.3], current=0.5)
forms = [  # dq as given, and as the joints take it
    ([0.5, 0.25, -1.0, 0.75], [0.5, 0.25, -1.0, 0.75]),
    ((0.5, 0.25, -1.0, 0.75), [0.5, 0.25, -1.0, 0.75]),
    (np.array([0.5, 0.25, -1.0, 0.75]), [0.5, 0.25, -1.0, 0.75]),           # float64, read in place
    (np.array([0.5, 0.25, -1.0, 0.75], dtype=np.float32), [0.5, 0.25, -1.0, 0.75]),
    (np.array([1, 0, -1, 2], dtype=np.int16), [1.0, 0.0, -1.0, 2.0]),
    (np.array([0.5, 9.0, 0.25, 9.0, -1.0, 9.0, 0.75, 9.0])[::2], [0.5, 0.25, -1.0, 0.75]),  # strided
    (memoryview(struct.pack("4d", 0.5, 0.25, -1.0, 0.75)).cast("d"), [0.5, 0.25, -1.0, 0.75]),
    (np.float64(0.5), [0.5] * 4), (1, [1.0] * 4), (0.25, [0.25] * 4), (np.array([0.5]), [0.5] * 4),
]
KEEP.update(robot=robot, forms=[])
for given, taken in forms:
    robot.command(dq=given, **base)
    KEEP["forms"].append(expected([0.1, 0.2, 0.0, 0.3], taken, [300.0] * 4, [8.0] * 4, [0.0] * 4, [0.5] * 4))
)PY"),
              "");
    expose_sent(t, first, "FORM_SENT");
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
assert len(FORM_SENT) == 4 * len(KEEP["forms"])
for k, want in enumerate(KEEP["forms"]):
    check_frames(FORM_SENT[4 * k:4 * k + 4], want)
)PY"),
              "");
    const std::size_t before = t->sent().size();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
nan, robot = float("nan"), KEEP["robot"]
check_raises([(lambda kw=kw: robot.command(**kw), kind, text) for kw, kind, text in [
    (dict(q=[0.0, 0.0, nan, 0.0], current=0.5), ValueError, "joint 'roll' (index 2): q must be finite, got nan"),
    (dict(q=[0.0] * 4, kp=[1.0, 2.0], current=0.5), ValueError, "kp: expected 1 value or 4, one per joint, got 2"),
    (dict(q=0.0, kd=np.array([0.0, 0.0, -0.5, 0.0]), current=0.5), ValueError,
     "joint 'roll' (index 2): kd must not be negative, got -0.5"),
    (dict(q=0.0, current=1.5), ValueError, REFUSALS["joint-current-range"]),
    (dict(current=0.5), ValueError, "joint 'shoulder' (index 0): q is needed in MIT mode with kp 300"),
    (dict(q=[0.0, 0.0, 0.0, 1e300], current=0.5), ValueError,
     "joint 'grip' (index 3): q 1e+300 is past what a motor command carries"),
    (dict(q=np.zeros((2, 2))), ValueError, "q: expected a number or one value per joint, got 2 dimensions"),
    (dict(q=["a"] * 4), TypeError, "argument 'q[0]': must be real number, not str"),
    (dict(q="abcd"), TypeError, None),
    (dict(q=np.array(["a"] * 4)), TypeError, None),
    (dict(q=0.0, current=0.5, qq=1.0), TypeError, None),
]])
)PY"),
              "");
    EXPECT_EQ(t->sent().size(), before);
}

TEST(RobotBinding, ConstructionRefusalsNameTheJoint) {
    make_bus("cbus");
    START_ROBOT_TEST();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
def robot_of(*changes):
    specs = [list(s) for s in SPECS[:3]]
    for i, k, v in changes:
        specs[i][k] = v
    return rotalink.Robot([J(n, cbus, i, 0x10 + i, lim, direction=d, offset=o, gear=g, joint_limits=jl, mode=m)
                           for n, i, lim, d, o, g, m, jl, _, _ in specs])
check_raises([
    (lambda: robot_of((2, 5, 0.0)), ValueError, REFUSALS["joint-gear-zero"].replace("elbow", "roll")),
    (lambda: robot_of((2, 3, 0)), ValueError, REFUSALS["joint-direction"].replace("elbow", "roll")),
    (lambda: robot_of((2, 0, "wrist")), ValueError, REFUSALS["joint-name-taken"]),
    (lambda: rotalink.Robot([]), ValueError, REFUSALS["no-joints"]),
    (lambda: rotalink.Robot([1]), TypeError, "argument 'joints[0]': 'int' object cannot be converted to 'Joint'"),
    (lambda: rotalink.Robot(5), TypeError, None),
    (lambda: robot_of((2, 1, 2)), ValueError, None),  # two joints on one motor: the group's clash
    (lambda: J("a", 5, 1, 0x11), TypeError, "argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'"),
    (lambda: J("a", cbus, 1, 0x11, mode=9), ValueError, None),
    (lambda: J("a", cbus, 1, 0x11, gear="x"), TypeError, None),
])
j = J("elbow", cbus, 3, 0x13, L4340, offset=-0.2, kp=30.0, kd=1.0)
assert (j.name, j.direction, j.offset, j.gear, j.mode, j.kp, j.kd, j.joint_limits) == (
    "elbow", 1, -0.2, 1.0, M.MIT, 30.0, 1.0, None)
assert repr(j) == "Joint('elbow', motor_id=0x3, master_id=0x13, direction=1, offset=-0.2, gear=1)", repr(j)
)PY"),
              "");
}

TEST(RobotBinding, TheLoopInJointUnits) {
    MemoryTransport* t = make_bus("lrbus");
    answer_all(t);
    START_ROBOT_TEST();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
robot = make(lrbus)
with robot as entered:
    assert entered is robot
    with robot.start(500, hold_ms=60000) as loop:
        assert type(loop) is rotalink.RobotLoop and loop.running and type(loop.loop) is rotalink.ControlLoop
        first = loop.state()  # before a cycle or after: NaN and -1 where nothing was heard yet
        assert first.q.shape == (4,) and all((s == -1) == math.isnan(q) for s, q in zip(first.status, first.q))
        try:
            robot.command(q=0.0, current=0.5)
            raise AssertionError("commanded while the loop runs")
        except RuntimeError as e:
            assert str(e) == "control loop running", e
        try:
            loop.set(q=[0.0, nan := float("nan"), 0.0, 0.0], current=0.5)
            raise AssertionError("set a nan")
        except ValueError as e:
            assert str(e) == "joint 'wrist' (index 1): q must be finite, got nan", e
        loop.set(q=np.array([0.3, 0.4, 0.0, 0.1]), dq=0.5, current=0.5)
        js = loop.wait(5000)
        assert list(js.status) == [1] * 4, js
        assert np.allclose(loop.state().q, js.q), (loop.state(), js)
        assert loop.stats().cycles >= 1 and repr(loop).startswith("RobotLoop(joints=4, loop=ControlLoop(")
    assert not loop.running and loop.error is None
    try:
        loop.set(q=0.0, current=0.5)
        raise AssertionError("set a stopped loop")
    except RuntimeError as e:
        assert str(e) == "the control loop is stopped", e
robot.state()
)PY"),
              "");
}

// A move in joint units: its refusals name the joint or the field (nothing
// moves), a Move arrives, and a set() cancels the next.
TEST(RobotBinding, AMoveInJointUnits) {
    MemoryTransport* t = make_bus("rmbus");
    answer_all(t);
    START_ROBOT_TEST();
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
robot = make(rmbus)
with robot:
    with robot.start(500, hold_ms=60000) as loop:
        check_raises([(lambda kw=kw: loop.move_to(**kw), ValueError, text) for kw, text in [
            (dict(q=[0.0, 2.0, 0.0, 0.0]), REFUSALS["joint-move-outside-limits"]),
            (dict(q=[0.0] * 4, kp=[1.0, 2.0]), "kp: expected 1 value or 4, one per joint, got 2"),
            (dict(q=0.5, duration=math.inf), "duration must be finite and not negative, got inf"),
            (dict(q=0.5, accel_limit=np.zeros(4)),
             "joint 'shoulder' (index 0): accel_limit must be finite and above 0, got 0"),
        ]])
        mv = loop.move_to(np.array([0.1, 0.5, 0.0, 0.2]), velocity_limit=2.0, kd=[1.0, 0.0, 0.0, 0.0])
        assert type(mv) is rotalink.Move and mv.wait(5000) is True and mv.done, repr(mv)
        mv = loop.move_to(0.5, duration=60.0)
        loop.set(q=0.5, dq=0.5, current=0.5)
        assert mv.wait(5000) is False and mv.cancelled, repr(mv)
)PY"),
              "");
}

}  // namespace
