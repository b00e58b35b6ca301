#include "tools/listen/LiveView.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "platform/HostLookup.h"

// The page and the plotting library, built into the program so that the page works on a plant
// network with no way out.
namespace embedded {
extern const std::string_view kIndexHtml, kLiveViewJs, kLiveViewCss, kDygraphJs, kDygraphCss;
}

namespace receiver {
namespace {

using namespace std::chrono_literals;

constexpr auto kKeepAliveEvery = 15s;  // a comment, so that a viewer that left is noticed

// Set while a connection is served by the accepting thread itself (see BoundedTaskQueue).
thread_local bool tServedWhileFull = false;

// httplib's own pool queues accepted connections without limit. This one keeps a fixed number
// of workers and of waiting connections; beyond that the accepting thread answers the next one
// itself with "busy", so that accepting slows down and the kernel's backlog holds the rest.
class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(int workers, std::size_t maxWaiting) : maxWaiting_(maxWaiting) {
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
  }

  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (waiting_.size() < maxWaiting_) {
        waiting_.push_back(std::move(job));
        wake_.notify_one();
        return;
      }
    }
    tServedWhileFull = true;
    job();
    tServedWhileFull = false;
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

 private:
  void Work() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;  // stopping, and nothing left
        job = std::move(waiting_.front());
        waiting_.pop_front();
      }
      job();
    }
  }

  const std::size_t maxWaiting_;
  std::vector<std::thread> workers_;
  std::deque<std::function<void()>> waiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendNumber(std::string& out, const char* key, double value) {
  char text[48];
  std::snprintf(text, sizeof text, ",\"%s\":%.1f", key, value);
  out += text;
}

void Serve(httplib::Server& server, const char* path, std::string_view body, const char* type) {
  server.Get(path, [body, type](const httplib::Request&, httplib::Response& response) {
    response.set_content(body.data(), body.size(), type);
  });
}

}  // namespace

std::string SenderJson(const LiveSender& sender) {
  std::string json = "{\"address\":";
  AppendJsonString(json, sender.address);
  json += ",\"name\":";
  AppendJsonString(json, sender.name);
  json += ",\"values\":";
  AppendJsonString(json, sender.values);
  AppendNumber(json, "rate", sender.ratePerS);
  AppendNumber(json, "gapMs", sender.lastGapMs);
  AppendNumber(json, "silentS", sender.silentS);
  json += ",\"received\":" + std::to_string(sender.received) +
          ",\"malformed\":" + std::to_string(sender.malformed) + "}";
  return json;
}

LiveView::LiveView() = default;

LiveView::~LiveView() {
  if (!server_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  closing_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool LiveView::Start(const std::string& address, int port, std::string& error) {
  const std::optional<platform::IPv4Address> ip = platform::ResolveIPv4(address, error);
  if (!ip) return false;
  char numeric[16];
  std::snprintf(numeric, sizeof numeric, "%u.%u.%u.%u", (*ip)[0], (*ip)[1], (*ip)[2], (*ip)[3]);

  server_ = std::make_unique<httplib::Server>();
  httplib::Server& server = *server_;
  server.new_task_queue = [] { return new BoundedTaskQueue(kWorkers, kMaxWaiting); };
  server.set_address_family(AF_INET);
  // httplib's own options add SO_REUSEPORT, which lets a second listener share the port
  // silently; a port in use must be said instead.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_read_timeout(5s);
  server.set_write_timeout(5s);
  server.set_keep_alive_timeout(5);
  server.set_payload_max_length(4096);  // nothing here takes a body
  server.set_default_headers({
      {"X-Content-Type-Options", "nosniff"},
      {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"},
      {"Referrer-Policy", "no-referrer"},
  });
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.method != "GET" && request.method != "HEAD") {
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      response.set_content("this page is read-only\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (tServedWhileFull) {
      response.status = 503;
      response.set_header("Retry-After", "5");
      response.set_content("busy, try again\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  Serve(server, "/", embedded::kIndexHtml, "text/html; charset=utf-8");
  Serve(server, "/live-view.js", embedded::kLiveViewJs, "text/javascript; charset=utf-8");
  Serve(server, "/live-view.css", embedded::kLiveViewCss, "text/css; charset=utf-8");
  Serve(server, "/dygraph.min.js", embedded::kDygraphJs, "text/javascript; charset=utf-8");
  Serve(server, "/dygraph.min.css", embedded::kDygraphCss, "text/css; charset=utf-8");
  server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
      --streams_;
      response.status = 503;
      response.set_header("Retry-After", "10");
      response.set_content("too many live views open\n", "text/plain");
      return;
    }
    response.set_header("Cache-Control", "no-store");
    auto viewer = std::make_shared<Viewer>();
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, viewer](std::size_t, httplib::DataSink& sink) {
          std::string out;
          if (!viewer->started) {
            viewer->started = true;
            out = "retry: 2000\n\n";
          } else if (!Throttle()) {
            return false;  // closing
          }
          Stream(*viewer, out);
          const auto now = std::chrono::steady_clock::now();
          if (out.empty() && now - viewer->lastWrite >= kKeepAliveEvery) out = ": still here\n\n";
          if (out.empty()) return true;
          viewer->lastWrite = now;
          return sink.write(out.data(), out.size());
        },
        [this](bool) { --streams_; });
  });

  if (!server.bind_to_port(numeric, port)) {
    error = std::strerror(errno);
    server_.reset();
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void LiveView::Add(const std::string& address, const std::string& name, std::string_view payload,
                   bool wellFormed) {
  const auto now = LiveSenders::Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  senders_.Add(now, address, name, payload, wellFormed);
}

bool LiveView::Throttle() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !closing_.wait_for(lock, std::chrono::milliseconds(1000 / kPushesPerSecond),
                            [this] { return closed_; });
}

void LiveView::Stream(Viewer& viewer, std::string& out) {
  LiveSenders::Changes changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changes = senders_.ChangedSince(LiveSenders::Clock::now(), viewer.seen);
  }
  viewer.seen = changes.version;
  if (changes.full && !viewer.toldFull) {
    viewer.toldFull = true;
    out += "event: full\ndata: {}\n\n";
  }
  for (const std::string& address : changes.forgotten) {
    out += "event: forget\ndata: {\"address\":";
    AppendJsonString(out, address);
    out += "}\n\n";
  }
  for (const LiveSender& sender : changes.changed) {
    out += "event: sender\ndata: " + SenderJson(sender) + "\n\n";
  }
}

}  // namespace receiver
