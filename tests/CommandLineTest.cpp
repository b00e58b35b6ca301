#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "portable/CommandLine.h"

namespace {

struct Numbers {
  double rate = 5;
  unsigned long count = 1;
  unsigned port = 4849;
};

// Parses the arguments as a program with one number of each kind would.
Numbers Parse(std::vector<std::string> arguments) {
  Numbers numbers;
  portable::CommandLine line("numbers", "");
  line.Number("--rate", "N", 0.01, 100000.0, numbers.rate, "");
  line.Number("--count", "N", 0ul, 1000000000000ul, numbers.count, "");
  line.Number("--port", "N", 1u, 65535u, numbers.port, "");
  arguments.insert(arguments.begin(), "numbers");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  line.Parse(static_cast<int>(argv.size()), argv.data());
  return numbers;
}

}  // namespace

// Every kind of number takes both of its bounds, and a usage error (exit code 2) that says why
// for what is beyond them or not whole where it must be.
TEST(CommandLine, NumbersTakeTheirBoundsAndRefuseWhatIsBeyond) {
  // In a child, as a refusal ends the process.
  const auto takes = [](std::vector<std::string> arguments, Numbers expected) {
    const Numbers got = Parse(std::move(arguments));
    std::exit(got.rate == expected.rate && got.count == expected.count && got.port == expected.port
                  ? 0
                  : 1);
  };
  const auto accepted = ::testing::ExitedWithCode(0);
  EXPECT_EXIT(takes({"--rate", "100000", "--count", "1000000000000", "--port=65535"},
                    {100000.0, 1000000000000ul, 65535u}),
              accepted, "");
  EXPECT_EXIT(takes({"--rate", "0.01", "--count", "0", "--port", "1"}, {0.01, 0ul, 1u}), accepted,
              "");

  const auto refused = ::testing::ExitedWithCode(2);
  EXPECT_EXIT(Parse({"--port", "65536"}), refused, "'65536' is not from 1 to 65535");
  EXPECT_EXIT(Parse({"--port", "0"}), refused, "'0' is not from 1 to 65535");
  EXPECT_EXIT(Parse({"--rate", "100000.5"}), refused, "is not from 0.01 to 100000");
  EXPECT_EXIT(Parse({"--count", "1000000000001"}), refused, "is not from 0 to 1000000000000");
  EXPECT_EXIT(Parse({"--port", "80.5"}), refused, "'80.5' is not a whole number");
  EXPECT_EXIT(Parse({"--rate", "fast"}), refused, "'fast' is not a number; try 'numbers --help'");
}
