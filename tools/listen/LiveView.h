#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/listen/LiveSenders.h"
#include "tools/listen/Output.h"

struct mg_context;
struct mg_connection;

namespace receiver {

// The senders' JSON for the page's event stream; names and addresses escaped for JSON.
std::string SenderJson(const LiveSender& sender);

// A page in the browser showing every sender's values, a plot of its last minute, its rate,
// last gap, malformed count and silence, pushed as Server-Sent Events at most 10 times a second
// a sender. Read-only. Served by civetweb from a fixed few threads of its own, with a bounded
// request size, a time limit on each request and on each write, and a bounded queue of
// connections, so that slow, large or many requests take the page down at worst, never the
// receiving side, which only ever waits for a short lock.
class LiveView : public Output {
 public:
  static constexpr int kWorkers = 12;
  static constexpr int kMaxStreams = 8;   // open pages; the rest of the workers serve files
  static constexpr int kMaxWaiting = 64;  // connections accepted but not yet served
  static constexpr int kPushesPerSecond = 10;
  static constexpr int kKeepAliveEveryS = 2;  // so that a page that left frees its place soon
  static constexpr int kUnreadStreamS = 10;   // a page that reads nothing for this long leaves

  LiveView();
  ~LiveView() override;
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // Serves on ADDRESS:PORT (an IPv4 address) to requests that name it by an IP address,
  // localhost, this machine's name or one of the extra names; false, with the reason, when it
  // cannot. Requests for any other name get 421 (see HostAllowed).
  bool Start(const std::string& address, int port, std::string& error,
             const std::vector<std::string>& extraNames = {});
  void Add(std::chrono::steady_clock::time_point arrived, double unixTime,
           const std::string& address, const std::string& name, std::string_view payload,
           bool wellFormed);
  // The senders the names file lists, shown before they are heard ("not heard since" the start).
  void Expect(const std::map<std::string, std::string>& named);

  // Shown on the page, well-formed or not; waits for a short lock only.
  void Take(const Arrival& arrival) override {
    Add(arrival.steadyTime, arrival.unixTime, arrival.address, arrival.name, arrival.payload,
        arrival.wellFormed);
  }
  // Ends the pages' streams. The server itself stops with the view: that waits a second or
  // more for civetweb's threads, which a listener ending at once leaves to the exit.
  void Close(std::chrono::steady_clock::time_point) override;
  std::uint64_t Lost() const override { return 0; }  // a page shows the latest, by design
  std::string LossLine() const override { return {}; }
  std::string Label() const override { return "live_view"; }

  // /metrics, made on the receiving thread, which alone may read what it counts: a request
  // asks (MetricsWanted), the receiving loop answers at its next turn (PublishMetrics), and the
  // request waits for that, a second at most.
  bool MetricsWanted() const { return metricsWanted_; }
  void PublishMetrics(std::string text);

 private:
  // One open page's place in the stream.
  struct Viewer {
    std::uint64_t seen = 0;  // the senders' version it has
    bool toldFull = false;
    bool toldClock = false;
  };
  void Stop();
  static int OnBeginRequest(mg_connection* connection);
  static int OnRequest(mg_connection* connection, void* self);
  static int OnLog(const mg_connection* connection, const char* message);
  int Serve(mg_connection* connection);
  // Pushes events to one page until it leaves or the view closes.
  void Push(mg_connection* connection, bool head);
  // Waits for the next push; false when closing.
  bool Throttle();
  // The events that bring the viewer up to date.
  void Stream(Viewer& viewer, std::string& out);

  // Serves /metrics: asks the receiving loop, and waits for its answer.
  void ServeMetrics(mg_connection* connection, bool head);

  std::atomic<bool> metricsWanted_{false};
  std::string metricsText_;  // under mutex_
  std::uint64_t metricsVersion_ = 0;
  std::condition_variable metricsMade_;
  mg_context* server_ = nullptr;
  double startUnixTime_ = 0;
  std::string startError_;
  std::mutex mutex_;
  std::condition_variable closing_;
  bool closed_ = false;
  LiveSenders senders_;
  std::atomic<int> streams_{0};
  std::vector<std::string> knownNames_;
};

}  // namespace receiver
