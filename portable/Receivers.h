#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Sockets.h"
#include "platform/posix/BackgroundLookup.h"
#include "portable/ReceiverList.h"
#include "portable/RecurringFailure.h"

namespace portable {

// The receivers of the portable programs' datagrams, standing in for the system's sockets so
// that the window sees one destination: its address field names them all ("sim-pc,
// 10.9.0.255:5000"), and each reading goes to every one.
//
// Names are looked up on threads of their own: a name that does not resolve yet (the name server
// late at boot) is tried again with a back-off up to 30 s, and one that resolves is looked up
// again every minute, so a receiver that moves is followed. A receiver that cannot be sent to
// is said once with the reason, then once a minute, and once more when it takes datagrams
// again; the others go on meanwhile. A send counts as done when one receiver took it.
class Receivers : public platform::Sockets {
 public:
  static constexpr std::uint32_t kLookUpAgainMs = 60000;
  static constexpr std::uint32_t kFirstBackOffMs = 1000;
  static constexpr std::uint32_t kLongestBackOffMs = 30000;
  // How long the first lookups are waited for, so that the first reading goes out.
  static constexpr int kFirstLookupWaitMs = 200;
  // A lookup without an answer after this long is said as a failure.
  static constexpr std::uint32_t kSlowLookupMs = 5000;

  using Say = std::function<void(bool isError, const std::string& text)>;
  using LookUp = std::function<platform::LookupAnswer(const std::string& host)>;

  // sourcePort: the UDP port to send from, 0 for any. lookUp runs on a lookup's own thread;
  // tests give one of their own.
  Receivers(platform::Sockets& system, platform::Clock& clock, std::uint16_t sourcePort, Say say,
            std::function<std::string()> timeOfDay, LookUp lookUp = {});

  bool Startup() override { return system_.Startup(); }
  void Cleanup() override { system_.Cleanup(); }
  // Opens the socket, bound to the source port when one is given.
  platform::SocketHandle OpenUdp() override;
  // Takes the address field's text as the list of receivers and starts looking them up. Nothing
  // when the text is not such a list (Problem says why); otherwise an address that stands for
  // them all.
  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& text) override;
  // Sends to each receiver; the length when one took it at least, -1 when none did.
  long SendTo(platform::SocketHandle socket, const char* data, std::size_t length,
              const platform::SocketAddressV4& ignored) override;
  void ShutdownBoth(platform::SocketHandle socket) override { system_.ShutdownBoth(socket); }
  void Close(platform::SocketHandle socket) override { system_.Close(socket); }

  // Why the last text was not a list of receivers.
  const std::string& Problem() const { return problem_; }
  // What keeps a receiver from its datagrams, "sim-pc:4849: cannot resolve the name: ...", for
  // each that has a problem, joined by "; "; empty when every receiver takes them.
  std::string Trouble() const;
  // "sim-pc:4849, 10.9.0.255:5000"
  std::string Text() const { return ReceiversText(addresses_); }
  // Waits up to the time for each lookup that is running (for tests, whose lookups return at
  // once but on threads of their own).
  void AwaitLookups(int milliseconds) const;

 private:
  struct Receiver {
    ReceiverAddress where;
    std::unique_ptr<platform::BackgroundLookup> lookup;  // none for a dotted address
    std::optional<platform::SocketAddressV4> address;
    platform::Tick lookedUpAt = 0;  // the last lookup started
    std::uint32_t waitMs = 0;       // from then until the next one
    std::uint32_t backOffMs = 0;
    std::string lookupProblem;  // while the name has no address
    RecurringFailure failure;
  };

  void Refresh(Receiver& receiver, platform::Tick now);
  void StartLookup(Receiver& receiver, platform::Tick now);
  void Failed(Receiver& receiver, const std::string& reason, platform::Tick now);
  void Took(Receiver& receiver);

  platform::Sockets& system_;
  platform::Clock& clock_;
  std::uint16_t sourcePort_;
  Say say_;
  std::function<std::string()> timeOfDay_;
  LookUp lookUp_;
  std::vector<ReceiverAddress> addresses_;
  std::vector<Receiver> receivers_;
  std::string problem_;
};

}  // namespace portable
