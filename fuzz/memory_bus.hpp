// A tiny in-memory CanTransport for the fuzz targets: `recv` hands out a
// scripted queue of steps (a frame or an error) and returns Timeout once the
// queue is empty, so no exchange can wait. Every send is recorded; the n-th
// send can be made to fail.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_common.hpp"
#include "transport/can.hpp"

namespace fuzz {

using rotalink::Err;
using rotalink::Result;
using rotalink::Unit;
using rotalink::transport::CanFrame;
using rotalink::transport::CanTransport;
using rotalink::transport::Duration;
using rotalink::transport::IoError;
using rotalink::transport::TransportError;

struct Step {
    bool is_error = false;
    CanFrame frame;
    TransportError error = TransportError::timeout();
};

class MemoryBus final : public CanTransport {
public:
    std::deque<Step> queue;
    std::vector<CanFrame> sent;
    int send_calls = 0;
    int recv_calls = 0;
    int fail_send_at = 0;  // 1-based; 0: every send succeeds

    static TransportError injected_send_error() {
        return TransportError::backend(IoError::custom("injected send failure"));
    }

    Result<Unit, TransportError> send(const CanFrame& frame) override {
        ++send_calls;
        if (send_calls == fail_send_at) return rotalink::err(injected_send_error());
        // The transport contract: these checks come first and write nothing.
        if (!frame.id.in_range()) return rotalink::err(TransportError::invalid_id());
        const std::size_t max = frame.fd ? 64 : 8;
        if (frame.data.size() > max) return rotalink::err(TransportError::frame_too_large(frame.data.size()));
        sent.push_back(frame);
        return Unit{};
    }

    Result<CanFrame, TransportError> recv(Duration timeout) override {
        ++recv_calls;
        // The deadline loop never hands a wait under 1 us to the transport:
        // a zero socket time-out would block without limit.
        FUZZ_CHECK(timeout.total_nanos_saturated() >= 1000,
                   "recv asked to wait " + std::to_string(timeout.total_nanos_saturated()) + " ns");
        FUZZ_CHECK(timeout.nanos < 1000000000u, "recv given a denormal duration");
        if (queue.empty()) return rotalink::err(TransportError::timeout());
        Step s = std::move(queue.front());
        queue.pop_front();
        if (s.is_error) return rotalink::err(std::move(s.error));
        return std::move(s.frame);
    }
};

}  // namespace fuzz
