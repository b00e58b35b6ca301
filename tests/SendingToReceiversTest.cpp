// The publisher's receivers: the list as the address field and the config file give it, and
// the sending to each, with names looked up aside and failures said once a minute.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSockets.h"
#include "portable/ReceiverList.h"
#include "portable/Receivers.h"

namespace {

TEST(ReceiverList, HostsWithPortsSeparatedByCommasOrBlanks) {
  auto list = portable::ParseReceivers(" sim-pc, 10.9.0.255:5000\tbroker_1.cell3:4850 ");
  ASSERT_TRUE(list) << list.Reason();
  EXPECT_EQ(portable::ReceiversText(*list), "sim-pc:4849, 10.9.0.255:5000, broker_1.cell3:4850");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "no receiver given"},
      {" , ", "no receiver given"},
      {"127.0.0.1:4850:4849", "'127.0.0.1:4850:4849' is not HOST[:PORT]: the port is a number"},
      {"sim:0", "the port is a number from 1 to 65535"},
      {"sim:65536", "the port is a number from 1 to 65535"},
      {"sim:", "the port is a number from 1 to 65535"},
      {":4849", "no host"},
      {"sim/pc", "has no '/'"},
      {"[::1]:4849", "has no '['"},
      {"5000", "'5000' is neither a host name nor a dotted IPv4 address"},
      {"10.9.0:4849", "'10.9.0' is neither"},
      {std::string("sim\0pc", 6), "has no '"},
  };
  for (const auto& [text, why] : bad) {
    const auto parsed = portable::ParseReceivers(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_NE(parsed.Reason().find(why), std::string::npos) << text << ": " << parsed.Reason();
  }
}

// A resolver the test sets: each name's answer, and how many lookups were made.
struct FakeResolver {
  std::mutex mutex;
  std::map<std::string, std::string> addresses;  // name to dotted address; missing: unknown
  std::map<std::string, int> lookups;

  platform::LookupAnswer operator()(const std::string& name) {
    std::lock_guard lock(mutex);
    ++lookups[name];
    platform::LookupAnswer answer;
    const auto it = addresses.find(name);
    if (it == addresses.end()) {
      answer.error = "Name or service not known";
      return answer;
    }
    platform::ResolvedAddress address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.address);
    v4->sin_family = AF_INET;
    inet_pton(AF_INET, it->second.c_str(), &v4->sin_addr);
    address.length = sizeof(sockaddr_in);
    answer.addresses.push_back(address);
    return answer;
  }
  void Set(const std::string& name, const std::string& address) {
    std::lock_guard lock(mutex);
    addresses[name] = address;
  }
  int Lookups(const std::string& name) {
    std::lock_guard lock(mutex);
    return lookups[name];
  }
};

struct Sending {
  Sending()
      : receivers(
            sockets, clock, 0,
            [this](bool isError, const std::string& text) {
              said.push_back((isError ? "E " : "N ") + text);
            },
            [] { return std::string("12:03:10"); },
            [this](const std::string& name) { return resolver(name); }) {}

  // One reading sent, after the lookups started by the one before have answered.
  long Send() {
    receivers.AwaitLookups(2000);
    return receivers.SendTo(platform::FakeSockets::kHandle, "x", 1, {});
  }
  // Where the datagrams went since the last call, as "ADDRESS:PORT".
  std::vector<std::string> Sent() {
    std::vector<std::string> to;
    for (const auto& sent : sockets.sent) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, sent.destination.address.data(), text, sizeof text);
      to.push_back(std::string(text) + ":" + std::to_string(sent.destination.Port()));
    }
    sockets.sent.clear();
    return to;
  }

  platform::FakeSockets sockets;
  platform::FakeClock clock;
  FakeResolver resolver;
  std::vector<std::string> said;
  portable::Receivers receivers;
};

using Addresses = std::vector<std::string>;

