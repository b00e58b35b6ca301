#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace receiver {

// Appends each well-formed datagram to a CSV file as one row:
//   unix_time,sender,a1,a2,a3,a4,a5,a6
// the time with microseconds, the six values as the exact text received, so that a replay sends
// the same bytes. A new (empty) file gets the header once; an existing one is appended to, never
// truncated. Rows reach the disk at least once a second (Flush) and when the recorder closes.
class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // False, with the reason in error, when the file cannot be opened for appending.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // The payload must be a well-formed position datagram.
  void Write(double unixTime, std::string_view sender, std::string_view payload);
  // Writes out what is buffered when a second has passed since the last time (steady seconds).
  void FlushIfDue(double now);
  void Close();

  static constexpr const char* kHeader = "unix_time,sender,a1,a2,a3,a4,a5,a6";

 private:
  std::FILE* file_ = nullptr;
  double lastFlush_ = 0;
};

}  // namespace receiver
