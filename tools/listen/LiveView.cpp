#include "tools/listen/LiveView.h"

#include <civetweb.h>

#include <cstdio>
#include <optional>

#include "tools/listen/HostCheck.h"
#include "tools/listen/JsonText.h"
#include "tools/listen/ReadWatch.h"

#include "platform/HostLookup.h"

// The page and the plotting library, built into the program so that the page works on a plant
// network with no way out.
namespace embedded {
extern const std::string_view kIndexHtml, kLiveViewJs, kLiveViewCss, kDygraphJs, kDygraphCss;
}

namespace receiver {
namespace {

struct Page {
  std::string_view path;
  const std::string_view& body;
  const char* type;
};
const Page kPages[] = {
    {"/", embedded::kIndexHtml, "text/html; charset=utf-8"},
    {"/live-view.js", embedded::kLiveViewJs, "text/javascript; charset=utf-8"},
    {"/live-view.css", embedded::kLiveViewCss, "text/css; charset=utf-8"},
    {"/dygraph.min.js", embedded::kDygraphJs, "text/javascript; charset=utf-8"},
    {"/dygraph.min.css", embedded::kDygraphCss, "text/css; charset=utf-8"},
};

// Start-up messages of the server (why it cannot listen), kept for Start's error.
thread_local std::string* tStartLog = nullptr;

void AppendNumber(std::string& out, const char* key, double value) {
  char text[48];
  std::snprintf(text, sizeof text, ",\"%s\":%.1f", key, value);
  out += text;
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
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
  json += sender.silent ? ",\"silent\":true" : ",\"silent\":false";
  char last[48];
  std::snprintf(last, sizeof last, ",\"last\":%.3f", sender.lastUnixTime);
  json += last;
  json += ",\"received\":" + std::to_string(sender.received) +
          ",\"malformed\":" + std::to_string(sender.malformed) + "}";
  return json;
}

LiveView::LiveView() = default;

LiveView::~LiveView() {
  Stop();
}

void LiveView::Close(std::chrono::steady_clock::time_point) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  closing_.notify_all();
  metricsMade_.notify_all();
}

void LiveView::Stop() {
  if (server_ == nullptr) return;
  Close({});
  mg_stop(server_);  // waits for its threads; the pushes end at the notification
  mg_exit_library();
  server_ = nullptr;
}

bool LiveView::Start(const std::string& address, int port, std::string& error,
                     const std::vector<std::string>& extraNames) {
  startUnixTime_ = UnixNow();
  knownNames_ = MachineNames();
  knownNames_.insert(knownNames_.end(), extraNames.begin(), extraNames.end());
  const std::optional<platform::IPv4Address> ip = platform::ResolveIPv4(address, error);
  if (!ip) return false;
  char listening[32];
  std::snprintf(listening, sizeof listening, "%u.%u.%u.%u:%d", (*ip)[0], (*ip)[1], (*ip)[2],
                (*ip)[3], port);
  const std::string workers = std::to_string(kWorkers), waiting = std::to_string(kMaxWaiting);
  const char* options[] = {
      "listening_ports", listening, "num_threads", workers.c_str(), "connection_queue",
      waiting.c_str(), "listen_backlog", waiting.c_str(),
      // A whole request within 5 s, its head within 16 kB; each write within 5 s.
      "request_timeout_ms", "5000", "max_request_size", "16384", "enable_keep_alive", "no",
      "additional_header",
      "X-Content-Type-Options: nosniff\r\n"
      "Content-Security-Policy: default-src 'self'; style-src 'self' 'unsafe-inline'; "
      "base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
      "Referrer-Policy: no-referrer",
      nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = &LiveView::OnLog;
  callbacks.begin_request = &LiveView::OnBeginRequest;
  mg_init_library(0);
  std::string log;
  tStartLog = &log;
  server_ = mg_start(&callbacks, this, options);
  tStartLog = nullptr;
  if (server_ == nullptr) {
    mg_exit_library();
    error = log.empty() ? "the web server did not start" : log;
    return false;
  }
  mg_set_request_handler(server_, "/", &LiveView::OnRequest, this);
  return true;
}

int LiveView::OnLog(const mg_connection*, const char* message) {
  if (tStartLog != nullptr && tStartLog->empty()) *tStartLog = message;  // the first says why
  return 1;  // said by the caller, or not at all: a client's trouble is no operator's
}

int LiveView::OnBeginRequest(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  const auto* self = static_cast<const LiveView*>(request->user_data);
  const char* host = mg_get_header(connection, "Host");
  const bool needsHost = std::string_view(request->http_version) != "1.0";
  if ((host == nullptr && needsHost) ||
      !HostAllowed(host != nullptr ? host : "", self->knownNames_)) {
    mg_send_http_error(connection, 421,
                       "this server does not answer to that name; its operator can add it with "
                       "--http-host\n");
    return 421;
  }
  // OPTIONS gets the methods this server answers. (civetweb itself closes "OPTIONS *" unanswered,
  // before any callback sees it.)
  if (std::string_view(request->request_method) == "OPTIONS") {
    mg_response_header_start(connection, 204);
    mg_response_header_add(connection, "Allow", "GET, HEAD, OPTIONS", -1);
    mg_response_header_add(connection, "Content-Length", "0", -1);
    mg_response_header_send(connection);
    return 204;
  }
  return 0;  // served by OnRequest
}

int LiveView::OnRequest(mg_connection* connection, void* self) {
  return static_cast<LiveView*>(self)->Serve(connection);
}

int LiveView::Serve(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  const std::string_view method = request->request_method;
  const std::string_view path = request->local_uri != nullptr ? request->local_uri : "";
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    mg_send_http_error(connection, 405, "this page is read-only\n");
    return 405;
  }
  if (path == "/events") {
    Push(connection, head);
    return 200;
  }
  if (path == "/metrics") {
    ServeMetrics(connection, head);
    return 200;
  }
  for (const Page& page : kPages) {
    if (path != page.path) continue;
    mg_send_http_ok(connection, page.type, static_cast<long long>(page.body.size()));
    if (!head) mg_write(connection, page.body.data(), page.body.size());
    return 200;
  }
  mg_send_http_error(connection, 404, "no such page\n");
  return 404;
}

void LiveView::Push(mg_connection* connection, bool head) {
  if (streams_.fetch_add(1) >= kMaxStreams) {
    --streams_;
    mg_response_header_start(connection, 503);
    mg_response_header_add(connection, "Retry-After", "10", -1);
    mg_response_header_add(connection, "Content-Length", "0", -1);
    mg_response_header_send(connection);
    return;
  }
  struct Release {
    std::atomic<int>& streams;
    ~Release() { --streams; }
  } release{streams_};
  mg_response_header_start(connection, 200);
  mg_response_header_add(connection, "Content-Type", "text/event-stream", -1);
  mg_response_header_add(connection, "Cache-Control", "no-store", -1);
  mg_response_header_send(connection);
  if (head) return;
  Viewer viewer;
  std::string out = "retry: 2000\n\n";
  auto lastWrite = std::chrono::steady_clock::now();
  const mg_request_info* request = mg_get_request_info(connection);
  ReadWatch reads(request->server_port, request->remote_addr, request->remote_port, lastWrite);
  do {
    Stream(viewer, out);
    const auto now = std::chrono::steady_clock::now();
    if (!reads.Reading(now, std::chrono::seconds(kUnreadStreamS))) return;  // its place is free
    if (out.empty() && now - lastWrite >= std::chrono::seconds(kKeepAliveEveryS)) {
      out = ": still here\n\n";  // a page that left is noticed by the failing write
    }
    if (out.empty()) continue;
    if (mg_write(connection, out.data(), out.size()) <= 0) return;
    lastWrite = now;
    out.clear();
  } while (Throttle());
}

void LiveView::PublishMetrics(std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    metricsText_ = std::move(text);
    ++metricsVersion_;
    metricsWanted_ = false;
  }
  metricsMade_.notify_all();
}

