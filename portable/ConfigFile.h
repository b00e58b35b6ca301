#pragma once

#include <string>
#include <vector>

#include "portable/Result.h"

namespace portable {

// One setting of a configuration file, with the line it is on (for the messages).
struct ConfigSetting {
  std::string key;
  std::string value;
  int line = 0;
};

// Reads a file of KEY=VALUE lines, the form systemd's EnvironmentFile takes: blanks around the
// '=', a value in single or double quotes, '#' comment lines, blank lines and CRLF line ends are
// fine. A key appears once. The settings, or one line "FILE:LINE: why" (or "FILE: why" when the
// file cannot be read) naming what is wrong.
Result<std::vector<ConfigSetting>> ReadConfigFile(const std::string& path);

}  // namespace portable
