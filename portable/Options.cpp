#include "portable/Options.h"

#include <charconv>
#include <string>
#include <vector>

#include "app/PollCycle.h"
#include "lib/proxy/ProxyCross.h"
#include "portable/CommandLine.h"
#include "portable/ConfigFile.h"
#include "portable/ReceiverList.h"

namespace portable {
namespace {

// What the file sets and the command line does not. A mistake ends the program with one line
// that names the file, the line and the key, and exit code 2, which systemd does not restart.
void ApplyConfig(const std::string& path, const CommandLine& line, std::string& controller,
                 std::vector<std::string>& to, Options& options) {
  Result<std::vector<ConfigSetting>> settings = ReadConfigFile(path);
  if (!settings) line.Fail(settings.Reason());
  for (const ConfigSetting& setting : *settings) {
    const std::string where = path + ":" + std::to_string(setting.line) + ": " + setting.key;
    const std::string& value = setting.value;
    if (setting.key == "CONTROLLER") {
      std::string host;
      std::uint16_t port = 0;
      if (!proxy::ParseHostPort(value, host, port)) {
        line.Fail(where + ": '" + value + "' is not HOST or HOST:PORT (port 1 to 65535)");
      }
      if (line.Given("--controller")) continue;
      controller = value;
      options.proxyHost = host;
      options.proxyPort = port;
    } else if (setting.key == "RECEIVER") {
      if (const auto receivers = ParseReceivers(value); !receivers) {
        line.Fail(where + ": " + receivers.Reason());
      }
      if (!line.Given("--to")) to = {value};
    } else if (setting.key == "PERIOD") {
      unsigned period = 0;
      const char* last = value.data() + value.size();
      const auto [end, error] = std::from_chars(value.data(), last, period);
      if (value.empty() || error != std::errc{} || end != last ||
          period > jointcast::kMaxReadPeriod) {
        line.Fail(where + ": '" + value + "' is not a whole number of milliseconds from 0 to " +
                  std::to_string(jointcast::kMaxReadPeriod));
      }
      if (!line.Given("--period")) options.periodMs = period;
    } else if (setting.key == "SOURCE_PORT") {
      unsigned port = 0;
      const char* last = value.data() + value.size();
      const auto [end, error] = std::from_chars(value.data(), last, port);
      if (value.empty() || error != std::errc{} || end != last || port > 65535) {
        line.Fail(where + ": '" + value + "' is not a UDP port from 0 (any) to 65535");
      }
      if (!line.Given("--source-port")) options.sourcePort = port;
    } else {
      line.Fail(where + ": not a setting (CONTROLLER, RECEIVER, PERIOD and SOURCE_PORT are)");
    }
  }
}

}  // namespace

Options ParseOptions(int argc, char** argv, const char* program) {
  Options options;
  const bool window = std::string(program) == "jointcast";
  CommandLine line(program,
                   std::string("Streams a robot arm's joint angles as UDP datagrams to port 4849 "
                               "of a receiver") +
                       (window ? ", showing them in a small window." : ", without a window."));
  std::string controller;
  line.Text("--controller", "HOST[:PORT]", controller,
            "read the controller through its TCP variable proxy (port 7000 by default); "
            "without it a simulated controller is read",
            [&options](const std::string& value) -> std::string {
              if (proxy::ParseHostPort(value, options.proxyHost, options.proxyPort)) return {};
              return "'" + value + "' is not HOST or HOST:PORT (port 1 to 65535)";
            });
  std::vector<std::string> to;
  line.List("--to", "HOST[:PORT]", to,
            std::string(window ? "a receiver, as if typed into the window's address field: "
                               : "a receiver: ") +
                "host name or IPv4 address, UDP port 4849 unless given (default localhost); "
                "give it again, or a list separated by commas, and every reading goes to each");
  line.Number("--period", "MS", 0u, jointcast::kMaxReadPeriod, options.periodMs,
              "milliseconds from one read of the controller to the next; 0 reads again as soon "
              "as a reading is sent");
  line.Number("--source-port", "N", 0u, 65535u, options.sourcePort,
              "send from UDP port N, which tells publishers on one host apart (0: any port)");
  std::string config;
  line.Text("--config", "FILE", config,
            "settings from FILE, KEY=VALUE lines: CONTROLLER, RECEIVER (one or more), PERIOD, "
            "SOURCE_PORT (as --controller, --to, --period, --source-port; those given here win "
            "over the file)");
  if (window) {
    line.Flag("--headless", options.headless,
              "no window: status and indicator changes go to stderr (the same as having no "
              "display; runs jointcastd)");
  }
  line.Parse(argc, argv);
  if (!config.empty()) ApplyConfig(config, line, controller, to, options);
  options.useProxy = !controller.empty();
  std::vector<ReceiverAddress> receivers;
  for (const std::string& text : to) {
    Result<std::vector<ReceiverAddress>> some = ParseReceivers(text);
    if (!some) line.Fail("--to: " + some.Reason());
    receivers.insert(receivers.end(), some->begin(), some->end());
  }
  if (!receivers.empty()) options.destination = ReceiversText(receivers);
  return options;
}

}  // namespace portable
