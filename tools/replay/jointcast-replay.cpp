// jointcast-replay: sends a recording made by jointcast-listen --csv again, each row's six values
// as one datagram, byte for byte as recorded, keeping the recorded intervals.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/posix/BindIPv4.h"
#include "portable/CommandLine.h"
#include "tools/listen/StreamStats.h"
#include "tools/replay/Recording.h"

namespace {

// A stop signal ends any wait at once: the handler writes a byte into this pipe, which every
// wait watches (a flag alone would be seen only after the wait, which may last a day).
int gStopPipe[2] = {-1, -1};
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  const int saved = errno;
  gStop = 1;
  [[maybe_unused]] const ssize_t ignored = write(gStopPipe[1], "", 1);
  errno = saved;
}

// Waits until the time, or a stop signal; false when stopped.
bool WaitUntil(std::chrono::steady_clock::time_point due) {
  using namespace std::chrono;
  while (!gStop) {
    // To the nanosecond: a wait shorter than a millisecond is still a wait (1000/s is 1 ms apart).
    const auto left = std::min<long long>(
        duration_cast<nanoseconds>(due - steady_clock::now()).count(), 60'000'000'000LL);
    if (left <= 0) return true;
    pollfd stop{gStopPipe[0], POLLIN, 0};
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
    ppoll(&stop, 1, &timeout, nullptr);
  }
  return false;
}

struct Options {
  std::string file;
  std::string to = "localhost:4849";
  double speed = 1;
  double maxRate = 1000;  // datagrams a second at the most
  bool loop = false;
  std::string sender;
  std::string bind;  // source address, for telling replays apart
};

Options Parse(int argc, char** argv) {
  Options options;
  portable::CommandLine line(
      "jointcast-replay",
      "Sends a recording made by jointcast-listen --csv: each row's six values, as recorded, "
      "as one datagram, keeping the recorded intervals (divided by --speed).");
  line.Positional("FILE", options.file, "the recording");
  line.Text("--to", "HOST[:PORT]", options.to, "where to send; the port is 4849 when not given");
  line.Number("--speed", "X", 0.001, 1000.0, options.speed, "how much faster than recorded");
  line.Number("--max-rate", "N", 0.01, 100000.0, options.maxRate,
              "datagrams a second at the most, whatever the recording and --speed say");
  line.Flag("--loop", options.loop,
            "start again one recorded median interval after the end (needs two rows or more)");
  line.Text("--sender", "ADDRESS[:PORT]", options.sender,
            "the sender whose rows to send, as the sender column has it (ADDRESS:PORT for "
            "publishers the listener told apart by port); needed when the file holds several");
  line.Text("--bind", "ADDRESS", options.bind,
            "send from this local address, a name or an IPv4 address");
  line.Parse(argc, argv);
  return options;
}

// The destination's address, or false after saying why not.
bool Resolve(const std::string& to, sockaddr_in& address) {
  std::string host = to, port = "4849";
  const std::size_t colon = to.rfind(':');
  if (colon != std::string::npos) host = to.substr(0, colon), port = to.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status =
      host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (status != 0) {
    std::fprintf(stderr, "jointcast-replay: cannot send to '%s': %s\n", to.c_str(),
                 gai_strerror(status));
    return false;
  }
  address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  return true;
}

int OpenSocket(const std::string& bind) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string reason = fd < 0 ? std::strerror(errno) : "";
  if (fd >= 0 && (bind.empty() || platform::BindIPv4(fd, bind, 0, reason))) return fd;
  std::fprintf(stderr, "jointcast-replay: cannot send from %s: %s\n", bind.c_str(), reason.c_str());
  if (fd >= 0) close(fd);
  return -1;
}

struct Sent {
  unsigned long sent = 0;
  unsigned long failed = 0;  // refused by the system (no route, a broadcast address, ...)
};

