#include "app/PeriodArgument.h"

#include <charconv>

#include "app/PollCycle.h"

namespace jointcast {

std::optional<std::uint32_t> ParsePeriodArguments(const std::vector<std::string>& arguments,
                                                  std::string& problem) {
  std::uint32_t period = kReadInterval;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string value;
    if (argument == "--period" && i + 1 < arguments.size()) {
      value = arguments[++i];
    } else if (argument.rfind("--period=", 0) == 0) {
      value = argument.substr(9);
    } else {
      problem = argument == "--period" ? "--period needs a value"
                                       : "unknown option " + argument.substr(0, 80);
      return std::nullopt;
    }
    unsigned long number = 0;
    const char* end = value.data() + value.size();
    const auto [stopped, error] = std::from_chars(value.data(), end, number);
    if (value.empty() || error != std::errc{} || stopped != end || number > kMaxReadPeriod) {
      problem = "--period takes milliseconds from 0 to " + std::to_string(kMaxReadPeriod) +
                ", not '" + value.substr(0, 80) + "'";
      return std::nullopt;
    }
    period = static_cast<std::uint32_t>(number);
  }
  return period;
}

}  // namespace jointcast
