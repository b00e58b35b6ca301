#include <gtest/gtest.h>

#include <tuple>

#include "lib/proxy/ProxyCross.h"
#include "lib/proxy/ProxyProtocol.h"
#include "tools/sim/SimServer.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

}  // namespace

TEST(ProxyProtocol, EncodesTheDocumentedFrames) {
  EXPECT_EQ(proxy::EncodeReadRequest(1, "$ACCU_STATE"),
            Concat({0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x0B}, Text("$ACCU_STATE")));
  EXPECT_EQ(proxy::EncodeReply(1, "#CHARGE_OK", true),
            Concat(Concat({0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x0A}, Text("#CHARGE_OK")),
                   {0x00, 0x01, 0x01}));
}

TEST(ProxyProtocol, FramesRepliesByValueLengthWhateverTheyArriveIn) {
  const Bytes first = proxy::EncodeReply(0x1234, "{E6AXIS: A1 1}", true, 6);
  const Bytes second = proxy::EncodeReply(0xFFFF, "#T1", true, 3);  // the other convention
  const Bytes failed = proxy::EncodeReply(7, "x", false);
  const Bytes stream = Concat(Concat(first, second), failed);

  // Byte by byte, then all in one piece: the same three replies.
  for (std::size_t chunk : {std::size_t{1}, stream.size()}) {
    proxy::ReplyDecoder decoder;
    std::vector<proxy::Reply> replies;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      decoder.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
      while (auto reply = decoder.Next()) replies.push_back(*reply);
    }
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].id, 0x1234);
    EXPECT_EQ(replies[0].value, "{E6AXIS: A1 1}");
    EXPECT_TRUE(replies[0].success);
    EXPECT_EQ(replies[1].id, 0xFFFF);
    EXPECT_EQ(replies[1].value, "#T1");
    EXPECT_FALSE(replies[2].success);
    EXPECT_EQ(decoder.Buffered(), 0u);
  }

  // A frame that announces more than has arrived waits; nothing is read past the data.
  proxy::ReplyDecoder decoder;
  const Bytes header{0x00, 0x02, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  decoder.Feed(header.data(), header.size());
  EXPECT_FALSE(decoder.Next().has_value());
  EXPECT_EQ(decoder.Buffered(), 7u);
}

TEST(ProxyProtocol, ServerSideRequestsAreCheckedAgainstTheirLengths) {
  const Bytes good =
      Concat(proxy::EncodeReadRequest(5, "PING"), proxy::EncodeReadRequest(6, "$MODE_OP"));
  proxy::RequestDecoder decoder;
  decoder.Feed(good.data(), 3);
  EXPECT_FALSE(decoder.Next().has_value());
  decoder.Feed(good.data() + 3, good.size() - 3);
  auto a = decoder.Next(), b = decoder.Next();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->name, "PING");
  EXPECT_EQ(b->id, 6);
  EXPECT_FALSE(decoder.Malformed());

  const std::vector<Bytes> malformed{
      {0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x09, 'a', 'b'},  // name length disagrees
      {0x00, 0x01, 0x00, 0x02},                              // shorter than its own header
      {0x00, 0x01, 0xFF, 0xFF},                              // oversize: not buffered up to 64 KiB
  };
  for (const Bytes& frame : malformed) {
    proxy::RequestDecoder bad;
    bad.Feed(frame.data(), frame.size());
    EXPECT_FALSE(bad.Next().has_value());
    EXPECT_TRUE(bad.Malformed());
  }
}

TEST(ProxyProtocol, ControllerAddressOption) {
  std::string host;
  std::uint16_t port = 0;
  ASSERT_TRUE(proxy::ParseHostPort("krc.local", host, port));
  EXPECT_EQ(host, "krc.local");
  EXPECT_EQ(port, 7000);
  ASSERT_TRUE(proxy::ParseHostPort("10.0.0.2:7001", host, port));
  EXPECT_EQ(host, "10.0.0.2");
  EXPECT_EQ(port, 7001);
  for (const auto& [text, expectedHost, expectedPort] :
       {std::tuple<const char*, const char*, int>{"[::1]:7001", "::1", 7001},
        {"[fe80::1%eth0]", "fe80::1%eth0", 7000},
        {"::1", "::1", 7000}}) {
    ASSERT_TRUE(proxy::ParseHostPort(text, host, port)) << text;
    EXPECT_EQ(host, expectedHost);
    EXPECT_EQ(port, expectedPort);
  }
  for (const char* bad : {"", ":7000", "h:", "h:0", "h:65536", "h:70x", "h:-1", "[::1", "[]:7000",
                          "[::1]7000", "[::1]:"}) {
    EXPECT_FALSE(proxy::ParseHostPort(bad, host, port)) << bad;
  }
}

