#include "tools/listen/SenderNames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace receiver {
namespace {

// Why the name cannot be a topic level, or empty when it can.
std::string NameProblem(const std::string& name) {
  if (name.size() > SenderNames::kMaxName) {
    return "a name is at most " + std::to_string(SenderNames::kMaxName) + " bytes";
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '+' || c == '#' || byte < 0x20 || byte == 0x7f) {
      return "a name may not hold '/', '+', '#' or control characters";
    }
  }
  // MQTT's own rule for topics: well-formed UTF-8.
  if (mosquitto_validate_utf8(name.data(), static_cast<int>(name.size())) != MOSQ_ERR_SUCCESS) {
    return "a name must be UTF-8";
  }
  return {};
}

// A port number as written after the address: 1 to 65535, digits only; 0 when it is not one.
unsigned PortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  const unsigned long port = std::stoul(text);
  return port <= 65535 ? static_cast<unsigned>(port) : 0;
}

}  // namespace

bool SenderNames::Load(const std::string& path, std::string& error,
                       std::vector<std::string>& problems) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat file {};
  std::string text;
  if (fd < 0 || fstat(fd, &file) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(file.st_mode)) {
    error = "cannot read " + path + ": not a regular file";
  } else {
    // One byte more than the most there may be tells a file that is larger.
    text.resize(kMaxFileBytes + 1);
    std::size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < text.size(); got += static_cast<std::size_t>(n)) {
      while ((n = read(fd, text.data() + got, text.size() - got)) < 0 && errno == EINTR) {
      }
      if (n < 0) error = "cannot read " + path + ": " + std::strerror(errno);
      if (n <= 0) break;
    }
    text.resize(got);
    if (error.empty() && got > kMaxFileBytes) {
      error =
          "cannot read " + path + ": larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
    }
  }
  if (fd >= 0) close(fd);
  if (!error.empty()) return false;

  std::map<std::string, std::string> names;
  std::map<std::string, std::string> owners;  // name to address, for a duplicate found in log n
  std::set<std::string> byPort;
  std::size_t unsaid = 0;
  std::istringstream lines(text);
  std::string line;
  for (std::size_t number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string content = line.substr(0, line.find('#'));
    std::istringstream words(content);
    std::string address, name, more;
    if (!(words >> address)) continue;  // blank or a comment
    std::string problem;
    in_addr parsed{};
    const std::size_t colon = address.find(':');
    const std::string host = address.substr(0, colon);
    const unsigned port = colon == std::string::npos ? 0 : PortNumber(address.substr(colon + 1));
    // As the sender is named when its datagrams come: "04001" is port 4001.
    if (port != 0) address = host + ":" + std::to_string(port);
    if (!(words >> name) || (words >> more)) {
      problem = "expected ADDRESS NAME or ADDRESS:PORT NAME";
    } else if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
      problem = "'" + host.substr(0, 40) + "' is not an IPv4 address";
    } else if (colon != std::string::npos && port == 0) {
      problem = "'" + address.substr(colon + 1, 20) + "' is not a port from 1 to 65535";
    } else if (names.size() >= kMaxNames) {
      problem = "more than " + std::to_string(kMaxNames) + " names";
    } else if (names.count(address) != 0) {
      problem = address + " has a name already";
    } else if (const auto owner = owners.find(name); owner != owners.end()) {
      // Two robots on one retained topic would show as one.
      problem = "'" + name + "' is the name of " + owner->second + " already";
    } else {
      problem = NameProblem(name);
    }
    if (problem.empty()) {
      names[address] = name;
      owners[name] = address;
      if (colon != std::string::npos) byPort.insert(host);
    } else if (problems.size() < kMaxProblemsSaid) {
      problems.push_back("line " + std::to_string(number) + ": " + problem);
    } else {
      ++unsaid;
    }
  }
  if (unsaid > 0) problems.push_back(std::to_string(unsaid) + " more lines");
  // A name for the whole address names nobody once its datagrams are told apart by port.
  for (const std::string& host : byPort) {
    if (names.erase(host) != 0 && problems.size() < kMaxProblemsSaid) {
      problems.push_back(host + " is listed with ports too, so its datagrams are told apart by " +
                         "port and the name without one is not used");
    }
  }
  names_ = std::move(names);
  byPort_ = std::move(byPort);
  return true;
}

std::string SenderNames::SenderOf(const std::string& address, std::uint16_t port) const {
  if (byPort_.empty() || byPort_.count(address) == 0) return address;
  return address + ":" + std::to_string(port);
}

const std::string& SenderNames::NameOf(const std::string& sender) const {
  const auto it = names_.find(sender);
  return it == names_.end() ? sender : it->second;
}

}  // namespace receiver
