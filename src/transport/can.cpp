#include "transport/can.hpp"

#include <string.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace rotalink::transport {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); either way the result is the C library's description.
[[maybe_unused]] const char* description(char* result, char*) { return result; }
[[maybe_unused]] const char* description(int, char* buf) { return buf; }

}  // namespace

std::string IoError::text() const {
    if (code == 0) return message;
    char buf[256] = {0};
    const char* desc = description(strerror_r(code, buf, sizeof buf), buf);
    return std::string(desc) + " (os error " + std::to_string(code) + ")";
}

std::string TransportError::message() const {
    switch (kind_) {
        case Kind::Backend:
            return "backend error: " + io_.text();
        case Kind::Timeout:
            return "timeout waiting for frame";
        case Kind::FrameTooLarge:
            return "frame too large for selected mode: " + std::to_string(len_) + " bytes";
        case Kind::InvalidId:
            return "invalid CAN id";
    }
    ROTALINK_PANIC("unknown transport error kind");
}

Instant Instant::now() {
    timespec ts{};
    ROTALINK_ASSERT(clock_gettime(CLOCK_MONOTONIC, &ts) == 0, "the monotonic clock is unavailable");
    return {static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec)};
}

void sleep_for(Duration d) {
    std::this_thread::sleep_for(std::chrono::seconds(d.secs) + std::chrono::nanoseconds(d.nanos));
}

const std::string& CanTransport::iface() const {
    static const std::string none;
    return none;
}

BatchSent CanTransport::send_batch(const CanFrame* frames, std::size_t n) {
    BatchSent out;
    for (; out.sent < n; ++out.sent) {
        Result<Unit, TransportError> r = send(frames[out.sent]);
        if (!r.ok()) {
            out.error = std::move(r).error();
            break;
        }
    }
    return out;
}

namespace {
const char kNoTryRecv[] = "this transport cannot read without waiting";
}  // namespace

Result<std::size_t, TransportError> CanTransport::try_recv(CanFrame*, std::size_t) {
    return err(TransportError::backend(IoError::custom(kNoTryRecv)));
}

Result<std::size_t, TransportError> discard_queued(CanTransport& bus, std::size_t limit) {
    constexpr std::size_t kBatch = 32;
    CanFrame buf[kBatch];
    std::size_t discarded = 0;
    while (discarded < limit) {
        Result<std::size_t, TransportError> got = bus.try_recv(buf, kBatch);
        if (!got.ok()) {
            const TransportError& e = got.error();
            const bool unsupported = e.kind() == TransportError::Kind::Backend && e.io().code == 0 &&
                                     e.io().message == kNoTryRecv;
            if (unsupported) return discarded;
            return err(std::move(got).error());
        }
        discarded += got.value();
        if (got.value() < kBatch) break;
    }
    return discarded;
}

Result<CanFrame, TransportError> request(CanTransport& bus, const CanFrame& frame, CanId expected,
                                         Duration timeout) {
    return request(bus, frame, expected, timeout, &Instant::now);
}

}  // namespace rotalink::transport
