#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace portable {

// The command line of every portable program, on CLI11: "--name VALUE" and "--name=VALUE",
// --help listing every option with its default, --version. A usage error is one line that names
// the problem and points to --help, and exit code 2.
class CommandLine {
 public:
  // The description is the paragraph --help shows under the usage line.
  CommandLine(std::string program, const std::string& description);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  void Flag(const std::string& name, bool& target, const std::string& help);
  // The one argument that is not an option (required).
  void Positional(const std::string& name, std::string& target, const std::string& help);
  // A text; its default is the target's value, if any. check returns why a value is not
  // acceptable, or an empty text when it is.
  void Text(const std::string& name, const std::string& valueName, std::string& target,
            const std::string& help, std::function<std::string(const std::string&)> check = {});
  // A text that may be given more than once; each one is added to the list.
  void List(const std::string& name, const std::string& valueName, std::vector<std::string>& target,
            const std::string& help);
  // A number within [low, high]; whole when the target is. Its default is the target's value.
  void Number(const std::string& name, const std::string& valueName, double low, double high,
              double& target, const std::string& help);
  void Number(const std::string& name, const std::string& valueName, unsigned long low,
              unsigned long high, unsigned long& target, const std::string& help);
  void Number(const std::string& name, const std::string& valueName, unsigned low, unsigned high,
              unsigned& target, const std::string& help);

  // Parses, or prints --help or --version and exits with 0, or a usage error and exits with 2.
  void Parse(int argc, char** argv);
  void Parse(const std::vector<std::string>& arguments);
  // Parses without exiting: why the arguments are not acceptable, or an empty text when they
  // are (to check a configuration file's value as the option it stands for).
  std::string TryParse(const std::vector<std::string>& arguments);
  // Whether the option was given (after Parse).
  bool Given(const std::string& name) const;
  // A usage error found after parsing (two options that do not go together, say).
  [[noreturn]] void Fail(const std::string& problem) const;

  // "jointcast 3.0.0 (commit abc1234)"
  static std::string Version();

 private:
  std::string program_;
  std::unique_ptr<CLI::App> app_;
};

}  // namespace portable
