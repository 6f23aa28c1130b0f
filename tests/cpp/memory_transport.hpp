// The in-memory transport (transport/memory_transport.hpp) for the tests,
// with readable frames in failure messages and a frame comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "transport/can.hpp"
#include "transport/memory_transport.hpp"

namespace rotalink::transport {

// Readable values in test failure messages.
inline void PrintTo(CanId id, std::ostream* os) {
    *os << (id.kind == IdKind::Standard ? "Standard(0x" : "Extended(0x") << std::hex << id.value
        << std::dec << ")";
}
inline void PrintTo(const CanFrame& f, std::ostream* os) {
    PrintTo(f.id, os);
    *os << (f.fd ? " fd" : " classic") << (f.brs ? " brs" : "") << (f.remote ? " remote" : "")
        << (f.error ? " error" : "") << " [";
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

// A received remote request or error frame with that identifier and payload.
inline CanFrame remote_frame(CanId id, std::vector<std::uint8_t> data) {
    CanFrame f = make_frame(id, std::move(data));
    f.remote = true;
    return f;
}
inline CanFrame error_frame(CanId id, std::vector<std::uint8_t> data) {
    CanFrame f = make_frame(id, std::move(data));
    f.error = true;
    return f;
}

// Identifier, payload and every flag equal.
inline ::testing::AssertionResult same_frame(const CanFrame& got, const CanFrame& want) {
    if (got.id == want.id && got.data == want.data && got.fd == want.fd && got.brs == want.brs &&
        got.remote == want.remote && got.error == want.error) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got " << show(got) << ", want " << show(want);
}

using MemoryTransport = transport::MemoryTransport;

}  // namespace rotalink::test
