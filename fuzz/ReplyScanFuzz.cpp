// libFuzzer target: the reply text scan, on arbitrary UTF-16 text (the bytes taken in pairs), as
// ShowVarResult hands it over. A reading it returns must be six numbers, and when they are
// sendable the datagram must be well formed.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/AxisReply.h"
#include "app/PositionDatagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  }
  const auto axes = jointcast::ScanAxisReply(text);
  if (!axes) return 0;
  for (float value : *axes) {
    if (std::isnan(value)) __builtin_trap();  // the scan reads no "nan"
  }
  char buffer[128];
  const auto length = jointcast::FormatPositionDatagram(*axes, buffer, sizeof buffer);
  if (jointcast::Sendable(*axes) != length.has_value()) __builtin_trap();
  return 0;
}
