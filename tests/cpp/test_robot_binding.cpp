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

// ---------------------------------------------------------------- records

// Reading a record back: the mcap reader's ROS 2 decoder, and rosbags'
// deserializer on the raw messages (where a rosbags with a type store is
// installed); both must agree.
const char* const kRecordReader = R"PY(
import tempfile, threading
from mcap.reader import make_reader
from mcap_ros2.reader import read_ros2_messages
TOPICS = {}  # {topic: (type, definition)}, as the record read last embeds them
try:
    from rosbags.typesys import Stores, get_typestore, get_types_from_msg
    STORE = get_typestore(Stores.ROS2_HUMBLE)
except ImportError:
    STORE = None
def fields(topic, msg):
    """A message's fields by its schema, times as (sec, nanosec)."""
    out = {}
    for line in TOPICS[topic][1].split("\n=====")[0].splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name = line.split()[1]
        v = getattr(msg, name)
        if name == "header":
            v = (v.stamp.sec, v.stamp.nanosec, v.frame_id)
        elif hasattr(v, "nanosec"):
            v = (v.sec, v.nanosec)
        elif not isinstance(v, (int, float, bool)):
            v = np.asarray(v).tolist()
        out[name] = v
    return out
def read_record(path):
    """{topic: [message, ...]} in the order written, every message decoded
    by both readers (where rosbags is there) and compared."""
    out = {}
    for m in read_ros2_messages(path):
        out.setdefault(m.channel.topic, []).append(m.ros_msg)
    with open(path, "rb") as f:
        raw = [(ch.topic, s.name, msg.data) for s, ch, msg in make_reader(f).iter_messages()]
        f.seek(0)
        summary = make_reader(f).get_summary()
        for s in summary.schemas.values():
            for ch in summary.channels.values():
                if ch.schema_id == s.id:
                    assert s.encoding == "ros2msg" and ch.message_encoding == "cdr", (s, ch)
                    TOPICS[ch.topic] = (s.name, s.data.decode())
    if STORE is not None:
        for ty, text in TOPICS.values():
            if ty not in STORE.fielddefs:
                STORE.register(get_types_from_msg(text.split("\n=====")[0], ty))
        for topic, msgs in out.items():
            theirs = [STORE.deserialize_cdr(d, n) for t, n, d in raw if t == topic]
            assert len(theirs) == len(msgs), topic
            for a, b in zip(msgs, theirs):
                assert repr(fields(topic, a)) == repr(fields(topic, b)), (topic, fields(topic, a), fields(topic, b))
    return out
def commands_of(sent):
    """Per cycle, each joint's (q, dq, tau) in joint units, decoded from the
    frames on the wire with the simulator's codec (NaN for a refresh and
    for a field the command has not)."""
    ids = {0x001: 0, 0x102: 1, 0x203: 2, 0x304: 3}
    cycles, cur = [], []
    nan = float("nan")
    for can_id, data in sent:
        refresh = can_id == 0x7FF and len(data) >= 3 and data[2] == 0xCC
        if not refresh and (can_id not in ids or data[:7] == b"\xff" * 7):
            continue  # a mode's register, a disable
        i = len(cur)
        _, mid, lim, d, o, g, m, _, _, _ = SPECS[i]
        row = (nan, nan, nan)
        if not refresh:
            assert ids[can_id] == i, (hex(can_id), i)
            if m == M.MIT:
                p, v, _, _, t = codec.decode_command(lim, data)
                row = ((p - o) / (d * g), v / (d * g), d * g * t)
            elif m == M.VEL:
                (v,) = model.decode_wire(int(m), data)
                row = (nan, v / (d * g), nan)
            else:
                p, speed = model.decode_wire(int(m), data)[:2]
                row = ((p - o) / (d * g), speed / abs(g), nan)
        cur.append(row)
        if len(cur) == 4:
            cycles.append(cur)
            cur = []
    return cycles
)PY";

