// The kernel's CAN frame records under every header set from Linux 5.10 on.
// Two names came later than that: the CAN FD frame flag CANFD_FDF (5.14) and
// the classic frame's length byte `len`, called `can_dlc` before 5.11 (the
// same byte at the same offset). Code that writes or reads the records
// includes this header instead of <linux/can.h> and uses the names below.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

// Marks a record as CAN FD in its flags byte. Kernels older than the name
// leave the bit alone, so setting it is harmless there.
#ifndef CANFD_FDF
#define CANFD_FDF 0x04
#endif

namespace rotalink::transport {

namespace can_compat_detail {

template <class Frame, class = void>
struct NamesLen : std::false_type {};
template <class Frame>
struct NamesLen<Frame, std::void_t<decltype(std::declval<Frame&>().len)>> : std::true_type {};

template <class Frame>
constexpr std::size_t len_offset() {
    if constexpr (NamesLen<Frame>::value) {
        return offsetof(Frame, len);
    } else {
        return offsetof(Frame, can_dlc);
    }
}

}  // namespace can_compat_detail

// The payload length byte of a classic frame, whatever the headers call it.
template <class Frame>
std::uint8_t& can_frame_len(Frame& frame) {
    static_assert(std::is_same_v<std::remove_cv_t<Frame>, can_frame>, "a struct can_frame");
    if constexpr (can_compat_detail::NamesLen<Frame>::value) {
        return frame.len;
    } else {
        return frame.can_dlc;
    }
}

// Offsets in the records, the same in both frame kinds up to the data.
inline constexpr std::size_t kCanLenOffset = can_compat_detail::len_offset<can_frame>();
inline constexpr std::size_t kCanFdFlagsOffset = offsetof(canfd_frame, flags);
inline constexpr std::size_t kCanDataOffset = offsetof(can_frame, data);

static_assert(kCanLenOffset == 4 && kCanLenOffset == offsetof(canfd_frame, len),
              "the length byte follows the 32-bit identifier in both records");
static_assert(kCanFdFlagsOffset == 5, "the CAN FD flags follow the length byte");
static_assert(kCanDataOffset == 8 && offsetof(canfd_frame, data) == 8,
              "the data field starts at byte 8 in both records");
static_assert(sizeof(can_frame) == 16 && sizeof(canfd_frame) == 72,
              "struct can_frame is 16 bytes and struct canfd_frame 72");

}  // namespace rotalink::transport
