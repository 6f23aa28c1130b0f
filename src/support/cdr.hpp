// ROS 2's message encoding: CDR, little-endian, after a 4-byte encapsulation
// header (00 01 00 00). Each primitive is aligned to its own size, counted
// from the header's end; a string is its length with the terminating NUL,
// then its bytes and the NUL; a sequence is its count, then its items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace rotalink {

class CdrWriter {
public:
    // Appends a message to `out`, starting with the encapsulation header.
    explicit CdrWriter(std::vector<std::uint8_t>& out) : out_(out) {
        static const std::uint8_t header[4] = {0x00, 0x01, 0x00, 0x00};
        out_.insert(out_.end(), header, header + 4);
        base_ = out_.size();
    }

    void boolean(bool v) { put(static_cast<std::uint8_t>(v ? 1 : 0)); }
    void u8(std::uint8_t v) { put(v); }
    void i32(std::int32_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void i64(std::int64_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void f64(double v) { put(v); }
    void string(const std::string& s) {
        u32(static_cast<std::uint32_t>(s.size() + 1));
        out_.insert(out_.end(), s.begin(), s.end());
        out_.push_back(0);
    }
    // A sequence's count; its items follow.
    void count(std::size_t n) { u32(static_cast<std::uint32_t>(n)); }

private:
    template <class T>
    void put(T v) {
        std::uint64_t bits = 0;
        if constexpr (std::is_floating_point<T>::value) {
            static_assert(sizeof(T) == sizeof bits, "only 64-bit floats");
            std::memcpy(&bits, &v, sizeof bits);
        } else {
            bits = static_cast<std::uint64_t>(v);
        }
        while ((out_.size() - base_) % sizeof(T) != 0) out_.push_back(0);
        for (std::size_t i = 0; i < sizeof(T); ++i) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }

    std::vector<std::uint8_t>& out_;
    std::size_t base_ = 0;
};

}  // namespace rotalink
