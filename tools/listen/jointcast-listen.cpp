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

[[noreturn]] void Usage(int code) {
  std::fprintf(code ? stderr : stdout,
               "usage: jointcast-listen [--port N] [--bind ADDRESS] [--count N] [--seconds S] "
               "[--quiet]\n"
               "Receives Jointcast position datagrams (UDP, port 4849 by default), prints each\n"
               "with its arrival time and the interval since the previous one, flags any that is\n"
               "not six decimal numbers, and prints a summary on exit (Ctrl-C, --count, "
               "--seconds).\n");
  std::exit(code);
}

bool ParseNumber(const char* text, double low, double high, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value >= low && value <= high;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") Usage(0);
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (i + 1 >= argc) Usage(2);
    const char* value = argv[++i];
    double number = 0;
    if (arg == "--port" && ParseNumber(value, 1, 65535, number)) {
      options.port = static_cast<unsigned>(number);
    } else if (arg == "--count" && ParseNumber(value, 1, 1e12, number)) {
      options.count = static_cast<unsigned long>(number);
    } else if (arg == "--seconds" && ParseNumber(value, 0.001, 1e9, number)) {
      options.seconds = number;
    } else if (arg == "--bind") {
      options.bind = value;
    } else {
      std::fprintf(stderr, "jointcast-listen: bad option %s %s\n", arg.c_str(), value);
      Usage(2);
    }
  }
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

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (fd < 0 || inet_pton(AF_INET, options.bind.c_str(), &at.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::fprintf(stderr, "jointcast-listen: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "jointcast-listen: listening on UDP %s:%u\n", options.bind.c_str(),
               options.port);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::chrono::time_point<Clock> previous;
  bool any = false;
  std::vector<double> intervals;
  unsigned long received = 0, malformed = 0;
  std::vector<char> buffer(65536);

  while (!gStop && (options.count == 0 || received < options.count)) {
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
    ++received;
    std::string interval = "     first";
    if (any) {
      const double ms = std::chrono::duration<double, std::milli>(now - previous).count();
      intervals.push_back(ms);
      char text[32];
      std::snprintf(text, sizeof text, "%+8.1f ms", ms);
      interval = text;
    }
    previous = now;
    any = true;
    const bool good = receiver::IsPositionDatagram(payload);
    malformed += !good;
    if (!options.quiet || !good) {
      std::printf("%s %s  %s%s\n", WallClock().c_str(), interval.c_str(), good ? "" : "MALFORMED ",
                  receiver::Printable(payload).c_str());
      std::fflush(stdout);
    }
  }
  close(fd);

  const receiver::IntervalSummary s = receiver::Summarize(intervals);
  std::printf(
      "summary: %lu datagrams, %lu malformed, interval mean %.1f ms, median %.1f ms, p99 %.1f "
      "ms, max %.1f ms\n",
      received, malformed, s.mean, s.median, s.p99, s.max);
  return 0;
}
