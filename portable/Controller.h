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

// Told of each attempt to reach a real controller's proxy, and why one failed.
using ConnectListener = std::function<void(bool connected, const std::string& reason)>;

// The controller the portable programs read: a real one through its variable proxy, or the
// simulated arm (its reply latency set by JOINTCAST_SIM_LATENCY_MS, for benchmarks and demos).
std::unique_ptr<crosslib::TCross> CreateController(const Options& options,
                                                   platform::EventPoster& poster,
                                                   platform::SocketWatcher& watcher,
                                                   platform::Clock& clock,
                                                   ConnectListener onConnect = {});

}  // namespace portable
