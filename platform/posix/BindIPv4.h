#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Binds a socket to a local IPv4 address, given as a name ("localhost") or a dotted address, and
// a port (0: any). False with the reason in reason: the resolver's when the name does not
// resolve, the system's when the bind fails.
bool BindIPv4(int fd, const std::string& host, std::uint16_t port, std::string& reason);

}  // namespace platform