// Every reading goes to each receiver; one whose name does not resolve holds nobody back, is
// said once and then once a minute, is tried again with a back-off that stops at 30 s, and gets
// datagrams by itself once its name resolves.
TEST(Receivers, EachReceiverGetsEveryReadingAndALateNameJoinsByItself) {
  Sending s;
  s.resolver.Set("sim-pc", "10.0.0.7");
  ASSERT_TRUE(s.receivers.ResolveIPv4("sim-pc, 10.9.0.255:5000 , broker:4850"));
  EXPECT_EQ(s.receivers.Text(), "sim-pc:4849, 10.9.0.255:5000, broker:4850");
  EXPECT_EQ(s.Send(), 1);
  EXPECT_EQ(s.Sent(), (Addresses{"10.0.0.7:4849", "10.9.0.255:5000"}));
  EXPECT_EQ(s.said,
            (std::vector<std::string>{
                "E receiver broker:4850: cannot resolve the name: Name or service not known"}));
  EXPECT_EQ(s.receivers.Trouble(),
            "broker:4850: cannot resolve the name: Name or service not known");
  EXPECT_EQ(s.resolver.Lookups("broker"), 1);  // one lookup per attempt

  // Tried again after 1, 2, 4, 8, 16, 30, 30 s; each reading in between makes no lookup.
  std::vector<int> waits;
  int last = s.resolver.Lookups("broker");
  for (int second = 1; second <= 120; ++second) {
    for (int reading = 0; reading < 5; ++reading) {
      s.clock.Advance(200);
      s.Send();
    }
    s.receivers.AwaitLookups(2000);
    if (s.resolver.Lookups("broker") != last) {
      waits.push_back(second);
      last = s.resolver.Lookups("broker");
    }
  }
  EXPECT_EQ(waits, (std::vector<int>{1, 3, 7, 15, 31, 61, 91}));
  EXPECT_EQ(s.said.size(), 3u);  // the first time, then once a minute
  EXPECT_EQ(s.said[1],
            "E receiver broker:4850: still cannot resolve the name: Name or service not known "
            "(since 12:03:10, 301 readings not sent)");

  s.resolver.Set("broker", "10.0.0.9");
  s.Sent();
  for (int i = 0; i < 150 && s.Sent().size() < 3; ++i) {
    s.clock.Advance(200);
    s.Send();
  }
  s.Send();
  EXPECT_EQ(s.Sent(), (Addresses{"10.0.0.7:4849", "10.9.0.255:5000", "10.0.0.9:4850"}));
  EXPECT_EQ(s.said.back().rfind("N receiver broker:4850 takes datagrams again, after ", 0), 0u)
      << s.said.back();
  EXPECT_EQ(s.receivers.Trouble(), "");
}

// A name that resolves is looked up again each minute and a moved receiver followed; a name
// server that stops answering keeps the last address; a failed send says the system's reason,
// and a reading no receiver took is a failed send.
TEST(Receivers, MovedReceiverFollowedAndSendFailuresSaid) {
  Sending s;
  s.resolver.Set("sim-pc", "10.0.0.7");
  ASSERT_TRUE(s.receivers.ResolveIPv4("sim-pc"));
  EXPECT_EQ(s.Send(), 1);
  s.resolver.Set("sim-pc", "10.0.0.8");
  s.clock.Advance(59000);
  s.Send();
  EXPECT_EQ(s.Sent(), (Addresses{"10.0.0.7:4849", "10.0.0.7:4849"}));
  EXPECT_EQ(s.resolver.Lookups("sim-pc"), 1);
  s.clock.Advance(1000);
  s.Send();  // starts the lookup
  s.Send();
  EXPECT_EQ(s.Sent(), (Addresses{"10.0.0.7:4849", "10.0.0.8:4849"}));
  EXPECT_EQ(s.said,
            (std::vector<std::string>{"N receiver sim-pc:4849 moved from 10.0.0.7 to 10.0.0.8"}));

  {
    std::lock_guard lock(s.resolver.mutex);
    s.resolver.addresses.clear();
  }
  s.clock.Advance(60000);
  s.Send();
  s.Send();
  EXPECT_EQ(s.Sent(), (Addresses{"10.0.0.8:4849", "10.0.0.8:4849"}));

  s.sockets.sendFails = true;
  errno = ENETUNREACH;
  EXPECT_EQ(s.Send(), -1);
  EXPECT_EQ(s.said.back(), "E receiver sim-pc:4849: cannot send: network is unreachable");
  EXPECT_EQ(s.receivers.Trouble(), "sim-pc:4849: cannot send: network is unreachable");
}

// A text that is no list of receivers is refused with the reason; a dotted address is never
// looked up; an empty field is this machine.
TEST(Receivers, BadListsRefusedAndAddressesNotLookedUp) {
  Sending s;
  EXPECT_FALSE(s.receivers.ResolveIPv4("127.0.0.1:4850:4849"));
  EXPECT_EQ(s.receivers.Problem(),
            "'127.0.0.1:4850:4849' is not HOST[:PORT]: the port is a number from 1 to 65535");
  ASSERT_TRUE(s.receivers.ResolveIPv4("127.0.0.1, 127.0.0.2:9"));
  EXPECT_EQ(s.receivers.Problem(), "");
  s.Send();
  EXPECT_EQ(s.Sent(), (Addresses{"127.0.0.1:4849", "127.0.0.2:9"}));
  EXPECT_TRUE(s.resolver.lookups.empty());
}

}  // namespace
