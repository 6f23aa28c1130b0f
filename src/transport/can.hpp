// CAN identifiers and frames, the transport's error type, durations, and the
// transport interface with its request/reply exchange.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/panic.hpp"
#include "support/result.hpp"
#include "transport/clock.hpp"

namespace rotalink::transport {

enum class IdKind : std::uint8_t { Standard, Extended };

// A CAN identifier; equal only when kind and value are equal. Ranges are
// checked by `send`, not here.
struct CanId {
    IdKind kind = IdKind::Standard;
    std::uint32_t value = 0;

    static constexpr CanId standard(std::uint32_t v) { return {IdKind::Standard, v}; }
    static constexpr CanId extended(std::uint32_t v) { return {IdKind::Extended, v}; }
    // 0x000..0x7FF for standard, 0x00000000..0x1FFFFFFF for extended.
    constexpr bool in_range() const {
        return kind == IdKind::Standard ? value <= 0x7FFu : value <= 0x1FFFFFFFu;
    }
    friend constexpr bool operator==(CanId a, CanId b) {
        return a.kind == b.kind && a.value == b.value;
    }
    friend constexpr bool operator!=(CanId a, CanId b) { return !(a == b); }
};

// A frame's payload: up to 64 bytes, the most a CAN FD frame carries, held
// in the frame itself, so that making, copying or dropping a frame never
// allocates. Putting more than 64 bytes into it is an internal fault.
class FrameData {
public:
    static constexpr std::size_t kCapacity = 64;
    using value_type = std::uint8_t;
    using iterator = std::uint8_t*;
    using const_iterator = const std::uint8_t*;

    FrameData() = default;
    FrameData(std::initializer_list<std::uint8_t> bytes) { assign(bytes.begin(), bytes.end()); }
    template <class It, class = decltype(*std::declval<It>())>
    FrameData(It first, It last) {
        assign(first, last);
    }
    FrameData(const std::vector<std::uint8_t>& bytes) { assign(bytes.begin(), bytes.end()); }

    template <class It>
    void assign(It first, It last) {
        len_ = 0;
        for (; first != last; ++first) push_back(static_cast<std::uint8_t>(*first));
    }
    // Contiguous bytes (a received record, another payload): one copy.
    void assign(const std::uint8_t* first, const std::uint8_t* last) {
        const std::size_t n = static_cast<std::size_t>(last - first);
        ROTALINK_ASSERT(n <= kCapacity, "a CAN frame carries at most 64 data bytes");
        if (n > 0) std::memcpy(bytes_, first, n);
        len_ = static_cast<std::uint8_t>(n);
    }
    void push_back(std::uint8_t b) {
        ROTALINK_ASSERT(len_ < kCapacity, "a CAN frame carries at most 64 data bytes");
        bytes_[len_++] = b;
    }
    // Sets the length; new bytes are zero.
    void resize(std::size_t n) {
        ROTALINK_ASSERT(n <= kCapacity, "a CAN frame carries at most 64 data bytes");
        for (std::size_t i = len_; i < n; ++i) bytes_[i] = 0;
        len_ = static_cast<std::uint8_t>(n);
    }
    void clear() { len_ = 0; }

    std::size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }
    iterator begin() { return bytes_; }
    iterator end() { return bytes_ + len_; }
    const_iterator begin() const { return bytes_; }
    const_iterator end() const { return bytes_ + len_; }

    friend bool operator==(const FrameData& a, const FrameData& b) {
        return a.len_ == b.len_ && std::equal(a.begin(), a.end(), b.begin());
    }
    friend bool operator!=(const FrameData& a, const FrameData& b) { return !(a == b); }
    friend bool operator==(const FrameData& a, const std::vector<std::uint8_t>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
    friend bool operator==(const std::vector<std::uint8_t>& a, const FrameData& b) { return b == a; }
    friend bool operator!=(const FrameData& a, const std::vector<std::uint8_t>& b) { return !(a == b); }
    friend bool operator!=(const std::vector<std::uint8_t>& a, const FrameData& b) { return !(b == a); }

private:
    std::uint8_t bytes_[kCapacity] = {};
    std::uint8_t len_ = 0;
};

// One frame: classic (at most 8 data bytes) or CAN FD (at most 64, with the
// bit-rate switch flag). A plain value: it owns its payload.
//
// `remote` and `error` only describe received classic frames: a remote
// request (RTR) or an error frame the controller reported, which arrive with
// the identifier and bytes of a data frame. A send ignores them: the
// transport writes data frames only.
struct CanFrame {
    CanId id;
    FrameData data;
    bool fd = false;
    bool brs = false;
    bool remote = false;
    bool error = false;
};

// An operating-system I/O error: an error number, or a message of its own.
struct IoError {
    int code = 0;         // errno, or 0 when the error carries `message`
    std::string message;  // used only when code is 0

    static IoError from_errno(int code) { return {code, {}}; }
    static IoError custom(std::string message) { return {0, std::move(message)}; }
    // "{description} (os error {n})" or the message.
    std::string text() const;
};

class TransportError {
public:
    enum class Kind : std::uint8_t { Backend, Timeout, FrameTooLarge, InvalidId };