// Sends the chosen rows once, on their recorded schedule but never faster than --max-rate, and
// counts them. The recorded intervals go into the histogram, for the pause between passes. The
// first failed send is said, with the system's reason.
void SendOnce(replay::RecordingReader& reader, const Options& options, const std::string& sender,
              int fd, const sockaddr_in& to, receiver::IntervalHistogram& intervals, Sent& count) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto least = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / options.maxRate));
  std::optional<Clock::time_point> last;
  double first = -1, previous = -1;
  replay::Row row;
  while (!gStop && reader.Next(row)) {
    if (row.sender != sender) continue;
    if (first < 0) first = row.time;
    if (previous >= 0) intervals.Add((row.time - previous) * 1000.0);
    previous = row.time;
    // Bounded (to about 30 years) before it becomes the clock's integer count.
    const double offset = std::clamp((row.time - first) / options.speed, 0.0, 1e9);
    auto due =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
    if (last) due = std::max(due, *last + least);
    if (!WaitUntil(due)) break;
    last = Clock::now();
    ssize_t result;
    while ((result = sendto(fd, row.payload.data(), row.payload.size(), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to)) < 0 &&
           errno == EINTR && !gStop) {
    }
    if (result >= 0) {
      ++count.sent;
    } else if (errno == EINTR) {
      break;  // stopped
    } else if (count.failed++ == 0) {
      std::fprintf(stderr, "jointcast-replay: cannot send to %s: %s\n", options.to.c_str(),
                   std::strerror(errno));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  if (pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("jointcast-replay: pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  replay::RecordingReader reader;
  std::string error;
  bool firstPass = true;
  const auto problem = [&firstPass](const std::string& text) {
    if (firstPass) std::fprintf(stderr, "jointcast-replay: skipped %s\n", text.c_str());
  };
  if (!reader.Open(options.file, error, problem)) {
    std::fprintf(stderr, "jointcast-replay: %s\n", error.c_str());
    return 2;
  }
  const std::vector<replay::SenderCount> senders =
      replay::CountSenders(reader, options.sender, [] { return gStop != 0; });
  if (gStop) return 0;
  firstPass = false;  // the rows skipped are said once, not on every pass
  std::string sender = options.sender;
  if (sender.empty() && senders.size() == 1) sender = senders.front().sender;
  const auto chosen =
      std::find_if(senders.begin(), senders.end(),
                   [&](const replay::SenderCount& s) { return s.sender == sender; });
  if (sender.empty() || chosen == senders.end()) {
    std::string list;
    for (const replay::SenderCount& s : senders) list += " " + s.sender;
    std::fprintf(stderr, "jointcast-replay: %s; the recording holds:%s\n",
                 senders.empty() ? "no row to send" : "choose a sender with --sender",
                 list.empty() ? " nothing"
                              : (list + (senders.size() > 1 ? " and perhaps more" : "")).c_str());
    return 2;
  }
  if (options.loop && chosen->rows < 2) {
    // One row again and again would go out as fast as the machine can send.
    std::fprintf(stderr, "jointcast-replay: --loop needs at least two rows of %s\n",
                 sender.c_str());
    return 2;
  }
  sockaddr_in to{};
  if (!Resolve(options.to, to)) return 2;
  const int fd = OpenSocket(options.bind);
  if (fd < 0) return 2;
  Sent count;
  receiver::IntervalHistogram intervals;
  for (bool firstPass = true; firstPass || (options.loop && !gStop); firstPass = false) {
    if (!firstPass) {
      // The next pass follows the last row as the rows follow each other: one recorded median
      // interval later, no sooner than --max-rate allows.
      const double pause =
          std::max(intervals.Summary().median / 1000.0 / options.speed, 1.0 / options.maxRate);
      if (!WaitUntil(std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(std::min(pause, 86400.0))))) {
        break;
      }
    }
    if (!reader.Rewind()) {
      std::fprintf(stderr, "jointcast-replay: %s can no longer be read\n", options.file.c_str());
      break;
    }
    SendOnce(reader, options, sender, fd, to, intervals, count);
  }
  close(fd);
  std::fprintf(stderr, "jointcast-replay: %lu datagrams sent from %s's recording", count.sent,
               sender.c_str());
  if (count.failed > 0) std::fprintf(stderr, ", %lu could not be sent", count.failed);
  std::fprintf(stderr, "\n");
  return count.failed > 0 ? 1 : 0;
}
