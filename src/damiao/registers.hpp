// The firmware's registers: number, name (as the maker documents it), value
// kind and whether it may be written. Registers are read and written with
// frames to standard id 0x7FF (protocol.hpp); their 4 value bytes are
// little-endian, a Float's being the IEEE bits of a 32-bit float.
#pragma once

#include <cstddef>
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

// The whole table, in number order: registers 0 to 36, each at its number.
inline constexpr RegisterInfo kRegisters[] = {
    {0, "UV_Value", RegisterKind::Float, true},
    {1, "KT_Value", RegisterKind::Float, true},
    {2, "OT_Value", RegisterKind::Float, true},
    {3, "OC_Value", RegisterKind::Float, true},
    {4, "ACC", RegisterKind::Float, true},
    {5, "DEC", RegisterKind::Float, true},
    {6, "MAX_SPD", RegisterKind::Float, true},
    {7, "MST_ID", RegisterKind::Uint32, true},
    {8, "ESC_ID", RegisterKind::Uint32, true},
    {9, "TIMEOUT", RegisterKind::Uint32, true},
    {10, "CTRL_MODE", RegisterKind::Uint32, true},
    {11, "Damp", RegisterKind::Float, false},
    {12, "Inertia", RegisterKind::Float, false},
    {13, "hw_ver", RegisterKind::Uint32, false},
    {14, "sw_ver", RegisterKind::Uint32, false},
    {15, "SN", RegisterKind::Uint32, false},
    {16, "NPP", RegisterKind::Uint32, false},
    {17, "Rs", RegisterKind::Float, false},
    {18, "LS", RegisterKind::Float, false},
    {19, "Flux", RegisterKind::Float, false},
    {20, "Gr", RegisterKind::Float, false},
    {21, "PMAX", RegisterKind::Float, true},
    {22, "VMAX", RegisterKind::Float, true},
    {23, "TMAX", RegisterKind::Float, true},
    {24, "I_BW", RegisterKind::Float, true},
    {25, "KP_ASR", RegisterKind::Float, true},
    {26, "KI_ASR", RegisterKind::Float, true},
    {27, "KP_APR", RegisterKind::Float, true},
    {28, "KI_APR", RegisterKind::Float, true},
    {29, "OV_Value", RegisterKind::Float, true},
    {30, "GREF", RegisterKind::Float, true},
    {31, "Deta", RegisterKind::Float, true},
    {32, "V_BW", RegisterKind::Float, true},
    {33, "IQ_c1", RegisterKind::Float, true},
    {34, "VL_c1", RegisterKind::Float, true},
    {35, "can_br", RegisterKind::Uint32, true},
    {36, "sub_ver", RegisterKind::Uint32, false},
};
inline constexpr std::size_t kRegisterCount = sizeof(kRegisters) / sizeof(kRegisters[0]);

// Register 10 holds the control mode (control.hpp numbers the modes).
// Registers 21, 22 and 23 hold the position, velocity and torque ranges of
// the MIT frame.
inline constexpr std::uint8_t kControlModeRegister = 10;
// Register 9 holds the motor's watchdog: a motor that has heard no command
// for this many 50 us units disables itself and reports status 13; 0 is off.
inline constexpr std::uint8_t kTimeoutRegister = 9;
inline constexpr std::uint32_t kTimeoutUnitMicros = 50;
inline constexpr std::uint8_t kPmaxRegister = 21;
inline constexpr std::uint8_t kVmaxRegister = 22;
inline constexpr std::uint8_t kTmaxRegister = 23;

// Register 35 holds the bus's bit rate as a code: 0 to 4 classic CAN, 5 to 9
// CAN FD with a 1 Mbit/s arbitration phase and a faster data phase. A motor
// takes a new code only once it has been saved and the motor powered up
// again.
inline constexpr std::uint8_t kCanBitRateRegister = 35;
struct CanBitRate {
    std::uint8_t code;
    std::uint32_t bitrate;       // the (arbitration) bit rate, bit/s
    std::uint32_t data_bitrate;  // the CAN FD data phase's, bit/s; 0 for classic CAN
};
inline constexpr CanBitRate kCanBitRates[] = {
    {0, 125000, 0},        {1, 200000, 0},        {2, 250000, 0},        {3, 500000, 0},
    {4, 1000000, 0},       {5, 1000000, 2000000}, {6, 1000000, 2500000}, {7, 1000000, 3200000},
    {8, 1000000, 4000000}, {9, 1000000, 5000000},
};
inline constexpr std::size_t kCanBitRateCount = sizeof(kCanBitRates) / sizeof(kCanBitRates[0]);

// The entry for `number`, or nullptr for a register outside the table.
constexpr const RegisterInfo* find_register(std::uint32_t number) {
    return number < kRegisterCount ? &kRegisters[number] : nullptr;
}

namespace detail {
constexpr bool each_at_its_number() {
    for (std::size_t i = 0; i < kRegisterCount; ++i) {
        if (kRegisters[i].number != i) return false;
    }
    return true;
}
constexpr bool codes_in_order() {
    for (std::size_t i = 0; i < kCanBitRateCount; ++i) {
        if (kCanBitRates[i].code != i) return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::each_at_its_number(), "the register table is indexed by number");
static_assert(find_register(kTimeoutRegister)->kind == RegisterKind::Uint32 &&
                  find_register(kTimeoutRegister)->writable,
              "the watchdog time-out is a writable Uint32");
static_assert(find_register(kControlModeRegister)->kind == RegisterKind::Uint32 &&
                  find_register(kControlModeRegister)->writable,
              "the control mode is a writable Uint32");

static_assert(detail::codes_in_order() && find_register(kCanBitRateRegister)->kind == RegisterKind::Uint32 &&
                  find_register(kCanBitRateRegister)->writable,
              "the bit-rate codes are indexed by code, in a writable Uint32");

// A register's value: its kind and its 4 value bytes, little-endian.
struct RegisterValue {
    RegisterKind kind = RegisterKind::Uint32;
    std::uint32_t bits = 0;

    std::uint32_t as_uint32() const { return bits; }
    float as_float() const;  // the bits as an IEEE 32-bit float
};

}  // namespace rotalink::damiao
