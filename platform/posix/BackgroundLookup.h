#pragma once

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One address a name resolved to, in the system's form, ready for connect or sendto.
struct ResolvedAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
  // "127.0.0.2" or "::1", for messages.
  std::string Text() const;
};

// What a lookup found: the addresses in the resolver's order, or why there are none ("Name or
// service not known").
struct LookupAnswer {
  std::vector<ResolvedAddress> addresses;
  std::string error;
};

// A name looked up on a thread of its own, so that a name server that does not answer holds up
// neither a loop nor a stop signal. One lookup runs at a time. The thread owns what it writes
// to, so a lookup still hanging when the object goes is simply left to end on its own.
class BackgroundLookup {
 public:
  // Starts a lookup (LookUp, or a test's own) unless one is running or an answer waits to be
  // taken. When no thread can be started, the answer is that failure at once.
  void Start(std::function<LookupAnswer()> lookUp);
  bool Running() const;
  // Waits up to milliseconds for the running lookup to end.
  void Wait(int milliseconds) const;
  // The answer of the lookup that ended, once; nothing while one runs or after it was taken.
  std::optional<LookupAnswer> Take();

 private:
  struct Shared {
    mutable std::mutex mutex;
    mutable std::condition_variable ended;
    bool running = false;
    std::optional<LookupAnswer> answer;
  };

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// The addresses of host, looked up here and now, with port in each. family: AF_INET or
// AF_UNSPEC; socketType: SOCK_DGRAM or SOCK_STREAM.
LookupAnswer LookUp(const std::string& host, std::uint16_t port, int family, int socketType);

}  // namespace platform
