// Jointcast's entry. On Windows: the native window and the controller's CrossLib ActiveX control;
// no command line. Elsewhere: the Qt window, reading the simulated controller or a real one
// through its TCP variable proxy; without a display, the headless jointcastd in its place.
#include "app/Mdialog.h"
#include "app/Program.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"

#if defined(_WIN32)

#include "lib/win/CrossControl.h"
#include "platform/win/DllSearch.h"

#include <cstdlib>
#include "ui/win/WinApplication.h"
#include "ui/win/WinToolkit.h"

// An exception nobody catches ends the program plainly; the library's own handler would print
// the demangled type first, and bring a whole C++ demangler into the exe for that.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

int main() {
  platform::RestrictDllSearch();  // before anything loads a DLL by name
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

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "portable/Options.h"
#include "portable/RunPublisher.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtToolkit.h"

namespace {

bool HasDisplay() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

// Without a window the publisher runs as jointcastd, which sits beside this program and never
// loads Qt; it takes the same command line.
[[noreturn]] void RunHeadless(char** argv) {
  std::string self(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string path = "jointcastd";
  if (length > 0) {
    self.resize(static_cast<std::size_t>(length));
    path = self.substr(0, self.rfind('/') + 1) + "jointcastd";
  }
  argv[0] = path.data();
  execv(path.c_str(), argv);
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
    RunHeadless(argv);
  }
  ui::qt::QtApplication application(argc, argv);
  ui::qt::QtToolkit toolkit(application);
  if (application.Offscreen()) {
    toolkit.EchoLabel("LMessage");
    application.SkipPainting();
  }
  return portable::RunPublisher(toolkit, application, application, options);
}

#endif
