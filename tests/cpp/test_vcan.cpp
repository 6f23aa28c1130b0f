// The SocketCAN backend on a real CAN raw socket: interface vcan0, or the one
// named by ROTALINK_TEST_IFACE. A second raw socket on the same interface,
// opened here with plain system calls and CAN FD frames on, watches what the
// transport writes and injects what it reads.
//
// Where the kernel has no SocketCAN or the interface is missing, every test
// is skipped with the reason; with ROTALINK_REQUIRE_CAN=1 they fail instead.
// Create the interface with:
//   ip link add dev vcan0 type vcan && ip link set dev vcan0 mtu 72 up
// (an MTU under 72 is raised here when the process may, since CAN FD frames
// need it). One test takes the interface down and up again.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <linux/can/error.h>
#include <linux/can/raw.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

using transport::request;
using transport::SocketCanTransport;
using Kind = TransportError::Kind;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr std::size_t kClassic = sizeof(can_frame);
constexpr std::size_t kFd = sizeof(canfd_frame);

std::string iface() {
    const char* name = std::getenv("ROTALINK_TEST_IFACE");
    return name != nullptr && *name != '\0' ? name : "vcan0";
}

bool can_required() {
    const char* v = std::getenv("ROTALINK_REQUIRE_CAN");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

std::string os_text(int e) { return std::string(std::strerror(e)) + " (errno " + std::to_string(e) + ")"; }

// ---------------------------------------------------------------- interface control

int control_socket() {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    return s >= 0 ? s : socket(PF_CAN, SOCK_RAW, CAN_RAW);
}

// Sets the interface up or down; 0 or the error number.
int set_link(const std::string& name, bool up) {
    const int s = control_socket();
    if (s < 0) return errno;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    int rc = ioctl(s, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        if (up) {
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        } else {
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        }
        rc = ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    const int e = rc == 0 ? 0 : errno;
    close(s);
    return e;
}

int link_mtu(const std::string& name) {
    const int s = control_socket();
    if (s < 0) return -1;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    const int rc = ioctl(s, SIOCGIFMTU, &ifr);
    close(s);
    return rc == 0 ? ifr.ifr_mtu : -1;
}

int set_mtu(const std::string& name, int mtu) {
    const int s = control_socket();
    if (s < 0) return errno;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    ifr.ifr_mtu = mtu;
    const int e = ioctl(s, SIOCSIFMTU, &ifr) == 0 ? 0 : errno;
    close(s);
    return e;
}

struct Availability {
    bool can = false;
    std::string reason;
    bool fd = false;
    std::string fd_reason;
};

// Checked once, before any test opens a socket (raising the MTU takes the
// interface down, which would leave an error on every open socket).
const Availability& availability() {
    static const Availability a = [] {
        Availability r;
        const int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (s < 0) {
            r.reason = "this kernel has no SocketCAN raw sockets: socket(PF_CAN, SOCK_RAW, CAN_RAW) failed: " +
                       os_text(errno);
            return r;
        }
        close(s);
        if (if_nametoindex(iface().c_str()) == 0) {
            r.reason = "no network interface '" + iface() + "' (" + os_text(errno) +
                       "); create it with: ip link add dev " + iface() + " type vcan && ip link set dev " +
                       iface() + " mtu 72 up";
            return r;
        }
        r.can = true;
        int mtu = link_mtu(iface());
        if (mtu >= 0 && mtu < static_cast<int>(kFd)) {
            const int down = set_link(iface(), false);
            const int changed = down == 0 ? set_mtu(iface(), static_cast<int>(kFd)) : down;
            set_link(iface(), true);
            if (changed != 0) {
                r.fd_reason = "'" + iface() + "' has MTU " + std::to_string(mtu) +
                              ", too small for CAN FD frames, and it could not be raised: " + os_text(changed);
            }
            mtu = link_mtu(iface());
        }
        r.fd = mtu >= static_cast<int>(kFd);
        if (!r.fd && r.fd_reason.empty()) r.fd_reason = "'" + iface() + "' does not carry CAN FD frames";
        return r;
    }();
    return a;
}

// ---------------------------------------------------------------- the second socket

// A raw socket on the interface, with CAN FD frames on and reads bounded by
// two seconds; -1 on failure.
int open_raw(const std::string& name) {
    const int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) return -1;
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
    const int on = 1;
    timeval tv{2, 0};
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
        const int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

// Brings the interface back up however the test ends.
struct LinkUpAtExit {
    ~LinkUpAtExit() { set_link(iface(), true); }
};

class Vcan : public ::testing::Test {
protected:
    void SetUp() override {
        const Availability& a = availability();
        if (!a.can) {
            if (can_required()) FAIL() << a.reason;
            GTEST_SKIP() << a.reason;
        }
        auto opened = SocketCanTransport::open(iface());
        ASSERT_TRUE(opened.ok()) << "open(" << iface() << "): " << opened.error().text();
        bus_ = std::move(opened).value();
        EXPECT_EQ(bus_->iface(), iface());  // the name it was opened with
        peer_ = open_raw(iface());
        ASSERT_GE(peer_, 0) << "second socket on " << iface() << ": " << os_text(errno);
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
    }

    void require_fd() {
        const Availability& a = availability();
        if (a.fd) return;
        if (can_required()) FAIL() << a.fd_reason;
        GTEST_SKIP() << a.fd_reason;
    }

    // The next record seen by the second socket (empty after two seconds).
    Bytes observe() {
        std::uint8_t buf[128];
        const ssize_t n = ::recv(peer_, buf, sizeof buf, 0);
        return n < 0 ? Bytes{} : Bytes(buf, buf + n);
    }
    void inject(const Bytes& r) {
        ASSERT_EQ(::write(peer_, r.data(), r.size()), static_cast<ssize_t>(r.size()))
            << "write to " << iface() << ": " << os_text(errno);
    }

    std::unique_ptr<SocketCanTransport> bus_;
    int peer_ = -1;
};

// ---------------------------------------------------------------- written frames

struct ClassicCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const ClassicCase& c) { return os << c.name; }
    CanFrame frame;
    Bytes want;
};

