// The kernel's CAN frame records as bytes, for tests that write and read
// them on the far side of a transport's socket.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace rotalink::test {

using Bytes = std::vector<std::uint8_t>;

// A record as the kernel lays it out: can_id in host order, the length byte,
// three flag/reserved bytes, then the data field (zero-padded to `size`).
inline Bytes record(std::size_t size, std::uint32_t can_id, std::uint8_t len, const Bytes& data,
                    std::uint8_t b5 = 0, std::uint8_t b6 = 0, std::uint8_t b7 = 0) {
    Bytes r(size, 0);
    std::memcpy(r.data(), &can_id, 4);
    r[4] = len;
    r[5] = b5;
    r[6] = b6;
    r[7] = b7;
    for (std::size_t i = 0; i < data.size() && 8 + i < size; ++i) r[8 + i] = data[i];
    return r;
}

inline std::uint32_t can_id_of(const Bytes& r) {
    std::uint32_t id = 0;
    if (r.size() >= 4) std::memcpy(&id, r.data(), 4);
    return id;
}

// n bytes counting up from `first`: payloads whose every byte is told apart.
inline Bytes counting(std::size_t n, std::uint8_t first = 0x01) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

inline std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

// Descriptors open in this process.
inline int open_fd_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // less the listing's own descriptor
}

}  // namespace rotalink::test
