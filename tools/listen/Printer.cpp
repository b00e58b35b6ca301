#include "tools/listen/Printer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "tools/listen/StreamStats.h"

namespace receiver {
namespace {

// Waits for room, looking at stop every 100 ms, so that a reader that stopped reading cannot
// hold the thread past the deadline. False when the text could not be written whole.
bool WriteAll(int fd, std::string_view text, const std::atomic<bool>& stop) {
  while (!text.empty()) {
    pollfd room{fd, POLLOUT, 0};
    const int ready = poll(&room, 1, 100);
    if (stop) return false;
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    // A line is far below the pipe's atomic size, so a write after POLLOUT does not block.
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::string Printer::Line(const Arrival& arrival) {
  double whole = 0;
  const double fraction = std::modf(arrival.unixTime, &whole);
  const auto seconds = static_cast<time_t>(whole);
  tm local{};
  localtime_r(&seconds, &local);
  const int ms = std::min(999, static_cast<int>(fraction * 1000));
  char interval[32] = "     first";
  if (arrival.intervalMs)
    std::snprintf(interval, sizeof interval, "%+8.1f ms", *arrival.intervalMs);
  char start[64];
  std::snprintf(start, sizeof start, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, ms);
  std::string line = start;
  if (arrival.severalSenders) line += arrival.name + " ";
  line += interval;
  line += "  ";
  if (!arrival.wellFormed) line += "MALFORMED ";
  line += Printable(arrival.payload);
  line += '\n';
  return line;
}

void Printer::Write(const Arrival& arrival, const std::atomic<bool>& stop) {
  if (!WriteAll(fd_, Line(arrival), stop)) ++notWritten_;
}

std::string Printer::Losses(std::uint64_t notWritten, std::uint64_t dropped) const {
  if (notWritten + dropped == 0) return "";
  return "printing: " + std::to_string(notWritten + dropped) +
         " lines not printed (standard output " +
         (dropped > 0 ? "did not keep up)" : "could not be written)");
}

}  // namespace receiver
