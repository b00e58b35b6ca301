// jointcastd: the publisher without a window, for servers and services. The same window
// behaviour and polling cycle run on components kept in memory; what the window would show, and
// what is tried and fails, goes to stderr, and to systemd when it started the program. SIGINT
// and SIGTERM end it as closing the window does. Needs no GUI toolkit.
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/posix/ServiceManager.h"
#include "portable/OperatorReport.h"
#include "portable/Options.h"
#include "portable/Receivers.h"
#include "portable/RunPublisher.h"
#include "ui/headless/HeadlessApplication.h"
#include "ui/headless/HeadlessToolkit.h"

namespace {

// systemd's RUNTIME_DIRECTORY for the unit's RuntimeDirectory=, which may name several,
// separated by ':'; the first is this service's.
std::string RuntimeDirectory() {
  const char* directories = std::getenv("RUNTIME_DIRECTORY");
  if (directories == nullptr) return {};
  const std::string all = directories;
  return all.substr(0, all.find(':'));
}

}  // namespace

int main(int argc, char** argv) {
  const portable::Options options = portable::ParseOptions(argc, argv, "jointcastd");
  ui::headless::HeadlessApplication application;
  platform::Clock& clock = application.StoppableClock();
  std::optional<portable::Receivers> receivers;  // made once the report they speak through is
  portable::OperatorReport report(
      {.controller =
           options.useProxy ? options.proxyHost + ":" + std::to_string(options.proxyPort) : "",
       .receiver = options.destination.value_or("localhost:4849"),
       .receiverTrouble = [&receivers] { return receivers->Trouble(); },
       .addressProblem = [&receivers] { return receivers->Problem(); },
       .timeOfDay = {},
       .runtimeDirectory = RuntimeDirectory()},
      clock, application, platform::SystemServiceManager());
  receivers.emplace(
      platform::SystemSockets(), clock, static_cast<std::uint16_t>(options.sourcePort),
      [&report](bool isError, const std::string& text) { report.ReceiverNews(isError, text); },
      portable::LocalTimeOfDay);
  report.Start();
  application.onShown = [&report] { report.Shown(); };
  application.onErrorBox = [&report](const std::string& text) { report.StartupFailed(text); };
  ui::headless::HeadlessToolkit toolkit(application, report);
  return portable::RunPublisher(
      toolkit, application, application, *receivers, options, clock,
      {.onConnect = [&report](
                        bool connected,
                        const std::string& reason) { report.ControllerConnect(connected, reason); },
       .onDisconnect =
           [&report](const std::string& reason) { report.ControllerDisconnected(reason); },
       .onReading = [&report](const std::string& value) { report.ControllerReading(value); }});
}
