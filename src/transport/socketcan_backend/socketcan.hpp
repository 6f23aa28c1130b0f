// The transport on a Linux SocketCAN raw socket, classic and CAN FD frames.
#pragma once

#include <memory>
#include <string>

#include "transport/can.hpp"

namespace rotalink::transport {

class SocketCanTransport final : public CanTransport {
public:
    // Opens a raw CAN socket on the named interface: if_nametoindex, socket
    // (PF_CAN, SOCK_RAW, CAN_RAW), bind, CAN_RAW_FD_FRAMES on. No other
    // option is set: no filter, no error mask, default loopback.
    static Result<std::unique_ptr<SocketCanTransport>, IoError> open(const std::string& iface);

    // Takes ownership of a socket that delivers one frame per read (a bound
    // CAN raw socket, or a message-preserving socket in tests).
    explicit SocketCanTransport(int fd);
    ~SocketCanTransport() override;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;

    Result<Unit, TransportError> send(const CanFrame& frame) override;
    Result<CanFrame, TransportError> recv(Duration timeout) override;
    // One sendmmsg call for up to 32 frames, without waiting (MSG_DONTWAIT):
    // a full send buffer stops the batch with Backend EAGAIN, as a full
    // transmit queue stops it with ENOBUFS. A call interrupted by a signal
    // is repeated.
    BatchSent send_batch(const CanFrame* frames, std::size_t n) override;
    // One recvmmsg call (MSG_DONTWAIT) for up to 32 frames.
    Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap) override;
    int poll_fd() const override { return fd_; }
    // The name given to `open`; "" for an adopted socket.
    const std::string& iface() const override { return iface_; }

    int fd() const { return fd_; }

private:
    struct ReadSlots;  // the buffers and headers of a batched read, set up once

    int fd_;
    std::string iface_;
    std::unique_ptr<ReadSlots> slots_;
};

// Waits on the buses' descriptors with ppoll (nanosecond time-out). A bus
// without a descriptor never ends the wait, so with none the wait lasts
// until the deadline. A signal ends the wait with Backend EINTR.
class PollWaiter final : public BusWaiter {
public:
    Result<Unit, TransportError> wait(CanTransport* const* buses, std::size_t n,
                                      Instant deadline) override;
};

// Wire sizes and flags of the kernel's frame records.
inline constexpr std::size_t kCanMtu = 16;
inline constexpr std::size_t kCanFdMtu = 72;

// The frame in a record of `n` bytes as a raw socket delivers it (`buf`
// holds `n` bytes): a struct can_frame (kCanMtu) or canfd_frame
// (kCanFdMtu). A record of another size is a Backend error naming it.
Result<CanFrame, TransportError> decode_record(const std::uint8_t* buf, std::size_t n);

// The CAN FD length that holds `len` bytes: 0..8, 12, 16, 20, 24, 32, 48, 64.
std::uint8_t fd_length(std::size_t len);

}  // namespace rotalink::transport