class VcanClassicWrite : public Vcan, public ::testing::WithParamInterface<ClassicCase> {};

TEST_P(VcanClassicWrite, SeenOnTheBusAsWritten) {
    const ClassicCase& c = GetParam();
    auto sent = bus_->send(c.frame);
    ASSERT_TRUE(sent.ok()) << sent.error().message();
    EXPECT_EQ(hex(observe()), hex(c.want));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, VcanClassicWrite,
    ::testing::Values(
        ClassicCase{"TwoBytesZeroPadded", make_frame(CanId::standard(0x123), {0xAB, 0xCD}),
                    record(kClassic, 0x123, 2, {0xAB, 0xCD})},
        ClassicCase{"Empty", make_frame(CanId::standard(0x000), {}), record(kClassic, 0x000, 0, {})},
        ClassicCase{"EightBytesTopStandardId", make_frame(CanId::standard(0x7FF), counting(8)),
                    record(kClassic, 0x7FF, 8, counting(8))},
        ClassicCase{"ExtendedIdBits", make_frame(CanId::extended(0x1ABCDEF0), {1}),
                    record(kClassic, 0x9ABCDEF0, 1, {1})},
        ClassicCase{"TopExtendedId", make_frame(CanId::extended(0x1FFFFFFF), counting(8)),
                    record(kClassic, 0x9FFFFFFF, 8, counting(8))},
        ClassicCase{"BrsIgnored", make_frame(CanId::standard(0x010), counting(4), false, true),
                    record(kClassic, 0x010, 4, counting(4))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vcan, RefusedFramesNeverReachTheBus) {
    EXPECT_EQ(bus_->send(make_frame(CanId::standard(0x800), {})).error().kind(), Kind::InvalidId);
    EXPECT_EQ(bus_->send(make_frame(CanId::extended(0x20000000), {})).error().kind(), Kind::InvalidId);
    EXPECT_EQ(bus_->send(make_frame(CanId::standard(0x123), counting(9))).error().kind(), Kind::FrameTooLarge);
    EXPECT_EQ(bus_->send(make_frame(CanId::standard(0x123), counting(64))).error().kind(),
              Kind::FrameTooLarge);
    // The marker that follows is the first thing the bus sees.
    ASSERT_TRUE(bus_->send(make_frame(CanId::standard(0x5A5), {0x5A})).ok());
    EXPECT_EQ(hex(observe()), hex(record(kClassic, 0x5A5, 1, {0x5A})));
}

class VcanFdWrite : public Vcan, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(VcanFdWrite, RoundedAndPaddedAsSeenOnTheBus) {
    require_fd();
    const std::size_t n = GetParam();
    static const std::uint8_t kLen[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  12, 12, 12, 12, 16, 16, 16, 16,
                                          20, 20, 20, 20, 24, 24, 24, 24, 32, 32, 32, 32, 32, 32, 32, 32, 48,
                                          48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 64, 64,
                                          64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64};
    static_assert(sizeof kLen == 65, "one length for every payload size 0..64");
    const bool brs = n % 2 == 0;
    const Bytes payload = counting(n, 0x80);
    auto sent = bus_->send(make_frame(CanId::extended(0x1ABCDEF0), payload, true, brs));
    ASSERT_TRUE(sent.ok()) << sent.error().message();
    const Bytes seen = observe();
    ASSERT_EQ(seen.size(), kFd) << hex(seen);
    EXPECT_EQ(seen[4], kLen[n]) << "len";
    EXPECT_EQ(hex(seen), hex(record(kFd, 0x9ABCDEF0, kLen[n], payload, brs ? 0x05 : 0x04)));
}

INSTANTIATE_TEST_SUITE_P(Payloads, VcanFdWrite, ::testing::Range<std::size_t>(0, 65),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

// ---------------------------------------------------------------- read frames

TEST_F(Vcan, BatchOfClassicAndFdFramesArrivesWholeAndInOrder) {
    require_fd();
    auto opened = SocketCanTransport::open(iface());
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    std::unique_ptr<SocketCanTransport> reader = std::move(opened).value();
    std::vector<CanFrame> frames;
    for (std::uint32_t i = 0; i < 40; ++i) {  // more than one system call's batch
        frames.push_back(make_frame(CanId::standard(0x100 + i), counting(i % 2 ? 8 : 12), i % 2 == 0, i % 4 == 0));
    }
    const transport::BatchSent sent = bus_->send_batch(frames.data(), frames.size());
    ASSERT_FALSE(sent.error.has_value()) << sent.error->message();
    ASSERT_EQ(sent.sent, frames.size());
    std::vector<CanFrame> got;
    transport::PollWaiter waiter;
    transport::CanTransport* buses[] = {reader.get()};
    const transport::Instant deadline = transport::Instant::now().saturating_add(Duration::from_millis(5000));
    while (got.size() < frames.size() && transport::Instant::now() < deadline) {
        ASSERT_TRUE(waiter.wait(buses, 1, deadline).ok());
        CanFrame batch[32];
        auto n = reader->try_recv(batch, 32);
        ASSERT_TRUE(n.ok()) << n.error().message();
        got.insert(got.end(), batch, batch + n.value());
    }
    ASSERT_EQ(got.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_TRUE(same_frame(got[i], frames[i])) << i;
}

struct ReadCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const ReadCase& c) { return os << c.name; }
    Bytes record;
    CanFrame want;
    bool fd;
};

class VcanRead : public Vcan, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(VcanRead, DecodedAsWritten) {
    const ReadCase& c = GetParam();
    if (c.fd) require_fd();
    inject(c.record);
    auto got = bus_->recv(Duration::from_millis(2000));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), c.want));
}

