// The SocketCAN backend's bytes, checked on any Linux host: the transport
// adopts one end of a message-preserving socket pair, and the test reads and
// writes the kernel's frame records at the other end. Covers the send-side
// checks, the exact records written, the decoding of received records, the
// receive time-out handed to the socket, the mapping of OS errors, and the
// opening of an interface by name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "memory_transport.hpp"
#include "raw_records.hpp"
#include "transport/can.hpp"
#include "transport/socketcan_backend/can_compat.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::test {
namespace {

using transport::fd_length;
using transport::Instant;
using transport::IoError;
using transport::request;
using transport::SocketCanTransport;
using Kind = TransportError::Kind;

// Layout of the kernel's records, as the helpers below write and read them.
static_assert(transport::kCanLenOffset == 4 && offsetof(can_frame, __pad) == 5 &&
                  offsetof(can_frame, __res0) == 6 && offsetof(can_frame, data) == 8 &&
                  sizeof(can_frame) == 16,
              "struct can_frame layout");
static_assert(offsetof(canfd_frame, flags) == 5 && offsetof(canfd_frame, data) == 8 &&
                  sizeof(canfd_frame) == 72,
              "struct canfd_frame layout");

constexpr std::size_t kClassic = 16;
constexpr std::size_t kFd = 72;

timeval receive_timeout(int fd) {
    timeval tv{-1, -1};
    socklen_t len = sizeof tv;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0) << std::strerror(errno);
    return tv;
}

// The transport on one end of a SOCK_SEQPACKET pair; `peer_` is the bus.
class WithPair {
protected:
    void open_pair() {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0) << std::strerror(errno);
        bus_ = std::make_unique<SocketCanTransport>(sv[0]);
        peer_ = sv[1];
        timeval tv{2, 0};  // the test's own reads never hang
        ASSERT_EQ(setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    }
    ~WithPair() {
        if (peer_ >= 0) close(peer_);
    }

    // Takes the next record the transport wrote; false when there is none.
    bool take(Bytes& out) {
        std::uint8_t buf[256];
        const ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) return false;
        out.assign(buf, buf + n);
        return true;
    }
    bool nothing_written() {
        Bytes b;
        return !take(b);
    }
    void put(const Bytes& r) {
        ASSERT_EQ(::send(peer_, r.data(), r.size(), 0), static_cast<ssize_t>(r.size())) << std::strerror(errno);
    }

    std::unique_ptr<SocketCanTransport> bus_;
    int peer_ = -1;
};

class SocketPair : public ::testing::Test, protected WithPair {
protected:
    void SetUp() override { open_pair(); }
};

template <class P>
class SocketPairWith : public ::testing::TestWithParam<P>, protected WithPair {
protected:
    void SetUp() override { open_pair(); }
};

template <class P>
std::string case_name(const ::testing::TestParamInfo<P>& info) {
    return info.param.name;
}

// ---------------------------------------------------------------- send checks

enum class Outcome { Written, InvalidId, TooLarge };

struct SendCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const SendCase& c) { return os << c.name; }
    CanFrame frame;
    Outcome outcome;
    std::uint32_t raw_id;  // can_id written, when written
    std::size_t record_size;
};

class SendChecks : public SocketPairWith<SendCase> {};

