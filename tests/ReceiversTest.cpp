// The receiving tools' pieces that hold data: the recording format and the MQTT message.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/listen/MqttBridge.h"
#include "tools/listen/Recorder.h"
#include "tools/listen/SenderNames.h"
#include "tools/replay/Recording.h"

namespace {

std::string TempPath(const char* name) {
  return ::testing::TempDir() + name;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

}  // namespace

// What the listener records the replay reads back exactly; what is not a row is named by line.
TEST(Recording, RoundTripAndBadRows) {
  const std::string path = TempPath("recording.csv");
  std::remove(path.c_str());
  const std::string payload = "1.500000 -2.250000 3.000000 4.000000 5.000000 6.000000";
  {
    receiver::Recorder recorder;
    std::string error;
    ASSERT_TRUE(recorder.Open(path, error)) << error;
    recorder.Write(1765222222.1234567, "10.0.0.5", payload);
  }
  {
    receiver::Recorder again;  // appends; no second header
    std::string error;
    ASSERT_TRUE(again.Open(path, error));
    again.Write(1765222222.3, "10.0.0.6", payload);
  }
  std::ofstream(path, std::ios::app) << "1765222222.5,10.0.0.5,1,2,3,4,5,6\n"
                                     << "later,10.0.0.5,1.000000,2.000000,3.000000,4.000000,"
                                        "5.000000,6.000000\n"
                                     << "1765222222.6,10.0.0.5,1.000000\n";
  std::vector<std::string> problems;
  replay::RecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, error, [&](const std::string& p) { problems.push_back(p); }))
      << error;
  const auto senders = replay::CountSenders(reader, "10.0.0.6", {});
  ASSERT_EQ(senders.size(), 2u);
  EXPECT_EQ(senders[0].sender, "10.0.0.5");
  EXPECT_EQ(senders[0].rows, 1u);
  EXPECT_EQ(senders[1].sender, "10.0.0.6");
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0], "line 4: the values are not in the datagram format");
  EXPECT_EQ(problems[1].rfind("line 5: the time 'later'", 0), 0u);
  EXPECT_EQ(problems[2], "line 6: expected 8 fields, found 3");
  ASSERT_TRUE(reader.Rewind());
  replay::Row row;
  ASSERT_TRUE(reader.Next(row));
  EXPECT_EQ(row.payload, payload);
  EXPECT_EQ(row.sender, "10.0.0.5");
  EXPECT_NEAR(row.time, 1765222222.123457, 1e-6);
}

