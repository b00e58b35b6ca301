#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/CrossLib_OCX.h"
#include "lib/proxy/ProxyProtocol.h"
#include "platform/Clock.h"
#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "platform/TcpConnection.h"

namespace proxy {

// The controller reached through its TCP variable proxy. Init connects; KRCOk reads $MODE_OP
// (any successful reply means ready; job 0 when the connection is gone); ShowVar sends a read
// (a job that fails when the connection is gone). Replies arrive through the message
// loop's socket watch and fire OnCmdMessage with the job number, which is also the message id.
// A read without a reply after a second is sent once more with the same id, since a busy server
// may drop a request that arrives while another is pending; a server seen to be slow on this
// connection is given twice its slowest reply time instead, so that a copy never queues behind
// a request that is merely slow. One timer serves all reads in flight: it is armed for the
// earliest resend and re-armed only while a read still waits for one, so answered reads cost no
// wake-up. Bytes that break the protocol drop the connection and fail what
// was pending, and the cycle registers again.
class ProxyCross : public crosslib::TCross {
 public:
  static constexpr int kConnectTimeoutMs = 1000;
  static constexpr std::uint32_t kResendAfterMs = 1000;
  static constexpr int kMaxSends = 2;
  static constexpr std::size_t kMaxReadPerWakeUp = 64 * 1024;  // then the loop runs again
  static constexpr std::size_t kRecentReplies = 16;

  ProxyCross(std::string host, std::uint16_t port, platform::EventPoster& poster,
             platform::SocketWatcher& watcher, platform::Clock& clock);
  ~ProxyCross() override;

  bool Init(const std::u16string& clientName, const std::u16string& second,
            std::int32_t flags) override;
  crosslib::JobNumber KRCOk() override;
  bool KRCOkResult(crosslib::JobNumber job) override;
  crosslib::JobNumber ShowVar(const std::u16string& name, const std::u16string& second) override;
  bool ShowVarResult(crosslib::JobNumber job, std::u16string& value) override;
  bool Exit() override;

 private:
  struct Pending {
    std::string name;
    std::vector<std::uint8_t> request;
    int sends = 0;
    platform::Tick sentAt = 0;
    bool resendable = false;
    std::uint32_t resendAfterMs = 0;
  };
  struct Result {
    bool success = false;
    std::string value;
  };

  crosslib::JobNumber Send(const std::string& name, bool resendable);
  std::uint32_t ResendAfterMs() const;
  void ArmResendTimer(std::uint32_t delayMs);
  void ResendDue();
  void OnReadable();
  void Finish(std::uint16_t id, Result result);
  void Disconnect(bool failPending);

  std::string host_;
  std::uint16_t port_;
  platform::EventPoster& poster_;
  platform::SocketWatcher& watcher_;
  platform::Clock& clock_;
  std::unique_ptr<platform::TcpConnection> connection_;
  // Reply times of the latest requests on this connection that were sent once; the resend waits
  // for twice the slowest of them.
  std::deque<std::uint32_t> recentReplyMs_;
  ReplyDecoder decoder_;
  std::uint16_t lastId_ = 0;
  std::map<std::uint16_t, Pending> pending_;
  std::map<std::uint16_t, Result> results_;
  // The one resend timer in flight: when it fires, and which arming it is (a sooner arming makes
  // the later one stale).
  bool resendArmed_ = false;
  platform::Tick resendDueAt_ = 0;
  std::uint32_t resendArming_ = 0;
  std::shared_ptr<ProxyCross*> alive_;
};

// "host", "host:port"; false when the port is not a number from 1 to 65535.
bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port);

}  // namespace proxy