TEST_P(SendChecks, RangeThenLength) {
    const SendCase& c = GetParam();
    auto sent = bus_->send(c.frame);
    Bytes r;
    switch (c.outcome) {
        case Outcome::Written:
            ASSERT_TRUE(sent.ok()) << sent.error().message();
            ASSERT_TRUE(take(r));
            EXPECT_EQ(r.size(), c.record_size);
            EXPECT_EQ(can_id_of(r), c.raw_id);
            break;
        case Outcome::InvalidId:
            ASSERT_FALSE(sent.ok());
            EXPECT_EQ(sent.error().kind(), Kind::InvalidId);
            EXPECT_EQ(sent.error().message(), "invalid CAN id");
            break;
        case Outcome::TooLarge:
            ASSERT_FALSE(sent.ok());
            EXPECT_EQ(sent.error().kind(), Kind::FrameTooLarge);
            EXPECT_EQ(sent.error().length(), c.frame.data.size());
            EXPECT_EQ(sent.error().message(),
                      "frame too large for selected mode: " + std::to_string(c.frame.data.size()) + " bytes");
            break;
    }
    EXPECT_TRUE(nothing_written()) << "more than one record, or a record for a refused frame";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SendChecks,
    ::testing::Values(
        SendCase{"StandardTop", make_frame(CanId::standard(0x7FF), counting(8)), Outcome::Written, 0x7FF, kClassic},
        SendCase{"StandardZero", make_frame(CanId::standard(0), {}), Outcome::Written, 0, kClassic},
        SendCase{"StandardPastTop", make_frame(CanId::standard(0x800), counting(8)), Outcome::InvalidId, 0, 0},
        SendCase{"StandardAllBits", make_frame(CanId::standard(0xFFFFFFFF), {}), Outcome::InvalidId, 0, 0},
        SendCase{"ExtendedTop", make_frame(CanId::extended(0x1FFFFFFF), counting(8)), Outcome::Written,
                 0x9FFFFFFF, kClassic},
        SendCase{"ExtendedZero", make_frame(CanId::extended(0), {}), Outcome::Written, 0x80000000, kClassic},
        SendCase{"ExtendedPastTop", make_frame(CanId::extended(0x20000000), counting(8)), Outcome::InvalidId, 0,
                 0},
        SendCase{"ExtendedAllBits", make_frame(CanId::extended(0xFFFFFFFF), {}), Outcome::InvalidId, 0, 0},
        SendCase{"BadIdAndTooLongClassic", make_frame(CanId::standard(0x800), counting(9)), Outcome::InvalidId, 0,
                 0},
        SendCase{"BadIdAndFullFd", make_frame(CanId::extended(0x20000000), counting(64), true),
                 Outcome::InvalidId, 0, 0},
        SendCase{"ClassicEight", make_frame(CanId::standard(0x123), counting(8)), Outcome::Written, 0x123, kClassic},
        SendCase{"ClassicNine", make_frame(CanId::standard(0x123), counting(9)), Outcome::TooLarge, 0, 0},
        SendCase{"ClassicNineWithBrs", make_frame(CanId::standard(0x123), counting(9), false, true),
                 Outcome::TooLarge, 0, 0},
        SendCase{"ClassicSixtyFour", make_frame(CanId::standard(0x123), counting(64)), Outcome::TooLarge, 0, 0},
        SendCase{"FdNine", make_frame(CanId::standard(0x123), counting(9), true), Outcome::Written, 0x123, kFd},
        SendCase{"FdSixtyFour", make_frame(CanId::standard(0x123), counting(64), true), Outcome::Written, 0x123,
                 kFd},
        SendCase{"ClassicSixtyFourWithBrs", make_frame(CanId::extended(0x1ABCDEF0), Bytes(64, 0x55), false, true),
                 Outcome::TooLarge, 0, 0}),
    case_name<SendCase>);

// No frame carries more than a CAN FD frame can: 64 bytes are held in the
// frame itself, and a 65th is an internal fault, not a frame to refuse.
TEST(FrameData, HoldsAtMostSixtyFourBytes) {
    EXPECT_EQ(make_frame(CanId::standard(0x123), counting(64), true).data.size(), 64u);
    EXPECT_THROW(make_frame(CanId::standard(0x123), counting(65), true), rotalink::Panic);
    CanFrame f = make_frame(CanId::standard(0x123), counting(64), true);
    EXPECT_THROW(f.data.push_back(0), rotalink::Panic);
    EXPECT_THROW(f.data.resize(65), rotalink::Panic);
    EXPECT_EQ(f.data.size(), 64u);
}

// ---------------------------------------------------------------- bytes written

TEST_F(SocketPair, ClassicFrameIsSixteenBytesZeroPadded) {
    EXPECT_EQ(bus_->iface(), "");  // an adopted socket names no interface
    ASSERT_TRUE(bus_->send(make_frame(CanId::standard(0x123), {0xAB, 0xCD})).ok());
    Bytes r;
    ASSERT_TRUE(take(r));
    ASSERT_EQ(r.size(), kClassic);
    EXPECT_EQ(can_id_of(r), 0x123u);
    EXPECT_EQ(r[4], 2) << "len";
    EXPECT_EQ(r[5], 0) << "__pad";
    EXPECT_EQ(r[6], 0) << "__res0";
    EXPECT_EQ(r[7], 0) << "len8_dlc";
    EXPECT_EQ(r[8], 0xAB);
    EXPECT_EQ(r[9], 0xCD);
    for (std::size_t i = 10; i < 16; ++i) EXPECT_EQ(r[i], 0) << "data byte " << (i - 8);
}

