// A control loop's record of every cycle: the loop's thread copies what it
// sent and heard into a ring made once, and another thread takes the
// records and turns them into ROS 2 messages (CDR) for a file. The loop
// never waits on the record: when the ring is full, the cycle is left out
// of the record and counted.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "damiao/control.hpp"
#include "damiao/group.hpp"
#include "damiao/joints.hpp"
#include "damiao/mit.hpp"

namespace rotalink::damiao {

// One member's part of a recorded cycle.
struct MemberRecord {
    std::uint32_t id = 0;      // the identifier of the frame sent to it
    std::uint8_t length = 0;   // its data length; 0 when nothing was sent
    std::array<std::uint8_t, 8> data{};
    bool answered = false;
    mit::MotorState state{};   // its reply, when it answered
};

// One cycle, on the loop's clock (nanoseconds).
struct CycleRecord {
    std::uint64_t cycle = 0;       // 1 for the loop's first
    std::uint64_t planned_ns = 0;  // when it was due
    std::uint64_t start_ns = 0;    // when it began
    std::uint64_t done_ns = 0;     // when its last reply came, or its wait ended
    std::uint64_t period_ns = 0;   // since the previous cycle began; 0 for the first
    bool overrun = false;          // it ended past the next cycle's due time
    std::uint64_t dropped = 0;     // cycles left out of the record before this one
};

// A bounded queue of cycle records from one producer (the loop's thread) to
// one consumer, its storage made once: pushing is a copy and two atomic
// operations, and never waits or allocates.
class CycleRing {
public:
    CycleRing(std::size_t members, std::size_t capacity);
    std::size_t members() const { return members_; }
    std::size_t capacity() const { return capacity_; }

    // Producer. The next slot and its members' records (members() of them),
    // or null when the ring is full (the cycle is counted as dropped) or
    // closed. Fill both, then commit().
    CycleRecord* claim(MemberRecord*& members);
    void commit();

    // Consumer. Up to `max` records, oldest first, appended to `out` and
    // their members' to `members` (members() each); how many.
    std::size_t take(std::vector<CycleRecord>& out, std::vector<MemberRecord>& members, std::size_t max);
    bool empty() const;

    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // No more records are claimed (the consumer gave up): later cycles are
    // neither recorded nor counted as dropped.
    void close() { closed_.store(true, std::memory_order_relaxed); }
    bool closed() const { return closed_.load(std::memory_order_relaxed); }

private:
    std::size_t members_;
    std::size_t capacity_;
    std::vector<CycleRecord> cycles_;
    std::vector<MemberRecord> slots_;
    alignas(64) std::atomic<std::uint64_t> head_{0};  // records committed
    alignas(64) std::atomic<std::uint64_t> tail_{0};  // records taken
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> closed_{false};
};

// The messages of a cycle, in this order, and the topics they go on.
enum RecordMessage : std::size_t { kJointStates, kJointCommands, kMotorStatus, kLoopTiming, kRecordMessages };

struct RecordTopic {
    const char* topic;
    const char* type;        // the ROS 2 message type
    const char* definition;  // its ros2msg text, the types it uses appended
};
extern const std::array<RecordTopic, kRecordMessages> kRecordTopics;

// Turns a loop's records into messages: the members' names and what their
// frames and replies mean (in joint units for a robot's joints).
//
//   /joint_states    sensor_msgs/msg/JointState: each member's feedback
//                    (position, velocity, effort = q, dq, tau; NaN when it
//                    did not answer)
//   /joint_commands  sensor_msgs/msg/JointState: what was sent (position,
//                    velocity, or the speed limit of a command that has one,
//                    and MIT's torque; NaN where the command has no such
//                    field, and for a member sent no command)
//   /motor_status    rotalink_msgs/msg/MotorStatus: status code, t_mos,
//                    t_rotor (-1 when it did not answer), whether it
//                    answered, whether its status is a fault
//   /loop_timing     rotalink_msgs/msg/LoopTiming: due and actual start,
//                    period, latency, overrun, cycles dropped so far
// Every header's stamp is the cycle's start on the wall clock.
class RecordEncoder {
public:
    // `names`: one per member of `group`, which must outlive the encoder;
    // `joints` (or null): member i is joint i of it, which is copied.
    // `wall_minus_clock_ns`: the wall clock's time less the loop clock's.
    RecordEncoder(const MotorGroup& group, std::vector<std::string> names, const JointMap* joints,
                  std::int64_t wall_minus_clock_ns);

    // The four messages of a cycle, appended to `out`; `ends[m]` is where
    // message m ends in `out`.
    void encode(const CycleRecord& cycle, const MemberRecord* members, std::vector<std::uint8_t>& out,
                std::array<std::size_t, kRecordMessages>& ends) const;
    std::size_t members() const { return names_.size(); }
    // The bytes of a cycle's four messages: the same for every cycle (each
    // array has one item per member).
    std::size_t cycle_bytes() const;
    // A time of the loop's clock on the wall clock, in nanoseconds.
    std::uint64_t wall_ns(std::uint64_t clock_ns) const;

private:
    const MotorGroup& group_;
    std::vector<std::string> names_;
    std::vector<JointMap> joints_;  // empty, or the robot's
    std::int64_t offset_;
};

// The wall clock's time less the monotonic clock's, now, in nanoseconds.
std::int64_t wall_minus_monotonic_ns();

// The names a plain group's members are recorded under: "motor_0x01" by the
// member's motor_id, with "_bus1" (its bus's index) added to each of an
// identifier used on more than one bus.
std::vector<std::string> member_record_names(const MotorGroup& group);

}  // namespace rotalink::damiao
