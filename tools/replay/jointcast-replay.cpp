// jointcast-replay: sends a recording made by jointcast-listen --csv again, each row's six values
// as one datagram, byte for byte as recorded, keeping the recorded intervals.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/common/CommandLine.h"
#include "tools/replay/Recording.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

struct Options {
  std::string file;
  std::string to = "localhost:4849";
  double speed = 1;
  bool loop = false;
  std::string sender;
  std::string bind;  // source address, for telling replays apart
};

Options Parse(int argc, char** argv) {
  Options options;
  tools::CommandLine line(
      "jointcast-replay",
      "usage: jointcast-replay FILE [--to HOST[:PORT]] [--speed X] [--loop] [--sender ADDRESS]\n"
      "                        [--bind ADDRESS]\n"
      "Sends a recording made by jointcast-listen --csv: each row's six values, as recorded,\n"
      "as one datagram to HOST:PORT (default localhost:4849), keeping the recorded intervals\n"
      "(divided by --speed). A file with several senders needs --sender to choose one.\n"
      "--loop starts again at the end; --bind sends from that local address.\n");
  line.Positional("FILE", options.file);
  line.Text("--to", options.to);
  line.Number("--speed", 0.001, 1000, options.speed);
  line.Flag("--loop", options.loop);
  line.Text("--sender", options.sender);
  line.Text("--bind", options.bind);
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
  if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    std::fprintf(stderr, "jointcast-replay: cannot resolve '%s'\n", to.c_str());
    return false;
  }
  address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  return true;
}

int OpenSocket(const std::string& bind) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind.empty()) return fd;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (inet_pton(AF_INET, bind.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "jointcast-replay: cannot send from %s\n", bind.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the chosen rows once, on their recorded schedule; the number sent.
unsigned long SendOnce(const replay::Recording& recording, const Options& options,
                       const std::string& sender, int fd, const sockaddr_in& to) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  double first = -1;
  unsigned long sent = 0;
  for (const replay::Row& row : recording.rows) {
    if (gStop) break;
    if (row.sender != sender) continue;
    if (first < 0) first = row.time;
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>((row.time - first) / options.speed));
    std::this_thread::sleep_until(due);
    if (sendto(fd, row.payload.data(), row.payload.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
      ++sent;
    }
  }
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  replay::Recording recording;
  std::string error;
  if (!replay::ReadRecording(options.file, recording, error)) {
    std::fprintf(stderr, "jointcast-replay: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& problem : recording.problems) {
    std::fprintf(stderr, "jointcast-replay: skipped %s\n", problem.c_str());
  }
  const std::vector<std::string> senders = replay::Senders(recording);
  std::string sender = options.sender;
  if (sender.empty() && senders.size() == 1) sender = senders.front();
  if (sender.empty() || std::find(senders.begin(), senders.end(), sender) == senders.end()) {
    std::string list;
    for (const std::string& s : senders) list += " " + s;
    std::fprintf(stderr, "jointcast-replay: %s; the recording holds:%s\n",
                 senders.empty() ? "no row to send" : "choose a sender with --sender",
                 list.empty() ? " nothing" : list.c_str());
    return 2;
  }
  sockaddr_in to{};
  if (!Resolve(options.to, to)) return 2;
  const int fd = OpenSocket(options.bind);
  if (fd < 0) return 2;
  unsigned long sent = 0;
  do {
    sent += SendOnce(recording, options, sender, fd, to);
  } while (options.loop && !gStop);
  close(fd);
  std::fprintf(stderr, "jointcast-replay: %lu datagrams sent from %s's recording\n", sent,
               sender.c_str());
  return 0;
}
