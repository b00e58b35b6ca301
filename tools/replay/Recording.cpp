#include "tools/replay/Recording.h"

#include <charconv>
#include <cmath>
#include <fstream>

#include "tools/listen/Recorder.h"
#include "tools/listen/StreamStats.h"

namespace replay {
namespace {

std::vector<std::string> SplitCommas(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
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
  if (fields.size() != 8) return "expected 8 fields, found " + std::to_string(fields.size());
  const std::string& time = fields[0];
  const auto [end, ec] = std::from_chars(time.data(), time.data() + time.size(), row.time);
  if (ec != std::errc{} || end != time.data() + time.size() || !std::isfinite(row.time) ||
      row.time < 0) {
    return "the time '" + time + "' is not a unix time";
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

bool ReadRecording(const std::string& path, Recording& recording, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  if (!std::getline(file, line)) {
    error = path + " is empty";
    return false;
  }
  if (line != receiver::Recorder::kHeader) {
    error = path + " does not start with the header \"" + receiver::Recorder::kHeader + "\"";
    return false;
  }
  for (std::size_t number = 2; std::getline(file, line); ++number) {
    Row row;
    const std::string reason = ParseRow(line, row);
    if (reason.empty()) {
      recording.rows.push_back(std::move(row));
    } else {
      recording.problems.push_back("line " + std::to_string(number) + ": " + reason);
    }
  }
  return true;
}

std::vector<std::string> Senders(const Recording& recording) {
  std::vector<std::string> senders;
  for (const Row& row : recording.rows) {
    bool known = false;
    for (const std::string& s : senders) known = known || s == row.sender;
    if (!known) senders.push_back(row.sender);
  }
  return senders;
}

}  // namespace replay
