// The request/reply exchange on an in-memory transport: identifier matching,
// what is read and what is left, the deadline and its remaining time; the
// transport's error texts; durations and the saturating deadline arithmetic.
#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "memory_transport.hpp"
#include "transport/can.hpp"
#include "transport/clock.hpp"

namespace rotalink::test {
namespace {

using transport::CanId;
using transport::Instant;
using transport::IoError;
using transport::request;
using Kind = TransportError::Kind;

const CanId kCommandId = CanId::standard(0x001);
const CanId kReplyId = CanId::standard(0x011);

CanFrame command() { return make_frame(kCommandId, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}); }
CanFrame reply(std::uint8_t marker) { return make_frame(kReplyId, {marker, 2, 3, 4, 5, 6, 7, 8}); }

// ---------------------------------------------------------------- matching

struct KindCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const KindCase& c) { return os << c.name; }
    CanId expected;
    CanId other_kind_same_value;
};

class RequestIdKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(RequestIdKind, SkipsTheSameValueOfTheOtherKind) {
    const KindCase& c = GetParam();
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(c.other_kind_same_value, {0xAA}));
    bus.arrive_after_send(make_frame(c.expected, {0xBB}));

    auto got = request(bus, command(), c.expected, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(c.expected, {0xBB})));
    EXPECT_EQ(bus.recv_calls(), 2u);
    EXPECT_EQ(bus.pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RequestIdKind,
    ::testing::Values(KindCase{"StandardSkipsExtended", CanId::standard(0x001), CanId::extended(0x001)},
                      KindCase{"ExtendedSkipsStandard", CanId::extended(0x001), CanId::standard(0x001)},
                      KindCase{"StandardZeroSkipsExtendedZero", CanId::standard(0), CanId::extended(0)},
                      KindCase{"Extended7FFSkipsStandard7FF", CanId::extended(0x7FF),
                               CanId::standard(0x7FF)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Request, SendsTheFrameOnceAndUnchanged) {
    MemoryTransport bus;
    bus.arrive_after_send(reply(1));
    const CanFrame out = make_frame(CanId::extended(0x1ABCDEF0), {1, 2, 3, 4, 5, 6, 7, 8, 9}, true, true);

    auto got = request(bus, out, kReplyId, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    ASSERT_EQ(bus.sent().size(), 1u);
    EXPECT_TRUE(same_frame(bus.sent()[0], out));
}

struct SendFailureCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const SendFailureCase& c) { return os << c.name; }
    TransportError error;
};

class RequestSendFailure : public ::testing::TestWithParam<SendFailureCase> {};

TEST_P(RequestSendFailure, ReturnsThatErrorAndReadsNothing) {
    const TransportError& error = GetParam().error;
    MemoryTransport bus;
    bus.queue(reply(1));  // a matching frame is waiting, and must stay there
    bus.fail_send(error);

    auto got = request(bus, command(), kReplyId, Duration::from_millis(500));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), error.kind());
    EXPECT_EQ(got.error().message(), error.message());
    EXPECT_EQ(bus.send_calls(), 1u);
    EXPECT_EQ(bus.recv_calls(), 0u);
    EXPECT_EQ(bus.pending(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RequestSendFailure,
    ::testing::Values(SendFailureCase{"NetworkDown", TransportError::backend(IoError::from_errno(ENETDOWN))},
                      SendFailureCase{"ShortWrite", TransportError::backend(
                                                        IoError::custom("failed to write whole buffer"))},
                      SendFailureCase{"InvalidId", TransportError::invalid_id()},
                      SendFailureCase{"FrameTooLarge", TransportError::frame_too_large(9)},
                      SendFailureCase{"Timeout", TransportError::timeout()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Request, ReplyQueuedBeforeTheSendIsTaken) {
    MemoryTransport bus;
    bus.queue(reply(1));  // e.g. a late reply to an earlier request
    bus.queue(reply(2));

    auto got = request(bus, command(), kReplyId, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), reply(1)));
    EXPECT_EQ(bus.recv_calls(), 1u);

    // The later matching frame stays queued for the next reader.
    auto next = bus.recv(Duration::from_millis(1));
    ASSERT_TRUE(next.ok());
    EXPECT_TRUE(same_frame(next.value(), reply(2)));
}

TEST(Request, ForeignFramesBeforeTheReplyAreConsumed) {
    MemoryTransport bus;
    const CanId foreign[10] = {CanId::standard(0x000), CanId::standard(0x010), CanId::standard(0x012),
                               CanId::standard(0x7FF), CanId::extended(0x011), CanId::extended(0x1FFFFFFF),
                               CanId::standard(0x111), CanId::extended(0x0),   CanId::standard(0x001),
                               CanId::standard(0x211)};
    for (const CanId& id : foreign) bus.arrive_after_send(make_frame(id, {0xEE}));
    bus.arrive_after_send(reply(1));
    const CanFrame after = make_frame(CanId::standard(0x300), {0x30});
    bus.arrive_after_send(after);

    auto got = request(bus, command(), kReplyId, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), reply(1)));
    EXPECT_EQ(bus.recv_calls(), 11u);

    // The ten are gone: the next reader sees what came after the reply.
    auto next = bus.recv(Duration::from_millis(1));
    ASSERT_TRUE(next.ok());
    EXPECT_TRUE(same_frame(next.value(), after));
    EXPECT_EQ(bus.pending(), 0u);
}

