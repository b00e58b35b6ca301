#include "tools/listen/Recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace receiver {
namespace {

// Writes text (whole rows) at the end of the file. When the disk fills part-way, the rows
// written whole stay and the file is cut back after the last of them; returns how many bytes
// of text the file keeps, with errno telling why the rest failed.
std::size_t AppendRows(int fd, const std::string& text) {
  struct stat before {};
  if (fstat(fd, &before) != 0) return 0;
  // A pipe cannot be cut back: there each write is one row, which a pipe takes whole or not at
  // all (a row is far below PIPE_BUF).
  const bool rowByRow = !S_ISREG(before.st_mode);
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t size = rowByRow ? text.find('\n', done) + 1 - done : text.size() - done;
    const ssize_t wrote = write(fd, text.data() + done, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const int reason = wrote < 0 ? errno : ENOSPC;
      const std::size_t lastRowEnd = text.rfind('\n', done == 0 ? 0 : done - 1);
      const std::size_t kept = done == 0 || lastRowEnd == std::string::npos ? 0 : lastRowEnd + 1;
      if (kept < done && ftruncate(fd, before.st_size + static_cast<off_t>(kept)) != 0) {
        // Nothing more can be done; the reason of the write is the one worth telling.
      }
      errno = reason;
      return kept;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return done;
}

}  // namespace

Recorder::~Recorder() {
  Close();
}

bool Recorder::Open(const std::string& path, std::string& error, Report report) {
  path_ = path;
  report_ = std::move(report);
  fd_ = OpenFile();
  if (fd_ < 0) error = std::strerror(errno);
  return fd_ >= 0;
}

int Recorder::OpenFile() const {
  // Never waiting: a FIFO with no reader is refused at once (ENXIO) instead of blocking the
  // open, and one whose reader stops reading loses rows (counted) instead of the listener.
  const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  struct stat file {};
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_size == 0) {
    // A new recording starts with the header.
    const std::string header = std::string(kHeader) + "\n";
    if (AppendRows(fd, header) != header.size()) {
      const int reason = errno;
      close(fd);
      errno = reason;
      return -1;
    }
  }
  return fd;
}

void Recorder::Reopen() {
  if (path_.empty()) return;
  Close();
  fd_ = OpenFile();
  deleted_ = false;
  if (fd_ >= 0) {
    if (reopening_)
      Say("recording to " + path_ + " again (" + std::to_string(lost_) + " rows lost so far)");
    reopening_ = false;
    return;
  }
  if (!reopening_) {
    Say("cannot open " + path_ + " again: " + std::strerror(errno) +
        "; rows are lost until it can be opened");
  }
  reopening_ = true;
}

void Recorder::Write(double unixTime, std::string_view sender, std::string_view payload) {
  if (fd_ < 0) {
    if (reopening_) ++lost_;
    return;
  }
  const double whole = std::floor(unixTime);
  long micros = std::lround((unixTime - whole) * 1e6);
  long long seconds = static_cast<long long>(whole);
  if (micros >= 1000000) micros -= 1000000, ++seconds;
  char time[48];
  std::snprintf(time, sizeof time, "%lld.%06ld,", seconds, micros);
  rows_ += time;
  rows_ += sender;
  rows_ += ',';
  // The fields are separated by single spaces in a well-formed datagram, never by commas.
  for (char c : payload) rows_ += c == ' ' ? ',' : c;
  rows_ += '\n';
  ++rowCount_;
  if (rows_.size() >= kFlushBytes) Flush();
}

void Recorder::FlushIfDue(double now) {
  if (now - lastFlush_ < 1.0) return;
  if (fd_ < 0 && reopening_) {
    lastFlush_ = now;
    Reopen();
    return;
  }
  if (fd_ < 0) return;
  Flush();
  lastFlush_ = now;
}

void Recorder::Idle() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  FlushIfDue(std::chrono::duration<double>(now).count());
}

std::string Recorder::Losses(std::uint64_t notWritten, std::uint64_t dropped) const {
  std::string line;
  if (notWritten > 0) {
    line = std::to_string(notWritten) + " rows lost (could not be written to " + path_ + ")";
  }
  if (dropped > 0) {
    line += (line.empty() ? "" : "; ") + std::to_string(dropped) +
            " rows lost (dropped, the recording did not keep up)";
  }
  return line.empty() ? line : "recording: " + line;
}

void Recorder::Flush() {
  if (fd_ < 0 || rows_.empty()) return;
  struct stat file {};
  if (!deleted_ && fstat(fd_, &file) == 0 && file.st_nlink == 0) {
    deleted_ = true;
    Say("the recording " + path_ + " was deleted: rows are no longer recorded");
  }
  if (deleted_) {
    lost_ += rowCount_;
  } else if (const std::size_t kept = AppendRows(fd_, rows_); kept == rows_.size()) {
    if (failing_) {
      Say("recording to " + path_ + " again (" + std::to_string(lost_) + " rows lost so far)");
    }
    failing_ = false;
  } else {
    if (!failing_) {
      Say("cannot write to " + path_ + ": " + std::strerror(errno) +
          "; rows are lost until it can be written again");
    }
    failing_ = true;
    const auto keptRows =
        static_cast<std::uint64_t>(std::count(rows_.begin(), rows_.begin() + kept, '\n'));
    lost_ += rowCount_ - keptRows;
  }
  rows_.clear();
  rowCount_ = 0;
}

void Recorder::Say(const std::string& text) const {
  if (report_) report_(text);
}

void Recorder::Close() {
  if (fd_ < 0) return;
  Flush();
  if (close(fd_) != 0 && !failing_) {
    Say("cannot write to " + path_ + ": " + std::strerror(errno));
  }
  fd_ = -1;
}

}  // namespace receiver
