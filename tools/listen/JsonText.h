#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace receiver {

// Appends text as a JSON string: quoted, with '"', '\' and control characters escaped. A name
// from the names file may hold any of them but '/', '+' and '#'.
inline void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace receiver
