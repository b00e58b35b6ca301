#include "app/PositionDatagram.h"

#include <cmath>

#include "app/FixedDecimal.h"

namespace jointcast {

bool Sendable(const AxisValues& values) {
  for (float value : values) {
    if (!std::isfinite(value) || std::fabs(static_cast<double>(value)) >= kLargestSendable) {
      return false;
    }
  }
  return true;
}

std::optional<std::size_t> FormatPositionDatagram(const AxisValues& values, char* buffer,
                                                  std::size_t capacity) {
  if (capacity == 0) return std::nullopt;
  buffer[0] = '\0';
  if (!Sendable(values)) return std::nullopt;
  char* out = buffer;
  char* const last = buffer + capacity - 1;  // room for the terminating zero
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      if (out == last) return buffer[0] = '\0', std::nullopt;
      *out++ = ' ';
    }
    const std::size_t length = FormatFixed(values[i], 6, out, static_cast<std::size_t>(last - out));
    if (length == 0) return buffer[0] = '\0', std::nullopt;
    out += length;
  }
  *out = '\0';
  return static_cast<std::size_t>(out - buffer);
}

}  // namespace jointcast
