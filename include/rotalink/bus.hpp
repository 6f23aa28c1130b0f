// A bus: a raw SocketCAN socket on one network interface.
#pragma once

#include <memory>
#include <string>

#include "rotalink/export.hpp"
#include "rotalink/result.hpp"

namespace rotalink {

namespace detail {
struct Access;
}

// A handle on a bus: a raw CAN socket bound to `iface` ("can0", "vcan0"),
// CAN FD frames enabled, no receive filter. Copies share the one socket and
// its lock; the socket is closed with the last copy. Any number of threads,
// motors and groups may use one bus: each exchange holds the bus's lock for
// its whole length.
class ROTALINK_API SocketCanTransport {
public:
    // Opens the socket: an Os error with the system's text ("No such device
    // (os error 19)") when it cannot.
    static Result<SocketCanTransport> open(const std::string& iface);

    // The interface's name, as given to `open`.
    const std::string& iface() const;

    // Two handles on the same socket compare equal.
    friend bool operator==(const SocketCanTransport& a, const SocketCanTransport& b) { return a.impl_ == b.impl_; }
    friend bool operator!=(const SocketCanTransport& a, const SocketCanTransport& b) { return a.impl_ != b.impl_; }

    struct Impl;

private:
    explicit SocketCanTransport(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    friend struct detail::Access;
    std::shared_ptr<Impl> impl_;
};

}  // namespace rotalink
