// The real sockets on the loopback: resolution, one datagram byte for byte, lookups aside and
// TCP connections to each address of a name.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/HostLookup.h"
#include "platform/Sockets.h"
#include "platform/TcpConnection.h"

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

namespace {

platform::ResolvedAddress Loopback(std::uint16_t port) {
  platform::ResolvedAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.address);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.length = sizeof(sockaddr_in);
  return address;
}

// A listening socket on the loopback, and its port.
int ListenOn(int backlog, std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  listen(fd, backlog);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

// A lookup's answer that comes after its caller stopped waiting is kept for the next caller,
// who starts no second lookup: a name server slower than the wait is still heard.
TEST(BackgroundLookup, ALateAnswerIsTheNextAttemptsAndStartsNoSecondLookup) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable open;
    bool opened = false;
  };
  auto gate = std::make_shared<Gate>();
  std::atomic<int> lookups{0};
  const auto gated = [gate, &lookups](std::uint16_t port) {
    return [gate, &lookups, port] {
      ++lookups;
      std::unique_lock lock(gate->mutex);
      gate->open.wait(lock, [&] { return gate->opened; });
      return platform::LookupAnswer{{Loopback(port)}, ""};
    };
  };
  platform::BackgroundLookup lookup;
  lookup.Start(gated(1));
  lookup.Wait(0);
  EXPECT_FALSE(lookup.Take());  // the first attempt gives up waiting
  {
    std::lock_guard lock(gate->mutex);
    gate->opened = true;
  }
  gate->open.notify_all();
  lookup.Wait(10000);
  lookup.Start(gated(2));  // the next attempt
  lookup.Wait(10000);
  const auto answer = lookup.Take();
  ASSERT_TRUE(answer);
  EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(&answer->addresses[0].address)->sin_port),
            1);
  EXPECT_EQ(lookups, 1);
}

// The first address never answers the connection (a full backlog drops the SYN, as a black-holed
// route does): it gets its share of the time, and the second address is reached.
TEST(ConnectTcp, AnAddressThatNeverAnswersDoesNotHideTheNext) {
  std::uint16_t silentPort = 0, goodPort = 0;
  const int silent = ListenOn(0, silentPort);
  std::vector<std::unique_ptr<platform::TcpConnection>> filling;
  std::string reason;
  for (int i = 0; i < 3; ++i) {
    filling.push_back(platform::ConnectTcp({Loopback(silentPort)}, 200, reason));
  }
  ASSERT_EQ(platform::ConnectTcp({Loopback(silentPort)}, 200, reason), nullptr);
  const int good = ListenOn(4, goodPort);
  EXPECT_NE(platform::ConnectTcp({Loopback(silentPort), Loopback(goodPort)}, 1000, reason), nullptr)
      << reason;
  close(silent);
  close(good);
}
