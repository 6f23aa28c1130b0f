// Text forms of 32-bit floats used in reprs and messages.
#pragma once

#include <string>

namespace rotalink {

// Shortest digit string that reads back as the same float, in plain
// positional notation: 12.5, 30, -0, 100000000000000000000, 0.1, NaN, inf.
std::string float_short(float v);

// As float_short, but with at least one decimal (1.0, -0.0), and in exponent
// notation for nonzero magnitudes below 1e-4 or from 1e16 up (1e-5, 1.5e16).
std::string float_debug(float v);

// Fixed notation with exactly four decimals, correctly rounded from the
// exact value (ties to even); a negative value keeps its sign (-0.0000).
std::string float_fixed4(float v);

}  // namespace rotalink