INSTANTIATE_TEST_SUITE_P(
    Records, VcanRead,
    ::testing::Values(
        ReadCase{"StandardData", record(kClassic, 0x123, 3, counting(8)),
                 make_frame(CanId::standard(0x123), counting(3)), false},
        ReadCase{"ExtendedData", record(kClassic, 0x9ABCDEF0, 8, counting(8)),
                 make_frame(CanId::extended(0x1ABCDEF0), counting(8)), false},
        ReadCase{"Remote", record(kClassic, 0x40000123, 4, counting(8)),
                 remote_frame(CanId::standard(0x123), counting(4)), false},
        ReadCase{"RemoteExtended", record(kClassic, 0xC0000456, 0, {}), remote_frame(CanId::extended(0x456), {}),
                 false},
        ReadCase{"FdWithBrs", record(kFd, 0x123, 12, counting(12), CANFD_FDF | CANFD_BRS),
                 make_frame(CanId::standard(0x123), counting(12), true, true), true},
        ReadCase{"FdWithoutBrs", record(kFd, 0x123, 64, counting(64), CANFD_FDF),
                 make_frame(CanId::standard(0x123), counting(64), true, false), true},
        ReadCase{"FdExtendedBrs", record(kFd, 0x9ABCDEF0, 48, counting(48), CANFD_FDF | CANFD_BRS),
                 make_frame(CanId::extended(0x1ABCDEF0), counting(48), true, true), true},
        ReadCase{"FdEmpty", record(kFd, 0x7FF, 0, {}, CANFD_FDF), make_frame(CanId::standard(0x7FF), {}, true),
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vcan, ErrorFramesAreNotDeliveredWithoutAnErrorMask) {
    // The transport sets no error mask, so the kernel keeps error frames
    // from it: the data frame behind one is the next thing it reads.
    inject(record(kClassic, CAN_ERR_FLAG | CAN_ERR_CRTL, CAN_ERR_DLC, counting(8)));
    inject(record(kClassic, 0x321, 1, {0x21}));
    auto got = bus_->recv(Duration::from_millis(2000));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(CanId::standard(0x321), {0x21})));
}