// Files that are no recording get a reason that names what was found; a line is never held
// whole when it is long, a bad field is quoted short, and times that would break the schedule
// are skipped.
TEST(Recording, BoundedAndSaneWhateverTheFile) {
  const std::string path = TempPath("odd.csv");
  std::string error;
  {
    replay::RecordingReader reader;
    EXPECT_FALSE(reader.Open(::testing::TempDir(), error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  }
  {
    replay::RecordingReader reader;
    EXPECT_FALSE(reader.Open("/dev/zero", error));
    EXPECT_NE(error.find("is a device"), std::string::npos) << error;
  }
  {
    replay::RecordingReader reader;
    EXPECT_FALSE(reader.Open(TempPath("no-such-file.csv"), error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  }
  for (const char* text : {"", "\xef\xbb\xbfunix_time,sender,a1,a2,a3,a4,a5,a6\n"}) {
    WriteFile(path, text);
    replay::RecordingReader reader;
    EXPECT_FALSE(reader.Open(path, error)) << text;
  }
  EXPECT_NE(error.find("its first line is '\\xef\\xbb\\xbfunix_time"), std::string::npos) << error;

  const std::string good = "1765222222.0,10.0.0.5," + std::string(
                                                          "1.000000,2.000000,3.000000,"
                                                          "4.000000,5.000000,6.000000");
  WriteFile(path, std::string(receiver::Recorder::kHeader) + "\r\n" + good + "\r\n" +
                      std::string(100000, 'x') + "\n" +  // too long
                      "1765222222.1,10.0.0.5,1," + std::string(3000, '9') + ",3,4,5,6\n" +
                      "12.5,10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000\n" +
                      "1765400000.0,10.0.0.5,1.000000,2.000000,3.000000,4.000000,5.000000,"
                      "6.000000\n" +
                      good + "\n");
  std::vector<std::string> problems;
  replay::RecordingReader reader;
  ASSERT_TRUE(reader.Open(path, error, [&](const std::string& p) { problems.push_back(p); }))
      << error;
  std::vector<double> times;
  for (replay::Row row; reader.Next(row);) times.push_back(row.time);
  // The jump of two days, and the one back, are left out: the replay goes straight on.
  EXPECT_EQ(times, (std::vector<double>{1765222222.0, 1765222222.0, 1765222222.0}));
  ASSERT_EQ(problems.size(), 5u);
  EXPECT_EQ(problems[0], "line 3: longer than 4096 bytes");
  EXPECT_EQ(problems[1], "line 4: the values are not in the datagram format");
  EXPECT_EQ(problems[2].rfind("line 5: the time '12.5' is before 2000", 0), 0u) << problems[2];
  EXPECT_EQ(problems[3],
            "line 6: 49 h after the previous row; replayed straight on, without the jump");
  EXPECT_EQ(problems[4],
            "line 7: 49 h before the previous row; replayed straight on, without the jump");
  EXPECT_EQ(replay::Quote(std::string(200, 'y')).size(), 82u + 12u);  // 80 shown, and the size
}

namespace {

const std::string kPayload = "1.500000 -2.250000 3.000000 4.000000 5.000000 6.000000";
const std::string kCsvValues = "1.500000,-2.250000,3.000000,4.000000,5.000000,6.000000";
// The recording's header line, and a row of kPayload from 10.0.0.5 at a time of ten digits.
const std::size_t kHeaderBytes = std::strlen(receiver::Recorder::kHeader) + 1;
const std::size_t kRowBytes = std::strlen("1765222222.000000,10.0.0.5,") + kPayload.size() + 1;

std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

}  // namespace

// A full disk: the failure is said once with the system's reason, the rows are counted as lost,
// and recording resumes (said once) when there is room again.
TEST(Recorder, AFullDiskIsReportedOnceAndItsRowsCounted) {
  std::vector<std::string> said;
  receiver::Recorder recorder;
  std::string error;
  ASSERT_TRUE(recorder.Open("/dev/full", error, [&](const std::string& s) { said.push_back(s); }));
  for (int flush = 0; flush < 3; ++flush) {
    recorder.Write(1765222222.5, "10.0.0.5", kPayload);
    recorder.Write(1765222222.7, "10.0.0.5", kPayload);
    recorder.FlushIfDue(1.0 + flush);
  }
  recorder.Close();
  EXPECT_EQ(recorder.LostRows(), 6u);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("No space left on device"), std::string::npos) << said[0];
}

// Records 40 rows under a file size limit, then with the limit lifted; run in a child process,
// whose limit it is. 0 when the file held whole rows only throughout.
int RecordPastTheFileSizeLimit(const std::string& path, rlim_t limitBytes) {
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{limitBytes, limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  std::vector<std::string> said;
  receiver::Recorder recorder;
  std::string error;
  if (!recorder.Open(path, error, [&](const std::string& s) { said.push_back(s); })) return 10;
  for (int i = 0; i < 40; ++i) recorder.Write(1765222222.0 + i, "10.0.0.5", kPayload);
  recorder.FlushIfDue(1.0);  // 40 rows do not fit
  const auto fitting = static_cast<long>((limitBytes - kHeaderBytes) / kRowBytes);
  const std::string cut = ReadAll(path);
  const auto rowsKept = std::count(cut.begin(), cut.end(), '\n') - 1;
  if (rowsKept != fitting ||
      cut.size() != kHeaderBytes + static_cast<std::size_t>(fitting) * kRowBytes)
    return 11;
  setrlimit(RLIMIT_FSIZE, &limit);
  recorder.Write(1765222300.0, "10.0.0.5", kPayload);
  recorder.Close();
  const std::string after = ReadAll(path);
  const bool oneMoreWholeRow = after.size() == cut.size() + kRowBytes && after.back() == '\n' &&
                               after.find('\n', cut.size()) == after.size() - 1;
  if (!oneMoreWholeRow) return 12;
  return recorder.LostRows() == static_cast<std::uint64_t>(40 - fitting) && said.size() == 2 ? 0
                                                                                             : 13;
}

// A filesystem that fills part-way through a write (here the file size limit) keeps the rows
// written whole and no part of the next, wherever the room ends: in the middle of a row, just
// before its line end, or just after it. Once there is room again the recording goes on.
TEST(Recorder, NeverLeavesAPartialRow) {
  for (const rlim_t limit : {rlim_t{1000}, rlim_t{kHeaderBytes + 12 * kRowBytes - 1},
                             rlim_t{kHeaderBytes + 12 * kRowBytes}}) {
    SCOPED_TRACE(limit);
    const std::string path = TempPath("full.csv");
    std::remove(path.c_str());
    EXPECT_EXIT(std::exit(RecordPastTheFileSizeLimit(path, limit)), ::testing::ExitedWithCode(0),
                "");
  }
}

TEST(Recorder, ADeletedFileIsReported) {
  const std::string path = TempPath("deleted.csv");
  std::remove(path.c_str());
  std::vector<std::string> said;
  receiver::Recorder recorder;
  std::string error;
  ASSERT_TRUE(recorder.Open(path, error, [&](const std::string& s) { said.push_back(s); }));
  std::remove(path.c_str());
  recorder.Write(1765222222.5, "10.0.0.5", kPayload);
  recorder.Close();
  EXPECT_EQ(recorder.LostRows(), 1u);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("was deleted"), std::string::npos);
}

// logrotate renames the file and signals: the rows held so far go to the old file, the next
// ones to a new file of the name, with its header. A path that cannot be opened again loses
// rows (counted) until it can, tried at each flush.
TEST(Recorder, ReopensItsPathAfterARename) {
  const std::string path = TempPath("rotated.csv");
  const std::string old = TempPath("rotated.csv.1");
  std::remove(path.c_str());
  std::vector<std::string> said;
  receiver::Recorder recorder;
  std::string error;
  ASSERT_TRUE(recorder.Open(path, error, [&](const std::string& s) { said.push_back(s); }));
  recorder.Write(1765222222.5, "10.0.0.5", kPayload);
  ASSERT_EQ(std::rename(path.c_str(), old.c_str()), 0);
  recorder.Reopen();
  recorder.Write(1765222223.5, "10.0.0.5", kPayload);
  recorder.Close();
  const std::string header = std::string(receiver::Recorder::kHeader) + "\n";
  EXPECT_EQ(ReadAll(old), header + "1765222222.500000,10.0.0.5," + kCsvValues + "\n");
  EXPECT_EQ(ReadAll(path), header + "1765222223.500000,10.0.0.5," + kCsvValues + "\n");
  EXPECT_EQ(recorder.LostRows(), 0u);
  EXPECT_TRUE(said.empty());

  // The folder goes (a rotation that moved it): rows are lost, counted, until it is back.
  const std::string folder = TempPath("rotating");
  const std::string inside = folder + "/rotated.csv";
  mkdir(folder.c_str(), 0700);
  receiver::Recorder moved;
  ASSERT_TRUE(moved.Open(inside, error, [&](const std::string& s) { said.push_back(s); }));
  std::remove(inside.c_str());
  rmdir(folder.c_str());
  moved.Reopen();
  moved.Write(1765222224.5, "10.0.0.5", kPayload);
  mkdir(folder.c_str(), 0700);
  moved.FlushIfDue(100.0);  // opens it again
  moved.Write(1765222225.5, "10.0.0.5", kPayload);
  moved.Close();
  EXPECT_EQ(moved.LostRows(), 1u);
  EXPECT_EQ(ReadAll(inside), header + "1765222225.500000,10.0.0.5," + kCsvValues + "\n");
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("cannot open " + inside + " again"), std::string::npos) << said[0];
  EXPECT_NE(said[1].find("recording to " + inside + " again (1 rows lost so far)"),
            std::string::npos)
      << said[1];
}

// The values as JSON numbers, whatever zeros the datagram carries (JSON has no leading zeros).
TEST(MqttMessage, TopicAndJsonCarryTheValuesReceived) {
  EXPECT_EQ(receiver::PositionTopic("jointcast", "10.0.0.5"), "jointcast/10.0.0.5/axis_act");
  EXPECT_EQ(receiver::PositionJson(1765222222.123456, "10.0.0.5",
                                   "1.500000 -0.000000 3.000000 45.678001 -180.500000 0.000000"),
            "{\"time\":1765222222.123456,\"sender\":\"10.0.0.5\",\"axes\":[1.5,-0,3,45.678001,"
            "-180.5,0],\"unit\":\"deg\",\"joints\":[\"A1\",\"A2\",\"A3\",\"A4\",\"A5\",\"A6\"]}");
  EXPECT_EQ(receiver::PositionJson(1765222222.5, "10.0.0.5",
                                   "0001.500000 -02.250000 003.000000 000.000000 -000.000010 "
                                   "999999999999.999999"),
            "{\"time\":1765222222.500000,\"sender\":\"10.0.0.5\",\"axes\":[1.5,-2.25,3,0,-1e-05,"
            "1e+12],\"unit\":\"deg\",\"joints\":[\"A1\",\"A2\",\"A3\",\"A4\",\"A5\",\"A6\"]}");
  // A name may hold what JSON must escape.
  EXPECT_EQ(receiver::StatusJson("renamed", 1765222222.5, "cell \"3\"\\robot"),
            "{\"state\":\"renamed\",\"since\":1765222222.500,\"as\":\"cell \\\"3\\\"\\\\robot\"}");
}

// Robots by name: what a names file may hold; a name must be one topic level; a file that cannot
// be read leaves the names as they were.
TEST(SenderNames, ReadsNamesThatAreTopicLevels) {
  const std::string path = TempPath("names.txt");
  WriteFile(path,
            "# cell 3\n"
            "10.0.0.5 cell3-robot1   # the welder\r\n"
            "\n"
            "10.0.0.6 cell3/robot2\n"
            "10.0.0.7 robot+\n"
            "10.0.0.8\n"
            "robot9 10.0.0.9\n"
            "10.0.0.10 two words\n"
            "10.0.0.11 " +
                std::string(65, 'x') +
                "\n"
                "10.0.0.12 caf\xe9\n"
                "10.0.0.5 again\n"
                "10.0.0.13 cell3-robot1\n");
  receiver::SenderNames names;
  std::string error;
  std::vector<std::string> problems;
  ASSERT_TRUE(names.Load(path, error, problems)) << error;
  EXPECT_EQ(names.Size(), 1u);
  EXPECT_EQ(names.NameOf("10.0.0.5"), "cell3-robot1");
  EXPECT_EQ(names.NameOf("10.0.0.6"), "10.0.0.6");
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "line 4: a name may not hold '/', '+', '#' or control characters",
                          "line 5: a name may not hold '/', '+', '#' or control characters",
                          "line 6: expected ADDRESS NAME or ADDRESS:PORT NAME",
                          "line 7: 'robot9' is not an IPv4 address",
                          "line 8: expected ADDRESS NAME or ADDRESS:PORT NAME",
                          "line 9: a name is at most 64 bytes", "line 10: a name must be UTF-8",
                          "line 11: 10.0.0.5 has a name already",
                          "line 12: 'cell3-robot1' is the name of 10.0.0.5 already"}));
  EXPECT_FALSE(names.Load(TempPath("no-names.txt"), error, problems));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos);
  EXPECT_EQ(names.NameOf("10.0.0.5"), "cell3-robot1");
}

