#include "portable/Receivers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix/ErrorPhrase.h"

namespace portable {
namespace {

std::string AddressText(const platform::SocketAddressV4& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, address.address.data(), text, sizeof text);
  return text;
}

platform::SocketAddressV4 V4(const std::array<std::uint8_t, 4>& bytes, std::uint16_t port) {
  platform::SocketAddressV4 address;
  address.family = platform::kFamilyIPv4;
  address.address = bytes;
  address.SetPort(port);
  return address;
}

}  // namespace

Receivers::Receivers(platform::Sockets& system, platform::Clock& clock, std::uint16_t sourcePort,
                     Say say, std::function<std::string()> timeOfDay, LookUp lookUp)
    : system_(system),
      clock_(clock),
      sourcePort_(sourcePort),
      say_(std::move(say)),
      timeOfDay_(std::move(timeOfDay)),
      lookUp_(std::move(lookUp)) {
  if (!lookUp_) {
    lookUp_ = [](const std::string& host) {
      return platform::LookUp(host, kReceiverPort, AF_INET, SOCK_DGRAM);
    };
  }
}

platform::SocketHandle Receivers::OpenUdp() {
  const platform::SocketHandle socket = system_.OpenUdp();
  if (socket == platform::kNoSocket || sourcePort_ == 0) return socket;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(sourcePort_);
  from.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
    say_(true, "cannot send from UDP port " + std::to_string(sourcePort_) + ": " +
                   platform::ErrorPhrase(errno));
    system_.Close(socket);
    return platform::kNoSocket;
  }
  return socket;
}

std::optional<std::array<std::uint8_t, 4>> Receivers::ResolveIPv4(const std::string& text) {
  std::string list = text;
  if (list.find_first_not_of(", \t") == std::string::npos) {
    // An empty field means this machine, as it always has.
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) == 0) list = own;
  }
  Result<std::vector<ReceiverAddress>> parsed = ParseReceivers(list);
  if (!parsed) {
    problem_ = parsed.Reason();
    return std::nullopt;
  }
  problem_.clear();
  addresses_ = *parsed;
  receivers_.clear();
  receivers_.reserve(addresses_.size());
  const platform::Tick now = clock_.Now();
  for (const ReceiverAddress& where : addresses_) {
    Receiver& receiver = receivers_.emplace_back();
    receiver.where = where;
    in_addr dotted{};
    if (inet_pton(AF_INET, where.host.c_str(), &dotted) == 1) {
      std::array<std::uint8_t, 4> bytes{};
      std::memcpy(bytes.data(), &dotted, 4);
      receiver.address = V4(bytes, where.port);
    } else {
      receiver.lookup = std::make_unique<platform::BackgroundLookup>();
      StartLookup(receiver, now);
    }
  }
  // One wait for them all, however many names there are: the loop and a stop wait for it.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstLookupWaitMs);
  for (Receiver& receiver : receivers_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (receiver.lookup && left > 0) receiver.lookup->Wait(static_cast<int>(left));
    Refresh(receiver, now);
  }
  return std::array<std::uint8_t, 4>{};  // stands for the list; SendTo goes by the list
}

void Receivers::StartLookup(Receiver& receiver, platform::Tick now) {
  receiver.lookedUpAt = now;
  receiver.lookup->Start([lookUp = lookUp_, host = receiver.where.host] { return lookUp(host); });
}

void Receivers::Refresh(Receiver& receiver, platform::Tick now) {
  if (!receiver.lookup) return;
  if (std::optional<platform::LookupAnswer> answer = receiver.lookup->Take()) {
    std::vector<platform::SocketAddressV4> found;
    for (const platform::ResolvedAddress& a : answer->addresses) {
      if (a.address.ss_family != AF_INET) continue;
      std::array<std::uint8_t, 4> bytes{};
      std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(&a.address)->sin_addr, 4);
      found.push_back(V4(bytes, receiver.where.port));
    }
    if (!found.empty()) {
      // A name with several addresses may list them in another order each time: the receiver
      // has moved only when its address is no longer among them.
      const bool stayed = receiver.address &&
                          std::find(found.begin(), found.end(), *receiver.address) != found.end();
      const platform::SocketAddressV4 address = stayed ? *receiver.address : found.front();
      if (receiver.address && *receiver.address != address) {
        say_(false, "receiver " + receiver.where.Text() + " moved from " +
                        AddressText(*receiver.address) + " to " + AddressText(address));
      }
      receiver.address = address;
      receiver.lookupProblem.clear();
      receiver.backOffMs = 0;
      receiver.waitMs = kLookUpAgainMs;
    } else {
      // A name that stops resolving keeps its last address: a name server that is down says
      // nothing about where the receiver is.
      if (!receiver.address) {
        receiver.lookupProblem =
            "cannot resolve the name: " +
            (answer->error.empty() ? std::string("no IPv4 address") : answer->error);
      }
      receiver.backOffMs =
          std::min(std::max(kFirstBackOffMs, receiver.backOffMs * 2), kLongestBackOffMs);
      receiver.waitMs = receiver.backOffMs;
    }
  }
  if (receiver.lookup->Running()) {
    if (!receiver.address && receiver.lookupProblem.empty() &&
        platform::Elapsed(now, receiver.lookedUpAt) >= kSlowLookupMs) {
      receiver.lookupProblem = "cannot resolve the name: the name server has not answered in " +
                               std::to_string(kSlowLookupMs / 1000) + " s";
    }
  } else if (platform::Elapsed(now, receiver.lookedUpAt) >= receiver.waitMs) {
    StartLookup(receiver, now);
  }
}

long Receivers::SendTo(platform::SocketHandle socket, const char* data, std::size_t length,
                       const platform::SocketAddressV4&) {
  const platform::Tick now = clock_.Now();
  bool taken = false;
  for (Receiver& receiver : receivers_) {
    Refresh(receiver, now);
    if (!receiver.address) {
      if (!receiver.lookupProblem.empty()) Failed(receiver, receiver.lookupProblem, now);
      continue;
    }
    if (system_.SendTo(socket, data, length, *receiver.address) < 0) {
      Failed(receiver, "cannot send: " + platform::ErrorPhrase(errno), now);
      continue;
    }
    Took(receiver);
    taken = true;
  }
  return taken ? static_cast<long>(length) : -1;
}

void Receivers::Failed(Receiver& receiver, const std::string& reason, platform::Tick now) {
  const auto due = receiver.failure.Occurred(reason, now, timeOfDay_);
  if (!due) return;
  const std::string who = "receiver " + receiver.where.Text();
  if (due->first) {
    say_(true, who + ": " + reason);
  } else {
    say_(true, who + ": still " + reason + " (since " + due->since + ", " +
                   std::to_string(due->times) + " readings not sent)");
  }
}

void Receivers::Took(Receiver& receiver) {
  if (const auto over = receiver.failure.Over()) {
    say_(false, "receiver " + receiver.where.Text() + " takes datagrams again, after " +
                    std::to_string(over->times) + " readings not sent since " + over->since);
  }
}

void Receivers::AwaitLookups(int milliseconds) const {
  for (const Receiver& receiver : receivers_) {
    if (receiver.lookup) receiver.lookup->Wait(milliseconds);
  }
}

std::string Receivers::Trouble() const {
  std::string trouble;
  for (const Receiver& receiver : receivers_) {
    if (!receiver.failure.Failing()) continue;
    if (!trouble.empty()) trouble += "; ";
    trouble += receiver.where.Text() + ": " + receiver.failure.Reason();
  }
  return trouble;
}

}  // namespace portable
