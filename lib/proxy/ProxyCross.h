#pragma once

#include <cstdint>
#include <deque>
#include <functional>
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
// loop's socket watch and fire OnCmdMessage with the job number.
//
// A read without a reply after a second is sent once more, since a busy server may drop a
// request that arrives while another is pending; a server seen to be slow on this connection is
// given twice its slowest reply time instead. The copy goes out under a message id of its own,
// so whichever reply comes first completes the read and the other is known for a late one. Many
// proxies serve one request at a time: when the first request's reply beats its copy, the copy
// is still queued there, and a new request would wait behind it. So the next read of the same
// variable takes over the copy instead of queueing another request behind it: the copy's reply,
// read by the server at about the time that read was asked for, completes it. Should that reply
// not come when it would (the server dropped the copy), the read sends a request of its own.
//
// One timer serves all reads in flight: it is armed for the earliest resend and re-armed only
// while a read still waits for one, so answered reads cost no wake-up. Bytes that break the
// protocol drop the connection and fail what was pending, and the cycle registers again.
class ProxyCross : public crosslib::TCross {
 public:
  static constexpr int kConnectTimeoutMs = 1000;
  // How long a registration waits for the controller's name to be looked up. A name server that
  // takes longer is not waited for: the lookup goes on, and a later registration takes its answer.
  static constexpr int kLookupWaitMs = 200;
  static constexpr std::uint32_t kResendAfterMs = 1000;
  static constexpr int kMaxSends = 2;
  static constexpr std::size_t kMaxReadPerWakeUp = 64 * 1024;  // then the loop runs again
  static constexpr std::size_t kRecentReplies = 16;
  static constexpr std::size_t kAbandonedKept = 64;  // late replies recognised as such
  static constexpr std::uint32_t kCopyExpectedSlackMs = 100;

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

  // Told of each connection attempt (a registration): whether it succeeded, and if not, why.
  std::function<void(bool connected, const std::string& reason)> OnConnect;
  // Told when the connection breaks, and why ("connection reset by peer").
  std::function<void(const std::string& reason)> OnDisconnect;
  // Told of each value a read returned, as the controller sent it.
  std::function<void(const std::string& value)> OnReading;

 private:
  // A job not yet finished: a read or a ready check.
  struct Job {
    std::string name;
    int sends = 0;                    // requests sent for it, a taken-over copy counting as one
    platform::Tick waitingSince = 0;  // its first request went out, or it took over a copy
    bool resendable = false;
    std::uint32_t resendAfterMs = 0;
  };
  // A request on the wire, by its message id.
  struct Message {
    std::uint16_t job = 0;  // 0: abandoned, its job finished by another reply
    platform::Tick sentAt = 0;
    bool timed = false;  // its reply time tells how fast the server is
    bool copy = false;
  };
  struct Result {
    bool success = false;
    std::string value;
  };

  crosslib::JobNumber Start(const std::string& name, bool resendable);
  bool SendMessage(std::uint16_t job, bool copy);
  std::uint16_t NextId();
  std::uint32_t ResendAfterMs() const;
  void ArmResendTimer(std::uint32_t delayMs);
  void ResendDue();
  void OnReadable();
  void OnReply(std::uint16_t messageId, bool success, const std::string& value);
  void Finish(std::uint16_t id, Result result);
  void Disconnect(bool failPending);

  std::string host_;
  std::uint16_t port_;
  platform::EventPoster& poster_;
  platform::SocketWatcher& watcher_;
  platform::Clock& clock_;
  platform::BackgroundLookup lookup_;
  std::unique_ptr<platform::TcpConnection> connection_;
  // Reply times of the latest requests on this connection that were sent once; the resend waits
  // for twice the slowest of them.
  std::deque<std::uint32_t> recentReplyMs_;
  ReplyDecoder decoder_;
  std::uint16_t lastId_ = 0;
  std::map<std::uint16_t, Job> jobs_;
  std::map<std::uint16_t, Message> messages_;
  // A copy still queued at the server whose read was completed by the first request's reply:
  // the next read of that variable takes it over. 0 when there is none.
  std::uint16_t queuedCopy_ = 0;
  std::string queuedCopyName_;
  platform::Tick queuedCopyExpectedAt_ = 0;  // its reply, unless the server dropped it
  std::map<std::uint16_t, Result> results_;
  // The one resend timer in flight: when it fires, and which arming it is (a sooner arming makes
  // the later one stale).
  bool resendArmed_ = false;
  platform::Tick resendDueAt_ = 0;
  std::uint32_t resendArming_ = 0;
  std::shared_ptr<ProxyCross*> alive_;
};

// "host", "host:port", "[IPv6]", "[IPv6]:port" or a bare IPv6 address; false when the port is
// not a number from 1 to 65535.
bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port);

}  // namespace proxy
