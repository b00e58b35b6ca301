#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tools/listen/LiveSenders.h"

namespace httplib {
class Server;
}

namespace receiver {

// The senders' JSON for the page's event stream; names and addresses escaped for JSON.
std::string SenderJson(const LiveSender& sender);

// A page in the browser showing every sender's values, a plot of its last minute, its rate,
// last gap, malformed count and silence, pushed as Server-Sent Events at most 10 times a second
// a sender. Read-only. It serves from threads of its own, a fixed few, with time limits on
// reading and writing, so that slow or many clients take the page down at worst, never the
// receiving side, which only ever waits for a short lock.
class LiveView {
 public:
  static constexpr int kWorkers = 12;
  static constexpr int kMaxStreams = 8;   // open pages; the rest of the workers serve files
  static constexpr int kMaxWaiting = 64;  // connections accepted but not yet served
  static constexpr int kPushesPerSecond = 10;

  LiveView();
  ~LiveView();
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // Serves on ADDRESS:PORT (an IPv4 address); false, with the reason, when it cannot.
  bool Start(const std::string& address, int port, std::string& error);
  void Add(const std::string& address, const std::string& name, std::string_view payload,
           bool wellFormed);

 private:
  // One open page's place in the stream.
  struct Viewer {
    bool started = false;
    std::uint64_t seen = 0;  // the senders' version it has
    bool toldFull = false;
    std::chrono::steady_clock::time_point lastWrite;
  };
  // Waits for the next push; false when closing.
  bool Throttle();
  // The events that bring the viewer up to date.
  void Stream(Viewer& viewer, std::string& out);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable closing_;
  bool closed_ = false;
  LiveSenders senders_;
  std::atomic<int> streams_{0};
};

}  // namespace receiver
