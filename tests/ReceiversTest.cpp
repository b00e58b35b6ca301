// The receiving tools' pieces that hold data: the recording format and the MQTT message.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tools/listen/MqttBridge.h"
#include "tools/listen/Recorder.h"
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
  replay::Recording recording;
  std::string error;
  ASSERT_TRUE(replay::ReadRecording(path, recording, error)) << error;
  ASSERT_EQ(recording.rows.size(), 2u);
  EXPECT_EQ(recording.rows[0].payload, payload);
  EXPECT_EQ(recording.rows[0].sender, "10.0.0.5");
  EXPECT_NEAR(recording.rows[0].time, 1765222222.123457, 1e-6);
  EXPECT_EQ(replay::Senders(recording), (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
  ASSERT_EQ(recording.problems.size(), 3u);
  EXPECT_EQ(recording.problems[0], "line 4: the values are not in the datagram format");
  EXPECT_EQ(recording.problems[1].rfind("line 5: the time 'later'", 0), 0u);
  EXPECT_EQ(recording.problems[2], "line 6: expected 8 fields, found 3");

  for (const char* text : {"", "time,who,a1\n1,2,3\n"}) {
    WriteFile(path, text);
    replay::Recording none;
    EXPECT_FALSE(replay::ReadRecording(path, none, error)) << text;
  }
  EXPECT_FALSE(replay::ReadRecording(TempPath("no-such-file.csv"), recording, error));
}

TEST(MqttMessage, TopicAndJsonCarryTheValuesAsReceived) {
  EXPECT_EQ(receiver::PositionTopic("jointcast", "10.0.0.5"), "jointcast/10.0.0.5/axis_act");
  EXPECT_EQ(receiver::PositionJson(1765222222.123456, "10.0.0.5",
                                   "1.500000 -0.000000 3.000000 4.000000 5.000000 6.000000"),
            "{\"time\":1765222222.123456,\"sender\":\"10.0.0.5\",\"axes\":[1.500000,-0.000000,"
            "3.000000,4.000000,5.000000,6.000000]}");
}