struct RecvErrorCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const RecvErrorCase& c) { return os << c.name; }
    TransportError error;
};

class RequestRecvError : public ::testing::TestWithParam<RecvErrorCase> {};

TEST_P(RequestRecvError, EndsTheRequestAtOnce) {
    const TransportError& error = GetParam().error;
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x222), {1}));
    bus.arrive_after_send_error(error);
    bus.arrive_after_send(reply(1));  // would match, but is never read

    auto got = request(bus, command(), kReplyId, Duration::from_millis(10000));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), error.kind());
    EXPECT_EQ(got.error().message(), error.message());
    EXPECT_EQ(bus.recv_calls(), 2u);
    EXPECT_EQ(bus.pending(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RequestRecvError,
    ::testing::Values(RecvErrorCase{"Timeout", TransportError::timeout()},
                      RecvErrorCase{"Interrupted", TransportError::backend(IoError::from_errno(EINTR))},
                      RecvErrorCase{"NetworkDown", TransportError::backend(IoError::from_errno(ENETDOWN))},
                      RecvErrorCase{"OddRecord", TransportError::backend(IoError::custom(
                                                     "received 10 bytes, which is neither a CAN frame (16) "
                                                     "nor a CAN FD frame (72)"))}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- deadline

struct ShortTimeoutCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const ShortTimeoutCase& c) { return os << c.name; }
    Duration timeout;
};

class RequestExpiredAtOnce : public ::testing::TestWithParam<ShortTimeoutCase> {};

// Under 1 us left counts as an expired deadline: the socket's receive
// time-out has microsecond resolution and zero would mean no limit at all.
TEST_P(RequestExpiredAtOnce, SendsThenTimesOutWithoutReading) {
    MemoryTransport bus;
    bus.queue(reply(1));

    auto got = request(bus, command(), kReplyId, GetParam().timeout);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(bus.recv_calls(), 0u);
    EXPECT_EQ(bus.pending(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, RequestExpiredAtOnce,
                         ::testing::Values(ShortTimeoutCase{"Zero", Duration{0, 0}},
                                           ShortTimeoutCase{"OneNanosecond", Duration{0, 1}},
                                           ShortTimeoutCase{"Just999Nanoseconds", Duration{0, 999}},
                                           ShortTimeoutCase{"ZeroMillis", Duration::from_millis(0)}),
                         [](const auto& info) { return std::string(info.param.name); });

// A clock that stands still until the test moves it: the deadline
// arithmetic is then the same on every machine, however busy.
struct FakeClock {
    std::uint64_t ns = 1000000000u;
    Instant operator()() const { return {ns}; }
};

struct RemainderCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const RemainderCase& c) { return os << c.name; }
    std::uint64_t left_ns;     // what the first recv leaves of the time it was given
    std::size_t recv_calls;  // 1: the remainder is never waited for
};

class RequestRemainder : public ::testing::TestWithParam<RemainderCase> {};

TEST_P(RequestRemainder, UnderOneMicrosecondIsNotWaitedFor) {
    // The recv uses up all but `left_ns` of the time it was given, then hands
    // back a foreign frame. A remainder under 1 us never reaches recv; a
    // second recv is given exactly what is left and ends the exchange with a
    // Backend error instead of looping.
    const RemainderCase& c = GetParam();
    FakeClock clock;
    MemoryTransport bus;
    int calls = 0;
    bus.when_empty([&](Duration timeout) -> MemoryTransport::RecvResult {
        if (++calls > 1) return err(TransportError::backend(IoError::custom("read the remainder")));
        clock.ns += timeout.total_nanos_saturated() - c.left_ns;
        return make_frame(CanId::standard(0x222), {1});
    });

    auto got = request(bus, command(), kReplyId, Duration::from_millis(2), [&clock] { return clock(); });
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(bus.recv_calls(), c.recv_calls);
    ASSERT_GE(bus.recv_timeouts().size(), 1u);
    EXPECT_TRUE(bus.recv_timeouts()[0] == Duration::from_millis(2));
    if (c.recv_calls == 1) {
        EXPECT_EQ(got.error().kind(), Kind::Timeout) << got.error().message();
    } else {
        EXPECT_EQ(got.error().message(), "backend error: read the remainder");
        EXPECT_TRUE((bus.recv_timeouts()[1] == Duration{0, static_cast<std::uint32_t>(c.left_ns)}));
    }
}

INSTANTIATE_TEST_SUITE_P(Remainders, RequestRemainder,
                         ::testing::Values(RemainderCase{"NineHundredNinetyNanoseconds", 990, 1},
                                           RemainderCase{"NineHundredNinetyNine", 999, 1},
                                           RemainderCase{"OneMicrosecondIsWaitedFor", 1000, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ReplyShapeCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const ReplyShapeCase& c) { return os << c.name; }
    CanFrame reply;
};

class RequestReplyShape : public ::testing::TestWithParam<ReplyShapeCase> {};

TEST_P(RequestReplyShape, ReplyIsReturnedUnchanged) {
    const CanFrame& want = GetParam().reply;
    MemoryTransport bus;
    bus.arrive_after_send(want);

    auto got = request(bus, command(), want.id, Duration::from_millis(500));
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), want));
}

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(0xA0 + i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RequestReplyShape,
    ::testing::Values(ReplyShapeCase{"ClassicEightBytes", make_frame(kReplyId, counting(8))},
                      ReplyShapeCase{"ClassicEmpty", make_frame(kReplyId, {})},
                      ReplyShapeCase{"ClassicShort", make_frame(kReplyId, {0x00, 0xFF})},
                      ReplyShapeCase{"FdSixtyFourWithBrs", make_frame(kReplyId, counting(64), true, true)},
                      ReplyShapeCase{"FdTwelveWithoutBrs", make_frame(kReplyId, counting(12), true, false)},
                      ReplyShapeCase{"FdOddLength", make_frame(kReplyId, counting(9), true, true)},
                      ReplyShapeCase{"ExtendedFd", make_frame(CanId::extended(0x1ABCDEF0), counting(3), true)}),
    [](const auto& info) { return std::string(info.param.name); });

