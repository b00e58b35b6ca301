#include "portable/ReceiverList.h"

#include <arpa/inet.h>

#include <charconv>

namespace portable {
namespace {

// Letters, digits, '-', '.' and '_': what a host name or a dotted address is made of. Anything
// else (a second ':', a '/', a control character) is a mistake better named at once than sent
// to the resolver.
bool HostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

}  // namespace

Result<std::vector<ReceiverAddress>> ParseReceivers(std::string_view text) {
  constexpr std::string_view kSeparators = ", \t";
  std::vector<ReceiverAddress> receivers;
  std::size_t at = 0;
  while (true) {
    at = text.find_first_not_of(kSeparators, at);
    if (at == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(kSeparators, at), text.size());
    const std::string_view item = text.substr(at, end - at);
    at = end;
    const auto bad = [item](const std::string& why) {
      return Result<std::vector<ReceiverAddress>>::Failure("'" + std::string(item) +
                                                           "' is not HOST[:PORT]: " + why);
    };
    ReceiverAddress receiver;
    const std::size_t colon = item.find(':');
    receiver.host = std::string(item.substr(0, colon));
    if (receiver.host.empty()) return bad("no host");
    for (char c : receiver.host) {
      if (!HostCharacter(c))
        return bad("a host name or IPv4 address has no '" + std::string(1, c) + "'");
    }
    in_addr dotted{};
    if (receiver.host.find_first_not_of("0123456789.") == std::string::npos &&
        inet_pton(AF_INET, receiver.host.c_str(), &dotted) != 1) {
      // "5000" or "10.9.0" would be taken for an address by the resolver, silently.
      return bad("'" + receiver.host + "' is neither a host name nor a dotted IPv4 address");
    }
    if (colon != std::string_view::npos) {
      const std::string_view port = item.substr(colon + 1);
      unsigned value = 0;
      const auto [last, error] = std::from_chars(port.data(), port.data() + port.size(), value);
      if (port.empty() || error != std::errc{} || last != port.data() + port.size() || value == 0 ||
          value > 65535) {
        return bad("the port is a number from 1 to 65535");
      }
      receiver.port = static_cast<std::uint16_t>(value);
    }
    receivers.push_back(std::move(receiver));
  }
  if (receivers.empty()) return Result<std::vector<ReceiverAddress>>::Failure("no receiver given");
  return receivers;
}

std::string ReceiversText(const std::vector<ReceiverAddress>& receivers) {
  std::string text;
  for (const ReceiverAddress& receiver : receivers) {
    if (!text.empty()) text += ", ";
    text += receiver.Text();
  }
  return text;
}

}  // namespace portable
