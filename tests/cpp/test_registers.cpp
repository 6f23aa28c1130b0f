// Register access and control-mode enforcement against an in-memory motor
// that answers register requests the way the firmware does.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <vector>

#include "damiao/driver.hpp"
#include "memory_transport.hpp"

namespace {

using rotalink::damiao::Damiao;
using rotalink::damiao::Error;
using rotalink::damiao::RegisterKind;
using rotalink::test::make_frame;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using rotalink::transport::Duration;
using rotalink::transport::TransportError;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A motor's register side: answers reads of register 10 from `master`,
// delivering `noise` before each reply, applies writes unless told not to,
// answers a refresh with its feedback (status `status`), and records when
// each frame was sent.
class RegisterMotor final : public rotalink::test::MemoryTransport {
public:
    std::uint32_t mode = 2;
    bool apply_writes = true;
    int reads_answered = 1000;  // answer this many reads, then stay silent
    std::uint32_t report_or = 0;
    std::uint8_t status = 0;  // disabled
    bool answer_refresh = true;
    std::deque<CanFrame> noise;  // delivered before each reply
    std::vector<Clock::time_point> sent_at;

    RegisterMotor() {
        respond([this](const CanFrame& f, MemoryTransport&) { answer(f); });
    }
    RegisterMotor(const RegisterMotor&) = delete;
    RegisterMotor& operator=(const RegisterMotor&) = delete;

private:
    void answer(const CanFrame& f) {
        sent_at.push_back(Clock::now());
        if (f.id != CanId::standard(0x7FF) || f.data.size() != 8) return;
        if (f.data[2] == 0xCC && answer_refresh) {
            queue(make_frame(CanId::standard(0x011), {static_cast<std::uint8_t>(status << 4 | (f.data[0] & 0xF)), 0x7F,
                                                       0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
        }
        if (f.data[3] != 10) return;
        if (f.data[2] == 0x33 && reads_answered-- > 0) {
            for (const CanFrame& n : noise) queue(n);
            const std::uint32_t v = mode | report_or;
            queue(make_frame(CanId::standard(0x011),
                             {f.data[0], f.data[1], 0x33, 10, static_cast<std::uint8_t>(v),
                              static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                              static_cast<std::uint8_t>(v >> 24)}));
        } else if (f.data[2] == 0x55 && apply_writes) {
            mode = f.data[4] | (f.data[5] << 8) | (f.data[6] << 16) | (std::uint32_t{f.data[7]} << 24);
        }
    }
};

Damiao motor(std::uint16_t id = 0x0102) {
    Damiao d;
    d.motor_id = id;
    d.master_id = 0x11;
    return d;
}

const Bytes kRead0102 = {0x02, 0x01, 0x33, 0x0A, 0, 0, 0, 0};
const Bytes kRefresh0102 = {0x02, 0x01, 0xCC, 0, 0, 0, 0, 0};
const Bytes kWrite0102 = {0x02, 0x01, 0x55, 0x0A, 0x01, 0, 0, 0};

TEST(Registers, RequestFramesCarryTheFullMotorIdLittleEndian) {
    RegisterMotor bus;
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1).ok());
    ASSERT_EQ(bus.sent().size(), 4u);
    for (const CanFrame& f : bus.sent()) {
        EXPECT_EQ(f.id, CanId::standard(0x7FF));
        EXPECT_FALSE(f.fd);
        EXPECT_FALSE(f.brs);
    }
    EXPECT_EQ(bus.sent()[0].data, kRead0102);
    EXPECT_EQ(bus.sent()[1].data, kRefresh0102);
    EXPECT_EQ(bus.sent()[2].data, kWrite0102);
    EXPECT_EQ(bus.sent()[3].data, kRead0102);
}

// The pauses ensure_control_mode takes, instead of sleeping: how long, and
// how many frames had been sent by then.
struct Pause {
    Duration length;
    std::size_t sent;
};
std::vector<Pause> g_pauses;
const RegisterMotor* g_paused_bus = nullptr;

void record_pause(Duration d) { g_pauses.push_back({d, g_paused_bus->sent().size()}); }

TEST(Registers, AlreadyInModeSendsOnlyTheRead) {
    RegisterMotor bus;
    bus.mode = 1;
    g_pauses.clear();
    g_paused_bus = &bus;
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1, record_pause).ok());
    EXPECT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(g_pauses.size(), 0u);  // no pause
}