TEST_F(SocketPair, ExtendedIdCarriesTheExtendedFlag) {
    ASSERT_TRUE(bus_->send(make_frame(CanId::extended(0x1ABCDEF0), {1})).ok());
    Bytes r;
    ASSERT_TRUE(take(r));
    EXPECT_EQ(can_id_of(r), 0x9ABCDEF0u);
    EXPECT_EQ(hex(r), hex(record(kClassic, 0x9ABCDEF0u, 1, {1})));
}

TEST_F(SocketPair, StandardIdCarriesNoFlags) {
    ASSERT_TRUE(bus_->send(make_frame(CanId::standard(0x7FF), {})).ok());
    Bytes r;
    ASSERT_TRUE(take(r));
    EXPECT_EQ(hex(r), hex(record(kClassic, 0x7FF, 0, {})));
}

TEST_F(SocketPair, BitRateSwitchIsIgnoredOnClassicFrames) {
    ASSERT_TRUE(bus_->send(make_frame(CanId::standard(0x010), counting(8), false, true)).ok());
    Bytes r;
    ASSERT_TRUE(take(r));
    EXPECT_EQ(hex(r), hex(record(kClassic, 0x010, 8, counting(8))));
}

struct FdLenCase {
    std::size_t payload;
    bool brs;
    friend std::ostream& operator<<(std::ostream& os, const FdLenCase& c) {
        return os << c.payload << " bytes" << (c.brs ? " with brs" : "");
    }
};

class FdLength : public SocketPairWith<FdLenCase> {};

// The CAN FD lengths: 0..8, then 12, 16, 20, 24, 32, 48, 64.
std::uint8_t wire_length(std::size_t n) {
    struct Step {
        std::size_t up_to;
        std::uint8_t len;
    };
    static const Step steps[] = {{12, 12}, {16, 16}, {20, 20}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    if (n <= 8) return static_cast<std::uint8_t>(n);
    for (const Step& s : steps) {
        if (n <= s.up_to) return s.len;
    }
    return 0;
}

TEST_P(FdLength, RoundedUpAndZeroPadded) {
    const FdLenCase& c = GetParam();
    const Bytes payload = counting(c.payload, 0x01);
    ASSERT_TRUE(bus_->send(make_frame(CanId::standard(0x321), payload, true, c.brs)).ok());
    Bytes r;
    ASSERT_TRUE(take(r));
    ASSERT_EQ(r.size(), kFd);
    EXPECT_EQ(r[4], wire_length(c.payload)) << "len";
    EXPECT_EQ(fd_length(c.payload), wire_length(c.payload));
    EXPECT_EQ(r[5], c.brs ? (CANFD_FDF | CANFD_BRS) : CANFD_FDF) << "flags";
    const Bytes want = record(kFd, 0x321, wire_length(c.payload), payload, c.brs ? 0x05 : 0x04);
    EXPECT_EQ(hex(r), hex(want));
}

std::vector<FdLenCase> all_fd_lengths() {
    std::vector<FdLenCase> v;
    for (std::size_t n = 0; n <= 64; ++n) v.push_back({n, n % 2 == 1});
    v.push_back({3, false});
    v.push_back({9, false});
    v.push_back({33, false});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Payloads, FdLength, ::testing::ValuesIn(all_fd_lengths()),
                         [](const ::testing::TestParamInfo<FdLenCase>& info) {
                             return "Bytes" + std::to_string(info.param.payload) + (info.param.brs ? "Brs" : "");
                         });

TEST_F(SocketPair, FdExamples) {
    struct Example {
        std::size_t payload;
        std::uint8_t len;
    };
    for (const Example& e : {Example{3, 3}, Example{9, 12}, Example{33, 48}}) {
        ASSERT_TRUE(bus_->send(make_frame(CanId::extended(0x1ABCDEF0), Bytes(e.payload, 0xFF), true)).ok());
        Bytes r;
        ASSERT_TRUE(take(r));
        ASSERT_EQ(r.size(), kFd);
        EXPECT_EQ(can_id_of(r), 0x9ABCDEF0u);
        EXPECT_EQ(r[4], e.len) << e.payload << " bytes";
        for (std::size_t i = 0; i < 64; ++i) {
            EXPECT_EQ(r[8 + i], i < e.payload ? 0xFF : 0x00) << e.payload << " bytes, data byte " << i;
        }
    }
}

TEST_F(SocketPair, WriteFailureIsBackendWithTheOsError) {
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);
    ASSERT_EQ(shutdown(bus_->fd(), SHUT_WR), 0);
    auto sent = bus_->send(make_frame(CanId::standard(1), {1}));
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind(), Kind::Backend);
    EXPECT_EQ(sent.error().io().code, EPIPE);
    EXPECT_EQ(sent.error().message(), "backend error: Broken pipe (os error 32)");
}

