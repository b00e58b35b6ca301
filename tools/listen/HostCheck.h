#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace receiver {

// Whether a request's Host header names this server in a way no other site can: an IP literal
// (IPv4, or IPv6 in brackets), "localhost", or one of the known names (this machine's name,
// and those the operator adds), with or without a port, case ignored. A page on another site
// that rebinds its own name to this address sends its own name, and is refused: it cannot read
// the positions. An empty header is let through here: the server refuses it on HTTP/1.1, and
// on HTTP/1.0 (no header) it is no browser's.
bool HostAllowed(std::string_view header, const std::vector<std::string>& knownNames);

// This machine's name (no lookup: a resolver that does not answer must not hold the start).
std::vector<std::string> MachineNames();

}  // namespace receiver
