#pragma once

#include <cstddef>

namespace jointcast {

// Writes a single-precision value, widened to double, with the given number of decimals (0 to
// 6) exactly as printf's "%.*f" does in the C locale: the exact binary value rounded to nearest,
// ties to even, a minus sign whenever the sign bit is set ("-0.000000"), a full stop. No
// terminating zero. Returns the length, or 0 when the value is not finite, its magnitude is
// 1e12 or more, or the text does not fit.
//
// Written with integer arithmetic because a float times 10^6 is exact in 64 bits, where the
// library's general double formatting would bring tables of a hundred kilobytes into the
// Windows program.
std::size_t FormatFixed(float value, int decimals, char* out, std::size_t capacity);

}  // namespace jointcast
