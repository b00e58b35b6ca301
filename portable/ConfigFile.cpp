#include "portable/ConfigFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace portable {
namespace {

constexpr std::size_t kMostLines = 1000;  // a configuration, not a data file

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsKey(const std::string& key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

}  // namespace

Result<std::vector<ConfigSetting>> ReadConfigFile(const std::string& path) {
  using Failed = Result<std::vector<ConfigSetting>>;
  std::ifstream file(path);
  if (!file) return Failed::Failure(path + ": cannot read it: " + std::strerror(errno));
  std::vector<ConfigSetting> settings;
  std::string text;
  for (int number = 1; std::getline(file, text); ++number) {
    if (static_cast<std::size_t>(number) > kMostLines) {
      return Failed::Failure(path + ": more than " + std::to_string(kMostLines) + " lines");
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const std::string line = Trimmed(text);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const std::size_t equals = line.find('=');
    const std::string key = Trimmed(line.substr(0, equals));
    if (equals == std::string::npos || !IsKey(key)) {
      return Failed::Failure(where + "not KEY=VALUE: '" + line + "'");
    }
    std::string value = Trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    } else if (value.find_first_of("\"'#") != std::string::npos) {
      // "#" after a value is no comment to systemd either: it would end up in the value.
      return Failed::Failure(where + key + ": '" + value +
                             "' holds a quote or '#'; comments go on lines of their own");
    }
    const auto same = [&key](const ConfigSetting& s) { return s.key == key; };
    if (std::any_of(settings.begin(), settings.end(), same)) {
      return Failed::Failure(where + key + " is set twice");
    }
    settings.push_back({key, value, number});
  }
  if (file.bad()) return Failed::Failure(path + ": cannot read it: " + std::strerror(errno));
  return settings;
}

}  // namespace portable
