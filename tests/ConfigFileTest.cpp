// The configuration file a service reads: what it accepts, and a mistake named by line and key.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "portable/ConfigFile.h"

namespace {

std::string Written(const char* name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

}  // namespace

TEST(ConfigFile, TakesTheFormsSystemdTakes) {
  const std::string path = Written(
      "robot1.conf",
      "# robot 1\r\n\r\nCONTROLLER = robot1.cell3:7000\r\n  RECEIVER=\"sim host\"\nPERIOD='50'\n");
  auto settings = portable::ReadConfigFile(path);
  ASSERT_TRUE(settings) << settings.Reason();
  ASSERT_EQ(settings->size(), 3u);
  EXPECT_EQ((*settings)[0].key, "CONTROLLER");
  EXPECT_EQ((*settings)[0].value, "robot1.cell3:7000");
  EXPECT_EQ((*settings)[0].line, 3);
  EXPECT_EQ((*settings)[1].value, "sim host");
  EXPECT_EQ((*settings)[2].value, "50");
}

TEST(ConfigFile, AMistakeIsNamedByFileLineAndKey) {
  for (const auto& [text, expected] :
       {std::pair<const char*, const char*>{"RECEIVER=a\nRECEIVER=b\n",
                                            ":2: RECEIVER is set twice"},
        {"CONTROLLER=robot1 # the first\n", ":1: CONTROLLER: 'robot1 # the first' holds a quote"},
        {"\n\njust words\n", ":3: not KEY=VALUE: 'just words'"},
        {"lower=x\n", ":1: not KEY=VALUE"},
        {"PERIOD=\"50\n", ":1: PERIOD: '\"50' holds a quote"}}) {
    const std::string path = Written("bad.conf", text);
    auto settings = portable::ReadConfigFile(path);
    ASSERT_FALSE(settings) << text;
    EXPECT_EQ(settings.Reason().rfind(path, 0), 0u) << settings.Reason();
    EXPECT_NE(settings.Reason().find(expected), std::string::npos) << settings.Reason();
  }
  auto missing = portable::ReadConfigFile(::testing::TempDir() + "no-such.conf");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.Reason().find("no-such.conf: cannot read it: No such file"), std::string::npos);
}
