#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace tools {

// The command line of the programs beside the publisher: "--name VALUE" options, "--name"
// flags and --help. A bad or unknown option prints the usage to stderr and exits with 2; --help
// prints it to stdout and exits with 0.
class CommandLine {
 public:
  CommandLine(std::string program, std::string usage)
      : program_(std::move(program)), usage_(std::move(usage)) {}

  void Flag(const std::string& name, bool& target);
  // The one argument that is not an option (required).
  void Positional(const std::string& name, std::string& target) {
    positionalName_ = name;
    positional_ = &target;
  }
  void Text(const std::string& name, std::string& target);
  // A number within [low, high]; whole when the target is.
  template <typename T>
  void Number(const std::string& name, double low, double high, T& target) {
    options_.push_back({name, true, [=, &target](const char* value) {
                          double number = 0;
                          if (!ReadNumber(value, low, high, std::is_integral_v<T>, number)) {
                            return false;
                          }
                          target = static_cast<T>(number);
                          return true;
                        }});
  }

  void Parse(int argc, char** argv) const;
  [[noreturn]] void Fail(const std::string& message) const;

 private:
  static bool ReadNumber(const char* text, double low, double high, bool whole, double& value);

  struct Option {
    std::string name;
    bool takesValue;
    std::function<bool(const char* value)> apply;  // false: the value is not acceptable
  };
  std::string program_;
  std::string usage_;
  std::vector<Option> options_;
  std::string positionalName_;
  std::string* positional_ = nullptr;
};

}  // namespace tools