TEST(Registers, SwitchPauses100msBetweenWriteAndVerification) {
    RegisterMotor bus;
    g_pauses.clear();
    g_paused_bus = &bus;
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1, record_pause).ok());
    ASSERT_EQ(bus.sent().size(), 4u);
    ASSERT_EQ(g_pauses.size(), 1u);
    EXPECT_TRUE(g_pauses[0].length == Duration::from_millis(100));
    EXPECT_EQ(g_pauses[0].sent, 3u);  // after the write, before the verification
    EXPECT_EQ(bus.mode, 1u);
}

TEST(Registers, SwitchSleepsAtLeast100msByDefault) {
    RegisterMotor bus;
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1).ok());
    ASSERT_EQ(bus.sent().size(), 4u);
    EXPECT_GE(bus.sent_at[3] - bus.sent_at[2], std::chrono::milliseconds(100));
}

// The switch on the wire, by the motor's mode and status: one already in
// the mode gets the read alone (whatever its status); one in another mode a
// refresh first, and the write, pause and verification only when it does
// not report itself enabled (a fault's status does not refuse).
TEST(Registers, SwitchFramesByTheMotorsModeAndStatus) {
    struct Case {
        const char* name;
        std::uint32_t mode;
        std::uint8_t status;
        bool answer_refresh;
        std::vector<Bytes> sent;
        std::size_t pauses;
        const char* error;  // null: success
    };
    const Case cases[] = {
        {"in the mode, enabled", 1, 1, true, {kRead0102}, 0, nullptr},
        {"disabled", 2, 0, true, {kRead0102, kRefresh0102, kWrite0102, kRead0102}, 1, nullptr},
        {"enabled", 2, 1, true, {kRead0102, kRefresh0102}, 0,
         "motor 0x102 reports itself enabled: disable it before changing its control mode"},
        {"stopped by an overload", 2, 14, true, {kRead0102, kRefresh0102, kWrite0102, kRead0102}, 1, nullptr},
        {"no answer to the refresh", 2, 0, false, {kRead0102, kRefresh0102}, 0,
         "transport error: timeout waiting for frame"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegisterMotor bus;
        bus.mode = c.mode;
        bus.status = c.status;
        bus.answer_refresh = c.answer_refresh;
        g_pauses.clear();
        g_paused_bus = &bus;
        auto r = motor().ensure_control_mode(bus, 1, record_pause);
        EXPECT_EQ(r.ok() ? std::string() : r.error().message(), c.error ? c.error : "");
        ASSERT_EQ(bus.sent().size(), c.sent.size());
        for (std::size_t i = 0; i < c.sent.size(); ++i) EXPECT_EQ(bus.sent()[i].data, c.sent[i]) << i;
        EXPECT_EQ(g_pauses.size(), c.pauses);
        EXPECT_EQ(bus.mode, c.error ? c.mode : 1u);
    }
}

// The two halves a caller that lets the bus go in the pause runs: the first
// tells whether it wrote, the second verifies.
TEST(Registers, SwitchHalvesComposeTheSwitch) {
    RegisterMotor bus;
    auto begun = motor().begin_mode_switch(bus, 1);
    ASSERT_TRUE(begun.ok() && begun.value());
    EXPECT_EQ(bus.sent().size(), 3u);
    EXPECT_TRUE(motor().finish_mode_switch(bus, 1).ok());
    EXPECT_EQ(bus.sent().back().data, kRead0102);
    auto again = motor().begin_mode_switch(bus, 1);
    ASSERT_TRUE(again.ok());
    EXPECT_FALSE(again.value());  // in the mode: nothing written
    EXPECT_EQ(bus.sent().size(), 5u);
    auto other = motor().finish_mode_switch(bus, 3);
    ASSERT_FALSE(other.ok());
    EXPECT_EQ(other.error().message(), "control mode verification failed: wrote 3, motor reports 1");
}

TEST(Registers, MismatchAfterWriteReportsTheLowByte) {
    struct Case {
        bool apply;
        std::uint32_t report_or;
        std::uint32_t start;
        const char* text;
    };
    const Case cases[] = {
        {false, 0, 2, "control mode verification failed: wrote 1, motor reports 2"},
        {true, 0x100, 2, "control mode verification failed: wrote 1, motor reports 1"},  // 257
        {false, 0, 0x1203, "control mode verification failed: wrote 1, motor reports 3"},
    };
    for (const Case& c : cases) {
        RegisterMotor bus;
        bus.apply_writes = c.apply;
        bus.report_or = c.report_or;
        bus.mode = c.start;
        auto r = motor().ensure_control_mode(bus, 1);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), Error::Kind::ControlModeMismatch);
        EXPECT_EQ(r.error().message(), c.text);
        EXPECT_EQ(bus.sent().size(), 4u);  // one write, one verification: no retry
    }
}