// ---------------------------------------------------------------- records read

struct RecvCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const RecvCase& c) { return os << c.name; }
    Bytes record;
    CanFrame want;
};

class RecvDecoding : public SocketPairWith<RecvCase> {};

TEST_P(RecvDecoding, Decodes) {
    const RecvCase& c = GetParam();
    put(c.record);
    auto got = bus_->recv(Duration::from_millis(1000));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), c.want));
}

const Bytes kEight = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

INSTANTIATE_TEST_SUITE_P(
    Records, RecvDecoding,
    ::testing::Values(
        RecvCase{"StandardData", record(kClassic, 0x123, 3, kEight), make_frame(CanId::standard(0x123), {0x11, 0x22, 0x33})},
        RecvCase{"ExtendedData", record(kClassic, 0x9ABCDEF0, 8, kEight), make_frame(CanId::extended(0x1ABCDEF0), kEight)},
        RecvCase{"EmptyData", record(kClassic, 0x001, 0, kEight), make_frame(CanId::standard(0x001), {})},
        RecvCase{"StandardIdIsMasked", record(kClassic, 0x00001ABC, 1, kEight), make_frame(CanId::standard(0x2BC), {0x11})},
        RecvCase{"ReservedBytesIgnored", record(kClassic, 0x100, 2, kEight, 0xFF, 0xFF, 0x0F),
                 make_frame(CanId::standard(0x100), {0x11, 0x22})},
        RecvCase{"ClassicLenCappedAtEight", record(kClassic, 0x100, 15, kEight), make_frame(CanId::standard(0x100), kEight)},
        RecvCase{"ClassicLenFarTooLarge", record(kClassic, 0x100, 255, kEight), make_frame(CanId::standard(0x100), kEight)},
        RecvCase{"Remote", record(kClassic, 0x40000123, 4, kEight), remote_frame(CanId::standard(0x123), {0x11, 0x22, 0x33, 0x44})},
        RecvCase{"RemoteExtended", record(kClassic, 0xC0000123, 0, kEight), remote_frame(CanId::extended(0x123), {})},
        RecvCase{"ErrorFrameHasAllEightBytes", record(kClassic, 0x20000FFF, 2, kEight), error_frame(CanId::standard(0x7FF), kEight)},
        RecvCase{"ErrorFrameLenZero", record(kClassic, 0x20000004, 0, kEight), error_frame(CanId::standard(0x004), kEight)},
        RecvCase{"ErrorFrameLowElevenBits", record(kClassic, 0x2000ABCD, 8, kEight), error_frame(CanId::standard(0x3CD), kEight)},
        RecvCase{"ErrorFrameExtended", record(kClassic, 0xBABCDEF0, 1, kEight), error_frame(CanId::extended(0x1ABCDEF0), kEight)},
        RecvCase{"ErrorBeforeRemote", record(kClassic, 0x60000123, 1, kEight), error_frame(CanId::standard(0x123), kEight)},
        RecvCase{"FdWithBrs", record(kFd, 0x123, 12, counting(64), CANFD_FDF | CANFD_BRS),
                 make_frame(CanId::standard(0x123), counting(12), true, true)},
        RecvCase{"FdWithoutBrs", record(kFd, 0x123, 64, counting(64), CANFD_FDF),
                 make_frame(CanId::standard(0x123), counting(64), true, false)},
        RecvCase{"FdEsiIsNotBrs", record(kFd, 0x123, 8, counting(64), CANFD_FDF | CANFD_ESI),
                 make_frame(CanId::standard(0x123), counting(8), true, false)},
        RecvCase{"FdWithoutFdfFlag", record(kFd, 0x123, 5, counting(64), 0),
                 make_frame(CanId::standard(0x123), counting(5), true, false)},
        RecvCase{"FdExtendedBrs", record(kFd, 0x9ABCDEF0, 48, counting(64), CANFD_FDF | CANFD_BRS),
                 make_frame(CanId::extended(0x1ABCDEF0), counting(48), true, true)},
        RecvCase{"FdEmpty", record(kFd, 0x7FF, 0, counting(64), CANFD_FDF), make_frame(CanId::standard(0x7FF), {}, true)},
        RecvCase{"FdLenTakenAsIs", record(kFd, 0x7FF, 9, counting(64), CANFD_FDF),
                 make_frame(CanId::standard(0x7FF), counting(9), true)},
        RecvCase{"FdLenCappedAtSixtyFour", record(kFd, 0x7FF, 100, counting(64), CANFD_FDF),
                 make_frame(CanId::standard(0x7FF), counting(64), true)},
        RecvCase{"FdLenFarTooLarge", record(kFd, 0x7FF, 255, counting(64), CANFD_FDF | CANFD_BRS),
                 make_frame(CanId::standard(0x7FF), counting(64), true, true)},
        RecvCase{"FdRemoteFlagDropped", record(kFd, 0x40000123, 2, counting(64), CANFD_FDF),
                 make_frame(CanId::standard(0x123), counting(2), true)}),
    case_name<RecvCase>);

