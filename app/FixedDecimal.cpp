#include "app/FixedDecimal.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace jointcast {

std::size_t FormatFixed(float value, int decimals, char* out, std::size_t capacity) {
  if (decimals < 0 || decimals > 6 || !std::isfinite(value) ||
      std::fabs(static_cast<double>(value)) >= 1e12) {
    return 0;
  }
  // |value| = mantissa * 2^exponent exactly, with a whole 24-bit mantissa.
  int exponent = 0;
  const float fraction = std::frexp(std::fabs(value), &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 24));
  exponent -= 24;
  // |value| * 10^decimals = mantissa * 5^decimals * 2^(exponent + decimals), below 2^38 * 2^shift.
  std::uint64_t fives = 1, tens = 1;
  for (int i = 0; i < decimals; ++i) fives *= 5, tens *= 10;
  const std::uint64_t product = mantissa * fives;
  const int shift = exponent + decimals;
  std::uint64_t scaled = 0;
  if (shift >= 0) {
    scaled = product << shift;  // below 1e18: the magnitude is under 1e12
  } else if (-shift < 64) {
    const int drop = -shift;
    scaled = product >> drop;
    const std::uint64_t rest = product & ((std::uint64_t{1} << drop) - 1);
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    if (rest > half || (rest == half && (scaled & 1) != 0)) ++scaled;
  }
  char text[32];
  char* end = text;
  if (std::signbit(value)) *end++ = '-';
  end = std::to_chars(end, text + sizeof text, scaled / tens).ptr;
  if (decimals > 0) {
    *end++ = '.';
    std::uint64_t rest = scaled % tens;
    for (int i = decimals - 1; i >= 0; --i, rest /= 10) end[i] = static_cast<char>('0' + rest % 10);
    end += decimals;
  }
  const auto length = static_cast<std::size_t>(end - text);
  if (length > capacity) return 0;
  for (std::size_t i = 0; i < length; ++i) out[i] = text[i];
  return length;
}

}  // namespace jointcast
