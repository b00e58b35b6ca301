// Jointcast's entry. On Windows: the native window and the controller's CrossLib ActiveX control;
// one option, --period. Elsewhere: the Qt window, reading the simulated controller or a real one
// through its TCP variable proxy; without a display, the headless jointcastd in its place.
#include "app/Mdialog.h"
#include "app/PeriodArgument.h"
#include "app/Program.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"

#if defined(_WIN32)

#include "lib/win/CrossControl.h"
#include "platform/win/DllSearch.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ui/win/WinApplication.h"
#include "ui/win/WinToolkit.h"

// An exception nobody catches ends the program plainly; the library's own handler would print
// the demangled type first, and bring a whole C++ demangler into the exe for that.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

int main(int argc, char** argv) {
  platform::RestrictDllSearch();  // before anything loads a DLL by name
  ui::win::WinApplication application;
  // One option: --period MS. Without it the program reads every 200 ms, as it always has.
  std::string problem;
  const std::optional<std::uint32_t> period =
      jointcast::ParsePeriodArguments(std::vector<std::string>(argv + 1, argv + argc), problem);
  if (!period) {
    application.ShowErrorBox(ui::ErrorBoxText(problem + ". Usage: Jointcast.exe [--period MS]"));
    return jointcast::kExitUsage;
  }
  ui::win::WinToolkit toolkit(application);
  return jointcast::RunProgram(application, [&] {
    auto dialog = std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, platform::SystemClock(), platform::SystemSockets(),
        [&]() -> std::unique_ptr<crosslib::TCross> {
          return std::make_unique<crosslib::CrossControl>(toolkit.LastFormWindow());
        }});
    dialog->ReadPeriod = *period;
    return dialog;
  });
}

#else

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "portable/Options.h"
#include "portable/Receivers.h"
#include "portable/RunPublisher.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtToolkit.h"

namespace {

bool HasDisplay() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

// Without a window the publisher runs as jointcastd, which sits beside this program and never
// loads Qt; it takes the same command line, less --headless, which it is already.
[[noreturn]] void RunHeadless(int argc, char** argv) {
  std::string self(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string path = "jointcastd";
  if (length > 0) {
    self.resize(static_cast<std::size_t>(length));
    path = self.substr(0, self.rfind('/') + 1) + "jointcastd";
  }
  std::vector<char*> arguments{path.data()};
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) != "--headless") arguments.push_back(argv[i]);
  }
  arguments.push_back(nullptr);
  execv(path.c_str(), arguments.data());
  std::fprintf(stderr, "jointcast: cannot start %s: %s\n", path.c_str(), std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const portable::Options options = portable::ParseOptions(argc, argv, "jointcast");
  const bool offscreenAsked = std::getenv("QT_QPA_PLATFORM") != nullptr &&
                              std::string(std::getenv("QT_QPA_PLATFORM")) == "offscreen";
  if (options.headless || (!HasDisplay() && !offscreenAsked)) {
    if (!options.headless) std::fprintf(stderr, "jointcast: no display found, running headless\n");
    RunHeadless(argc, argv);
  }
  // Through X shared memory, every repaint of an area sent before waits for a round trip to the
  // X server; six small labels go faster through the socket. A user's own setting wins.
  setenv("QT_XCB_NO_MITSHM", "1", 0);
  ui::qt::QtApplication application(argc, argv);
  ui::qt::QtToolkit toolkit(application);
  if (application.Offscreen()) {
    toolkit.EchoLabel("LMessage");
    application.SkipPainting();
  }
  // No report here: what the receivers have to say goes to stderr, beside the window.
  portable::Receivers receivers(
      platform::SystemSockets(), platform::SystemClock(),
      static_cast<std::uint16_t>(options.sourcePort),
      [](bool, const std::string& text) { std::fprintf(stderr, "jointcast: %s\n", text.c_str()); },
      portable::LocalTimeOfDay);
  return portable::RunPublisher(toolkit, application, application, receivers, options,
                                platform::SystemClock());
}

#endif