TEST_F(SocketPair, RecordsAreReadOneAtATimeInOrder) {
    put(record(kClassic, 0x001, 1, {0x01}));
    put(record(kFd, 0x002, 12, counting(12), CANFD_FDF | CANFD_BRS));
    put(record(kClassic, 0x80000003, 0, {}));
    const CanFrame want[] = {make_frame(CanId::standard(1), {0x01}),
                             make_frame(CanId::standard(2), counting(12), true, true),
                             make_frame(CanId::extended(3), {})};
    for (const CanFrame& w : want) {
        auto got = bus_->recv(Duration::from_millis(1000));
        ASSERT_TRUE(got.ok()) << got.error().message();
        EXPECT_TRUE(same_frame(got.value(), w));
    }
}

TEST_F(SocketPair, BatchWritesEveryRecordInOrderAndStopsAtARefusedFrame) {
    std::vector<CanFrame> frames;
    for (std::uint32_t i = 0; i < 40; ++i) frames.push_back(make_frame(CanId::standard(i), {static_cast<std::uint8_t>(i)}, i % 3 == 0, i % 3 == 0));
    frames[37].id = CanId::standard(0x800);  // out of range
    const transport::BatchSent sent = bus_->send_batch(frames.data(), frames.size());
    EXPECT_EQ(sent.sent, 37u);
    ASSERT_TRUE(sent.error.has_value());
    EXPECT_EQ(sent.error->kind(), Kind::InvalidId);
    for (std::uint32_t i = 0; i < 37; ++i) {
        Bytes r;
        ASSERT_TRUE(take(r)) << i;
        EXPECT_EQ(r.size(), i % 3 == 0 ? kFd : kClassic) << i;
        EXPECT_EQ(can_id_of(r), i);
        EXPECT_EQ(r[8], i);
    }
    EXPECT_TRUE(nothing_written());
}

TEST_F(SocketPair, NonBlockingReadTakesWhatHasArrivedAndNeverWaits) {
    CanFrame out[4];
    auto none = bus_->try_recv(out, 4);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.value(), 0u);
    for (std::uint32_t i = 0; i < 5; ++i) put(record(i == 1 ? kFd : kClassic, i, 1, {0x5A}, i == 1 ? CANFD_FDF : 0));
    auto first = bus_->try_recv(out, 4);
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first.value(), 4u);
    EXPECT_TRUE(same_frame(out[1], make_frame(CanId::standard(1), {0x5A}, true, false)));
    EXPECT_TRUE(same_frame(out[3], make_frame(CanId::standard(3), {0x5A})));
    auto rest = bus_->try_recv(out, 4);
    ASSERT_TRUE(rest.ok());
    EXPECT_EQ(rest.value(), 1u);
    put(Bytes(10, 0));
    auto odd = bus_->try_recv(out, 4);
    ASSERT_FALSE(odd.ok());
    EXPECT_EQ(odd.error().kind(), Kind::Backend);
}

TEST_F(SocketPair, PollWaiterWakesOnAFrameOrAtTheDeadline) {
    transport::PollWaiter waiter;
    transport::CanTransport* buses[] = {bus_.get()};
    const Instant start = Instant::now();
    ASSERT_TRUE(waiter.wait(buses, 1, start.saturating_add(Duration::from_millis(30))).ok());
    EXPECT_FALSE(Instant::now() < start.saturating_add(Duration::from_millis(30)));
    put(record(kClassic, 1, 0, {}));
    const Instant far = Instant::now().saturating_add(Duration::from_millis(60000));
    ASSERT_TRUE(waiter.wait(buses, 1, far).ok());
    EXPECT_TRUE(Instant::now() < far);
}

