#include "tools/replay/Recording.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "tools/listen/Recorder.h"
#include "tools/listen/StreamStats.h"

namespace replay {
namespace {

std::vector<std::string> SplitCommas(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
      if (fields.size() > 8) break;  // already too many: the count is all that is said
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// The reason a row cannot be replayed, or empty when it can.
std::string ParseRow(const std::string& line, Row& row) {
  const std::vector<std::string> fields = SplitCommas(line);
  if (fields.size() != 8) {
    return fields.size() > 8 ? "expected 8 fields, found more"
                             : "expected 8 fields, found " + std::to_string(fields.size());
  }
  const std::string& time = fields[0];
  const auto [end, ec] = std::from_chars(time.data(), time.data() + time.size(), row.time);
  if (ec != std::errc{} || end != time.data() + time.size() || !std::isfinite(row.time) ||
      row.time < 0) {
    return "the time " + Quote(time) + " is not a unix time";
  }
  row.sender = fields[1];
  if (row.sender.empty()) return "no sender";
  row.payload.clear();
  for (std::size_t i = 2; i < 8; ++i) row.payload += (i > 2 ? " " : "") + fields[i];
  if (!receiver::IsPositionDatagram(row.payload))
    return "the values are not in the datagram format";
  return {};
}

}  // namespace

std::string Quote(const std::string& text) {
  constexpr std::size_t kShown = 80;
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "'";
  if (text.size() > kShown) out += " (" + std::to_string(text.size()) + " bytes)";
  return out;
}

RecordingReader::~RecordingReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RecordingReader::Open(const std::string& path, std::string& error, Problem problem) {
  path_ = path;
  problem_ = std::move(problem);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    error = path + " is a directory, not a recording";
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = path + " is a device or pipe, not a recording file";
    return false;
  }
  file_ = std::fopen(path.c_str(), "r");
  if (file_ == nullptr) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!Rewind()) {
    error = lineNumber_ == 0
                ? path + " is empty"
                : path + " does not start with the header \"" + receiver::Recorder::kHeader +
                      "\"; its first line is " + Quote(firstLine_);
    return false;
  }
  return true;
}

bool RecordingReader::Rewind() {
  if (file_ == nullptr || std::fseek(file_, 0, SEEK_SET) != 0) return false;
  lineNumber_ = 0;
  previousTime_ = 0;
  leftOut_ = 0;
  std::string header;
  bool tooLong = false;
  if (!ReadLine(header, tooLong)) return false;
  if (tooLong || header != receiver::Recorder::kHeader) {
    firstLine_ = header;
    return false;
  }
  return true;
}

bool RecordingReader::ReadLine(std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c = 0;
  bool any = false;
  while ((c = getc_unlocked(file_)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kMaxLine) {
      line += static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
  if (!any) return false;
  ++lineNumber_;
  if (!line.empty() && line.back() == '\r') line.pop_back();  // saved with CRLF line ends
  return true;
}

bool RecordingReader::Next(Row& row) {
  std::string line;
  bool tooLong = false;
  while (ReadLine(line, tooLong)) {
    std::string reason;
    if (tooLong) {
      reason = "longer than " + std::to_string(kMaxLine) + " bytes";
    } else {
      reason = ParseRow(line, row);
    }
    if (reason.empty() && row.time < kEarliest) {
      reason = "the time " + Quote(line.substr(0, line.find(','))) + " is before 2000";
    }
    if (reason.empty()) {
      const double jump = row.time - previousTime_;
      if (previousTime_ > 0 && std::fabs(jump) > kLongestGap) {
        leftOut_ += jump;
        if (problem_) {
          problem_("line " + std::to_string(lineNumber_) + ": " +
                   std::to_string(static_cast<long long>(std::fabs(jump) / 3600)) + " h " +
                   (jump > 0 ? "after" : "before") +
                   " the previous row; replayed straight on, without the jump");
        }
      }
      previousTime_ = row.time;
      row.time -= leftOut_;
      return true;
    }
    if (problem_) problem_("line " + std::to_string(lineNumber_) + ": " + reason);
  }
  return false;
}

std::vector<SenderCount> CountSenders(RecordingReader& reader, const std::string& wanted,
                                      const std::function<bool()>& stop) {
  std::vector<SenderCount> senders;
  Row row;
  for (std::uint64_t read = 0; reader.Next(row); ++read) {
    if (read % 4096 == 0 && stop && stop()) break;
    auto known = std::find_if(senders.begin(), senders.end(),
                              [&](const SenderCount& s) { return s.sender == row.sender; });
    if (known == senders.end()) {
      if (senders.size() >= kListedSenders && row.sender != wanted) continue;
      senders.push_back({row.sender, 0});
      known = senders.end() - 1;
    }
    ++known->rows;
    if (wanted.empty() ? senders.size() >= 2 : known->sender == wanted && known->rows >= 2) break;
  }
  return senders;
}

}  // namespace replay
