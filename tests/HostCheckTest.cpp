// Which Host headers the live view answers: what a browser on this machine or the plant network
// sends, never what a page on another site can make it send.
#include <gtest/gtest.h>

#include "tools/listen/HostCheck.h"

TEST(HostCheck, AnswersItsOwnNamesOnly) {
  const std::vector<std::string> known{"cell3-server", "robots.plant.example"};
  for (const char* allowed :
       {"127.0.0.1", "127.0.0.1:8080", "10.3.0.5", "[::1]", "[::1]:8080", "localhost",
        "LOCALHOST:80", "localhost.", "cell3-server", "Robots.Plant.Example:8080"}) {
    EXPECT_TRUE(receiver::HostAllowed(allowed, known)) << allowed;
  }
  for (const char* refused :
       {"attacker.example", "attacker.example:8080", "127.0.0.1.attacker.example",
        "localhost.attacker.example", "[::1]evil.example", "127.0.0.1:evil", "localhost:8080 x",
        "localhost:", "[::1", "[not-an-address]", "cell3-server.attacker.example", "::1"}) {
    EXPECT_FALSE(receiver::HostAllowed(refused, known)) << refused;
  }
}
