#pragma once

#include <cstdint>
#include <string>

namespace platform {

// What systemd offers a service it started, through libsystemd. Where the program was not
// started that way (no NOTIFY_SOCKET, no JOURNAL_STREAM), nothing is sent and both answer no.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // "READY=1", "STATUS=...", "WATCHDOG=1"; false when there is nobody to tell.
  virtual bool Notify(const std::string& state) = 0;
  // Half the watchdog time systemd asked for (WatchdogSec=), or 0 when it asked for none.
  virtual std::uint32_t WatchdogPingMs() = 0;
  // stderr is the journal's stream: lines may carry a "<N>" priority prefix.
  virtual bool StderrIsJournal() = 0;
};

ServiceManager& SystemServiceManager();

}  // namespace platform
