#include "damiao/record.hpp"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <utility>

#include "damiao/protocol.hpp"
#include "support/cdr.hpp"
#include "support/panic.hpp"

namespace rotalink::damiao {

// ------------------------------------------------------------------ ring

CycleRing::CycleRing(std::size_t members, std::size_t capacity)
    : members_(members), capacity_(capacity), cycles_(capacity), slots_(capacity * members) {
    ROTALINK_ASSERT(capacity > 0, "a cycle ring of no capacity");
}

CycleRecord* CycleRing::claim(MemberRecord*& members) {
    if (closed()) return nullptr;
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= capacity_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    const std::size_t at = static_cast<std::size_t>(head % capacity_);
    members = slots_.data() + at * members_;
    return &cycles_[at];
}

void CycleRing::commit() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

std::size_t CycleRing::take(std::vector<CycleRecord>& out, std::vector<MemberRecord>& members, std::size_t max) {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::size_t n = static_cast<std::size_t>(head - tail);
    if (n > max) n = max;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t at = static_cast<std::size_t>((tail + k) % capacity_);
        out.push_back(cycles_[at]);
        members.insert(members.end(), slots_.begin() + static_cast<std::ptrdiff_t>(at * members_),
                       slots_.begin() + static_cast<std::ptrdiff_t>((at + 1) * members_));
    }
    tail_.store(tail + n, std::memory_order_release);
    return n;
}

