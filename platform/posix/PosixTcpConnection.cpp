#include <fcntl.h>
#include <netdb.h>
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
      if (got == 0) return -1;
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
  }

 private:
  int fd_;
};

// An error as a phrase within a line: "Connection refused" becomes "connection refused".
std::string Phrase(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

int ConnectOne(const addrinfo& address, int timeoutMs, std::string& reason) {
  const int fd = socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reason = Phrase(errno);
    return -1;
  }
  if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      reason = Phrase(errno);
      close(fd);
      return -1;
    }
    pollfd writable{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    const int ready = poll(&writable, 1, timeoutMs);
    if (ready != 1) {
      reason = ready == 0 ? "no answer within " + std::to_string(timeoutMs) + " ms" : Phrase(errno);
      close(fd);
      return -1;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      reason = Phrase(error != 0 ? error : errno);
      close(fd);
      return -1;
    }
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          int timeoutMs, std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    reason = std::string("cannot resolve the name: ") +
             (status != 0 ? gai_strerror(status) : "no address");
    return nullptr;
  }
  // Each address in turn, all within the one time-out: a name may list one where nothing
  // listens before the one that answers. The last address's reason is the one told.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int fd = -1;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;  // the reason of the one before stands
    fd = ConnectOne(*address, static_cast<int>(left), reason);
  }
  freeaddrinfo(found);
  return fd < 0 ? nullptr : std::make_unique<PosixTcpConnection>(fd);
}

}  // namespace platform
