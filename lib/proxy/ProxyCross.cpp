#include "lib/proxy/ProxyCross.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>

namespace proxy {
namespace {

constexpr std::size_t kResultsKept = 64;

std::string ToAscii(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::u16string FromLatin1(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

}  // namespace

bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
  port = kDefaultPort;
  std::string portText;  // what follows the host's ':'; none when there is no ':'
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {  // "[IPv6]" or "[IPv6]:port"
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    hasPort = close + 1 < text.size();
    if (hasPort && text[close + 1] != ':') return false;
    if (hasPort) portText = text.substr(close + 2);
  } else if (std::count(text.begin(), text.end(), ':') > 1) {
    host = text;  // a bare IPv6 address, which cannot carry a port
  } else {
    const std::size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    hasPort = colon != std::string::npos;
    if (hasPort) portText = text.substr(colon + 1);
  }
  if (host.empty()) return false;
  if (!hasPort) return true;
  unsigned value = 0;
  const char* first = portText.data();
  const char* last = portText.data() + portText.size();
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc{} || end != last || first == last || value == 0 || value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

ProxyCross::ProxyCross(std::string host, std::uint16_t port, platform::EventPoster& poster,
                       platform::SocketWatcher& watcher, platform::Clock& clock)
    : host_(std::move(host)),
      port_(port),
      poster_(poster),
      watcher_(watcher),
      clock_(clock),
      alive_(std::make_shared<ProxyCross*>(this)) {}

ProxyCross::~ProxyCross() {
  Disconnect(false);
}

bool ProxyCross::Init(const std::u16string&, const std::u16string&, std::int32_t) {
  // A new registration starts from a fresh connection: the old one may be half dead.
  Disconnect(false);
  // One lookup per registration, run aside: a name server that does not answer must not hold up
  // the loop, its watchdog pings or a stop. A lookup still running from the attempt before is
  // waited for rather than started again.
  lookup_.Start([host = host_, port = port_] {
    return platform::LookUp(host, port, AF_UNSPEC, SOCK_STREAM);
  });
  lookup_.Wait(kLookupWaitMs);
  std::string reason;
  if (std::optional<platform::LookupAnswer> answer = lookup_.Take(); !answer) {
    reason = "cannot resolve the name: the name server has not answered yet";
  } else if (answer->addresses.empty()) {
    reason = "cannot resolve the name: " + answer->error;
  } else {
    connection_ = platform::ConnectTcp(answer->addresses, kConnectTimeoutMs, reason);
  }
  if (OnConnect) OnConnect(connection_ != nullptr, reason);
  if (!connection_) return false;
  decoder_ = ReplyDecoder{};
  recentReplyMs_.clear();
  watcher_.Watch(connection_->Handle(), [this] { OnReadable(); });
  return true;
}

crosslib::JobNumber ProxyCross::KRCOk() {
  // Without a connection the ready check cannot be carried out: job 0, which never completes,
  // so the cycle's own time-out takes it back to registration, and Init connects afresh. A job
  // that failed instead would read as "not ready" and be asked again, forever, on a dead link.
  if (!connection_) return 0;
  // Not sent twice: an unanswered ready check only leads to a new registration.
  return Start("$MODE_OP", false);
}

bool ProxyCross::KRCOkResult(crosslib::JobNumber job) {
  const auto it = results_.find(static_cast<std::uint16_t>(job));
  return it != results_.end() && it->second.success;
}

crosslib::JobNumber ProxyCross::ShowVar(const std::u16string& name, const std::u16string&) {
  return Start(ToAscii(name), true);
}

bool ProxyCross::ShowVarResult(crosslib::JobNumber job, std::u16string& value) {
  const auto it = results_.find(static_cast<std::uint16_t>(job));
  if (it == results_.end() || !it->second.success) return false;
  if (OnReading) OnReading(it->second.value);
  // The proxy returns the bare value; the rest of the program reads "NAME = VALUE".
  value = FromLatin1(it->second.value);
  return true;
}

bool ProxyCross::Exit() {
  Disconnect(false);
  return true;
}

std::uint16_t ProxyCross::NextId() {
  do {
    if (++lastId_ == 0) lastId_ = 1;  // 0 means "not accepted"
  } while (jobs_.count(lastId_) != 0 || messages_.count(lastId_) != 0);
  return lastId_;
}

crosslib::JobNumber ProxyCross::Start(const std::string& name, bool resendable) {
  const std::uint16_t id = NextId();
  results_.erase(id);
  Job& job = jobs_[id];
  job = Job{.name = name,
            .waitingSince = clock_.Now(),
            .resendable = resendable,
            .resendAfterMs = resendable ? ResendAfterMs() : 0};
  const auto queued = messages_.find(queuedCopy_);
  queuedCopy_ = 0;
  if (resendable && queued != messages_.end() && queuedCopyName_ == name) {
    // The server reads the variable for the copy once it has answered the first request; its
    // reply has waited in line, so its time says nothing of the server's speed. A server that
    // dropped the copy (it came while the first was pending) never answers it: when its reply
    // is not here by the time it would be, a request of this read's own goes out.
    queued->second.job = id;
    queued->second.timed = false;
    job.sends = 1;
    const auto untilExpected = static_cast<std::int32_t>(queuedCopyExpectedAt_ - job.waitingSince);
    job.resendAfterMs = static_cast<std::uint32_t>(std::max(0, untilExpected));
    ArmResendTimer(job.resendAfterMs);
    return static_cast<crosslib::JobNumber>(id);
  }
  // Without a connection (the server closed it between two requests) the job fails through the
  // loop, so the cycle reconnects instead of waiting for a reply that cannot come.
  if (!SendMessage(id, false)) {
    Disconnect(true);
  } else if (resendable) {
    ArmResendTimer(job.resendAfterMs);
  }
  return static_cast<crosslib::JobNumber>(id);
}

bool ProxyCross::SendMessage(std::uint16_t jobId, bool copy) {
  Job& job = jobs_[jobId];
  const std::uint16_t id = copy ? NextId() : jobId;
  messages_[id] = Message{.job = jobId, .sentAt = clock_.Now(), .timed = true, .copy = copy};
  ++job.sends;
  const std::vector<std::uint8_t> request = EncodeReadRequest(id, job.name);
  return connection_ && connection_->SendAll(request.data(), request.size());
}

std::uint32_t ProxyCross::ResendAfterMs() const {
  std::uint32_t slowest = 0;
  for (std::uint32_t ms : recentReplyMs_) slowest = std::max(slowest, ms);
  return std::max(kResendAfterMs, 2 * slowest);
}

void ProxyCross::ArmResendTimer(std::uint32_t delayMs) {
  const platform::Tick now = clock_.Now();
  // An armed timer that fires no later than needed serves this read too (one already overdue
  // is about to run).
  const auto untilArmed = static_cast<std::int32_t>(resendDueAt_ - now);
  if (resendArmed_ && untilArmed <= static_cast<std::int64_t>(delayMs)) return;
  const std::uint32_t arming = ++resendArming_;
  std::weak_ptr<ProxyCross*> alive = alive_;
  poster_.Post(delayMs, [alive, arming] {
    auto self = alive.lock();
    if (!self || (*self)->resendArming_ != arming) return;
    (*self)->resendArmed_ = false;
    (*self)->ResendDue();
  });
  resendArmed_ = true;
  resendDueAt_ = now + delayMs;
}

void ProxyCross::ResendDue() {
  if (!connection_) return;
  const platform::Tick now = clock_.Now();
  std::optional<std::uint32_t> nextDelay;  // until the earliest read still waiting is due
  for (auto& [id, job] : jobs_) {
    if (!job.resendable || job.sends >= kMaxSends) continue;
    const std::uint32_t waited = platform::Elapsed(now, job.waitingSince);
    if (waited < job.resendAfterMs) {
      nextDelay = std::min(nextDelay.value_or(UINT32_MAX), job.resendAfterMs - waited);
      continue;
    }
    if (!SendMessage(id, true)) {
      Disconnect(true);
      return;
    }
  }
  if (nextDelay) ArmResendTimer(*nextDelay);
}

void ProxyCross::OnReadable() {
  std::uint8_t buffer[4096];
  // A flood of bytes is taken in bounded portions; the loop calls again while more is waiting.
  for (std::size_t taken = 0; connection_ && taken < kMaxReadPerWakeUp;) {
    const long got = connection_->Receive(buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      const std::string reason = connection_->BrokenBecause();
      Disconnect(true);
      if (OnDisconnect) OnDisconnect(reason);
      return;
    }
    taken += static_cast<std::size_t>(got);
    decoder_.Feed(buffer, static_cast<std::size_t>(got));
    while (auto reply = decoder_.Next()) {
      OnReply(reply->id, reply->success, reply->value);
      if (!connection_) return;
    }
    if (decoder_.Malformed()) {
      Disconnect(true);  // the pending reads fail and the cycle registers again
      return;
    }
    // Less than asked for: nothing more was waiting, and asking again would cost a system call
    // per reading only to hear "would block"; bytes that come later make it readable again.
    if (static_cast<std::size_t>(got) < sizeof buffer) break;
  }
}

void ProxyCross::OnReply(std::uint16_t messageId, bool success, const std::string& value) {
  const auto message = messages_.find(messageId);
  if (message == messages_.end()) return;  // never asked on this connection
  const Message answered = message->second;
  messages_.erase(message);
  const auto job = jobs_.find(answered.job);
  if (job == jobs_.end()) return;  // late: another reply finished its job
  const platform::Tick now = clock_.Now();
  if (answered.timed) {
    recentReplyMs_.push_back(platform::Elapsed(now, answered.sentAt));
    if (recentReplyMs_.size() > kRecentReplies) recentReplyMs_.pop_front();
  }
  // The job's other request is abandoned. When this was the first request's reply, a copy sent
  // meanwhile is still in line at a server that serves one request at a time.
  std::size_t abandoned = 0;
  for (auto& [id, other] : messages_) {
    if (other.job == answered.job) {
      other.job = 0;
      if (other.copy && !answered.copy) {
        // In line behind the first request, it takes about as long again, from now.
        const std::uint32_t took = platform::Elapsed(now, answered.sentAt);
        queuedCopy_ = id;
        queuedCopyName_ = job->second.name;
        queuedCopyExpectedAt_ = now + took + took / 4 + kCopyExpectedSlackMs;
      }
    }
    if (other.job == 0) ++abandoned;
  }
  // Abandoned requests are remembered so their late replies are known; the oldest are let go.
  while (abandoned-- > kAbandonedKept) {
    auto oldest = messages_.end();
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
      if (it->second.job == 0 && it->first != queuedCopy_ &&
          (oldest == messages_.end() || platform::Elapsed(now, it->second.sentAt) >
                                            platform::Elapsed(now, oldest->second.sentAt))) {
        oldest = it;
      }
    }
    if (oldest == messages_.end()) break;
    messages_.erase(oldest);
  }
  Result result;
  // An empty value with a success tail is how many servers say "failed".
  result.success = success && !value.empty();
  if (result.success) result.value = job->second.name + " = " + value;
  const std::uint16_t jobId = job->first;
  jobs_.erase(job);
  Finish(jobId, std::move(result));
}

void ProxyCross::Finish(std::uint16_t id, Result result) {
  results_[id] = std::move(result);
  while (results_.size() > kResultsKept) {
    // Drop the oldest by id distance from the newest, which copes with the counter's wrap.
    auto oldest = results_.begin();
    for (auto it = results_.begin(); it != results_.end(); ++it) {
      if (static_cast<std::uint16_t>(lastId_ - it->first) >
          static_cast<std::uint16_t>(lastId_ - oldest->first)) {
        oldest = it;
      }
    }
    results_.erase(oldest);
  }
  if (OnCmdMessage) OnCmdMessage(static_cast<crosslib::JobNumber>(id), 0);
}

void ProxyCross::Disconnect(bool failPending) {
  // Nothing is left to resend; the next connection's first read arms a timer of its own, so a
  // timer that never ran cannot stop resends for good.
  resendArmed_ = false;
  ++resendArming_;
  if (connection_) {
    watcher_.Unwatch(connection_->Handle());
    connection_.reset();
  }
  messages_.clear();
  queuedCopy_ = 0;
  auto jobs = std::move(jobs_);
  jobs_.clear();
  if (!failPending) return;
  // The jobs that were waiting fail at once rather than at the cycle's time-out.
  for (const auto& entry : jobs) {
    const std::uint16_t id = entry.first;
    std::weak_ptr<ProxyCross*> alive = alive_;
    poster_.Post(0, [alive, id] {
      if (auto self = alive.lock()) (*self)->Finish(id, Result{});
    });
  }
}

}  // namespace proxy
