// jointcast-sim: the simulated arm served over the controller variable proxy's TCP protocol.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tools/sim/SimServer.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

constexpr std::size_t kMaxClients = 64;

struct Options {
  unsigned port = 7000;
  std::string bind = "127.0.0.1";
  unsigned latencyMs = 4;
};

[[noreturn]] void Usage(int code) {
  std::fprintf(code ? stderr : stdout,
               "usage: jointcast-sim [--port N] [--bind ADDRESS] [--latency MS]\n"
               "Serves a simulated, moving robot arm over the controller variable proxy's TCP\n"
               "protocol (port 7000 by default, loopback only unless --bind says otherwise).\n"
               "Answers $AXIS_ACT, $MODE_OP and PING; any other variable fails.\n");
  std::exit(code);
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") Usage(0);
    if (i + 1 >= argc) Usage(2);
    const char* value = argv[++i];
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 10);
    const bool isNumber = end != value && *end == '\0';
    if (arg == "--port" && isNumber && number >= 1 && number <= 65535) {
      options.port = static_cast<unsigned>(number);
    } else if (arg == "--latency" && isNumber && number <= 60000) {
      options.latencyMs = static_cast<unsigned>(number);
    } else if (arg == "--bind") {
      options.bind = value;
    } else {
      std::fprintf(stderr, "jointcast-sim: bad option %s %s\n", arg.c_str(), value);
      Usage(2);
    }
  }
  return options;
}

struct Client {
  simserver::ClientSession session;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (listener < 0 || inet_pton(AF_INET, options.bind.c_str(), &at.sin_addr) != 1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      listen(listener, 16) != 0) {
    std::fprintf(stderr, "jointcast-sim: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "jointcast-sim: serving the simulated arm on %s:%u, latency %u ms\n",
               options.bind.c_str(), options.port, options.latencyMs);

  const sim::SimulatedArm arm;
  const auto armStart = simserver::Clock::now();
  const std::chrono::milliseconds latency(options.latencyMs);
  std::map<int, Client> clients;

  while (!gStop) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    int waitMs = 500;
    const auto now = simserver::Clock::now();
    for (auto& [fd, client] : clients) {
      const short events =
          static_cast<short>(POLLIN | (client.session.Output().empty() ? 0 : POLLOUT));
      fds.push_back({fd, events, 0});
      simserver::Clock::time_point due;
      if (client.session.NextDue(due)) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(std::max<long long>(ms, 0)));
      }
    }
    if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) break;
    const auto after = simserver::Clock::now();

    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0 && clients.size() >= kMaxClients) {
        close(fd);
      } else if (fd >= 0) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients[fd];
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      const int fd = fds[i].fd;
      auto it = clients.find(fd);
      if (it == clients.end()) continue;
      simserver::ClientSession& session = it->second.session;
      bool keep = true;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        std::uint8_t buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          keep = session.Receive(buffer, static_cast<std::size_t>(got), after, latency);
          if (!keep) std::fprintf(stderr, "jointcast-sim: malformed request, client closed\n");
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          keep = false;
        }
      }
      if (keep) {
        session.Answer(after, arm, armStart);
        auto& out = session.Output();
        if (!out.empty()) {
          const ssize_t sent = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
          if (sent > 0) {
            out.erase(out.begin(), out.begin() + sent);
          } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            keep = false;
          }
        }
        // A client that reads nothing while asking on and on is dropped, not buffered forever.
        if (out.size() >= simserver::ClientSession::kMaxOutput) keep = false;
      }
      if (!keep) {
        close(fd);
        clients.erase(it);
      }
    }
  }
  for (auto& entry : clients) close(entry.first);
  close(listener);
  return 0;
}
