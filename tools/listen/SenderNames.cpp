#include "tools/listen/SenderNames.h"

#include <arpa/inet.h>
#include <mosquitto.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fstream>
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

}  // namespace

bool SenderNames::Load(const std::string& path, std::string& error,
                       std::vector<std::string>& problems) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::map<std::string, std::string> names;
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string content = line.substr(0, line.find('#'));
    std::istringstream words(content);
    std::string address, name, more;
    if (!(words >> address)) continue;  // blank or a comment
    std::string problem;
    in_addr parsed{};
    if (!(words >> name) || (words >> more)) {
      problem = "expected ADDRESS NAME";
    } else if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
      problem = "'" + address.substr(0, 40) + "' is not an IPv4 address";
    } else if (names.size() >= kMaxNames) {
      problem = "more than " + std::to_string(kMaxNames) + " names";
    } else if (names.count(address) != 0) {
      problem = address + " has a name already";
    } else if (const auto taken =
                   std::find_if(names.begin(), names.end(),
                                [&](const auto& entry) { return entry.second == name; });
               taken != names.end()) {
      // Two robots on one retained topic would show as one.
      problem = "'" + name + "' is the name of " + taken->first + " already";
    } else {
      problem = NameProblem(name);
    }
    if (!problem.empty()) {
      problems.push_back("line " + std::to_string(number) + ": " + problem);
      continue;
    }
    names[address] = name;
  }
  names_ = std::move(names);
  return true;
}

const std::string& SenderNames::NameOf(const std::string& address) const {
  const auto it = names_.find(address);
  return it == names_.end() ? address : it->second;
}

}  // namespace receiver