TEST(Registers, ReplyFromAnyIdentifierOfThisMotorIsAccepted) {
    RegisterMotor bus;
    bus.reads_answered = 0;
    bus.arrive_after_send(make_frame(CanId::standard(0x123), {0x02, 0x01, 0x33, 0x0A, 0x01, 0, 0, 0}));
    ASSERT_TRUE(motor(0x0102).ensure_control_mode(bus, 1).ok());
    EXPECT_EQ(bus.sent().size(), 1u);
    RegisterMotor fd;
    fd.reads_answered = 0;
    fd.arrive_after_send(make_frame(CanId::extended(0x1), {0x01, 0, 0x33, 0x0A, 0x01, 0, 0, 0}, true, true));
    EXPECT_TRUE(motor(0xF801).ensure_control_mode(fd, 1).ok());  // bytes 0-1: the low 11 bits
}

TEST(Registers, QueuedFramesAreDiscardedBeforeTheRequest) {
    RegisterMotor bus;
    bus.mode = 1;
    // A late reply of this motor saying 2 and another motor's saying 1.
    bus.queue(make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0A, 0x02, 0, 0, 0}));
    bus.queue(make_frame(CanId::standard(0x012), {0x03, 0x01, 0x33, 0x0A, 0x01, 0, 0, 0}));
    auto v = motor().read_register(bus, 10);
    ASSERT_TRUE(v.ok()) << v.error().message();
    EXPECT_EQ(v.value().as_uint32(), 1u);
    EXPECT_EQ(bus.recv_calls(), 1u);

    // No more than 1024 are discarded: what is queued beyond that is read.
    rotalink::test::MemoryTransport flood;
    for (int i = 0; i < 1100; ++i) flood.queue(make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0A, 5, 0, 0, 0}));
    auto f = motor().read_register(flood, 10);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(flood.recv_calls(), 1u);
    EXPECT_EQ(flood.pending(), 1100u - 1024u - 1u);
}

TEST(Registers, AnotherMotorsReplyIsSkipped) {
    RegisterMotor bus;
    bus.mode = 1;
    bus.noise = {make_frame(CanId::standard(0x011), {0x03, 0x01, 0x33, 0x0A, 0x02, 0, 0, 0}),
                 make_frame(CanId::standard(0x011), {0x02, 0x00, 0x33, 0x0A, 0x02, 0, 0, 0}),
                 make_frame(CanId::standard(0x011), {0x02, 0x09, 0x33, 0x0A, 0x02, 0, 0, 0})};
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1).ok());  // the others say 2
    EXPECT_EQ(bus.recv_calls(), 4u);
    EXPECT_EQ(bus.sent().size(), 1u);
}

// A transport that cannot read without waiting: nothing is discarded.
class NoTryRecv final : public rotalink::test::MemoryTransport {
public:
    rotalink::Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap) override {
        return CanTransport::try_recv(out, cap);
    }
};

