#include "tools/listen/HostCheck.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace receiver {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

bool HostAllowed(std::string_view header, const std::vector<std::string>& knownNames) {
  if (header.empty()) return true;
  // The name, then nothing or ":PORT", digits only: anything else is no browser's request.
  std::string host;
  std::string_view after;
  if (header.front() == '[') {  // [IPv6]:port
    const std::size_t close = header.find(']');
    if (close == std::string_view::npos) return false;
    host = header.substr(1, close - 1);
    after = header.substr(close + 1);
  } else {
    const std::size_t colon = header.find(':');
    host = header.substr(0, colon);
    if (colon != std::string_view::npos) after = header.substr(colon);
  }
  if (!after.empty() &&
      (after.size() < 2 || after.front() != ':' ||
       !std::all_of(after.begin() + 1, after.end(), [](char c) { return c >= '0' && c <= '9'; }))) {
    return false;
  }
  if (header.front() == '[') {
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1;
  }
  if (!host.empty() && host.back() == '.') host.pop_back();  // "localhost." is localhost
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return true;
  if (SameName(host, "localhost")) return true;
  return std::any_of(knownNames.begin(), knownNames.end(),
                     [&](const std::string& name) { return SameName(host, name); });
}

std::vector<std::string> MachineNames() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  return {name};
}

}  // namespace receiver