class OddRecord : public SocketPairWith<std::size_t> {};

TEST_P(OddRecord, IsBackendNamingTheCount) {
    const std::size_t n = GetParam();
    put(Bytes(n, 0x5A));
    auto got = bus_->recv(Duration::from_millis(1000));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Backend);
    EXPECT_EQ(got.error().message(), "backend error: received " + std::to_string(n) +
                                         " bytes, which is neither a CAN frame (16) nor a CAN FD frame (72)");

    // The transport stays usable.
    put(record(kClassic, 0x010, 1, {0x42}));
    auto next = bus_->recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.ok()) << next.error().message();
    EXPECT_TRUE(same_frame(next.value(), make_frame(CanId::standard(0x010), {0x42})));
}

INSTANTIATE_TEST_SUITE_P(Sizes, OddRecord, ::testing::Values(0, 1, 8, 10, 15, 17, 64, 71),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST_F(SocketPair, ClosedPeerIsBackend) {
    close(peer_);
    peer_ = -1;
    auto got = bus_->recv(Duration::from_millis(1000));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Backend);
    EXPECT_EQ(got.error().message(),
              "backend error: received 0 bytes, which is neither a CAN frame (16) nor a CAN FD frame (72)");
}

TEST_F(SocketPair, EmptySocketTimesOut) {
    const auto t0 = std::chrono::steady_clock::now();
    auto got = bus_->recv(Duration::from_millis(50));
    const auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_EQ(got.error().message(), "timeout waiting for frame");
    // The kernel counts in scheduler ticks, so allow one tick early.
    EXPECT_GE(took, std::chrono::milliseconds(30));
    EXPECT_LT(took, std::chrono::seconds(2));
}

// ---------------------------------------------------------------- receive time-out

struct TimeoutCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const TimeoutCase& c) { return os << c.name; }
    Duration timeout;
    long secs;
    long usecs;
};

class ReceiveTimeout : public SocketPairWith<TimeoutCase> {};

// Values exact in scheduler ticks, since the kernel keeps the time-out in
// ticks and hands it back converted.
TEST_P(ReceiveTimeout, IsSetOnTheSocketBeforeTheRead) {
    const TimeoutCase& c = GetParam();
    if (sizeof(long) < 8 && c.secs > 1000) GTEST_SKIP() << "a 32-bit kernel cannot keep this many ticks";
    put(record(kClassic, 0x001, 0, {}));
    auto got = bus_->recv(c.timeout);
    ASSERT_TRUE(got.ok()) << got.error().message();
    const timeval tv = receive_timeout(bus_->fd());
    EXPECT_EQ(tv.tv_sec, c.secs);
    EXPECT_EQ(tv.tv_usec, c.usecs);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReceiveTimeout,
    ::testing::Values(TimeoutCase{"OneAndAHalfSeconds", Duration{1, 500000000}, 1, 500000},
                      TimeoutCase{"MicrosecondsTruncated", Duration{2, 999}, 2, 0},
                      TimeoutCase{"TwentyMillis", Duration::from_millis(20), 0, 20000},
                      TimeoutCase{"LargestSeconds", Duration{2147483647u, 0}, 2147483647, 0},
                      TimeoutCase{"SecondsCapped", Duration{2147483648u, 0}, 2147483647, 0},
                      TimeoutCase{"MaxMillisCapped", Duration{UINT64_MAX / 1000, 0}, 2147483647, 0},
                      TimeoutCase{"MaxSecondsCapped", Duration{UINT64_MAX, 0}, 2147483647, 0}),
    case_name<TimeoutCase>);

TEST_F(SocketPair, TimeoutIsSetAgainBeforeEveryRead) {
    put(record(kClassic, 0x001, 0, {}));
    put(record(kClassic, 0x002, 0, {}));
    ASSERT_TRUE(bus_->recv(Duration{1, 500000000}).ok());
    EXPECT_EQ(receive_timeout(bus_->fd()).tv_sec, 1);
    ASSERT_TRUE(bus_->recv(Duration::from_millis(20)).ok());
    const timeval tv = receive_timeout(bus_->fd());
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 20000);
}

