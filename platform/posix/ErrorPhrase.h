#pragma once

#include <cstring>
#include <string>

namespace platform {

// A system error as a phrase within a line: "Connection refused" becomes "connection refused".
inline std::string ErrorPhrase(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

}  // namespace platform