struct BusyBusCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const BusyBusCase& c) { return os << c.name; }
    std::uint64_t timeout_ms;
    std::uint64_t per_frame_ns;  // how long each foreign frame takes to arrive
};

class RequestBusyBus : public ::testing::TestWithParam<BusyBusCase> {};

// Foreign traffic that never stops: the request still ends at its deadline,
// and every wait it hands to recv is within what is left.
TEST_P(RequestBusyBus, EndsAtTheDeadline) {
    const BusyBusCase& c = GetParam();
    FakeClock clock;
    const std::uint64_t start = clock.ns;
    MemoryTransport bus;
    bus.when_empty([&](Duration timeout) -> MemoryTransport::RecvResult {
        clock.ns += std::min(c.per_frame_ns, timeout.total_nanos_saturated());
        return make_frame(CanId::standard(0x222), {1, 2});
    });

    auto got = request(bus, command(), kReplyId, Duration::from_millis(c.timeout_ms), [&clock] { return clock(); });
    const std::uint64_t took = clock.ns - start;

    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    const std::uint64_t requested = Duration::from_millis(c.timeout_ms).total_nanos_saturated();
    EXPECT_GT(took + 1000, requested);  // ended with under 1 us left
    EXPECT_LE(took, requested);
    ASSERT_GT(bus.recv_calls(), 1u);
    EXPECT_EQ(bus.recv_calls(), (requested + c.per_frame_ns - 1000) / c.per_frame_ns);

    std::uint64_t previous = requested;
    for (std::size_t i = 0; i < bus.recv_calls(); ++i) {
        const std::uint64_t t = bus.recv_timeouts()[i].total_nanos_saturated();
        ASSERT_LE(t, previous) << "recv " << i << " was given more time than the one before";
        ASSERT_GE(t, 1000u) << "recv " << i << " was given under 1 us";
        ASSERT_LT(bus.recv_timeouts()[i].nanos, 1000000000u);
        previous = t;
    }
    EXPECT_EQ(bus.recv_timeouts()[0].total_nanos_saturated(), requested);
}

