// Jointcast, portable build: the publisher window on Qt, reading a simulated controller.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Mdialog.h"
#include "app/Program.h"
#include "lib/sim/SimulatedCross.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtToolkit.h"

namespace {

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
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && !HasDisplay()) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::fprintf(stderr, "jointcast: no display found, running offscreen (no window is shown)\n");
  }
  ui::qt::QtApplication application(argc, argv);
  ui::qt::QtToolkit toolkit(application);
  platform::Clock& clock = platform::SystemClock();
  const std::uint32_t latency = SimulatedLatency();
  return jointcast::RunProgram(application, [&] {
    return std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, platform::SystemSockets(), [&]() -> std::unique_ptr<crosslib::TCross> {
          return std::make_unique<sim::SimulatedCross>(application, clock, latency);
        }});
  });
}
