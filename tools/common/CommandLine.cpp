#include "tools/common/CommandLine.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tools {
bool CommandLine::ReadNumber(const char* text, double low, double high, bool whole, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value >= low && value <= high &&
         (!whole || value == std::floor(value));
}

void CommandLine::Flag(const std::string& name, bool& target) {
  options_.push_back({name, false, [&target](const char*) { return target = true; }});
}

void CommandLine::Text(const std::string& name, std::string& target) {
  options_.push_back({name, true, [&target](const char* value) {
                        target = value;
                        return true;
                      }});
}

void CommandLine::Fail(const std::string& message) const {
  std::fprintf(stderr, "%s: %s\n%s", program_.c_str(), message.c_str(), usage_.c_str());
  std::exit(2);
}

void CommandLine::Parse(int argc, char** argv) const {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage_.c_str(), stdout);
      std::exit(0);
    }
    if (positional_ != nullptr && arg.rfind("--", 0) != 0 && positional_->empty()) {
      *positional_ = arg;
      continue;
    }
    const Option* option = nullptr;
    for (const Option& candidate : options_) {
      if (candidate.name == arg) option = &candidate;
    }
    if (option == nullptr) Fail("unknown option " + arg);
    const char* value = nullptr;
    if (option->takesValue) {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      value = argv[++i];
    }
    if (!option->apply(value)) Fail("bad value for " + arg + ": " + value);
  }
  if (positional_ != nullptr && positional_->empty()) Fail(positionalName_ + " is missing");
}

}  // namespace tools
