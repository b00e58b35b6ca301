#include "tools/listen/ReadWatch.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace receiver {
namespace {

int PortOf(const sockaddr_storage& end) {
  if (end.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(end).sin_port);
  if (end.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(end).sin6_port);
  return -1;
}

std::string_view AddressOf(const sockaddr_storage& end, char (&text)[INET6_ADDRSTRLEN]) {
  const void* address =
      end.ss_family == AF_INET
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(end).sin_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(end).sin6_addr);
  return inet_ntop(end.ss_family, address, text, sizeof text) != nullptr ? text : "";
}

// Our socket whose ends are these, or -1. A handful of descriptors to look at, once a page.
int FindSocket(int localPort, std::string_view remoteAddress, int remotePort) {
  DIR* descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(descriptors)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (fd <= 2 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
      continue;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (PortOf(local) == localPort && PortOf(peer) == remotePort &&
        AddressOf(peer, text) == remoteAddress) {
      found = fd;
      break;
    }
  }
  closedir(descriptors);
  return found;
}

}  // namespace

ReadWatch::ReadWatch(int localPort, const char* remoteAddress, int remotePort,
                     Clock::time_point now)
    : socket_(FindSocket(localPort, remoteAddress, remotePort)), lastRead_(now) {}

bool ReadWatch::Reading(Clock::time_point now, Clock::duration limit) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (socket_ < 0 || getsockopt(socket_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) {
    return true;  // cannot be told
  }
  widest_ = std::max(widest_, info.tcpi_snd_wnd);
  // A page that reads takes everything within moments, and its window is back at the widest;
  // a quarter off allows for an acknowledgement that came before the page read.
  if (info.tcpi_snd_wnd >= widest_ / 4 * 3) lastRead_ = now;
  return now - lastRead_ < limit;
}

}  // namespace receiver
