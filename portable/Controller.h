#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lib/CrossLib_OCX.h"
#include "platform/Clock.h"
#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "portable/Options.h"

namespace portable {

// What the program is told of a real controller's proxy: each attempt to reach it and why one
// failed, why a connection broke, and each value a read returned.
struct ControllerListeners {
  std::function<void(bool connected, const std::string& reason)> onConnect;
  std::function<void(const std::string& reason)> onDisconnect;
  std::function<void(const std::string& value)> onReading;
};

// The controller the portable programs read: a real one through its variable proxy, or the
// simulated arm (its reply latency set by JOINTCAST_SIM_LATENCY_MS, for benchmarks and demos).
std::unique_ptr<crosslib::TCross> CreateController(const Options& options,
                                                   platform::EventPoster& poster,
                                                   platform::SocketWatcher& watcher,
                                                   platform::Clock& clock,
                                                   ControllerListeners listeners = {});

}  // namespace portable
