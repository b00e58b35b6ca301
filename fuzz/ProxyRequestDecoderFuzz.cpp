// libFuzzer target: arbitrary bytes, cut into arbitrary pieces, through the request decoder, as
// jointcast-sim receives them from any client on a network.
#include <cstddef>
#include <cstdint>

#include "lib/proxy/ProxyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 16;
  proxy::RequestDecoder requests;
  std::size_t total = 0;
  for (std::size_t at = 1; at < size; at += chunk) {
    const std::size_t n = size - at < chunk ? size - at : chunk;
    requests.Feed(data + at, n);
    while (auto request = requests.Next()) {
      if (request->name.size() > proxy::RequestDecoder::kMaxNameLength) __builtin_trap();
      total += 7 + request->name.size();
    }
  }
  if (total + requests.Buffered() > size - 1) __builtin_trap();
  return 0;
}