void LiveView::ServeMetrics(mg_connection* connection, bool head) {
  std::string text;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t before = metricsVersion_;
    metricsWanted_ = true;
    if (!metricsMade_.wait_for(lock, std::chrono::seconds(1),
                               [&] { return metricsVersion_ != before || closed_; }) ||
        closed_) {
      mg_send_http_error(connection, 503, "the listener is busy; try again\n");
      return;
    }
    text = metricsText_;
  }
  mg_send_http_ok(connection, "text/plain; version=0.0.4; charset=utf-8",
                  static_cast<long long>(text.size()));
  if (!head) mg_write(connection, text.data(), text.size());
}

void LiveView::Add(std::chrono::steady_clock::time_point arrived, double unixTime,
                   const std::string& address, const std::string& name, std::string_view payload,
                   bool wellFormed) {
  std::lock_guard<std::mutex> lock(mutex_);
  senders_.Add(arrived, unixTime, address, name, payload, wellFormed);
}

void LiveView::Expect(const std::map<std::string, std::string>& named) {
  std::lock_guard<std::mutex> lock(mutex_);
  senders_.Expect(named, std::chrono::steady_clock::now(), startUnixTime_);
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
  if (changes.full != viewer.toldFull) {
    viewer.toldFull = changes.full;
    out += changes.full ? "event: full\ndata: {\"full\":true}\n\n"
                        : "event: full\ndata: {\"full\":false}\n\n";
  }
  for (const std::string& address : changes.forgotten) {
    out += "event: forget\ndata: {\"address\":";
    AppendJsonString(out, address);
    out += "}\n\n";
  }
  for (const LiveSender& sender : changes.changed) {
    out += "event: sender\ndata: " + SenderJson(sender) + "\n\n";
  }
  if (!out.empty() || !viewer.toldClock) {
    // This machine's time, for the page to count silences from the senders' last datagrams
    // whatever its own clock says.
    char clock[64];
    std::snprintf(clock, sizeof clock, "event: clock\ndata: {\"now\":%.3f}\n\n", UnixNow());
    out.insert(0, clock);
    viewer.toldClock = true;
  }
}

}  // namespace receiver
