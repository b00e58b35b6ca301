#pragma once

#include <string>
#include <vector>

namespace replay {

// One row of a recording made by jointcast-listen --csv.
struct Row {
  double time = 0;      // unix time, seconds
  std::string sender;   // the sender's address
  std::string payload;  // the six values as recorded, joined by single spaces: the datagram
};

struct Recording {
  std::vector<Row> rows;
  std::vector<std::string> problems;  // "line N: reason" for each row that was skipped
};

// Reads a recording. Rows that are not "unix_time,sender,a1,..,a6" with values in the datagram
// format are skipped and listed in problems. False, with the reason in error, when the file
// cannot be read, is empty or does not start with the header.
bool ReadRecording(const std::string& path, Recording& recording, std::string& error);

// The senders in order of first appearance.
std::vector<std::string> Senders(const Recording& recording);

}  // namespace replay
