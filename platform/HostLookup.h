#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The first IPv4 address of a host name or dotted address, through getaddrinfo; the empty name
// is this machine, looked up by its own host name. On Windows, Windows Sockets must be started.
std::optional<std::array<std::uint8_t, 4>> LookupIPv4(const std::string& name);

}  // namespace platform
