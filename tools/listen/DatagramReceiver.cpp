#include "tools/listen/DatagramReceiver.h"

#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/posix/BindIPv4.h"

namespace receiver {

using portable::Result;

Result<DatagramReceiver> DatagramReceiver::Open(const std::string& address, std::uint16_t port,
                                                const Report& report) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result<DatagramReceiver>::Failure(std::strerror(errno));
  DatagramReceiver receiver(fd);
  std::string reason;
  if (!platform::BindIPv4(fd, address, port, reason)) {
    return Result<DatagramReceiver>::Failure(reason);
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  }
  int granted = 0;
  socklen_t size = sizeof granted;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
  if (granted / 2 < kReceiveBuffer && report) {  // the kernel reports twice what it was asked
    report("UDP receive buffer " + std::to_string(granted / 2048) + " KiB, not the " +
           std::to_string(kReceiveBuffer / 1024) +
           " KiB asked for (net.core.rmem_max limits it): raise it for hundreds of senders");
  }
  return Result<DatagramReceiver>(std::move(receiver));
}

DatagramReceiver::DatagramReceiver(DatagramReceiver&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      droppedBefore_(other.droppedBefore_) {}

DatagramReceiver::~DatagramReceiver() {
  if (fd_ >= 0) close(fd_);
}

bool DatagramReceiver::Wait(int milliseconds) const {
  pollfd ready{fd_, POLLIN, 0};
  return poll(&ready, 1, milliseconds) > 0;
}

std::optional<Datagram> DatagramReceiver::Next() {
  sockaddr_in from{};
  iovec data{buffer_.data(), buffer_.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t length = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (length < 0) return std::nullopt;
  timespec stamp{};
  for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
       part = CMSG_NXTHDR(&message, part)) {
    if (part->cmsg_level != SOL_SOCKET) continue;
    if (part->cmsg_type == SO_TIMESTAMPNS) std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
    if (part->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&droppedBefore_, CMSG_DATA(part), sizeof droppedBefore_);
    }
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto steadyNow = std::chrono::steady_clock::now();
  if (stamp.tv_sec == 0) stamp = now;  // no stamp given: the time it was read is the best there is
  const std::int64_t ageNs = std::max<std::int64_t>(
      0, (now.tv_sec - stamp.tv_sec) * 1000000000LL + (now.tv_nsec - stamp.tv_nsec));
  Datagram datagram;
  datagram.payload = std::string_view(buffer_.data(), static_cast<std::size_t>(length));
  datagram.from = from.sin_addr;
  datagram.fromPort = ntohs(from.sin_port);
  datagram.unixTime = static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) / 1e9;
  datagram.steadyTime = steadyNow - std::chrono::nanoseconds(ageNs);
  return datagram;
}

std::uint64_t DatagramReceiver::KernelDrops() const {
  // The socket's own count, which also has the drops after the last datagram read.
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof memory;
  if (getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, memory, &size) == 0 &&
      size > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
    return std::max(memory[SK_MEMINFO_DROPS], droppedBefore_);
  }
  return droppedBefore_;
}

}  // namespace receiver
