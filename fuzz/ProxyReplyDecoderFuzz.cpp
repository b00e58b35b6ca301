// libFuzzer target: arbitrary bytes, cut into arbitrary pieces, through the reply decoder, as the
// publisher receives them from a proxy. Reading past the data is a sanitizer report; a frame the
// decoder hands out must be made of input bytes and follow the protocol.
#include <cstddef>
#include <cstdint>

#include "lib/proxy/ProxyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 16;
  proxy::ReplyDecoder replies;
  std::size_t total = 0;
  for (std::size_t at = 1; at < size; at += chunk) {
    const std::size_t n = size - at < chunk ? size - at : chunk;
    replies.Feed(data + at, n);
    while (auto reply = replies.Next()) total += reply->value.size() + proxy::kReplyOverhead;
  }
  // Every byte handed out came from the input, and none was lost while the stream was sound.
  if (total + replies.Buffered() > size - 1) __builtin_trap();
  if (!replies.Malformed() && total + replies.Buffered() != size - 1) __builtin_trap();
  return 0;
}