INSTANTIATE_TEST_SUITE_P(Traffic, RequestBusyBus,
                         ::testing::Values(BusyBusCase{"FrameEveryMillisecond", 50, 1000000},
                                           BusyBusCase{"FramesBackToBack", 20, 1000},
                                           BusyBusCase{"FramesAtAnOddPace", 7, 333333}),
                         [](const auto& info) { return std::string(info.param.name); });

struct HugeCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const HugeCase& c) { return os << c.name; }
    Duration timeout;
};

class RequestHugeTimeout : public ::testing::TestWithParam<HugeCase> {};

// A deadline past the clock's range saturates instead of wrapping round to
// the past: recv is asked to wait for about the rest of the clock's range.
TEST_P(RequestHugeTimeout, SaturatesInsteadOfWrapping) {
    MemoryTransport bus;
    bus.arrive_after_send(reply(1));

    // An hour into the clock's range: the wait is the rest of the range.
    const FakeClock clock{3600000000000u};
    auto got = request(bus, command(), kReplyId, GetParam().timeout, clock);
    ASSERT_TRUE(got.ok()) << got.error().message();
    ASSERT_EQ(bus.recv_calls(), 1u);
    EXPECT_TRUE(bus.recv_timeouts()[0] == Duration::from_nanos(UINT64_MAX - clock.ns));
    EXPECT_EQ(bus.recv_timeouts()[0].secs, 18446740473u);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, RequestHugeTimeout,
    ::testing::Values(HugeCase{"MaxMillis", Duration{UINT64_MAX / 1000, 0}},
                      HugeCase{"FromMillisMax", Duration::from_millis(UINT64_MAX)},
                      HugeCase{"MaxSeconds", Duration{UINT64_MAX, 999999999}},
                      HugeCase{"JustPastTheNanosecondRange", Duration{18446744073u, 709551615u}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AwaitFrame, MatchesByThePredicateAndDropsTheRest) {
    MemoryTransport bus;
    bus.queue(make_frame(CanId::standard(0x7FF), {0x01}));
    bus.queue(make_frame(CanId::standard(0x7FF), {0x02, 0x00}));
    bus.queue(make_frame(CanId::standard(0x7FF), {0x03}));

    auto got = transport::await_frame(bus, Duration::from_millis(500),
                                      [](const CanFrame& f) { return f.data.size() == 2; });
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_TRUE(same_frame(got.value(), make_frame(CanId::standard(0x7FF), {0x02, 0x00})));
    EXPECT_EQ(bus.recv_calls(), 2u);
    EXPECT_EQ(bus.pending(), 1u);
}

TEST(AwaitFrame, ZeroTimeoutNeverReads) {
    MemoryTransport bus;
    bus.queue(reply(1));
    int asked = 0;
    auto got = transport::await_frame(bus, Duration{}, [&asked](const CanFrame&) { return ++asked, true; });
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), Kind::Timeout);
    EXPECT_EQ(bus.recv_calls(), 0u);
    EXPECT_EQ(asked, 0);
}

