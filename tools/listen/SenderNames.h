#pragma once

#include <map>
#include <string>
#include <vector>

namespace receiver {

// The names people know their robots by, for the addresses they send from: a file of
// "ADDRESS NAME" lines (IPv4 address, one word), "#" comments and blank lines. A name is used
// as one level of an MQTT topic, so it may not hold "/", "+", "#", white space or control
// characters, and is at most 64 bytes.
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
  // The sender's name, or its address when it has none.
  const std::string& NameOf(const std::string& address) const;
  std::size_t Size() const { return names_.size(); }

 private:
  std::map<std::string, std::string> names_;
};

}  // namespace receiver
