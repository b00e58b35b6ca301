// libFuzzer target: the position datagram for any six floats. It must fit the buffer, be in the
// published format and equal printf's "%f %f %f %f %f %f" of the widened floats; values that
// cannot be sent give nothing and an empty buffer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/PositionDatagram.h"
#include "tools/listen/StreamStats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6 * sizeof(float)) return 0;
  jointcast::AxisValues values;
  std::memcpy(values.data(), data, sizeof values);
  char buffer[128];
  std::memset(buffer, 'x', sizeof buffer);
  const auto length = jointcast::FormatPositionDatagram(values, buffer, sizeof buffer);
  if (!jointcast::Sendable(values)) {
    if (length || buffer[0] != '\0') __builtin_trap();
    return 0;
  }
  if (!length || *length >= sizeof buffer || buffer[*length] != '\0') __builtin_trap();
  char expected[256];
  std::snprintf(expected, sizeof expected, "%f %f %f %f %f %f", double{values[0]},
                double{values[1]}, double{values[2]}, double{values[3]}, double{values[4]},
                double{values[5]});
  if (std::string_view(buffer, *length) != expected) __builtin_trap();
  if (!receiver::IsPositionDatagram(std::string_view(buffer, *length))) __builtin_trap();
  return 0;
}
