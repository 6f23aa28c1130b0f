// An in-memory CanTransport for the unit tests and the fuzz targets: a bus
// whose traffic is a script, and whose every use is recorded.
//
// recv hands out a queue of steps (a frame, or an error), in order. Steps
// queued with `arrive_after_send` join that queue only once the next send has
// succeeded, like a reply on a real bus. When the queue is empty, recv asks
// the `when_empty` source, or returns Timeout like a quiet bus. Only that
// source can block: whether a frame is ready is the queue being non-empty.
//
// send keeps the transport contract: a failure set with `fail_send` or
// `fail_nth_send` comes first, then the identifier range (InvalidId), then
// the payload length for the frame kind (FrameTooLarge); a refused frame is
// not recorded. A recorded frame releases the steps waiting for a send, then
// goes to the responder, which may queue replies (a simulated device).
//
// try_recv hands out the frames at the head of the queue without waiting,
// stopping before an error step (which a later call returns); it never asks
// the `when_empty` source. The transport has no descriptor to poll.
//
// Every frame sent, every send call (batched calls too) and every time-out
// recv was given are recorded.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "transport/can.hpp"

namespace rotalink::transport {

class MemoryTransport : public CanTransport {
public:
    using RecvResult = Result<CanFrame, TransportError>;
    // Called by recv when the queue is empty, with the time-out recv was given.
    using Source = std::function<RecvResult(Duration)>;
    // Called with each frame once it is recorded; it must not send.
    using Responder = std::function<void(const CanFrame&, MemoryTransport&)>;

    // A frame that is already waiting.
    void queue(CanFrame frame) { incoming_.emplace_back(std::move(frame)); }
    // A recv failure at this place in the queue.
    void queue_error(TransportError error) { incoming_.emplace_back(std::move(error)); }
    // A frame that arrives once the next send has succeeded.
    void arrive_after_send(CanFrame frame) { after_send_.emplace_back(std::move(frame)); }
    void arrive_after_send_error(TransportError error) { after_send_.emplace_back(std::move(error)); }

    // Every later send fails with `error` until cleared.
    void fail_send(TransportError error) { send_error_ = std::move(error); }
    void clear_send_failure() { send_error_.reset(); }
    // Send call number `n` (counting from 1, failed calls included) fails
    // with `error`.
    void fail_nth_send(std::size_t n, TransportError error) {
        nth_send_ = n;
        nth_send_error_ = std::move(error);
    }

    void when_empty(Source source) { source_ = std::move(source); }
    void respond(Responder responder) { responder_ = std::move(responder); }

    Result<Unit, TransportError> send(const CanFrame& frame) override {
        ++send_calls_;
        if (send_error_) return err(TransportError(*send_error_));
        if (nth_send_error_ && send_calls_ == nth_send_) return err(TransportError(*nth_send_error_));
        if (!frame.id.in_range()) return err(TransportError::invalid_id());
        if (frame.data.size() > (frame.fd ? 64u : 8u)) {
            return err(TransportError::frame_too_large(frame.data.size()));
        }
        sent_.push_back(frame);
        for (Step& s : after_send_) incoming_.push_back(std::move(s));
        after_send_.clear();
        if (responder_) responder_(frame, *this);
        return Unit{};
    }

    BatchSent send_batch(const CanFrame* frames, std::size_t n) override {
        ++batch_calls_;
        return CanTransport::send_batch(frames, n);
    }

    Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap) override {
        std::size_t n = 0;
        while (n < cap && !incoming_.empty()) {
            if (auto* frame = std::get_if<CanFrame>(&incoming_.front())) {
                out[n++] = std::move(*frame);
                incoming_.pop_front();
                continue;
            }
            if (n > 0) break;
            TransportError e = std::get<TransportError>(std::move(incoming_.front()));
            incoming_.pop_front();
            return err(std::move(e));
        }
        return n;
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
    std::size_t batch_calls() const { return batch_calls_; }
    // Steps that recv has not handed out yet (those waiting for a send too).
    std::size_t pending() const { return incoming_.size() + after_send_.size(); }

private:
    using Step = std::variant<CanFrame, TransportError>;

    std::deque<Step> incoming_;
    std::vector<Step> after_send_;
    std::optional<TransportError> send_error_;
    std::optional<TransportError> nth_send_error_;
    std::size_t nth_send_ = 0;
    Source source_;
    Responder responder_;
    std::vector<CanFrame> sent_;
    std::vector<Duration> recv_timeouts_;
    std::size_t send_calls_ = 0;
    std::size_t batch_calls_ = 0;
};

}  // namespace rotalink::transport
