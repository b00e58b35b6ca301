// jointcast-listen: receives position datagrams and shows them with their timing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/listen/StreamStats.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

struct Options {
  unsigned port = 4849;
  std::string bind = "0.0.0.0";
  unsigned long count = 0;  // 0: no limit
  double seconds = 0;       // 0: no limit
  bool quiet = false;
};

Options Parse(int argc, char** argv) {
  Options options;
  tools::CommandLine line(
      "jointcast-listen",
      "usage: jointcast-listen [--port N] [--bind ADDRESS] [--count N] [--seconds S] [--quiet]\n"
      "Receives Jointcast position datagrams (UDP, port 4849 by default), prints each\n"
      "with its arrival time and the interval since the previous one, flags any that is\n"
      "not six decimal numbers, and prints a summary on exit (Ctrl-C, --count, --seconds).\n");
  line.Number("--port", 1, 65535, options.port);
  line.Number("--count", 1, 1e12, options.count);
  line.Number("--seconds", 0.001, 1e9, options.seconds);
  line.Text("--bind", options.bind);
  line.Flag("--quiet", options.quiet);
  line.Parse(argc, argv);
  return options;
}

std::string WallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

// The bound datagram socket, or -1 after saying why there is none.
int OpenReceiver(const Options& options) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (fd < 0 || inet_pton(AF_INET, options.bind.c_str(), &at.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::fprintf(stderr, "jointcast-listen: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                 options.port, std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  std::fprintf(stderr, "jointcast-listen: listening on UDP %s:%u\n", options.bind.c_str(),
               options.port);
  return fd;
}

struct Tally {
  unsigned long received = 0;
  unsigned long malformed = 0;
  std::vector<double> intervals;  // ms between consecutive datagrams
};

// Receives and prints datagrams until a signal, the count or the time limit.
Tally Receive(int fd, const Options& options) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::chrono::time_point<Clock> previous;
  Tally tally;
  std::vector<char> buffer(65536);

  while (!gStop && (options.count == 0 || tally.received < options.count)) {
    int waitMs = 200;
    if (options.seconds > 0) {
      const double left =
          options.seconds - std::chrono::duration<double>(Clock::now() - start).count();
      if (left <= 0) break;
      waitMs = std::min(waitMs, static_cast<int>(left * 1000) + 1);
    }
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, waitMs) <= 0) continue;
    const ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
    if (length < 0) continue;
    const auto now = Clock::now();
    const std::string_view payload(buffer.data(), static_cast<std::size_t>(length));
    std::string interval = "     first";
    if (tally.received > 0) {
      const double ms = std::chrono::duration<double, std::milli>(now - previous).count();
      tally.intervals.push_back(ms);
      char text[32];
      std::snprintf(text, sizeof text, "%+8.1f ms", ms);
      interval = text;
    }
    ++tally.received;
    previous = now;
    const bool good = receiver::IsPositionDatagram(payload);
    tally.malformed += !good;
    if (!options.quiet || !good) {
      std::printf("%s %s  %s%s\n", WallClock().c_str(), interval.c_str(), good ? "" : "MALFORMED ",
                  receiver::Printable(payload).c_str());
      std::fflush(stdout);
    }
  }
  return tally;
}

void PrintSummary(const Tally& tally) {
  const receiver::IntervalSummary s = receiver::Summarize(tally.intervals);
  std::printf(
      "summary: %lu datagrams, %lu malformed, interval mean %.1f ms, median %.1f ms, p99 %.1f "
      "ms, max %.1f ms\n",
      tally.received, tally.malformed, s.mean, s.median, s.p99, s.max);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  const int fd = OpenReceiver(options);
  if (fd < 0) return 1;
  const Tally tally = Receive(fd, options);
  close(fd);
  PrintSummary(tally);
  return 0;
}