TEST(Registers, DiscardingNeedsAReadWithoutWaitingAndStopsAtAReadError) {
    NoTryRecv plain;
    plain.arrive_after_send(make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0A, 7, 0, 0, 0}));
    auto v = motor().read_register(plain, 10);
    ASSERT_TRUE(v.ok()) << v.error().message();
    EXPECT_EQ(v.value().as_uint32(), 7u);

    RegisterMotor broken;
    broken.queue_error(TransportError::backend(rotalink::transport::IoError::from_errno(ENETDOWN)));
    auto r = motor().ensure_control_mode(broken, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: backend error: Network is down (os error 100)");
    EXPECT_EQ(broken.send_calls(), 0u);
}

TEST(Registers, FramesNotMatchingTheReplyPatternAreSkipped) {
    RegisterMotor bus;
    bus.mode = 1;
    bus.noise = {
        make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0A, 0x02, 0, 0}),        // 7 bytes
        make_frame(CanId::standard(0x011), {0x02, 0x01, 0x55, 0x0A, 0x02, 0, 0, 0}),     // a write echo
        make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0B, 0x02, 0, 0, 0}),     // other register
        make_frame(CanId::standard(0x011), {0x02, 0x01, 0x33, 0x0A, 0x02, 0, 0, 0, 0}),  // 9 bytes
    };
    ASSERT_TRUE(motor().ensure_control_mode(bus, 1).ok());
    EXPECT_EQ(bus.recv_calls(), 5u);
    EXPECT_EQ(bus.sent().size(), 1u);
}

TEST(Registers, TimeoutOnTheFirstReadWritesNothing) {
    RegisterMotor bus;
    bus.reads_answered = 0;
    auto r = motor().ensure_control_mode(bus, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.sent().size(), 1u);
}

TEST(Registers, TimeoutOnTheVerificationReadHasWrittenAlready) {
    RegisterMotor bus;
    bus.reads_answered = 1;
    auto r = motor().ensure_control_mode(bus, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
    ASSERT_EQ(bus.sent().size(), 4u);
    EXPECT_EQ(bus.sent()[2].data, kWrite0102);
}

TEST(Registers, SendFailuresEndTheOperation) {
    for (std::size_t index : {0u, 1u, 2u, 3u}) {
        RegisterMotor bus;
        bus.fail_nth_send(index + 1, TransportError::invalid_id());
        auto r = motor().ensure_control_mode(bus, 1);
        ASSERT_FALSE(r.ok()) << index;
        EXPECT_EQ(r.error().message(), "transport error: invalid CAN id");
        EXPECT_EQ(bus.sent().size(), index);
    }
}

TEST(Registers, ReadLoopSharesTheDeadlineRules) {
    RegisterMotor bus;
    bus.mode = 1;
    Damiao d = motor();
    d.timeout = Duration{0, 0};
    auto r = d.read_register(bus, 10);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.recv_calls(), 0u);  // a zero time-out never reads

    rotalink::test::MemoryTransport far;
    far.arrive_after_send(make_frame(CanId::standard(0x11), {2, 1, 0x33, 10, 7, 0, 0, 0}));
    d.timeout = Duration{UINT64_MAX, 999999999};
    auto v = d.read_register(far, 10);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.value().kind, RegisterKind::Uint32);
    EXPECT_EQ(v.value().as_uint32(), 7u);
    EXPECT_GT(far.recv_timeouts().at(0).secs, 1000000000ull);  // saturated, not wrapped
}

