// An in-memory CanTransport for tests of everything built on send and recv.
//
// recv hands out a scripted queue of steps (a frame, or an error), in order.
// Steps queued with `arrive_after_send` join that queue only once the next
// send has succeeded, like a reply on a real bus. When the queue is empty,
// recv asks the `when_empty` source, or returns Timeout like a quiet bus.
// Every frame sent, every send attempt and every time-out that recv was
// asked to wait are recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <sstream>
#include <string>
#include <functional>
#include <optional>
#include <ostream>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "transport/can.hpp"

namespace rotalink::transport {

// Readable values in test failure messages.
inline void PrintTo(CanId id, std::ostream* os) {
    *os << (id.kind == IdKind::Standard ? "Standard(0x" : "Extended(0x") << std::hex << id.value
        << std::dec << ")";
}
inline void PrintTo(const CanFrame& f, std::ostream* os) {
    PrintTo(f.id, os);
    *os << (f.fd ? " fd" : " classic") << (f.brs ? " brs" : "") << " [";
    for (std::size_t i = 0; i < f.data.size(); ++i) {
        static const char digits[] = "0123456789ABCDEF";
        *os << (i ? " " : "") << digits[f.data[i] >> 4] << digits[f.data[i] & 15];
    }
    *os << "]";
}
inline void PrintTo(Duration d, std::ostream* os) { *os << d.secs << " s " << d.nanos << " ns"; }

}  // namespace rotalink::transport

namespace rotalink::test {

using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::TransportError;

inline CanFrame make_frame(CanId id, std::vector<std::uint8_t> data, bool fd = false,
                           bool brs = false) {
    CanFrame f;
    f.id = id;
    f.data = std::move(data);
    f.fd = fd;
    f.brs = brs;
    return f;
}

inline std::string show(const CanFrame& f) {
    std::ostringstream os;
    PrintTo(f, &os);
    return os.str();
}

// Identifier, payload, fd and brs all equal.
inline ::testing::AssertionResult same_frame(const CanFrame& got, const CanFrame& want) {
    if (got.id == want.id && got.data == want.data && got.fd == want.fd && got.brs == want.brs) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got " << show(got) << ", want " << show(want);
}

class MemoryTransport final : public transport::CanTransport {
public:
    using RecvResult = Result<CanFrame, TransportError>;
    // Called by recv when the queue is empty, with the time-out recv was given.
    using Source = std::function<RecvResult(Duration)>;

    // A frame that is already waiting.
    void queue(CanFrame frame) { incoming_.emplace_back(std::move(frame)); }
    // A recv failure at this place in the queue.
    void queue_error(TransportError error) { incoming_.emplace_back(std::move(error)); }
    // A frame that arrives once the next send has succeeded.
    void arrive_after_send(CanFrame frame) { after_send_.emplace_back(std::move(frame)); }
    void arrive_after_send_error(TransportError error) { after_send_.emplace_back(std::move(error)); }

    // Every later send fails with `error` (and records nothing) until cleared.
    void fail_send(TransportError error) { send_error_ = std::move(error); }
    void clear_send_failure() { send_error_.reset(); }

    void when_empty(Source source) { source_ = std::move(source); }

    Result<Unit, TransportError> send(const CanFrame& frame) override {
        ++send_calls_;
        if (send_error_) return err(TransportError(*send_error_));
        sent_.push_back(frame);
        for (Step& s : after_send_) incoming_.push_back(std::move(s));
        after_send_.clear();
        return Unit{};
    }

    RecvResult recv(Duration timeout) override {
        recv_timeouts_.push_back(timeout);
        if (!incoming_.empty()) {
            Step step = std::move(incoming_.front());
            incoming_.pop_front();
            if (auto* frame = std::get_if<CanFrame>(&step)) return std::move(*frame);
            return err(std::get<TransportError>(std::move(step)));
        }
        if (source_) return source_(timeout);
        return err(TransportError::timeout());
    }

    const std::vector<CanFrame>& sent() const { return sent_; }
    const std::vector<Duration>& recv_timeouts() const { return recv_timeouts_; }
    std::size_t recv_calls() const { return recv_timeouts_.size(); }
    std::size_t send_calls() const { return send_calls_; }
    // Steps that recv has not handed out yet (those waiting for a send too).
    std::size_t pending() const { return incoming_.size() + after_send_.size(); }

private:
    using Step = std::variant<CanFrame, TransportError>;

    std::deque<Step> incoming_;
    std::vector<Step> after_send_;
    std::optional<TransportError> send_error_;
    Source source_;
    std::vector<CanFrame> sent_;
    std::vector<Duration> recv_timeouts_;
    std::size_t send_calls_ = 0;
};

}  // namespace rotalink::test
