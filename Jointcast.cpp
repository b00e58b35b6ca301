// Jointcast's entry. On Windows: the native window and the controller's CrossLib ActiveX control;
// no command line. Elsewhere: the Qt window, reading the simulated controller or a real one
// through its TCP variable proxy.
#include "app/Mdialog.h"
#include "app/Program.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"

#if defined(_WIN32)

#include "lib/win/CrossControl.h"
#include "ui/win/WinApplication.h"
#include "ui/win/WinToolkit.h"

int main() {
  ui::win::WinApplication application;
  ui::win::WinToolkit toolkit(application);
  return jointcast::RunProgram(application, [&] {
    return std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, platform::SystemClock(), platform::SystemSockets(),
        [&]() -> std::unique_ptr<crosslib::TCross> {
          return std::make_unique<crosslib::CrossControl>(toolkit.LastFormWindow());
        }});
  });
}

#else

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/proxy/ProxyCross.h"
#include "lib/sim/SimulatedCross.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtToolkit.h"

namespace {

constexpr const char* kUsage =
    "usage: jointcast [--controller HOST[:PORT]]\n"
    "Streams a robot arm's joint angles as UDP datagrams to port 4849 of the host set in the\n"
    "window (default localhost).\n"
    "  --controller HOST[:PORT]  read the controller through its TCP variable proxy (port 7000\n"
    "                            by default); without it a simulated controller is read\n"
    "  --help                    show this text\n";

struct Options {
  bool useProxy = false;
  std::string host;
  std::uint16_t port = proxy::kDefaultPort;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    std::string value;
    if (arg == "--controller" && i + 1 < argc) {
      value = argv[++i];
    } else if (arg.rfind("--controller=", 0) == 0) {
      value = arg.substr(13);
    } else {
      std::fprintf(stderr, "jointcast: unknown option '%s'\n%s", arg.c_str(), kUsage);
      std::exit(2);
    }
    if (!proxy::ParseHostPort(value, options.host, options.port)) {
      std::fprintf(stderr, "jointcast: '%s' is not HOST or HOST:PORT (port 1 to 65535)\n",
                   value.c_str());
      std::exit(2);
    }
    options.useProxy = true;
  }
  return options;
}

bool HasDisplay() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

// Latency of the simulated controller's replies; a knob for benchmarks and demonstrations.
std::uint32_t SimulatedLatency() {
  const char* text = std::getenv("JOINTCAST_SIM_LATENCY_MS");
  if (text == nullptr) return 4;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return end != text && *end == '\0' && value <= 60000 ? static_cast<std::uint32_t>(value) : 4;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && !HasDisplay()) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::fprintf(stderr, "jointcast: no display found, running offscreen (no window is shown)\n");
  }
  ui::qt::QtApplication application(argc, argv);
  ui::qt::QtToolkit toolkit(application);
  if (application.Offscreen()) toolkit.EchoLabel("LMessage");
  platform::Clock& clock = platform::SystemClock();
  const std::uint32_t latency = SimulatedLatency();
  return jointcast::RunProgram(application, [&] {
    return std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, platform::SystemSockets(), [&]() -> std::unique_ptr<crosslib::TCross> {
          if (options.useProxy) {
            return std::make_unique<proxy::ProxyCross>(options.host, options.port, application,
                                                       application);
          }
          return std::make_unique<sim::SimulatedCross>(application, clock, latency);
        }});
  });
}

#endif
