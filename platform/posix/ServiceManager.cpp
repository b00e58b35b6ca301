#include "platform/posix/ServiceManager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

class Systemd : public ServiceManager {
 public:
  bool Notify(const std::string& state) override { return sd_notify(0, state.c_str()) > 0; }

  std::uint32_t WatchdogPingMs() override {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return static_cast<std::uint32_t>(usec / 2000);
  }

  bool StderrIsJournal() override {
    // JOURNAL_STREAM is "device:inode" of the stream systemd connected; a program that hands
    // its stderr elsewhere keeps the variable, so the two are compared.
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat err {};
    unsigned long long device = 0, inode = 0;
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &err) == 0 && err.st_dev == device && err.st_ino == inode;
  }
};

}  // namespace

ServiceManager& SystemServiceManager() {
  static Systemd systemd;
  return systemd;
}

}  // namespace platform
