// A fixed number of driver commands against an in-memory motor that answers
// every frame at once, for counting the instructions of one command's native
// path (make the frame, send, wait for the reply, parse it) with
//   valgrind --tool=callgrind --collect-atstart=no
//            --toggle-collect='*command_loop*' driver_count enable|mit N
// No socket and no Python: what is counted is the driver and the transport
// contract above the system calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "damiao/driver.hpp"

namespace {

namespace dm = rotalink::damiao;
using rotalink::Result;
using rotalink::Unit;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using rotalink::transport::Duration;
using rotalink::transport::TransportError;

// Answers each frame with one feedback frame from 0x11, preceded by a
// foreign frame that the deadline loop has to drop.
class EchoMotor final : public rotalink::transport::CanTransport {
public:
    EchoMotor() {
        reply_.id = CanId::standard(0x11);
        reply_.data = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
        foreign_.id = CanId::standard(0x222);
        foreign_.data = {1, 2, 3, 4, 5, 6, 7, 8};
    }
    Result<Unit, TransportError> send(const CanFrame& frame) override {
        sent_bytes_ += frame.data.size();
        pending_ = 2;
        return Unit{};
    }
    Result<CanFrame, TransportError> recv(Duration) override {
        if (pending_ == 0) return rotalink::err(TransportError::timeout());
        return --pending_ == 1 ? foreign_ : reply_;
    }
    unsigned long sent_bytes_ = 0;

private:
    CanFrame reply_;
    CanFrame foreign_;
    int pending_ = 0;
};

volatile float g_sink;

__attribute__((noinline)) void command_loop(const dm::Damiao& motor, EchoMotor& bus, bool mit, long n) {
    float acc = 0.0f;
    const dm::mit::MitSetpoint sp{0.5f, 1.0f, 10.0f, 0.5f, 0.1f};
    for (long i = 0; i < n; ++i) {
        auto r = mit ? motor.mit_control(bus, sp) : motor.enable(bus);
        acc += r.value().position;
    }
    g_sink = acc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "enable") != 0 && std::strcmp(argv[1], "mit") != 0)) {
        std::fprintf(stderr, "usage: driver_count enable|mit N\n");
        return 2;
    }
    dm::Damiao motor;
    motor.motor_id = 0x01;
    motor.master_id = 0x11;
    // The motor answers at once; a long time-out keeps a descheduled run
    // (callgrind is slow, the machine may be busy) from timing out.
    motor.timeout = Duration::from_millis(60000);
    EchoMotor bus;
    command_loop(motor, bus, std::strcmp(argv[1], "mit") == 0, std::atol(argv[2]));
    std::printf("%lu bytes sent\n", bus.sent_bytes_);
    return 0;
}