#define START_RECORD_TEST()                                                                      \
    do {                                                                                         \
        START_ROBOT_TEST();                                                                      \
        if (run("import mcap_ros2.reader") != "") GTEST_SKIP() << "the record extra is not installed"; \
    } while (false)

// A robot's record read back by two readers: one message a topic a cycle,
// the commands as the wire carried them, the feedback as the loop's states
// gave it, each member's status, the cycles' numbers and times.
TEST(RobotBinding, ARecordIsTheWireAndTheStatesCycleByCycle) {
    MemoryTransport* t = make_bus("recbus");
    answer_all(t);
    START_RECORD_TEST();
    ASSERT_EQ(run(std::string(kRobot) + R"PY(
import os, tempfile
robot = make(recbus)
KEEP["path"] = path = os.path.join(tempfile.mkdtemp(), "run.mcap")
KEEP["states"] = states = []
with robot:
    with robot.start(500, hold_ms=60000, blend_ms=0, record=path) as loop:
        assert type(loop.recorded) is int
        loop.set(q=[0.3, 0.4, 0.0, 0.1], dq=0.5, current=0.5)
        states += [loop.wait(5000) for _ in range(10)]
        loop.set(q=[-0.2, 0.1, 0.0, 0.3], dq=[0.1, 0.2, -1.0, 0.4], tau=[1.0, 0, 0, 0], current=0.25)
        states += [loop.wait(5000) for _ in range(10)]
    KEEP["stats"] = stats = loop.stats()
    assert loop.recorded == stats.recorded == stats.cycles >= 20 and stats.record_dropped == 0, stats
    assert stats.record_error is None
)PY"),
              "");
    expose_sent(t, 0, "SENT");
    EXPECT_EQ(run(std::string(kRobot) + kRecordReader + R"PY(
rec = read_record(KEEP["path"])
n = KEEP["stats"].cycles
assert {t: len(m) for t, m in rec.items()} == {t: n for t in TOPICS}, ({t: len(m) for t, m in rec.items()}, n)
names = [s[0] for s in SPECS]
wire = commands_of(SENT)
assert len(wire) == n, (len(wire), n)
for k, (msg, want) in enumerate(zip(rec["/joint_commands"], wire)):
    assert list(msg.name) == names
    got = np.array([msg.position, msg.velocity, msg.effort]).T
    assert np.allclose(got, np.array(want), rtol=1e-6, atol=1e-6, equal_nan=True), (k, got, want)
# The feedback: every state the loop gave is a recorded cycle's, in order.
seen = [tuple(np.concatenate([m.position, m.velocity, m.effort])) for m in rec["/joint_states"]]
at = 0
for js in KEEP["states"]:
    row = tuple(np.concatenate([js.q, js.dq, js.tau]))
    while at < len(seen) and seen[at] != row:
        at += 1
    assert at < len(seen), ("a state the loop gave is not in the record", row)
for m in rec["/motor_status"]:
    assert list(m.status) == [1] * 4 and list(m.t_mos) == [30] * 4 and list(m.t_rotor) == [31] * 4
    assert list(m.answered) == [True] * 4 and list(m.fault) == [False] * 4
timing = rec["/loop_timing"]
assert [m.cycle for m in timing] == list(range(1, n + 1))
stamp = lambda t: t.sec * 10**9 + t.nanosec
for a, b, s in zip(timing, timing[1:], rec["/joint_states"][1:]):
    assert stamp(a.start) < stamp(b.start) == stamp(b.header.stamp) == stamp(s.header.stamp)
    assert stamp(b.planned) <= stamp(b.start) and b.period_ns == stamp(b.start) - stamp(a.start)
    assert b.latency_ns >= 0 and b.dropped == 0
)PY"),
              "");
}

