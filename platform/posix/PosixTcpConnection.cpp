#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/TcpConnection.h"
#include "platform/posix/ErrorPhrase.h"

namespace platform {
namespace {

class PosixTcpConnection : public TcpConnection {
 public:
  explicit PosixTcpConnection(int fd) : fd_(fd) {}
  ~PosixTcpConnection() override { close(fd_); }
  SocketHandle Handle() const override { return fd_; }

  bool SendAll(const std::uint8_t* data, std::size_t length) override {
    while (length > 0) {
      const ssize_t sent = send(fd_, data, length, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      // A request is a few bytes: a send buffer full of them means the server has stopped
      // reading, and waiting for room would hold the whole loop. The caller drops the
      // connection (a request may be cut) and registers again.
      if (sent <= 0) return false;
      data += sent;
      length -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  long Receive(std::uint8_t* buffer, std::size_t capacity) override {
    while (true) {
      const ssize_t got = recv(fd_, buffer, capacity, 0);
      if (got > 0) return static_cast<long>(got);
      if (got == 0) {
        broken_ = "closed by the other end";
        return -1;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      broken_ = ErrorPhrase(errno);
      return -1;
    }
  }

  std::string BrokenBecause() const override { return broken_; }

 private:
  int fd_;
  std::string broken_;
};

int ConnectOne(const ResolvedAddress& address, int timeoutMs, std::string& reason) {
  const int fd = socket(address.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reason = ErrorPhrase(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
    if (errno != EINPROGRESS) {
      reason = ErrorPhrase(errno);
      close(fd);
      return -1;
    }
    pollfd writable{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    const int ready = poll(&writable, 1, timeoutMs);
    if (ready != 1) {
      reason =
          ready == 0 ? "no answer within " + std::to_string(timeoutMs) + " ms" : ErrorPhrase(errno);
      close(fd);
      return -1;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      reason = ErrorPhrase(error != 0 ? error : errno);
      close(fd);
      return -1;
    }
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::vector<ResolvedAddress>& addresses,
                                          int timeoutMs, std::string& reason) {
  // Each address in turn, all within the one time-out: a name may list one where nothing
  // listens before the one that answers. Each gets an even share of the time left, so that one
  // that never answers (a black-holed IPv6 route) cannot use it all. The last reason is told.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  reason = "no address";
  int fd = -1;
  for (std::size_t i = 0; i < addresses.size() && fd < 0; ++i) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;  // the reason of the one before stands
    const auto share = left / static_cast<long>(addresses.size() - i);
    fd = ConnectOne(addresses[i], static_cast<int>(std::max<long>(share, 1)), reason);
  }
  return fd < 0 ? nullptr : std::make_unique<PosixTcpConnection>(fd);
}

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          int timeoutMs, std::string& reason) {
  const LookupAnswer answer = LookUp(host, port, AF_UNSPEC, SOCK_STREAM);
  if (answer.addresses.empty()) {
    reason = "cannot resolve the name: " + answer.error;
    return nullptr;
  }
  return ConnectTcp(answer.addresses, timeoutMs, reason);
}

}  // namespace platform
