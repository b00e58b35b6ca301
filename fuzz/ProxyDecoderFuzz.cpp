// libFuzzer target: arbitrary bytes, cut into arbitrary pieces, through both decoders. Any read
// past the data or inconsistent frame is a sanitizer report.
#include <cstddef>
#include <cstdint>

#include "lib/proxy/ProxyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 16;
  proxy::ReplyDecoder replies;
  proxy::RequestDecoder requests;
  std::size_t total = 0;
  for (std::size_t at = 1; at < size; at += chunk) {
    const std::size_t n = size - at < chunk ? size - at : chunk;
    replies.Feed(data + at, n);
    requests.Feed(data + at, n);
    while (auto reply = replies.Next()) total += reply->value.size() + proxy::kReplyOverhead;
    while (auto request = requests.Next()) {
      if (request->name.size() > proxy::RequestDecoder::kMaxNameLength) __builtin_trap();
    }
  }
  // Every byte handed out as a reply came from the input.
  if (total + replies.Buffered() != size - 1) __builtin_trap();
  return 0;
}