// The loop keeps its time whatever the disk does: a writer held up drops
// cycles from the record (counted, and each later record says how many),
// never from the loop; a write that fails ends the record, not the loop; an
// unwritable path starts nothing.
TEST(RobotBinding, ASlowOrFailingDiskCostsTheRecordNotTheLoop) {
    MemoryTransport* t = make_bus("slowbus");
    answer_all(t);
    START_RECORD_TEST();
    ASSERT_EQ(run(std::string(kRobot) + R"PY(
import errno, io, os, tempfile, threading, time
robot = make(slowbus)
class Disk(io.RawIOBase):
    """A file whose writes, once `held`, wait for `gate`; once `full`, fail."""
    def __init__(self, path):
        self.f, self.held, self.full, self.gate = open(path, "wb"), False, False, threading.Event()
    def writable(self):
        return True
    def write(self, b):
        if self.full:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        if self.held:
            self.gate.wait()
        return self.f.write(b)
    def flush(self):
        self.f.flush()
    def close(self):
        super().close()  # flushes
        self.f.close()
def until(what, seconds=60):
    end = time.monotonic() + seconds
    while not what():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.01)
KEEP["path"] = path = os.path.join(tempfile.mkdtemp(), "slow.mcap")
with robot:
    disk = Disk(path)
    with robot.start(500, hold_ms=60000, blend_ms=0, record=disk) as loop:
        disk.held = True
        loop.set(q=0.1, dq=0.5, current=0.5)
        until(lambda: loop.stats().record_dropped > 0)
        at = loop.stats()
        disk.gate.set()
        # Every cycle up to the release not dropped by then is written;
        # past those, ten cycles after the release.
        until(lambda: loop.recorded > at.cycles - at.record_dropped + 10)
    disk.close()
    KEEP["stats"] = s = loop.stats()
    assert s.recorded + s.record_dropped == s.cycles and s.record_dropped > 0 and s.record_error is None, s
KEEP["Disk"], KEEP["until"] = Disk, until
)PY"),
              "");
    expose_sent(t, 0, "SENT");
    EXPECT_EQ(run(std::string(kRobot) + kRecordReader + R"PY(
rec = read_record(KEEP["path"])
s = KEEP["stats"]
timing = rec["/loop_timing"]
assert len(timing) == s.recorded, (len(timing), s)
# The loop ran every cycle: on the wire, one command a joint a cycle.
assert len(commands_of(SENT)) == s.cycles, (len(commands_of(SENT)), s)
# The record skips the dropped cycles, and says so from the next on.
gaps = [(a.cycle, b.cycle, b.dropped - a.dropped) for a, b in zip(timing, timing[1:]) if b.cycle != a.cycle + 1]
assert gaps and all(b - a - 1 == d for a, b, d in gaps), gaps
# Every cycle is accounted for: those after the last recorded one were dropped.
assert timing[-1].dropped + (s.cycles - timing[-1].cycle) == s.record_dropped, (timing[-1], s)
)PY"),
              "");
    EXPECT_EQ(run(std::string(kRobot) + R"PY(
import os
robot = make(slowbus)
Disk, until = KEEP["Disk"], KEEP["until"]
with robot:
    disk = Disk(os.path.join(os.path.dirname(KEEP["path"]), "full.mcap"))
    with robot.start(500, hold_ms=60000, blend_ms=0, record=disk) as loop:
        disk.full = True
        loop.set(q=0.1, dq=0.5, current=0.5)
        until(lambda: loop.stats().record_error is not None)
        cycles = loop.stats().cycles
        until(lambda: loop.stats().cycles > cycles + 10)
        assert loop.running
    s = loop.stats()
    assert s.record_error == "OSError: [Errno 28] No space left on device", s.record_error
KEEP["robot"] = robot
)PY"),
              "");
    const std::size_t before = t->sent().size();
    EXPECT_EQ(run(R"PY(
import os
check_raises([(lambda: KEEP["robot"].start(500, record=os.path.join(KEEP["path"], "no", "run.mcap")), OSError, None)])
)PY"),
              "");
    EXPECT_EQ(t->sent().size(), before);  // nothing started
    (void)before;
}
