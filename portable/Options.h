#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace portable {

// The command line of the portable programs (jointcast and jointcastd).
struct Options {
  bool useProxy = false;  // read a controller through its TCP variable proxy
  std::string proxyHost;
  std::uint16_t proxyPort = 0;
  bool headless = false;
  // --to, each receiver HOST[:PORT], joined with ", " as if typed into the address field
  std::optional<std::string> destination;
  unsigned sourcePort = 0;  // --source-port: 0 for any
  unsigned periodMs = 200;  // --period: from one read to the next
};

// Prints the help or the version and exits with 0, or a usage error and exits with 2.
Options ParseOptions(int argc, char** argv, const char* program);

}  // namespace portable
