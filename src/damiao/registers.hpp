// The firmware registers this module knows: number, name, value kind and
// whether it may be written. Registers are read and written with frames to
// standard id 0x7FF (protocol.hpp); their 4 value bytes are little-endian.
#pragma once

#include <cstdint>

namespace rotalink::damiao {

// How a register's 4 value bytes are read.
enum class RegisterKind : std::uint8_t { Float = 0, Uint32 = 1 };

const char* kind_name(RegisterKind kind);  // "Float" or "Uint32"

struct RegisterInfo {
    std::uint8_t number;
    const char* name;
    RegisterKind kind;
    bool writable;
};

// Register 10 holds the control mode; MIT mode is 1.
inline constexpr std::uint8_t kControlModeRegister = 10;
inline constexpr std::uint8_t kMitMode = 1;

// The entry for `number`, or nullptr for a register outside the table.
const RegisterInfo* find_register(std::uint8_t number);

// A register's value: its kind and its 4 value bytes, little-endian.
struct RegisterValue {
    RegisterKind kind = RegisterKind::Uint32;
    std::uint32_t bits = 0;

    std::uint32_t as_uint32() const { return bits; }
    float as_float() const;  // the bits as an IEEE 32-bit float
};

}  // namespace rotalink::damiao
