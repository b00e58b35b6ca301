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

#include "platform/posix/BindIPv4.h"
#include "portable/CommandLine.h"
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
  unsigned readLatencyMs = 4;
  unsigned readLatencyFromS = 0;
  bool trace = false;
};

Options Parse(int argc, char** argv) {
  Options options;
  portable::CommandLine line(
      "jointcast-sim",
      "Serves a simulated, moving robot arm over the controller variable proxy's TCP protocol. "
      "Answers $AXIS_ACT, $MODE_OP and PING; any other variable fails; writes are refused. "
      "Each client is served one request at a time.");
  line.Number("--port", "N", 1u, 65535u, options.port, "the TCP port to serve on");
  line.Text("--bind", "ADDRESS", options.bind,
            "the local address to serve on, a name or an IPv4 address (0.0.0.0: every "
            "interface)");
  line.Number("--latency", "MS", 0u, 60000u, options.latencyMs, "milliseconds each request takes");
  line.Number("--read-latency", "MS", 0u, 60000u, options.readLatencyMs,
              "milliseconds a read of $AXIS_ACT takes (when not given: as --latency)");
  line.Number("--read-latency-from", "S", 0u, 86400u, options.readLatencyFromS,
              "seconds after the start from which --read-latency applies");
  line.Flag("--trace", options.trace,
            "print 'reply NANOSECONDS' (CLOCK_MONOTONIC) on stdout as replies leave");
  line.Parse(argc, argv);
  if (!line.Given("--read-latency")) options.readLatencyMs = options.latencyMs;
  return options;
}

struct Client {
  simserver::ClientSession session;
};

// The listening socket, or -1 after saying why there is none.
int Listen(const Options& options) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  std::string reason = listener < 0 ? std::strerror(errno) : "";
  if (listener >= 0) setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool bound =
      listener >= 0 &&
      platform::BindIPv4(listener, options.bind, static_cast<std::uint16_t>(options.port), reason);
  if (bound && listen(listener, SOMAXCONN) != 0) reason = std::strerror(errno);
  if (!bound || !reason.empty()) {
    std::fprintf(stderr, "jointcast-sim: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                 options.port, reason.c_str());
    if (listener >= 0) close(listener);
    return -1;
  }
  std::fprintf(stderr, "jointcast-sim: serving the simulated arm on %s:%u, latency %u ms\n",
               options.bind.c_str(), options.port, options.latencyMs);
  return listener;
}

// Reads what a client sent, answers what is due and writes what it can; false when the client
// is to be closed.
bool ServeClient(int fd, short revents, simserver::ClientSession& session,
                 simserver::Clock::time_point now, const Options& options,
                 const sim::SimulatedArm& arm, simserver::Clock::time_point armStart) {
  const std::chrono::milliseconds latency(options.latencyMs);
  const bool slowReads = now - armStart >= std::chrono::seconds(options.readLatencyFromS);
  const std::chrono::milliseconds readLatency(slowReads ? options.readLatencyMs
                                                        : options.latencyMs);
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    std::uint8_t buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      if (!session.Receive(buffer, static_cast<std::size_t>(got), now, latency, readLatency)) {
        std::fprintf(stderr,
                     "jointcast-sim: malformed request or too many queued, client closed\n");
        return false;
      }
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    }
  }
  const std::uint64_t answeredBefore = session.Answered();
  session.Answer(now, arm, armStart);
  auto& out = session.Output();
  if (!out.empty()) {
    // Stamped before the send: the reader may act on the reply before send() has returned.
    const auto leaving = simserver::Clock::now().time_since_epoch();
    const ssize_t sent = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    if (options.trace && sent > 0 && session.Answered() != answeredBefore) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(leaving);
      std::printf("reply %lld\n", static_cast<long long>(ns.count()));
      std::fflush(stdout);
    }
    if (sent > 0) {
      out.erase(out.begin(), out.begin() + sent);
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  // A client that reads nothing while asking on and on is dropped, not buffered forever.
  return out.size() < simserver::ClientSession::kMaxOutput;
}

// Takes every pending connection. At the cap, the client heard from least recently makes room
// when it has been quiet for a second; otherwise the newcomer is turned away.
void AcceptAll(int listener, std::map<int, Client>& clients) {
  const int on = 1;
  while (true) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors the listener stays readable: rest a moment rather than spin.
      if (errno == EMFILE || errno == ENFILE) poll(nullptr, 0, 100);
      return;  // none left (or a transient error; the next poll tells)
    }
    const auto now = simserver::Clock::now();
    if (clients.size() >= kMaxClients) {
      auto quietest = clients.begin();
      for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (it->second.session.LastHeard() < quietest->second.session.LastHeard()) quietest = it;
      }
      if (now - quietest->second.session.LastHeard() < std::chrono::seconds(1)) {
        close(fd);
        continue;
      }
      close(quietest->first);
      clients.erase(quietest);
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    clients.emplace(fd, Client{simserver::ClientSession(now)});
  }
}

// Serves every client until a signal asks to stop.
void Serve(int listener, const Options& options) {
  const sim::SimulatedArm arm;
  const auto armStart = simserver::Clock::now();
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

    for (std::size_t i = 1; i < fds.size(); ++i) {
      auto it = clients.find(fds[i].fd);
      if (it == clients.end()) continue;
      if (!ServeClient(fds[i].fd, fds[i].revents, it->second.session, after, options, arm,
                       armStart) ||
          it->second.session.Stalled(after)) {
        close(fds[i].fd);
        clients.erase(it);
      }
    }
    if (fds[0].revents & POLLIN) AcceptAll(listener, clients);
  }
  for (auto& entry : clients) close(entry.first);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  const int listener = Listen(options);
  if (listener < 0) return 1;
  Serve(listener, options);
  close(listener);
  return 0;
}
