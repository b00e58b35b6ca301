#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "portable/Result.h"

namespace portable {

constexpr std::uint16_t kReceiverPort = 4849;

// One receiver of the datagrams: a host name or IPv4 address, and a UDP port.
struct ReceiverAddress {
  std::string host;
  std::uint16_t port = kReceiverPort;
  // "sim-pc:4849", for messages.
  std::string Text() const { return host + ":" + std::to_string(port); }
};

// "HOST[:PORT]" receivers separated by commas or blanks ("sim-pc, 10.9.0.255:5000"); a port
// left out is 4849. The receivers, or why the text is not such a list, quoting the bad part.
Result<std::vector<ReceiverAddress>> ParseReceivers(std::string_view text);

// The receivers as one line again, each with its port: "sim-pc:4849, 10.9.0.255:5000".
std::string ReceiversText(const std::vector<ReceiverAddress>& receivers);

}  // namespace portable