TEST_F(Vcan, ErrorFramesCarryAllEightBytes) {
    // With an error mask put on the transport's socket here, error frames
    // arrive and are decoded: all 8 data bytes, the flags out of the id.
    const can_err_mask_t mask = CAN_ERR_MASK;
    ASSERT_EQ(setsockopt(bus_->fd(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask), 0) << os_text(errno);
    struct Case {
        std::uint32_t can_id;
        std::uint8_t len;
        CanId id;
    };
    const Case cases[] = {{CAN_ERR_FLAG | CAN_ERR_CRTL, 2, CanId::standard(0x004)},
                          {CAN_ERR_FLAG | 0x0FFF, 0, CanId::standard(0x7FF)},
                          {CAN_ERR_FLAG | CAN_RTR_FLAG | CAN_ERR_BUSOFF, 1, CanId::standard(0x040)},
                          {CAN_ERR_FLAG | CAN_EFF_FLAG | 0x00012345, 8, CanId::extended(0x00012345)}};
    for (const Case& c : cases) {
        inject(record(kClassic, c.can_id, c.len, counting(8, 0x90)));
        auto got = bus_->recv(Duration::from_millis(2000));
        ASSERT_TRUE(got.ok()) << got.error().message();
        EXPECT_TRUE(same_frame(got.value(), error_frame(c.id, counting(8, 0x90)))) << std::hex << c.can_id;
    }
}

TEST_F(Vcan, ReceiveTimeoutIsSetOnTheSocket) {
    inject(record(kClassic, 0x001, 0, {}));
    ASSERT_TRUE(bus_->recv(Duration{1, 500000000}).ok());
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(bus_->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
}

TEST_F(Vcan, QuietBusTimesOut) {
    const auto t0 = steady_clock::now();
    auto got = bus_->recv(Duration::from_millis(50));
    const auto took = steady_clock::now() - t0;
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_GE(took, milliseconds(30));
    EXPECT_LT(took, seconds(2));
}

// ---------------------------------------------------------------- request

const CanId kCommand = CanId::standard(0x010);
const CanId kReply = CanId::standard(0x012);

TEST_F(Vcan, RequestAgainstAResponder) {
    const int responder_fd = open_raw(iface());
    ASSERT_GE(responder_fd, 0) << os_text(errno);
    std::string responder_error;
    std::thread responder([&] {
        std::uint8_t buf[128];
        Bytes command;
        while (command.empty()) {
            const ssize_t n = ::recv(responder_fd, buf, sizeof buf, 0);
            if (n < 0) {
                responder_error = "no command within 2 s: " + os_text(errno);
                return;
            }
            if (n == static_cast<ssize_t>(kClassic) && can_id_of(Bytes(buf, buf + 4)) == 0x010) {
                command.assign(buf + 8, buf + 8 + buf[4]);
            }
        }
        Bytes answer(command.rbegin(), command.rend());
        const Bytes out[] = {record(kClassic, 0x011, 1, {0xF1}),                 // another device
                             record(kClassic, CAN_EFF_FLAG | 0x012, 1, {0xF2}),  // same value, extended
                             record(kClassic, 0x013, 2, {0xF3, 0xF3}),
                             record(kClassic, 0x012, static_cast<std::uint8_t>(answer.size()), answer),
                             record(kClassic, 0x012, 1, {0xEE})};  // a later matching frame
        for (const Bytes& r : out) {
            if (::write(responder_fd, r.data(), r.size()) != static_cast<ssize_t>(r.size())) {
                responder_error = "write: " + os_text(errno);
                return;
            }
        }
    });

    auto got = request(*bus_, make_frame(kCommand, {1, 2, 3, 4, 5, 6, 7, 8}), kReply, Duration::from_millis(2000));
    responder.join();
    close(responder_fd);
    ASSERT_TRUE(responder_error.empty()) << responder_error;
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(kReply, {8, 7, 6, 5, 4, 3, 2, 1})));

    // The foreign frames are gone; the later matching one is still queued.
    auto later = bus_->recv(Duration::from_millis(2000));
    ASSERT_TRUE(later.ok()) << later.error().message();
    EXPECT_TRUE(same_frame(later.value(), make_frame(kReply, {0xEE})));
    auto none = bus_->recv(Duration::from_millis(50));
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().kind(), Kind::Timeout);
}

