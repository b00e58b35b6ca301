#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using IPv4Address = std::array<std::uint8_t, 4>;  // network byte order

// Every IPv4 address of a host name or dotted address, in the order getaddrinfo gives them. On
// Windows, Windows Sockets must be started.
std::vector<IPv4Address> ResolveAllIPv4(const std::string& host);

// The first IPv4 address of a host name or dotted address, or nothing with the resolver's own
// reason ("Name or service not known") in reason.
std::optional<IPv4Address> ResolveIPv4(const std::string& host, std::string& reason);

using AddressResolver = std::vector<IPv4Address> (*)(const std::string& host);

// The first address of a name; the empty name is this machine, looked up by its own host name.
// Tests put a resolver of their own in place of the system's.
std::optional<IPv4Address> LookupIPv4(const std::string& name,
                                      AddressResolver resolve = ResolveAllIPv4);

}  // namespace platform
