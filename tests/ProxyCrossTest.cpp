// The proxy control against a scripted server on the loopback, driven by a small loop of its own:
// what it does when the server goes away at each point of the conversation.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "lib/proxy/ProxyCross.h"
#include "lib/proxy/ProxyProtocol.h"
#include "platform/TcpConnection.h"

namespace {

struct FakeClock : platform::Clock {
  explicit FakeClock(platform::Tick start) : now(start) {}
  platform::Tick Now() override { return now; }
  void Sleep(std::uint32_t milliseconds) override { now += milliseconds; }
  platform::Tick now;
};

// Runs posted work at once, delayed work when the fake clock reaches it, and socket callbacks
// when poll() says the socket is readable.
struct TestLoop : platform::EventPoster, platform::SocketWatcher {
  explicit TestLoop(FakeClock& clock) : clock(clock) {}
  void Post(std::uint32_t delayMs, std::function<void()> work) override {
    if (delayMs == 0) {
      posted.push_back(std::move(work));
    } else {
      timers.emplace_back(clock.now + delayMs, std::move(work));
      ++timersPosted;
    }
  }
  void Watch(platform::SocketHandle socket, std::function<void()> onReadable) override {
    watched[socket] = std::move(onReadable);
  }
  void Unwatch(platform::SocketHandle socket) override { watched.erase(socket); }
  // Moves the fake clock on, running each timer at its own time, right across the tick's wrap.
  void Advance(std::uint32_t ms) {
    const platform::Tick until = clock.now + ms;
    const auto distance = [this](platform::Tick at) {
      return static_cast<std::int32_t>(at - clock.now);
    };
    for (;;) {
      auto next = std::min_element(timers.begin(), timers.end(), [&](const auto& a, const auto& b) {
        return distance(a.first) < distance(b.first);
      });
      if (next == timers.end() || distance(next->first) > distance(until)) break;
      clock.now = next->first;
      auto work = std::move(next->second);
      timers.erase(next);
      work();
    }
    clock.now = until;
  }

  // Handles what is ready, waiting up to the given time for a socket to become readable.
  void Pump(int waitMs) {
    std::vector<pollfd> fds;
    for (const auto& entry : watched) fds.push_back({static_cast<int>(entry.first), POLLIN, 0});
    if (!fds.empty() && poll(fds.data(), fds.size(), waitMs) > 0) {
      for (const pollfd& fd : fds) {
        auto it = watched.find(fd.fd);
        if (fd.revents != 0 && it != watched.end()) it->second();
      }
    }
    auto work = std::move(posted);
    posted.clear();
    for (auto& w : work) w();
  }