TEST_F(SocketPair, ZeroTimeoutRequestSendsAndNeverReads) {
    put(record(kClassic, 0x011, 1, {0x77}));  // a matching frame is waiting
    auto got = request(*bus_, make_frame(CanId::standard(0x001), {1}), CanId::standard(0x011), Duration{});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);

    Bytes r;
    ASSERT_TRUE(take(r)) << "the command was not sent";
    EXPECT_EQ(hex(r), hex(record(kClassic, 0x001, 1, {1})));
    // No read: the receive time-out was never set, and the frame is still there.
    const timeval tv = receive_timeout(bus_->fd());
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
    auto next = bus_->recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.ok()) << next.error().message();
    EXPECT_TRUE(same_frame(next.value(), make_frame(CanId::standard(0x011), {0x77})));
}

TEST_F(SocketPair, HugeTimeoutRequestWaitsWithTheSecondsCapped) {
    put(record(kClassic, 0x011, 8, kEight));
    // A clock reading that leaves whole seconds to the end of its range: the
    // wait asked of the socket does not depend on when the test runs.
    const Instant at{UINT64_MAX % 1000000000u};
    auto got = request(*bus_, make_frame(CanId::standard(0x001), {1}), CanId::standard(0x011),
                       Duration{UINT64_MAX / 1000, 0}, [at] { return at; });
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(CanId::standard(0x011), kEight)));
    if (sizeof(long) >= 8) {
        const timeval tv = receive_timeout(bus_->fd());
        EXPECT_EQ(tv.tv_sec, 2147483647);
        EXPECT_EQ(tv.tv_usec, 0);
    }
}

TEST_F(SocketPair, RequestDropsForeignRecordsAndTimesOutAtTheDeadline) {
    put(record(kClassic, 0x80000011, 1, {1}));  // Extended 0x011: not the reply
    put(record(kFd, 0x012, 8, counting(8), CANFD_FDF));
    const auto t0 = std::chrono::steady_clock::now();
    auto got = request(*bus_, make_frame(CanId::standard(0x001), {1}), CanId::standard(0x011),
                       Duration::from_millis(100));
    const auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_GE(took, std::chrono::milliseconds(80));
    EXPECT_LT(took, std::chrono::seconds(2));
    auto next = bus_->recv(Duration::from_millis(20));
    ASSERT_FALSE(next.ok()) << "a foreign record was left behind";
    EXPECT_EQ(next.error().kind(), Kind::Timeout);
}

// ---------------------------------------------------------------- signals

std::atomic<int> g_signals{0};
extern "C" void count_signal(int) { g_signals.fetch_add(1); }

// SIGUSR1 counted by a handler installed without SA_RESTART, so a blocking
// call that it interrupts fails with EINTR.
class Interrupted : public SocketPair {
protected:
    void SetUp() override {
        SocketPair::SetUp();
        struct sigaction sa {};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_), 0);
        g_signals = 0;
    }
    void TearDown() override { sigaction(SIGUSR1, &old_, nullptr); }

    static long thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

    // Waits until thread `tid` sleeps in the kernel, at most `limit`.
    static bool wait_until_blocked(long tid, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream f(path);
            std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            const auto paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S') return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    struct sigaction old_ {};
};

TEST_F(Interrupted, ReadIsBackendAndNotRetried) {
    const pthread_t reader = pthread_self();
    const long tid = thread_id();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        wait_until_blocked(tid, std::chrono::seconds(3));
        for (int i = 0; i < 300 && !done; ++i) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    auto got = bus_->recv(Duration::from_millis(10000));
    const auto took = std::chrono::steady_clock::now() - t0;
    done = true;
    signaller.join();

    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Backend);
    EXPECT_EQ(got.error().io().code, EINTR);
    EXPECT_EQ(got.error().message(), "backend error: Interrupted system call (os error 4)");
    EXPECT_GE(g_signals.load(), 1);
    EXPECT_LT(took, std::chrono::seconds(8));

    put(record(kClassic, 0x010, 1, {0x42}));
    auto next = bus_->recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.ok()) << next.error().message();
}

