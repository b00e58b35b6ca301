#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tools/listen/QueuedOutput.h"

namespace receiver {

// Appends each well-formed datagram to a CSV file as one row:
//   unix_time,sender,a1,a2,a3,a4,a5,a6
// the time with microseconds, the six values as the exact text received, so that a replay sends
// the same bytes. A new (empty) file gets the header once; an existing one is appended to, never
// truncated. Rows are collected and written out whole at least once a second (FlushIfDue) and
// when the recorder closes. Reopen (on SIGHUP, after logrotate renamed the file) writes out what
// it holds to the old file and goes on in a file of the path's name, with the header when it is
// new; while the path cannot be opened, rows are counted as lost and it is tried once a second.
//
// The file only ever holds whole rows: a write that fails part-way (a full disk) is cut back to
// the last row written whole, and the rows that did not fit are counted as lost. Receiving goes on,
// and the next flush tries again, so a disk that gets space back resumes the recording. Each change
// (failing, resumed, the file deleted) is said once through the report callback.
//
// As an output's sink it takes the well-formed datagrams, on the output's own thread.
class Recorder : public Sink {
 public:
  Recorder() = default;
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // False, with the reason in error, when the file cannot be opened for appending.
  bool Open(const std::string& path, std::string& error, Report report = {});
  bool IsOpen() const { return fd_ >= 0; }
  // The payload must be a well-formed position datagram.
  void Write(double unixTime, std::string_view sender, std::string_view payload);
  // Writes out the collected rows when a second has passed since the last time (steady
  // seconds), or sooner when many have gathered.
  void FlushIfDue(double now);
  void Close();
  std::uint64_t LostRows() const { return lost_; }

  bool Wants(const Arrival& arrival) const override { return arrival.wellFormed; }
  void Write(const Arrival& arrival, const std::atomic<bool>&) override {
    Write(arrival.unixTime, arrival.address, arrival.payload);
  }
  void Idle() override;
  void Reopen() override;
  void Finish(const std::atomic<bool>&) override { Close(); }
  std::uint64_t NotWritten() const override { return lost_; }
  std::string Losses(std::uint64_t notWritten, std::uint64_t dropped) const override;
  std::string Label() const override { return "csv"; }

  static constexpr const char* kHeader = "unix_time,sender,a1,a2,a3,a4,a5,a6";
  static constexpr std::size_t kFlushBytes = 64 * 1024;

 private:
  void Flush();
  // Opens the path for appending, with the header when the file is empty; -1 with errno.
  int OpenFile() const;
  void Say(const std::string& text) const;

  int fd_ = -1;
  std::string path_;
  Report report_;
  std::string rows_;  // whole rows not yet written
  std::uint64_t rowCount_ = 0;
  std::uint64_t lost_ = 0;
  double lastFlush_ = 0;
  bool failing_ = false;  // the last write failed; said once until one succeeds
  bool deleted_ = false;
  bool reopening_ = false;  // the file could not be opened again; tried at each flush
};

}  // namespace receiver
