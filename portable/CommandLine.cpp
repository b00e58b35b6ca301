#include "portable/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#ifndef JOINTCAST_VERSION
#define JOINTCAST_VERSION "3.0.0"
#endif
#include "CommitId.h"  // JOINTCAST_COMMIT, written at each build

namespace portable {
namespace {

CLI::Validator Checked(std::function<std::string(const std::string&)> check) {
  return CLI::Validator([check = std::move(check)](std::string& value) { return check(value); },
                        "");
}

std::string Shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

template <typename T>
void AddNumber(CLI::App& app, const std::string& name, const std::string& valueName, T low, T high,
               T& target, const std::string& help) {
  const double lowest = static_cast<double>(low), highest = static_cast<double>(high);
  const bool whole = std::is_integral_v<T>;
  // Checked before CLI11 converts it, so the message says what is wrong with the value.
  const auto check = [lowest, highest, whole](const std::string& value) -> std::string {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(number)) {
      return "'" + value + "' is not a number";
    }
    if (whole && number != std::floor(number)) return "'" + value + "' is not a whole number";
    if (number < lowest || number > highest) {
      return "'" + value + "' is not from " + Shown(lowest) + " to " + Shown(highest);
    }
    return {};
  };
  app.add_option(name, target,
                 help + " (" + Shown(lowest) + " to " + Shown(highest) + "; default " +
                     Shown(static_cast<double>(target)) + ")")
      ->type_name(valueName)
      ->check(Checked(check));
}

}  // namespace

std::string CommandLine::Version() {
  return std::string("jointcast ") + JOINTCAST_VERSION + " (commit " + JOINTCAST_COMMIT + ")";
}

CommandLine::CommandLine(std::string program, const std::string& description)
    : program_(std::move(program)), app_(std::make_unique<CLI::App>(description, program_)) {
  app_->set_version_flag("--version", Version(), "show the version and the commit");
  app_->get_formatter()->column_width(30);
}

CommandLine::~CommandLine() = default;

void CommandLine::Flag(const std::string& name, bool& target, const std::string& help) {
  app_->add_flag(name, target, help);
}

void CommandLine::Positional(const std::string& name, std::string& target,
                             const std::string& help) {
  app_->add_option(name, target, help)->required();
}

void CommandLine::Text(const std::string& name, const std::string& valueName, std::string& target,
                       const std::string& help,
                       std::function<std::string(const std::string&)> check) {
  CLI::Option* option =
      app_->add_option(name, target, target.empty() ? help : help + " (default " + target + ")")
          ->type_name(valueName);
  if (check) option->check(Checked(std::move(check)));
}

void CommandLine::List(const std::string& name, const std::string& valueName,
                       std::vector<std::string>& target, const std::string& help) {
  app_->add_option(name, target, help)->type_name(valueName)->take_all()->expected(1);
}

void CommandLine::Number(const std::string& name, const std::string& valueName, double low,
                         double high, double& target, const std::string& help) {
  AddNumber(*app_, name, valueName, low, high, target, help);
}

void CommandLine::Number(const std::string& name, const std::string& valueName, unsigned long low,
                         unsigned long high, unsigned long& target, const std::string& help) {
  AddNumber(*app_, name, valueName, low, high, target, help);
}

void CommandLine::Number(const std::string& name, const std::string& valueName, unsigned low,
                         unsigned high, unsigned& target, const std::string& help) {
  AddNumber(*app_, name, valueName, low, high, target, help);
}

void CommandLine::Parse(int argc, char** argv) {
  try {
    app_->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app_->help().c_str(), stdout);
    std::exit(0);
  } catch (const CLI::CallForVersion&) {
    std::printf("%s\n", Version().c_str());
    std::exit(0);
  } catch (const CLI::ParseError& error) {
    Fail(error.what());
  }
}

void CommandLine::Parse(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  Parse(static_cast<int>(argv.size()), argv.data());
}

std::string CommandLine::TryParse(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  try {
    app_->parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    std::string problem = error.what();
    for (char& c : problem) {
      if (c == '\n') c = ' ';
    }
    return problem.empty() ? "not accepted" : problem;
  }
  return {};
}

bool CommandLine::Given(const std::string& name) const {
  return app_->count(name) > 0;
}

void CommandLine::Fail(const std::string& problem) const {
  std::string line = problem;
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::fprintf(stderr, "%s: %s; try '%s --help'\n", program_.c_str(), line.c_str(),
               program_.c_str());
  std::exit(2);
}

}  // namespace portable
