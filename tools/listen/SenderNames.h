#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace receiver {

// The names people know their robots by, for the addresses they send from: a file of
// "ADDRESS NAME" and "ADDRESS:PORT NAME" lines (IPv4 address, UDP port, one word), "#" comments
// and blank lines. An address listed with a port is a host of several publishers, each sending
// from a port of its own: its datagrams are told apart by port. Any other address is one sender
// whatever its port, so that a publisher that restarts from a new port is still the same one. A
// name is used as one level of an MQTT topic, so it may not hold "/", "+", "#", white space or
// control characters, and is at most 64 bytes.
class SenderNames {
 public:
  static constexpr std::size_t kMaxName = 64;
  static constexpr std::size_t kMaxNames = 10000;
  static constexpr std::size_t kMaxFileBytes = 1 << 20;
  static constexpr std::size_t kMaxProblemsSaid = 20;

  // Reads the file, a regular one of at most kMaxFileBytes (a FIFO or a device could block or
  // never end); on success the names replace the old ones. A bad line is skipped and named in
  // problems ("line 3: ..."), the first kMaxProblemsSaid of them, then one line with how many
  // more. False, with the reason, when the file cannot be read; the old names then stay.
  bool Load(const std::string& path, std::string& error, std::vector<std::string>& problems);
  // Who sent from the address and port: "ADDRESS:PORT" when the address is listed with ports,
  // else "ADDRESS".
  std::string SenderOf(const std::string& address, std::uint16_t port) const;
  // The sender's name, or the sender itself when it has none.
  const std::string& NameOf(const std::string& sender) const;
  std::size_t Size() const { return names_.size(); }
  // Every named sender ("ADDRESS" or "ADDRESS:PORT") with its name.
  const std::map<std::string, std::string>& All() const { return names_; }

 private:
  std::map<std::string, std::string> names_;  // by sender
  std::set<std::string> byPort_;              // addresses listed with ports
};

}  // namespace receiver