TEST_F(Vcan, ReplyQueuedBeforeTheRequestIsTaken) {
    inject(record(kClassic, 0x012, 2, {0x0A, 0x0B}));
    // Make sure the frame has reached the transport's socket queue.
    std::this_thread::sleep_for(milliseconds(20));
    auto got = request(*bus_, make_frame(kCommand, {0xC0}), kReply, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(kReply, {0x0A, 0x0B})));
    EXPECT_EQ(hex(observe()), hex(record(kClassic, 0x010, 1, {0xC0})));
}

TEST_F(Vcan, ZeroTimeoutRequestSendsWithoutReading) {
    inject(record(kClassic, 0x012, 1, {0x33}));
    std::this_thread::sleep_for(milliseconds(20));
    auto got = request(*bus_, make_frame(kCommand, {0xC1}), kReply, Duration{});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_EQ(hex(observe()), hex(record(kClassic, 0x010, 1, {0xC1})));
    auto waiting = bus_->recv(Duration::from_millis(500));
    ASSERT_TRUE(waiting.ok()) << waiting.error().message();
    EXPECT_TRUE(same_frame(waiting.value(), make_frame(kReply, {0x33})));
}

TEST_F(Vcan, RequestTimesOutAtTheDeadlineOnAQuietBus) {
    const auto t0 = steady_clock::now();
    auto got = request(*bus_, make_frame(kCommand, {1}), kReply, Duration::from_millis(100));
    const auto took = steady_clock::now() - t0;
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_GE(took, milliseconds(80));
    EXPECT_LT(took, seconds(2));
}