TEST(SimServer, AnswersOneRequestAtATimeAfterTheLatency) {
  using namespace std::chrono_literals;
  simserver::ClientSession session;
  const sim::SimulatedArm arm;
  const auto t0 = simserver::Clock::now();
  const Bytes requests =
      Concat(Concat(proxy::EncodeReadRequest(1, "$axis_act"), proxy::EncodeReadRequest(2, "ping")),
             proxy::EncodeReadRequest(3, "$NOPE"));
  ASSERT_TRUE(session.Receive(requests.data(), requests.size(), t0, 10ms, 10ms));
  simserver::Clock::time_point due;
  ASSERT_TRUE(session.NextDue(due));
  EXPECT_EQ(due, t0 + 10ms);
  session.Answer(t0 + 15ms, arm, t0);  // only the first is done by then
  proxy::ReplyDecoder decoder;
  decoder.Feed(session.Output().data(), session.Output().size());
  session.Output().clear();
  auto first = decoder.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id, 1);
  EXPECT_EQ(first->value.rfind("{E6AXIS: A1 ", 0), 0u);
  EXPECT_FALSE(decoder.Next().has_value());

  session.Answer(t0 + 30ms, arm, t0);
  decoder.Feed(session.Output().data(), session.Output().size());
  auto ping = decoder.Next(), unknown = decoder.Next();
  ASSERT_TRUE(ping && unknown);
  EXPECT_EQ(ping->value, "PONG");
  EXPECT_TRUE(ping->success);
  EXPECT_EQ(unknown->value, "");
  EXPECT_FALSE(unknown->success);

  const Bytes junk{0x00, 0x09, 0x00, 0x04, 0x00, 0x00, 0x07, 'x'};
  EXPECT_FALSE(session.Receive(junk.data(), junk.size(), t0, 10ms, 10ms));
}

// One client cannot make the server hold more than its bounds, nor hold a slot for ever.
TEST(SimServer, BoundsWhatOneClientCanHold) {
  using namespace std::chrono_literals;
  const auto t0 = simserver::Clock::time_point{} + 1h;
  {
    simserver::ClientSession session(t0);
    Bytes flood;
    for (std::uint16_t id = 1; id <= simserver::ClientSession::kMaxQueued + 1; ++id) {
      flood = Concat(flood, proxy::EncodeReadRequest(id, "$AXIS_ACT"));
    }
    EXPECT_FALSE(session.Receive(flood.data(), flood.size(), t0, 1000ms, 1000ms));
  }
  {
    simserver::ClientSession session(t0);
    const Bytes half = proxy::EncodeReadRequest(1, "$AXIS_ACT");
    ASSERT_TRUE(session.Receive(half.data(), 5, t0, 4ms, 4ms));
    ASSERT_TRUE(session.Receive(half.data() + 5, 1, t0 + 4s, 4ms, 4ms));  // a byte now and then
    EXPECT_FALSE(session.Stalled(t0 + 5s));
    EXPECT_TRUE(session.Stalled(t0 + 5s + 1ms));
  }
  {
    simserver::ClientSession session(t0);
    EXPECT_FALSE(session.Stalled(t0 + 30s));
    EXPECT_TRUE(session.Stalled(t0 + 30s + 1ms));
  }
}

// A client that mixes reads and writes on one connection: each write is a well-formed frame and
// is refused (status 0, the value the variable keeps); the reads around it are served, and no
// write closes the client. Only bytes that break the framing do.
TEST(SimServer, RefusesWritesAndGoesOnServingReads) {
  using namespace std::chrono_literals;
  simserver::ClientSession session;
  const sim::SimulatedArm arm;
  const auto t0 = simserver::Clock::now();
  const Bytes requests = Concat(
      Concat(proxy::EncodeWriteRequest(1, "$OV_PRO", "50"), proxy::EncodeReadRequest(2, "PING")),
      Concat(proxy::EncodeWriteRequest(3, "$AXIS_ACT", "{E6AXIS: A1 9}"),
             proxy::EncodeReadRequest(4, "$AXIS_ACT")));
  for (std::size_t at = 0; at < requests.size(); ++at) {  // a byte at a time
    ASSERT_TRUE(session.Receive(requests.data() + at, 1, t0, 0ms, 0ms)) << at;
  }
  session.Answer(t0, arm, t0);
  proxy::ReplyDecoder decoder;
  decoder.Feed(session.Output().data(), session.Output().size());
  std::vector<proxy::Reply> replies;
  while (auto reply = decoder.Next()) replies.push_back(*reply);
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].id, 1);
  EXPECT_FALSE(replies[0].success);
  EXPECT_TRUE(replies[1].success);
  EXPECT_EQ(replies[1].value, "PONG");
  EXPECT_FALSE(replies[2].success);
  EXPECT_EQ(replies[2].value.rfind("{E6AXIS: A1 ", 0), 0u);  // the value it keeps
  EXPECT_TRUE(replies[3].success);

  // A write whose value length disagrees with the frame's is malformed.
  Bytes broken = proxy::EncodeWriteRequest(5, "$OV_PRO", "50");
  broken[broken.size() - 3] = 9;
  simserver::ClientSession other;
  EXPECT_FALSE(other.Receive(broken.data(), broken.size(), t0, 0ms, 0ms));
}

TEST(SimServer, SlowReadsAloneWaitTheirLatency) {
  using namespace std::chrono_literals;
  simserver::ClientSession session;
  const auto t0 = simserver::Clock::now();
  const Bytes requests =
      Concat(proxy::EncodeReadRequest(1, "$MODE_OP"), proxy::EncodeReadRequest(2, "$AXIS_ACT"));
  ASSERT_TRUE(session.Receive(requests.data(), requests.size(), t0, 4ms, 1600ms));
  simserver::Clock::time_point due;
  ASSERT_TRUE(session.NextDue(due));
  EXPECT_EQ(due, t0 + 4ms);
  session.Answer(due, sim::SimulatedArm(), t0);
  ASSERT_TRUE(session.NextDue(due));
  EXPECT_EQ(due, t0 + 1604ms);  // one at a time: after the ready check
}
