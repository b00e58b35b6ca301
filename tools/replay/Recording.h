#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace replay {

// One row of a recording made by jointcast-listen --csv.
struct Row {
  double time = 0;      // unix time, seconds
  std::string sender;   // the sender's address
  std::string payload;  // the six values as recorded, joined by single spaces: the datagram
};

// Reads a recording row by row, as a stream: memory does not grow with the file. Lines are
// bounded; a row that cannot be replayed is skipped and named by its line (through the problem
// callback): not "unix_time,sender,a1,..,a6", values not in the datagram format, a time before
// 2000. A recording appended to later (--csv appends) can jump by days, or back: a jump of more
// than a day is left out of the times returned, and said, so the replay goes straight on.
class RecordingReader {
 public:
  static constexpr std::size_t kMaxLine = 4096;
  static constexpr double kEarliest = 946684800;  // 2000-01-01
  static constexpr double kLongestGap = 86400;
  using Problem = std::function<void(const std::string&)>;

  RecordingReader() = default;
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // False, with the reason in error, when the file cannot be read, is not a regular file, is
  // empty or does not start with the header.
  bool Open(const std::string& path, std::string& error, Problem problem = {});
  // The next row that can be replayed; false at the end of the file.
  bool Next(Row& row);
  // Back to the first row.
  bool Rewind();

 private:
  // The next line without its line end (a CR before it too); false at the end. A line longer
  // than kMaxLine is read to its end but not kept: tooLong is set.
  bool ReadLine(std::string& line, bool& tooLong);

  std::FILE* file_ = nullptr;
  std::string path_;
  Problem problem_;
  std::uint64_t lineNumber_ = 0;
  double previousTime_ = 0;  // as recorded
  double leftOut_ = 0;       // seconds of the jumps left out so far
  std::string firstLine_;
};

// The senders in order of first appearance, each with its rows that can be replayed. Reads only
// as far as needed: with a sender named, until two of its rows are found; otherwise until a
// second sender shows. Stops early, too, when stop says so (a signal).
struct SenderCount {
  std::string sender;
  std::uint64_t rows = 0;
};
constexpr std::size_t kListedSenders = 100;
std::vector<SenderCount> CountSenders(RecordingReader& reader, const std::string& wanted,
                                      const std::function<bool()>& stop);

// Quotes a field for a message: at most about 80 characters, control characters shown.
std::string Quote(const std::string& text);

}  // namespace replay