TEST(Registers, TheTableIsTheFirmwaresMap) {
    using rotalink::damiao::kRegisters;
    const RegisterKind F = RegisterKind::Float, U = RegisterKind::Uint32;
    struct Row {
        const char* name;
        RegisterKind kind;
        bool writable;
    };
    // Numbers 0 to 36, as the maker documents them.
    const Row want[] = {
        {"UV_Value", F, true}, {"KT_Value", F, true}, {"OT_Value", F, true}, {"OC_Value", F, true},
        {"ACC", F, true},      {"DEC", F, true},      {"MAX_SPD", F, true},  {"MST_ID", U, true},
        {"ESC_ID", U, true},   {"TIMEOUT", U, true},  {"CTRL_MODE", U, true}, {"Damp", F, false},
        {"Inertia", F, false}, {"hw_ver", U, false},  {"sw_ver", U, false},  {"SN", U, false},
        {"NPP", U, false},     {"Rs", F, false},      {"LS", F, false},      {"Flux", F, false},
        {"Gr", F, false},      {"PMAX", F, true},     {"VMAX", F, true},     {"TMAX", F, true},
        {"I_BW", F, true},     {"KP_ASR", F, true},   {"KI_ASR", F, true},   {"KP_APR", F, true},
        {"KI_APR", F, true},   {"OV_Value", F, true}, {"GREF", F, true},     {"Deta", F, true},
        {"V_BW", F, true},     {"IQ_c1", F, true},    {"VL_c1", F, true},    {"can_br", U, true},
        {"sub_ver", U, false},
    };
    ASSERT_EQ(rotalink::damiao::kRegisterCount, sizeof want / sizeof want[0]);
    for (std::size_t n = 0; n < rotalink::damiao::kRegisterCount; ++n) {
        EXPECT_EQ(kRegisters[n].number, n);
        EXPECT_STREQ(kRegisters[n].name, want[n].name) << n;
        EXPECT_EQ(kRegisters[n].kind, want[n].kind) << n;
        EXPECT_EQ(kRegisters[n].writable, want[n].writable) << n;
    }
    RegisterMotor bus;
    for (int reg : {37, 100, 255}) {
        auto r = motor().read_register(bus, static_cast<std::uint8_t>(reg));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "register " + std::to_string(reg) + " is not in the Damiao register table");
        auto w = motor().write_register(bus, static_cast<std::uint8_t>(reg), 1);
        ASSERT_FALSE(w.ok());
        EXPECT_EQ(w.error().kind(), Error::Kind::UnknownRegister);
    }
    auto ro = motor().write_register(bus, 14, 1);
    ASSERT_FALSE(ro.ok());
    EXPECT_EQ(ro.error().message(), "register 14 is read-only");
    EXPECT_TRUE(bus.sent().empty());
}

TEST(Registers, LimitsAreReadFromTheRangeRegistersAsFloats) {
    rotalink::test::MemoryTransport bus;
    // PMAX 3.14159, VMAX 45, TMAX 54 (IEEE bits, little-endian), from any identifier.
    bus.arrive_after_send(make_frame(CanId::standard(0x11), {2, 1, 0x33, 21, 0xD0, 0x0F, 0x49, 0x40}));
    auto limits = motor().read_limits(bus);
    ASSERT_FALSE(limits.ok());  // the reply to the second read never comes
    EXPECT_EQ(limits.error().message(), "transport error: timeout waiting for frame");
    ASSERT_EQ(bus.sent().size(), 2u);
    EXPECT_EQ(bus.sent()[1].data, (Bytes{2, 1, 0x33, 22, 0, 0, 0, 0}));

    rotalink::test::MemoryTransport ok;
    ok.respond([](const CanFrame& f, rotalink::test::MemoryTransport& t) {
        const std::uint8_t v[3][4] = {{0xD0, 0x0F, 0x49, 0x40}, {0, 0, 0x34, 0x42}, {0, 0, 0x58, 0x42}};
        const std::uint8_t* b = v[f.data[3] - 21];
        t.queue(make_frame(CanId::standard(0x12), {f.data[0], f.data[1], 0x33, f.data[3], b[0], b[1], b[2], b[3]}));
    });
    auto read = motor().read_limits(ok);
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(read.value().p_max, 3.14159012f);
    EXPECT_EQ(read.value().v_max, 45.0f);
    EXPECT_EQ(read.value().t_max, 54.0f);
    EXPECT_EQ(read.value().kp_max, 500.0f);
    EXPECT_EQ(read.value().kd_max, 5.0f);
}

TEST(Registers, ValueBytesAreLittleEndian) {
    rotalink::test::MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x11), {2, 1, 0x33, 10, 0x78, 0x56, 0x34, 0x12}));
    auto v = motor().read_register(bus, 10);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.value().as_uint32(), 0x12345678u);
    rotalink::damiao::RegisterValue f{RegisterKind::Float, 0x3F800000u};
    EXPECT_EQ(f.as_float(), 1.0f);
}

}  // namespace