// ---------------------------------------------------------------- error texts

struct TextCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const TextCase& c) { return os << c.name; }
    TransportError error;
    Kind kind;
    const char* text;
};

class TransportErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(TransportErrorText, Displays) {
    const TextCase& c = GetParam();
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TransportErrorText,
    ::testing::Values(
        TextCase{"NoSuchDevice", TransportError::backend(IoError::from_errno(ENODEV)), Kind::Backend,
                 "backend error: No such device (os error 19)"},
        TextCase{"NetworkDown", TransportError::backend(IoError::from_errno(ENETDOWN)), Kind::Backend,
                 "backend error: Network is down (os error 100)"},
        TextCase{"Interrupted", TransportError::backend(IoError::from_errno(EINTR)), Kind::Backend,
                 "backend error: Interrupted system call (os error 4)"},
        TextCase{"UnknownErrno", TransportError::backend(IoError::from_errno(9999)), Kind::Backend,
                 "backend error: Unknown error 9999 (os error 9999)"},
        TextCase{"ShortWrite", TransportError::backend(IoError::custom("failed to write whole buffer")),
                 Kind::Backend, "backend error: failed to write whole buffer"},
        TextCase{"Timeout", TransportError::timeout(), Kind::Timeout, "timeout waiting for frame"},
        TextCase{"ClassicTooLarge", TransportError::frame_too_large(9), Kind::FrameTooLarge,
                 "frame too large for selected mode: 9 bytes"},
        TextCase{"FdTooLarge", TransportError::frame_too_large(65), Kind::FrameTooLarge,
                 "frame too large for selected mode: 65 bytes"},
        TextCase{"InvalidId", TransportError::invalid_id(), Kind::InvalidId, "invalid CAN id"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransportErrorText, CarriesItsPayload) {
    EXPECT_EQ(TransportError::frame_too_large(65).length(), 65u);
    EXPECT_EQ(TransportError::backend(IoError::from_errno(ENODEV)).io().code, ENODEV);
    EXPECT_EQ(IoError::from_errno(ENODEV).text(), "No such device (os error 19)");
    EXPECT_EQ(IoError::custom("failed to write whole buffer").text(), "failed to write whole buffer");
}

// ---------------------------------------------------------------- durations

struct MillisCase {
    std::uint64_t ms;
    std::uint64_t secs;
    std::uint32_t nanos;
    friend std::ostream& operator<<(std::ostream& os, const MillisCase& c) { return os << c.ms << " ms"; }
};

class DurationFromMillis : public ::testing::TestWithParam<MillisCase> {};

TEST_P(DurationFromMillis, SplitsIntoSecondsAndNanoseconds) {
    const MillisCase& c = GetParam();
    const Duration d = Duration::from_millis(c.ms);
    EXPECT_EQ(d.secs, c.secs);
    EXPECT_EQ(d.nanos, c.nanos);
}

INSTANTIATE_TEST_SUITE_P(Values, DurationFromMillis,
                         ::testing::Values(MillisCase{1500, 1, 500000000}, MillisCase{0, 0, 0},
                                           MillisCase{20, 0, 20000000}, MillisCase{999, 0, 999000000},
                                           MillisCase{1000, 1, 0},
                                           MillisCase{UINT64_MAX, 18446744073709551u, 615000000}));

struct NanosCase {
    Duration d;
    std::uint64_t total;
    friend std::ostream& operator<<(std::ostream& os, const NanosCase& c) {
        return os << c.d.secs << " s " << c.d.nanos << " ns";
    }
};

class DurationTotalNanos : public ::testing::TestWithParam<NanosCase> {};

TEST_P(DurationTotalNanos, SaturatesAtTheTop) {
    EXPECT_EQ(GetParam().d.total_nanos_saturated(), GetParam().total);
}

INSTANTIATE_TEST_SUITE_P(Values, DurationTotalNanos,
                         ::testing::Values(NanosCase{{0, 0}, 0}, NanosCase{{1, 500000000}, 1500000000u},
                                           NanosCase{{18446744073u, 709551615u}, UINT64_MAX},
                                           NanosCase{{18446744073u, 709551614u}, UINT64_MAX - 1},
                                           NanosCase{{18446744073u, 709551616u}, UINT64_MAX},
                                           NanosCase{{18446744074u, 0}, UINT64_MAX},
                                           NanosCase{{UINT64_MAX, 999999999}, UINT64_MAX}));

TEST(DurationFromNanos, SplitsIntoSecondsAndNanoseconds) {
    EXPECT_TRUE((Duration::from_nanos(1500000000u) == Duration{1, 500000000}));
    EXPECT_TRUE((Duration::from_nanos(999) == Duration{0, 999}));
    EXPECT_TRUE((Duration::from_nanos(UINT64_MAX) == Duration{18446744073u, 709551615u}));
}

struct AddCase {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const AddCase& c) { return os << c.name; }
    std::uint64_t start;
    Duration add;
    std::uint64_t result;
};

class InstantSaturatingAdd : public ::testing::TestWithParam<AddCase> {};

TEST_P(InstantSaturatingAdd, AddsOrStopsAtTheEndOfTheRange) {
    const AddCase& c = GetParam();
    EXPECT_EQ(Instant{c.start}.saturating_add(c.add).ns, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Values, InstantSaturatingAdd,
    ::testing::Values(AddCase{"Plain", 100, {1, 5}, 1000000105u}, AddCase{"Zero", 42, {0, 0}, 42},
                      AddCase{"ExactlyToTheEnd", UINT64_MAX - 10, {0, 10}, UINT64_MAX},
                      AddCase{"PastTheEnd", UINT64_MAX - 10, {0, 11}, UINT64_MAX},
                      AddCase{"MaxMillisFromZero", 0, {UINT64_MAX / 1000, 0}, UINT64_MAX},
                      AddCase{"MaxMillisFromAnHourIn", 3600000000000u, {UINT64_MAX / 1000, 0}, UINT64_MAX},
                      AddCase{"MaxEverything", UINT64_MAX, {UINT64_MAX, 999999999}, UINT64_MAX}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstantRemaining, IsZeroOnceTheDeadlineHasPassed) {
    const Instant deadline{5000000000u};
    EXPECT_TRUE((deadline.remaining_from(Instant{3500000000u}) == Duration{1, 500000000}));
    EXPECT_TRUE((deadline.remaining_from(Instant{4999999999u}) == Duration{0, 1}));
    EXPECT_TRUE((deadline.remaining_from(Instant{5000000000u}) == Duration{}));
    EXPECT_TRUE((deadline.remaining_from(Instant{9000000000u}) == Duration{}));
    EXPECT_TRUE((Instant{UINT64_MAX}.remaining_from(Instant{0}) == Duration{18446744073u, 709551615u}));
}

}  // namespace
}  // namespace rotalink::test