// Publishers on one host, each from a port of its own, are separate senders once the names
// list their address with ports; every other address stays one sender whatever its port.
TEST(SenderNames, AnAddressListedWithPortsIsToldApartByPort) {
  const std::string path = TempPath("port-names.txt");
  WriteFile(path,
            "10.0.0.20:40001 robot1\n"
            "10.0.0.20:40002 robot2\n"
            "10.0.0.20 the-server\n"
            "10.0.0.21 robot3\n"
            "10.0.0.22:0 robot4\n"
            "10.0.0.22:65536 robot4\n"
            "10.0.0.22:4x robot4\n"
            "10.0.0.23:04001 robot5\n"
            "10.0.0.23:4001 robot6\n");
  receiver::SenderNames names;
  std::string error;
  std::vector<std::string> problems;
  ASSERT_TRUE(names.Load(path, error, problems)) << error;
  EXPECT_EQ(names.SenderOf("10.0.0.20", 40001), "10.0.0.20:40001");
  EXPECT_EQ(names.NameOf(names.SenderOf("10.0.0.20", 40001)), "robot1");
  EXPECT_EQ(names.NameOf(names.SenderOf("10.0.0.20", 40002)), "robot2");
  EXPECT_EQ(names.NameOf(names.SenderOf("10.0.0.20", 50000)), "10.0.0.20:50000");
  EXPECT_EQ(names.SenderOf("10.0.0.21", 50000), "10.0.0.21");
  EXPECT_EQ(names.NameOf(names.SenderOf("10.0.0.21", 50001)), "robot3");
  EXPECT_EQ(names.NameOf(names.SenderOf("10.0.0.23", 4001)), "robot5");  // as the datagram says
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "line 5: '0' is not a port from 1 to 65535",
                          "line 6: '65536' is not a port from 1 to 65535",
                          "line 7: '4x' is not a port from 1 to 65535",
                          "line 9: 10.0.0.23:4001 has a name already",
                          "10.0.0.20 is listed with ports too, so its datagrams are told apart by "
                          "port and the name without one is not used"}));
}
