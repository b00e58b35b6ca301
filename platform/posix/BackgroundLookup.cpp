#include "platform/posix/BackgroundLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

namespace platform {

std::string ResolvedAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  const void* bytes = nullptr;
  if (address.ss_family == AF_INET) {
    bytes = &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr;
  } else if (address.ss_family == AF_INET6) {
    bytes = &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
  }
  if (bytes == nullptr || inet_ntop(address.ss_family, bytes, text, sizeof text) == nullptr) {
    return "?";
  }
  return text;
}

LookupAnswer LookUp(const std::string& host, std::uint16_t port, int family, int socketType) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  LookupAnswer answer;
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    answer.error = gai_strerror(status);
    return answer;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addr == nullptr || entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    ResolvedAddress address;
    std::memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
    answer.addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (answer.addresses.empty()) answer.error = "no address";
  return answer;
}

void BackgroundLookup::Start(std::function<LookupAnswer()> lookUp) {
  std::lock_guard lock(shared_->mutex);
  // An answer that came after its caller stopped waiting is the next caller's: a name server
  // slower than the wait would otherwise never be heard.
  if (shared_->running || shared_->answer) return;
  shared_->running = true;
  try {
    std::thread([shared = shared_, lookUp = std::move(lookUp)] {
      LookupAnswer answer = lookUp();
      std::lock_guard done(shared->mutex);
      shared->answer = std::move(answer);
      shared->running = false;
      shared->ended.notify_all();
    }).detach();
  } catch (const std::system_error& error) {
    // Out of threads (a unit's TasksMax, say): this attempt fails, the next one tries again.
    shared_->running = false;
    shared_->answer = LookupAnswer{{}, std::string("cannot start a lookup: ") + error.what()};
  }
}

bool BackgroundLookup::Running() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->running;
}

void BackgroundLookup::Wait(int milliseconds) const {
  std::unique_lock lock(shared_->mutex);
  shared_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                          [this] { return !shared_->running; });
}

std::optional<LookupAnswer> BackgroundLookup::Take() {
  std::lock_guard lock(shared_->mutex);
  std::optional<LookupAnswer> answer = std::move(shared_->answer);
  shared_->answer.reset();
  return answer;
}

}  // namespace platform
