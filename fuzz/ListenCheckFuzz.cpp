// libFuzzer target: jointcast-listen's datagram check and its printable form of any payload. The
// check must agree with a plain reading of the format: six fields "-?[0-9]{1,12}\.[0-9]{6}"
// joined by single spaces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/listen/StreamStats.h"

namespace {

bool Field(std::string_view f) {
  std::size_t i = !f.empty() && f[0] == '-' ? 1 : 0;
  const std::size_t point = f.find('.');
  if (point == std::string_view::npos || point == i || point - i > 12 || f.size() - point != 7) {
    return false;
  }
  for (std::size_t k = i; k < f.size(); ++k) {
    if (k != point && (f[k] < '0' || f[k] > '9')) return false;
  }
  return true;
}

bool Reference(std::string_view payload) {
  int fields = 0;
  while (true) {
    const std::size_t space = payload.find(' ');
    if (!Field(payload.substr(0, space))) return false;
    ++fields;
    if (space == std::string_view::npos) return fields == 6;
    payload.remove_prefix(space + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  if (receiver::IsPositionDatagram(payload) != Reference(payload)) __builtin_trap();
  const std::string shown = receiver::Printable(payload);
  for (char c : shown) {
    if (c < 0x20 || c > 0x7e) __builtin_trap();  // one terminal line, nothing else
  }
  return 0;
}