TEST_F(Interrupted, WriteIsRepeated) {
    // Fill the socket's send buffer so the transport's write blocks, signal
    // it while it waits, then drain: the frame still goes out, whole, once.
    const Bytes filler = record(kClassic, 0x700, 0, {});
    int queued = 0;
    while (::send(bus_->fd(), filler.data(), filler.size(), MSG_DONTWAIT) == static_cast<ssize_t>(filler.size())) {
        ASSERT_LT(++queued, 1000000);
    }
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_GT(queued, 0);

    const pthread_t writer = pthread_self();
    const long tid = thread_id();
    std::atomic<bool> was_blocked{false};
    std::vector<Bytes> drained;
    std::thread helper([&] {
        was_blocked = wait_until_blocked(tid, std::chrono::seconds(3));
        for (int i = 0; i < 5; ++i) {
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::uint8_t buf[256];
        while (drained.size() < static_cast<std::size_t>(queued) + 1) {
            const ssize_t n = ::recv(peer_, buf, sizeof buf, 0);  // bounded by the peer's 2 s time-out
            if (n < 0) break;
            drained.emplace_back(buf, buf + n);
        }
    });
    const CanFrame frame = make_frame(CanId::extended(0x1ABCDEF0), {0xDE, 0xAD});
    auto sent = bus_->send(frame);
    helper.join();

    ASSERT_TRUE(sent.ok()) << sent.error().message();
    EXPECT_TRUE(was_blocked.load()) << "the write never blocked";
    EXPECT_GE(g_signals.load(), 1);
    ASSERT_EQ(drained.size(), static_cast<std::size_t>(queued) + 1);
    EXPECT_EQ(hex(drained.back()), hex(record(kClassic, 0x9ABCDEF0, 2, {0xDE, 0xAD})));
    EXPECT_TRUE(nothing_written());
}

// ---------------------------------------------------------------- descriptor

TEST(SocketCanDescriptor, ClosedOnDestruction) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    {
        SocketCanTransport t(sv[0]);
        EXPECT_EQ(t.fd(), sv[0]);
        EXPECT_NE(fcntl(sv[0], F_GETFD), -1);
    }
    errno = 0;
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    close(sv[1]);
}

TEST(SocketCanDescriptor, NotASocketFailsBeforeReading) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const Bytes waiting = record(kClassic, 0x001, 1, {1});
    ASSERT_EQ(write(p[1], waiting.data(), waiting.size()), static_cast<ssize_t>(waiting.size()));
    {
        SocketCanTransport reader(p[0]);
        auto got = reader.recv(Duration::from_millis(100));
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().kind(), Kind::Backend);
        EXPECT_EQ(got.error().message(), "backend error: Socket operation on non-socket (os error 88)");
        // Nothing was read from the pipe.
        int available = -1;
        ASSERT_EQ(ioctl(p[0], FIONREAD, &available), 0);
        EXPECT_EQ(available, static_cast<int>(waiting.size()));
    }
    SocketCanTransport writer(p[1]);
    auto sent = writer.send(make_frame(CanId::standard(1), {}));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().message(), "backend error: Socket operation on non-socket (os error 88)");
}

// ---------------------------------------------------------------- open

struct OpenCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const OpenCase& c) { return os << c.name; }
    std::string iface;
    int code;  // 0: any nonzero error number
    const char* text;
};

class OpenFailure : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenFailure, ReportsTheOsError) {
    const OpenCase& c = GetParam();
    const int fds_before = open_fd_count();
    for (int i = 0; i < 20; ++i) {
        auto opened = SocketCanTransport::open(c.iface);
        ASSERT_FALSE(opened.ok());
        const IoError& e = opened.error();
        EXPECT_NE(e.code, 0) << e.text();
        if (c.code != 0) {
            EXPECT_EQ(e.code, c.code) << e.text();
        }
        if (c.text != nullptr) {
            EXPECT_EQ(e.text(), c.text);
        }
        const std::string suffix = " (os error " + std::to_string(e.code) + ")";
        EXPECT_TRUE(e.text().size() > suffix.size() &&
                    e.text().compare(e.text().size() - suffix.size(), suffix.size(), suffix) == 0)
            << e.text();
    }
    EXPECT_EQ(open_fd_count(), fds_before) << "a failed open left a descriptor behind";
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenFailure,
    ::testing::Values(OpenCase{"Empty", "", ENODEV, "No such device (os error 19)"},
                      OpenCase{"NoSuchInterface", "nonexistent0", ENODEV, "No such device (os error 19)"},
                      OpenCase{"TooLongForAnInterface", "averyveryverylongname0", ENODEV,
                               "No such device (os error 19)"},
                      OpenCase{"EmbeddedNul", std::string("vc\0an0", 6), EINVAL, "Invalid argument (os error 22)"},
                      OpenCase{"TrailingNul", std::string("lo\0", 3), EINVAL, "Invalid argument (os error 22)"},
                      // lo exists but is no CAN interface: no AF_CAN here, or a bind refused on a CAN kernel.
                      OpenCase{"Loopback", "lo", 0, nullptr}),
    case_name<OpenCase>);

}  // namespace
}  // namespace rotalink::test
