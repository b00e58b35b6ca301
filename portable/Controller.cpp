#include "portable/Controller.h"

#include <cstdlib>

#include "lib/proxy/ProxyCross.h"
#include "lib/sim/SimulatedCross.h"

namespace portable {
namespace {

std::uint32_t SimulatedLatency() {
  const char* text = std::getenv("JOINTCAST_SIM_LATENCY_MS");
  if (text == nullptr) return 4;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return end != text && *end == '\0' && value <= 60000 ? static_cast<std::uint32_t>(value) : 4;
}

}  // namespace

std::unique_ptr<crosslib::TCross> CreateController(const Options& options,
                                                   platform::EventPoster& poster,
                                                   platform::SocketWatcher& watcher,
                                                   platform::Clock& clock,
                                                   ControllerListeners listeners) {
  if (options.useProxy) {
    auto cross = std::make_unique<proxy::ProxyCross>(options.proxyHost, options.proxyPort, poster,
                                                     watcher, clock);
    cross->OnConnect = std::move(listeners.onConnect);
    cross->OnDisconnect = std::move(listeners.onDisconnect);
    cross->OnReading = std::move(listeners.onReading);
    return cross;
  }
  return std::make_unique<sim::SimulatedCross>(poster, clock, SimulatedLatency());
}

}  // namespace portable