    static TransportError backend(IoError io) { return {Kind::Backend, std::move(io), 0}; }
    static TransportError timeout() { return {Kind::Timeout, {}, 0}; }
    static TransportError frame_too_large(std::size_t len) { return {Kind::FrameTooLarge, {}, len}; }
    static TransportError invalid_id() { return {Kind::InvalidId, {}, 0}; }

    Kind kind() const { return kind_; }
    const IoError& io() const { return io_; }
    std::size_t length() const { return len_; }
    std::string message() const;

private:
    TransportError(Kind k, IoError io, std::size_t len) : kind_(k), io_(std::move(io)), len_(len) {}
    Kind kind_;
    IoError io_;
    std::size_t len_;
};

// What a batched send did: the frames written, in order, before `error`
// stopped it (no error: all of them).
struct BatchSent {
    std::size_t sent = 0;
    std::optional<TransportError> error;
};

// The bus as the motor layer sees it. An implementation supplies `send` and
// `recv`; `request` is written once on top of them. A transport that can
// serve several buses at once (a group cycle) also reads without waiting and
// names a descriptor to poll.
class CanTransport {
public:
    virtual ~CanTransport() = default;
    // Writes one frame. Checks, in order: identifier range (InvalidId), then
    // payload length for the frame kind (FrameTooLarge); a failed check
    // writes nothing.
    virtual Result<Unit, TransportError> send(const CanFrame& frame) = 0;
    // Waits at most `timeout` for the next frame of any identifier.
    virtual Result<CanFrame, TransportError> recv(Duration timeout) = 0;

    // Writes `n` frames in order and stops at the first that fails, with
    // the checks of `send`. By default one `send` per frame. A transport
    // that can serve a group cycle does not wait for room: a full queue or
    // buffer ends the batch with Backend ENOBUFS or EAGAIN.
    virtual BatchSent send_batch(const CanFrame* frames, std::size_t n);
    // Moves up to `cap` frames that have already arrived into `out`, without
    // waiting; 0 when none has. By default unsupported (a Backend error).
    virtual Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap);
    // A descriptor that polls readable when a frame has arrived, or -1 when
    // there is none (then only `try_recv` tells).
    virtual int poll_fd() const { return -1; }
    // The name of the network interface this transport was opened on, or ""
    // for one that has none (an in-memory bus, an adopted socket).
    virtual const std::string& iface() const;
};

// Waits until a frame may have arrived on one of several buses, or until a
// deadline: the blocking point of a group cycle.
class BusWaiter {
public:
    virtual ~BusWaiter() = default;
    // Returns at `deadline` at the latest. A signal returns Backend EINTR,
    // after which the caller may wait again; any other error ends the
    // cycle's wait.
    virtual Result<Unit, TransportError> wait(CanTransport* const* buses, std::size_t n,
                                              Instant deadline) = 0;
};

// Reads frames until `match(frame)` holds or `timeout`, counted from the
// call, has passed; frames that do not match are dropped. The caller has
// just sent its request.
//
// A remaining time under 1 us (exactly zero included) counts as an expired
// deadline: the socket's receive time-out has microsecond resolution and a
// zero time-out would wait without limit, so such a remainder never reaches
// `recv`. A zero `timeout` therefore never reads. A deadline beyond the
// clock's range saturates: the wait is as long as the socket allows.
//
// `now` reads the clock the deadline is kept on (the monotonic clock unless
// a caller, such as a test, supplies its own).
template <class Match, class Clock = Instant (*)()>
Result<CanFrame, TransportError> await_frame(CanTransport& bus, Duration timeout, Match&& match,
                                             Clock now = &Instant::now) {
    const Instant deadline = now().saturating_add(timeout);
    for (;;) {
        const Duration remaining = deadline.remaining_from(now());
        if (remaining.total_nanos_saturated() < 1000) return err(TransportError::timeout());
        Result<CanFrame, TransportError> frame = bus.recv(remaining);
        if (!frame.ok() || match(static_cast<const CanFrame&>(frame.value()))) return frame;
    }
}

// Discards the frames that have already arrived, without waiting: up to
// `limit` (rounded up to a whole read of 32), then it stops even if more
// remain. Returns how many were discarded. A transport that cannot read
// without waiting (try_recv unsupported) has nothing it could discard: 0.
// Any other read error is returned.
Result<std::size_t, TransportError> discard_queued(CanTransport& bus, std::size_t limit);

// Sends `frame`, then returns the first received frame whose identifier is
// `expected` (same kind and value). A send failure is returned unchanged and
// nothing is read. Frames queued before the send are not drained.
Result<CanFrame, TransportError> request(CanTransport& bus, const CanFrame& frame, CanId expected,
                                         Duration timeout);

// The same, with the deadline kept on the clock `now` reads.
template <class Clock>
Result<CanFrame, TransportError> request(CanTransport& bus, const CanFrame& frame, CanId expected,
                                         Duration timeout, Clock now) {
    Result<Unit, TransportError> sent = bus.send(frame);
    if (!sent.ok()) return err(std::move(sent).error());
    return await_frame(
        bus, timeout, [expected](const CanFrame& f) { return f.id == expected; }, now);
}

}  // namespace rotalink::transport
