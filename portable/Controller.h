#pragma once

#include <memory>

#include "lib/CrossLib_OCX.h"
#include "platform/Clock.h"
#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "portable/Options.h"

namespace portable {

// The controller the portable programs read: a real one through its variable proxy, or the
// simulated arm (its reply latency set by JOINTCAST_SIM_LATENCY_MS, for benchmarks and demos).
std::unique_ptr<crosslib::TCross> CreateController(const Options& options,
                                                   platform::EventPoster& poster,
                                                   platform::SocketWatcher& watcher,
                                                   platform::Clock& clock);

}  // namespace portable