TEST_F(Vcan, RequestTimesOutAtTheDeadlineOnABusyBus) {
    // Foreign traffic every millisecond never ends the wait early nor
    // stretches it past the deadline.
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread flood([&] {
        const Bytes foreign = record(kClassic, 0x013, 8, counting(8));
        const auto end = steady_clock::now() + seconds(3);
        while (!stop && steady_clock::now() < end) {
            if (::write(peer_, foreign.data(), foreign.size()) == static_cast<ssize_t>(foreign.size())) {
                written.fetch_add(1);
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    // The flood is running before the request starts (bounded wait).
    for (int i = 0; i < 2000 && written.load() == 0; ++i) std::this_thread::sleep_for(milliseconds(1));
    const auto t0 = steady_clock::now();
    auto got = request(*bus_, make_frame(kCommand, {1}), kReply, Duration::from_millis(100));
    const auto took = steady_clock::now() - t0;
    stop = true;
    flood.join();
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout) << got.error().message();
    EXPECT_GE(took, milliseconds(80));
    EXPECT_LT(took, seconds(2));
    EXPECT_GT(written.load(), 0);
}

// ---------------------------------------------------------------- interface down

TEST_F(Vcan, InterfaceDownWhileWaitingIsABackendError) {
    LinkUpAtExit restore;
    std::atomic<int> down_error{-1};
    std::thread admin([&] {
        std::this_thread::sleep_for(milliseconds(200));  // the read is waiting by now
        down_error = set_link(iface(), false);
    });
    const auto t0 = steady_clock::now();
    auto got = bus_->recv(Duration::from_millis(5000));
    const auto took = steady_clock::now() - t0;
    admin.join();
    ASSERT_EQ(down_error.load(), 0) << "could not take " << iface() << " down: " << os_text(down_error.load());

    ASSERT_FALSE(got.ok()) << "a frame arrived";
    EXPECT_EQ(got.error().kind(), Kind::Backend);
    EXPECT_EQ(got.error().message(), "backend error: Network is down (os error 100)");
    EXPECT_LT(took, seconds(4)) << "the error did not end the wait";

    auto sent = bus_->send(make_frame(kCommand, {1}));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().message(), "backend error: Network is down (os error 100)");

    const int up_error = set_link(iface(), true);
    ASSERT_EQ(up_error, 0) << "could not bring " << iface() << " up: " << os_text(up_error);
    // The old second socket carries the same error; a fresh one is clean.
    close(peer_);
    peer_ = open_raw(iface());
    ASSERT_GE(peer_, 0) << os_text(errno);

    inject(record(kClassic, 0x012, 1, {0x99}));
    auto after = bus_->recv(Duration::from_millis(2000));
    ASSERT_TRUE(after.ok()) << after.error().message();
    EXPECT_TRUE(same_frame(after.value(), make_frame(kReply, {0x99})));
    ASSERT_TRUE(bus_->send(make_frame(kCommand, {0x98})).ok());
    EXPECT_EQ(hex(observe()), hex(record(kClassic, 0x010, 1, {0x98})));
}

// ---------------------------------------------------------------- open and close

TEST_F(Vcan, OpenCloseCyclesLeakNoDescriptor) {
    const int before = open_fd_count();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 10000; ++i) {
        auto opened = SocketCanTransport::open(iface());
        ASSERT_TRUE(opened.ok()) << "cycle " << i << ": " << opened.error().text();
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(Vcan, FailedOpensLeakNoDescriptor) {
    const int before = open_fd_count();
    for (int i = 0; i < 50; ++i) {
        // lo exists but is no CAN interface: the bind is refused.
        auto lo = SocketCanTransport::open("lo");
        ASSERT_FALSE(lo.ok());
        EXPECT_NE(lo.error().code, 0) << lo.error().text();
        auto missing = SocketCanTransport::open("nonexistent0");
        ASSERT_FALSE(missing.ok());
        EXPECT_EQ(missing.error().text(), "No such device (os error 19)");
    }
    EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
}  // namespace rotalink::test