bool CycleRing::empty() const {
    return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------- topics

namespace {

#define ROTALINK_HEADER_TYPES                                                               \
    "\n================================================================================\n" \
    "MSG: std_msgs/Header\n"                                                                \
    "builtin_interfaces/Time stamp\n"                                                       \
    "string frame_id\n"                                                                     \
    "================================================================================\n"   \
    "MSG: builtin_interfaces/Time\n"                                                        \
    "int32 sec\n"                                                                           \
    "uint32 nanosec\n"

constexpr const char* kJointStateText =
    "std_msgs/Header header\n"
    "string[] name\n"
    "float64[] position\n"
    "float64[] velocity\n"
    "float64[] effort\n" ROTALINK_HEADER_TYPES;

constexpr const char* kMotorStatusText =
    "std_msgs/Header header\n"
    "string[] name\n"
    "int32[] status      # the motor's status code; -1 when it did not answer\n"
    "int32[] t_mos       # degrees Celsius; -1 when it did not answer\n"
    "int32[] t_rotor     # degrees Celsius; -1 when it did not answer\n"
    "bool[] answered\n"
    "bool[] fault        # its status is a fault\n" ROTALINK_HEADER_TYPES;

constexpr const char* kLoopTimingText =
    "std_msgs/Header header           # stamp: when the cycle began\n"
    "uint64 cycle                     # 1 for the loop's first\n"
    "builtin_interfaces/Time planned  # when it was due\n"
    "builtin_interfaces/Time start    # when it began\n"
    "int64 period_ns                  # since the previous cycle began; 0 for the first\n"
    "int64 latency_ns                 # from when it was due to its last reply\n"
    "bool overrun                     # it ended past the next cycle's due time\n"
    "uint64 dropped                   # cycles left out of the record before this one\n" ROTALINK_HEADER_TYPES;

#undef ROTALINK_HEADER_TYPES

void time(CdrWriter& w, std::uint64_t ns) {
    w.i32(static_cast<std::int32_t>(ns / 1000000000u));
    w.u32(static_cast<std::uint32_t>(ns % 1000000000u));
}

void header(CdrWriter& w, std::uint64_t stamp_ns) {
    time(w, stamp_ns);
    w.string("");
}

void names(CdrWriter& w, const std::vector<std::string>& names) {
    w.count(names.size());
    for (const std::string& n : names) w.string(n);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

const std::array<RecordTopic, kRecordMessages> kRecordTopics = {{
    {"/joint_states", "sensor_msgs/msg/JointState", kJointStateText},
    {"/joint_commands", "sensor_msgs/msg/JointState", kJointStateText},
    {"/motor_status", "rotalink_msgs/msg/MotorStatus", kMotorStatusText},
    {"/loop_timing", "rotalink_msgs/msg/LoopTiming", kLoopTimingText},
}};

// --------------------------------------------------------------- encoder

std::vector<std::string> member_record_names(const MotorGroup& group) {
    const std::vector<GroupMember>& members = group.members();
    std::map<std::uint16_t, std::size_t> first_bus;
    std::map<std::uint16_t, bool> shared;
    for (const GroupMember& m : members) {
        auto it = first_bus.emplace(m.motor.motor_id, m.bus).first;
        if (it->second != m.bus) shared[m.motor.motor_id] = true;
    }
    std::vector<std::string> out;
    out.reserve(members.size());
    for (const GroupMember& m : members) {
        char name[48];
        if (shared.count(m.motor.motor_id) != 0) {
            std::snprintf(name, sizeof name, "motor_0x%02x_bus%zu", static_cast<unsigned>(m.motor.motor_id), m.bus);
        } else {
            std::snprintf(name, sizeof name, "motor_0x%02x", static_cast<unsigned>(m.motor.motor_id));
        }
        out.emplace_back(name);
    }
    return out;
}

RecordEncoder::RecordEncoder(const MotorGroup& group, std::vector<std::string> names, const JointMap* joints,
                             std::int64_t wall_minus_clock_ns)
    : group_(group), names_(std::move(names)), offset_(wall_minus_clock_ns) {
    ROTALINK_ASSERT(names_.size() == group.size(), "a record name per member");
    if (joints != nullptr) {
        ROTALINK_ASSERT(joints->size() == group.size(), "a joint per member");
        joints_.push_back(*joints);
    }
}

std::uint64_t RecordEncoder::wall_ns(std::uint64_t clock_ns) const {
    return offset_ >= 0 ? clock_ns + static_cast<std::uint64_t>(offset_)
                        : clock_ns - static_cast<std::uint64_t>(-offset_);
}

std::int64_t wall_minus_monotonic_ns() {
    const auto ns = [](clockid_t id) {
        timespec t{};
        clock_gettime(id, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    const std::int64_t mono = ns(CLOCK_MONOTONIC);
    return ns(CLOCK_REALTIME) - mono;
}

std::size_t RecordEncoder::cycle_bytes() const {
    const std::vector<MemberRecord> members(names_.size());
    std::vector<std::uint8_t> out;
    std::array<std::size_t, kRecordMessages> ends{};
    encode(CycleRecord{}, members.data(), out, ends);
    return out.size();
}

void RecordEncoder::encode(const CycleRecord& c, const MemberRecord* m, std::vector<std::uint8_t>& out,
                           std::array<std::size_t, kRecordMessages>& ends) const {
    const std::size_t n = names_.size();
    const std::uint64_t stamp = wall_ns(c.start_ns);
    const JointMap* joints = joints_.empty() ? nullptr : &joints_.front();
    const auto joint = [&](std::size_t i, Role role, double v) {
        return joints != nullptr ? joints->to_joint(i, role, v) : v;
    };
    {
        CdrWriter w(out);
        header(w, stamp);
        names(w, names_);
        const Role roles[3] = {Role::Position, Role::Velocity, Role::Torque};
        for (std::size_t f = 0; f < 3; ++f) {
            w.count(n);
            for (std::size_t i = 0; i < n; ++i) {
                if (!m[i].answered) {
                    w.f64(kNaN);
                    continue;
                }
                const mit::MotorState& s = m[i].state;
                const float v = f == 0 ? s.position : f == 1 ? s.velocity : s.torque;
                w.f64(joint(i, roles[f], v));
            }
        }
        ends[kJointStates] = out.size();
    }
    {
        // position, velocity (or speed), torque of each member's command
        std::array<double, 3> none = {kNaN, kNaN, kNaN};
        std::vector<std::array<double, 3>> sent(n, none);
        for (std::size_t i = 0; i < n; ++i) {
            if (m[i].length == 0) continue;
            transport::CanFrame frame;
            frame.id = transport::CanId::standard(m[i].id);
            frame.data.assign(m[i].data.begin(), m[i].data.begin() + m[i].length);
            const GroupMember& member = group_.members()[i];
            const std::optional<Setpoint> s = read_control(frame, member.motor.motor_id, member.motor.limits);
            if (!s) continue;
            const CommandKind& kind = kCommandKinds[s->kind];
            for (std::size_t f = 0; f < kind.field_count; ++f) {
                const Role role = kind.fields[f].role;
                const double v = s->values[f];
                if (role == Role::Position) sent[i][0] = joint(i, role, v);
                if (role == Role::Velocity || role == Role::Speed) sent[i][1] = joint(i, role, v);
                if (role == Role::Torque) sent[i][2] = joint(i, role, v);
            }
        }
        CdrWriter w(out);
        header(w, stamp);
        names(w, names_);
        for (std::size_t f = 0; f < 3; ++f) {
            w.count(n);
            for (std::size_t i = 0; i < n; ++i) w.f64(sent[i][f]);
        }
        ends[kJointCommands] = out.size();
    }
    {
        CdrWriter w(out);
        header(w, stamp);
        names(w, names_);
        const auto ints = [&](auto value) {
            w.count(n);
            for (std::size_t i = 0; i < n; ++i) w.i32(m[i].answered ? static_cast<std::int32_t>(value(m[i].state)) : kNoReply);
        };
        ints([](const mit::MotorState& s) { return s.error; });
        ints([](const mit::MotorState& s) { return s.t_mos; });
        ints([](const mit::MotorState& s) { return s.t_rotor; });
        w.count(n);
        for (std::size_t i = 0; i < n; ++i) w.boolean(m[i].answered);
        w.count(n);
        for (std::size_t i = 0; i < n; ++i) w.boolean(m[i].answered && is_fault_status(m[i].state.error));
        ends[kMotorStatus] = out.size();
    }
    {
        CdrWriter w(out);
        header(w, stamp);
        w.u64(c.cycle);
        time(w, wall_ns(c.planned_ns));
        time(w, stamp);
        w.i64(static_cast<std::int64_t>(c.period_ns));
        w.i64(static_cast<std::int64_t>(c.done_ns > c.planned_ns ? c.done_ns - c.planned_ns : 0));
        w.boolean(c.overrun);
        w.u64(c.dropped);
        ends[kLoopTiming] = out.size();
    }
}

}  // namespace rotalink::damiao
