// The motors' stand-in for benchmarks that run the core's loop over an
// AF_UNIX SOCK_SEQPACKET socket pair of struct can_frame records (no CAN
// needed): answers to every command with feedback, by a thread of their
// own or by the caller.
#pragma once

#include <linux/can.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace rotalink_bench {

// The responders' SCHED_FIFO priority, when permitted: they stand in for
// motors, which answer whatever the host's load, so they are not to wait
// behind it (nor behind a real-time loop).
constexpr int kResponderPriority = 90;

// Answers every command waiting on `fd` (any mode's identifier, or a
// refresh to 0x7FF) to motors 1..K with ENABLED feedback from the motor's
// identifier + 0x10, without waiting for more.
inline void answer_waiting(int fd, unsigned motors) {
    can_frame in;
    while (::recv(fd, &in, sizeof in, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof in)) {
        const canid_t id = in.can_id & CAN_SFF_MASK;
        const unsigned motor = id == 0x7FF ? in.data[0] : id & 0xFF;
        if (motor < 1 || motor > motors) continue;
        can_frame out{};
        out.can_id = 0x10 + motor;
        out.len = 8;
        const std::uint8_t feedback[8] = {static_cast<std::uint8_t>(0x10 | (motor & 0xF)), 0x80, 0x00, 0x80,
                                          0x08, 0x00, 0x1E, 0x20};
        std::memcpy(out.data, feedback, sizeof feedback);
        (void)::send(fd, &out, sizeof out, MSG_DONTWAIT);
    }
}

// A thread's loop answering every command on `fd` at once (answer_waiting)
// until `stop`. Clears `fifo` (when given) where SCHED_FIFO is not
// permitted.
inline void respond(int fd, unsigned motors, const std::atomic<bool>& stop, std::atomic<bool>* fifo) {
    sched_param param{};
    param.sched_priority = kResponderPriority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0 && fifo != nullptr) fifo->store(false);
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        answer_waiting(fd, motors);
    }
}

}  // namespace rotalink_bench
