// A public SocketCanTransport over one end of a socket pair, for tests of
// the C++ face: the test holds the other end and sees every frame sent.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "api/access.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::testing {

struct PairBus {
    SocketCanTransport bus;
    int peer;
};

inline PairBus pair_bus() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    auto impl = std::make_shared<SocketCanTransport::Impl>(std::make_unique<transport::SocketCanTransport>(sv[0]));
    return {detail::Access::bus(impl), sv[1]};
}

}  // namespace rotalink::testing
