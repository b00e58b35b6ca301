#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jointcast {

// The Windows program's one option, "--period MS" or "--period=MS" (MS a whole number from 0
// to 10000): the read period, or 200 ms when it is not given. Nothing, with the problem in
// words, for anything else on the command line.
std::optional<std::uint32_t> ParsePeriodArguments(const std::vector<std::string>& arguments,
                                                  std::string& problem);

}  // namespace jointcast