  FakeClock& clock;
  std::vector<std::function<void()>> posted;
  std::vector<std::pair<platform::Tick, std::function<void()>>> timers;
  int timersPosted = 0;
  std::map<platform::SocketHandle, std::function<void()>> watched;
};

class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { close(fd_); }
  std::uint16_t Port() const { return port_; }
  int Accept() const { return accept(fd_, nullptr, nullptr); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Reads one request frame from the server's side of a connection.
std::optional<proxy::Request> ReadRequest(int connection) {
  proxy::RequestDecoder decoder;
  std::uint8_t buffer[256];
  for (int i = 0; i < 20; ++i) {
    pollfd fd{connection, POLLIN, 0};
    if (poll(&fd, 1, 1000) != 1) return std::nullopt;
    const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    decoder.Feed(buffer, static_cast<std::size_t>(got));
    if (auto request = decoder.Next()) return request;
  }
  return std::nullopt;
}

void Answer(int connection, std::uint16_t id, const std::string& value) {
  const auto frame = proxy::EncodeReply(id, value, true);
  ASSERT_EQ(send(connection, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
}

struct Fixture {
  explicit Fixture(platform::Tick start = 1000)
      : clock(start), loop(clock), cross("127.0.0.1", listener.Port(), loop, loop, clock) {
    cross.OnCmdMessage = [this](crosslib::JobNumber job, std::int32_t) {
      completed.push_back(job);
    };
  }
  bool WaitForCompletion(crosslib::JobNumber job) {
    for (int i = 0; i < 20; ++i) {
      loop.Pump(100);
      for (crosslib::JobNumber c : completed) {
        if (c == job) return true;
      }
    }
    return false;
  }

  Listener listener;
  FakeClock clock;
  TestLoop loop;
  proxy::ProxyCross cross;
  std::vector<crosslib::JobNumber> completed;
};

}  // namespace

// A proxy that closes the connection before answering the ready check: the check fails, the next
// one cannot be made (job 0, never completed, so the cycle times out into a new registration),
// and a new Init connects afresh and is served.
TEST(ProxyCross, ConnectionClosedBeforeTheReadyAnswerLeadsBackToRegistration) {
  Fixture f;
  ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
  const int first = f.listener.Accept();
  const crosslib::JobNumber check = f.cross.KRCOk();
  ASSERT_NE(check, 0);
  const auto request = ReadRequest(first);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->name, "$MODE_OP");
  close(first);

  ASSERT_TRUE(f.WaitForCompletion(check));
  EXPECT_FALSE(f.cross.KRCOkResult(check));
  EXPECT_EQ(f.cross.KRCOk(), 0);

  ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
  const int second = f.listener.Accept();
  const crosslib::JobNumber again = f.cross.KRCOk();
  ASSERT_NE(again, 0);
  const auto retried = ReadRequest(second);
  ASSERT_TRUE(retried);
  Answer(second, retried->id, "#T1");
  ASSERT_TRUE(f.WaitForCompletion(again));
  EXPECT_TRUE(f.cross.KRCOkResult(again));
  close(second);
}

// Closed after the ready answer, or in the middle of a reply: the read fails (it does not hang),
// which sends the cycle to a new registration.
TEST(ProxyCross, ConnectionClosedAroundAReadFailsTheRead) {
  for (const bool midReply : {false, true}) {
    Fixture f;
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    const int connection = f.listener.Accept();
    const crosslib::JobNumber read = f.cross.ShowVar(u"$AXIS_ACT", u"");
    const auto request = ReadRequest(connection);
    ASSERT_TRUE(request);
    if (midReply) {
      const auto frame = proxy::EncodeReply(request->id, "{E6AXIS: A1 1, A2 2}", true);
      send(connection, frame.data(), frame.size() / 2, 0);
    }
    close(connection);
    ASSERT_TRUE(f.WaitForCompletion(read)) << midReply;
    std::u16string value;
    EXPECT_FALSE(f.cross.ShowVarResult(read, value)) << midReply;

    const crosslib::JobNumber next = f.cross.ShowVar(u"$AXIS_ACT", u"");
    EXPECT_NE(next, 0);
    ASSERT_TRUE(f.WaitForCompletion(next)) << midReply;
    EXPECT_FALSE(f.cross.ShowVarResult(next, value)) << midReply;
  }
}

// Bytes that are not a reply frame (a wrong tail, an impossible length) fail the read at once and
// drop the connection, rather than leave the read unanswered until the cycle's time-out.
TEST(ProxyCross, GarbageFailsTheReadAndDropsTheConnection) {
  const std::vector<std::vector<std::uint8_t>> garbage{
      {0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01},  // content length not M+3/M+6
      {0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x07, 0x07, 0x07},  // tail not 00 01 status
      std::vector<std::uint8_t>(64, 0xFF)};
  for (const auto& bytes : garbage) {
    Fixture f;
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    const int connection = f.listener.Accept();
    const crosslib::JobNumber read = f.cross.ShowVar(u"$AXIS_ACT", u"");
    ASSERT_TRUE(ReadRequest(connection));
    send(connection, bytes.data(), bytes.size(), 0);
    ASSERT_TRUE(f.WaitForCompletion(read));
    std::u16string value;
    EXPECT_FALSE(f.cross.ShowVarResult(read, value));
    EXPECT_EQ(f.cross.KRCOk(), 0);  // the connection is gone
    close(connection);
  }
}

// The server's side of one connection: reads each request, answers it or not, and keeps the ids
// in the order they came.
struct ScriptedServer {
  // Takes the next request; answers it at once if asked. Returns its message id.
  std::uint16_t Serve(bool answer) {
    const auto request = ReadRequest(connection);
    EXPECT_TRUE(request);
    if (!request) return 0;
    seen.push_back(request->id);
    if (answer) Answer(connection, request->id, "{E6AXIS: A1 1}");
    return request->id;
  }
  // True when no request arrives within the given real time.
  bool Quiet(int ms) const {
    pollfd fd{connection, POLLIN, 0};
    return poll(&fd, 1, ms) == 0;
  }
  int connection;
  std::vector<std::uint16_t> seen;
};

// The tick wraps during some of these runs: at different points of each scenario.
constexpr platform::Tick kStarts[] = {1000, 0xFFFFFFFFu - 500, 0xFFFFFFFFu - 2400};

// Reads go out every 200 ms and most are answered at once. Only a read left unanswered is sent
// again, once, a second after it went out; and all reads in flight share one timer, so answered
// reads cost the loop no wake-up.
TEST(ProxyCross, OneTimerResendsOnlyTheUnansweredReads) {
  for (const platform::Tick start : kStarts) {
    Fixture f(start);
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    ScriptedServer server{f.listener.Accept(), {}};

    const auto lost = static_cast<std::uint16_t>(f.cross.ShowVar(u"$AXIS_ACT", u""));
    server.Serve(false);
    for (int i = 0; i < 3; ++i) {
      f.loop.Advance(200);
      const crosslib::JobNumber read = f.cross.ShowVar(u"$AXIS_ACT", u"");
      server.Serve(true);
      ASSERT_TRUE(f.WaitForCompletion(read));
    }
    f.loop.Advance(200);  // t = 800
    const auto late = static_cast<std::uint16_t>(f.cross.ShowVar(u"$AXIS_ACT", u""));
    server.Serve(false);
    EXPECT_EQ(f.loop.timersPosted, 1);

    f.loop.Advance(199);
    EXPECT_TRUE(server.Quiet(50)) << start;  // not early
    f.loop.Advance(1);                       // t = 1000: the first read is due
    const std::uint16_t lostCopy = server.Serve(false);
    f.loop.Advance(799);
    EXPECT_TRUE(server.Quiet(50)) << start;  // the late read is not due before t = 1800
    f.loop.Advance(1);
    const std::uint16_t lateCopy = server.Serve(true);
    f.loop.Advance(5000);  // each is sent twice at most
    EXPECT_TRUE(server.Quiet(50)) << start;
    EXPECT_EQ(server.seen.size(), 7u) << start;
    EXPECT_EQ(f.loop.timersPosted, 2) << start;
    // A copy has a message id of its own, and its reply completes the read it was sent for.
    EXPECT_NE(lostCopy, lost);
    EXPECT_NE(lateCopy, late);
    ASSERT_TRUE(f.WaitForCompletion(late)) << start;
    std::u16string value;
    EXPECT_TRUE(f.cross.ShowVarResult(late, value));
    close(server.connection);
  }
}

// A read that waits longer (after a slow reply it is given twice that time) must not hold back a
// later read that is due sooner, once the slow reply has left the reply times that count.
TEST(ProxyCross, EachReadIsResentAtItsOwnTime) {
  for (const platform::Tick start : kStarts) {
    Fixture f(start);
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    ScriptedServer server{f.listener.Accept(), {}};

    const crosslib::JobNumber slow = f.cross.ShowVar(u"$AXIS_ACT", u"");
    f.loop.Advance(900);
    server.Serve(true);
    ASSERT_TRUE(f.WaitForCompletion(slow));
    const auto patient = static_cast<std::uint16_t>(f.cross.ShowVar(u"$AXIS_ACT", u""));
    server.Serve(false);  // resent after 1800 ms
    for (std::size_t i = 0; i < proxy::ProxyCross::kRecentReplies; ++i) {
      f.loop.Advance(10);
      const crosslib::JobNumber read = f.cross.ShowVar(u"$AXIS_ACT", u"");
      server.Serve(true);
      ASSERT_TRUE(f.WaitForCompletion(read));
    }
    const auto prompt = static_cast<std::uint16_t>(f.cross.ShowVar(u"$AXIS_ACT", u""));
    server.Serve(false);  // resent after 1000 ms, at 1160 ms from the patient one
    const std::size_t sent = server.seen.size();

    // Each copy answered at once completes its own read.
    f.loop.Advance(999);
    EXPECT_TRUE(server.Quiet(50)) << start;
    f.loop.Advance(1);
    server.Serve(true);
    ASSERT_TRUE(f.WaitForCompletion(prompt)) << start;
    f.loop.Advance(639);
    EXPECT_TRUE(server.Quiet(50)) << start;
    f.loop.Advance(1);
    server.Serve(true);
    ASSERT_TRUE(f.WaitForCompletion(patient)) << start;
    EXPECT_EQ(server.seen.size(), sent + 2) << start;
    close(server.connection);
  }
}

// A proxy that serves one request at a time and is slow only on reads (the ready check is
// answered at once, so no reply time warns of it). The first slow read is sent again after the
// usual second; the copy then waits in line behind it. A new read must not queue behind the
// copy: it takes the copy over, whose reply (read by the server once the first is answered)
// completes it. After that the slow reply times hold every resend back: one request at a time.
TEST(ProxyCross, ASerialProxySlowOnReadsNeverHasTwoRequestsInLineBehindIt) {
  for (const platform::Tick start : kStarts) {
    Fixture f(start);
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    ScriptedServer server{f.listener.Accept(), {}};
    const crosslib::JobNumber check = f.cross.KRCOk();
    server.Serve(true);
    ASSERT_TRUE(f.WaitForCompletion(check));

    const crosslib::JobNumber first = f.cross.ShowVar(u"$AXIS_ACT", u"");
    const std::uint16_t original = server.Serve(false);
    f.loop.Advance(1000);
    const std::uint16_t copy = server.Serve(false);  // in line behind the original
    f.loop.Advance(600);
    Answer(server.connection, original, "{E6AXIS: A1 1}");
    ASSERT_TRUE(f.WaitForCompletion(first)) << start;

    // t = 1600: the next read sends nothing; the server is busy with the copy until 3200.
    const crosslib::JobNumber second = f.cross.ShowVar(u"$AXIS_ACT", u"");
    EXPECT_TRUE(server.Quiet(50)) << start;
    f.loop.Advance(1599);
    EXPECT_TRUE(server.Quiet(50)) << start;
    f.loop.Advance(1);
    Answer(server.connection, copy, "{E6AXIS: A1 2}");
    ASSERT_TRUE(f.WaitForCompletion(second)) << start;
    std::u16string value;
    ASSERT_TRUE(f.cross.ShowVarResult(second, value));
    EXPECT_EQ(value, u"$AXIS_ACT = {E6AXIS: A1 2}");

    // t = 3200: twice the slow reply is past the cycle's 3 s: this read goes out once only.
    const crosslib::JobNumber third = f.cross.ShowVar(u"$AXIS_ACT", u"");
    const std::uint16_t only = server.Serve(false);
    f.loop.Advance(1600);
    Answer(server.connection, only, "{E6AXIS: A1 3}");
    ASSERT_TRUE(f.WaitForCompletion(third)) << start;
    f.loop.Advance(1400);
    EXPECT_TRUE(server.Quiet(50)) << start;
    EXPECT_EQ(server.seen.size(), 4u) << start;  // check, original, copy, third
    close(server.connection);
  }
}

// A proxy that drops a request arriving while another is pending never answers the copy: the
// read that took it over sends a request of its own once the copy's reply is overdue (about the
// first reply's time again, and a quarter, after it), in time for the cycle's 3 s.
TEST(ProxyCross, ATakenOverCopyThatNeverComesIsReplacedInTime) {
  for (const platform::Tick start : kStarts) {
    Fixture f(start);
    ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
    ScriptedServer server{f.listener.Accept(), {}};
    const crosslib::JobNumber first = f.cross.ShowVar(u"$AXIS_ACT", u"");
    const std::uint16_t original = server.Serve(false);
    f.loop.Advance(1000);
    server.Serve(false);  // the copy, dropped
    f.loop.Advance(200);
    Answer(server.connection, original, "{E6AXIS: A1 1}");
    ASSERT_TRUE(f.WaitForCompletion(first)) << start;

    const crosslib::JobNumber second = f.cross.ShowVar(u"$AXIS_ACT", u"");  // t = 1200
    f.loop.Advance(1599);
    EXPECT_TRUE(server.Quiet(50)) << start;
    f.loop.Advance(1);  // t = 2800: 1200 + 1200 + 300 + 100
    const std::uint16_t own = server.Serve(false);
    f.loop.Advance(1200);
    Answer(server.connection, own, "{E6AXIS: A1 2}");
    ASSERT_TRUE(f.WaitForCompletion(second)) << start;  // 2.8 s after it was asked for
    close(server.connection);
  }
}

// A server that dropped the first request answers its copy; the first request's reply, should it
// come after all, is known for a late one: it completes nothing, and the next read, with nothing
// in line before it, is sent as usual.
TEST(ProxyCross, ALateReplyToAnAbandonedRequestCompletesNothing) {
  Fixture f;
  ASSERT_TRUE(f.cross.Init(u"ZelkJointcastV3", u"", 0));
  ScriptedServer server{f.listener.Accept(), {}};
  const crosslib::JobNumber read = f.cross.ShowVar(u"$AXIS_ACT", u"");
  const std::uint16_t original = server.Serve(false);
  f.loop.Advance(1000);
  server.Serve(true);
  ASSERT_TRUE(f.WaitForCompletion(read));

  const crosslib::JobNumber next = f.cross.ShowVar(u"$AXIS_ACT", u"");
  const std::uint16_t sent = server.Serve(false);
  EXPECT_NE(sent, original);
  Answer(server.connection, original, "{E6AXIS: A1 9}");
  f.loop.Pump(200);
  EXPECT_EQ(std::count(f.completed.begin(), f.completed.end(), next), 0);
  EXPECT_EQ(f.completed.size(), 1u);
  Answer(server.connection, sent, "{E6AXIS: A1 2}");
  ASSERT_TRUE(f.WaitForCompletion(next));
  std::u16string value;
  ASSERT_TRUE(f.cross.ShowVarResult(next, value));
  EXPECT_EQ(value, u"$AXIS_ACT = {E6AXIS: A1 2}");
  close(server.connection);
}

// The controller may be given as an IPv6 literal; every address a name has is tried.
TEST(ConnectTcp, ReachesAnIPv6Address) {
  const int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  socklen_t size = sizeof address;
  if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(server, 1) != 0) {
    if (server >= 0) close(server);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
  std::string reason;
  auto connection = platform::ConnectTcp("::1", ntohs(address.sin6_port), 1000, reason);
  EXPECT_NE(connection, nullptr) << reason;
  close(server);
}
