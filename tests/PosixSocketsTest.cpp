// The real sockets on the loopback: resolution and one datagram, byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/HostLookup.h"
#include "platform/Sockets.h"

TEST(PosixSockets, ResolvesNamesAndAddresses) {
  auto& sockets = platform::SystemSockets();
  using Address = std::array<std::uint8_t, 4>;
  EXPECT_EQ(sockets.ResolveIPv4("127.0.0.1"), (Address{127, 0, 0, 1}));
  EXPECT_EQ(sockets.ResolveIPv4("10.20.30.40"), (Address{10, 20, 30, 40}));
  const auto localhost = sockets.ResolveIPv4("localhost");
  ASSERT_TRUE(localhost.has_value());
  EXPECT_EQ((*localhost)[0], 127);
  EXPECT_TRUE(sockets.ResolveIPv4("").has_value());  // this machine's own name
  EXPECT_FALSE(sockets.ResolveIPv4("no-such-host.invalid").has_value());
  EXPECT_FALSE(sockets.ResolveIPv4("300.1.1.1").has_value());
}

TEST(HostLookup, OnlyTheFirstAddressIsUsed) {
  using platform::IPv4Address;
  static std::vector<std::string> asked;
  const auto twoAddresses = [](const std::string& host) {
    asked.push_back(host);
    return std::vector<IPv4Address>{{10, 0, 0, 1}, {10, 0, 0, 2}};
  };
  const auto none = [](const std::string&) { return std::vector<IPv4Address>{}; };
  EXPECT_EQ(platform::LookupIPv4("robot1.cell3", twoAddresses), (IPv4Address{10, 0, 0, 1}));
  EXPECT_FALSE(platform::LookupIPv4("robot1.cell3", none).has_value());
  // The empty name asks for this machine by its own name.
  platform::LookupIPv4("", twoAddresses);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_FALSE(asked[1].empty());
}

TEST(PosixSockets, SendsOneDatagramWithoutATerminatingZero) {
  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(receiver, 0);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
  socklen_t size = sizeof bound;
  getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &size);

  auto& sockets = platform::SystemSockets();
  const platform::SocketHandle sender = sockets.OpenUdp();
  ASSERT_NE(sender, platform::kNoSocket);
  platform::SocketAddressV4 to;
  to.family = platform::kFamilyIPv4;
  to.SetPort(ntohs(bound.sin_port));
  to.address = {127, 0, 0, 1};
  const std::string text = "0.000000 -90.000000 90.000000 0.000000 0.000000 0.000000";
  EXPECT_EQ(sockets.SendTo(sender, text.c_str(), text.size(), to), static_cast<long>(text.size()));

  char received[256];
  const ssize_t got = recv(receiver, received, sizeof received, 0);
  EXPECT_EQ(std::string(received, static_cast<std::size_t>(got)), text);
  sockets.ShutdownBoth(sender);
  sockets.Close(sender);
  close(receiver);
}
