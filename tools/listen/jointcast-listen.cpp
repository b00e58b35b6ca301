// jointcast-listen: receives position datagrams and shows them with their timing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <map>
#include <unordered_set>

#include "platform/posix/BindIPv4.h"
#include "portable/CommandLine.h"
#include "tools/listen/LiveView.h"
#include "tools/listen/MqttBridge.h"
#include "tools/listen/Recorder.h"
#include "tools/listen/SenderNames.h"
#include "tools/listen/StreamStats.h"

namespace {

volatile std::sig_atomic_t gReload = 0;
void OnHangUp(int) {
  gReload = 1;
}

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

struct Options {
  unsigned port = 4849;
  std::string bind = "0.0.0.0";
  unsigned long count = 0;  // 0: no limit
  double seconds = 0;       // 0: no limit
  bool quiet = false;
  std::string csv;   // record to this file
  std::string mqtt;  // HOST[:PORT] of a broker to publish to
  std::string topic = "jointcast";
  std::string mqttUser, mqttPasswordFile, mqttCaFile, mqttCert, mqttKey, mqttClientId;
  unsigned mqttQos = 0;
  std::string names;  // ADDRESS NAME lines
  std::string http;   // [ADDRESS:]PORT of the live view
};

Options Parse(int argc, char** argv) {
  Options options;
  portable::CommandLine line(
      "jointcast-listen",
      "Receives Jointcast position datagrams (UDP), prints each with its arrival time and the "
      "interval since the previous one from the same sender, flags any that is not in the "
      "published format, and prints a summary on exit (Ctrl-C, --count, --seconds), per sender "
      "when several send.");
  line.Number("--port", "N", 1u, 65535u, options.port, "the UDP port to receive on");
  line.Text("--bind", "ADDRESS", options.bind,
            "the local address to receive on, a name or an IPv4 address");
  line.Number("--count", "N", 0ul, 1000000000000ul, options.count,
              "stop after this many datagrams, 0 for no limit");
  line.Number("--seconds", "S", 0.0, 1e9, options.seconds,
              "stop after this many seconds, 0 for no limit");
  line.Flag("--quiet", options.quiet, "print only malformed datagrams and the summary");
  line.Text("--csv", "FILE", options.csv,
            "append each well-formed datagram to FILE as a CSV row: "
            "unix_time,sender,a1,a2,a3,a4,a5,a6 (values as received)");
  line.Text("--mqtt", "HOST[:PORT]", options.mqtt,
            "also publish each one to an MQTT broker (port 1883 by default), retained, QoS 0, "
            "topic PREFIX/<sender>/axis_act, JSON payload");
  line.Text("--topic", "PREFIX", options.topic, "the MQTT topic prefix",
            receiver::TopicPrefixProblem);
  line.Text("--names", "FILE", options.names,
            "names for the senders: 'ADDRESS NAME' lines, '#' comments; read again on SIGHUP");
  line.Text("--http", "[ADDRESS:]PORT", options.http,
            "serve a live view of the senders to browsers on this port (address 127.0.0.1 "
            "unless given; 0.0.0.0 for every network); read-only");
  line.Text("--mqtt-user", "NAME", options.mqttUser, "the user name the broker knows");
  line.Text("--mqtt-password-file", "FILE", options.mqttPasswordFile,
            "the password, the first line of FILE (or the environment variable "
            "JOINTCAST_MQTT_PASSWORD; never on the command line)");
  line.Text("--mqtt-cafile", "FILE", options.mqttCaFile,
            "TLS, trusting the CA certificate in FILE (the port is then 8883 by default)");
  line.Text("--mqtt-cert", "FILE", options.mqttCert, "TLS client certificate");
  line.Text("--mqtt-key", "FILE", options.mqttKey, "TLS client key");
  line.Text("--mqtt-client-id", "ID", options.mqttClientId,
            "the client id (default: one the library makes up)");
  line.Number("--mqtt-qos", "0|1", 0u, 1u, options.mqttQos, "MQTT quality of service");
  line.Parse(argc, argv);
  return options;
}

std::string WallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

// The bound datagram socket, or -1 after saying why there is none.
int OpenReceiver(const Options& options) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string reason = fd < 0 ? std::strerror(errno) : "";
  if (fd < 0 ||
      !platform::BindIPv4(fd, options.bind, static_cast<std::uint16_t>(options.port), reason)) {
    std::fprintf(stderr, "jointcast-listen: cannot listen on %s:%u: %s\n", options.bind.c_str(),
                 options.port, reason.c_str());
    if (fd >= 0) close(fd);
    return -1;
  }
  std::fprintf(stderr, "jointcast-listen: listening on UDP %s:%u\n", options.bind.c_str(),
               options.port);
  // A fleet sends in step: 2,000 robots put 2,000 datagrams in the buffer within a millisecond
  // or two, and the default buffer holds about 300 of them. Measured, 2,000 take about 2.4 MB.
  constexpr int kReceiveBuffer = 4 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  }
  int granted = 0;
  socklen_t size = sizeof granted;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
  if (granted / 2 < kReceiveBuffer) {  // the kernel reports twice what it was asked for
    std::fprintf(stderr,
                 "jointcast-listen: UDP receive buffer %d KiB, not the %d KiB asked for "
                 "(net.core.rmem_max limits it): raise it for hundreds of senders\n",
                 granted / 2048, kReceiveBuffer / 1024);
  }
  return fd;
}

struct Tally {
  unsigned long received = 0;
  unsigned long malformed = 0;
  receiver::IntervalHistogram intervals;  // ms between consecutive datagrams of this sender
  std::chrono::steady_clock::time_point previous;
};

// Per sender address: a publisher that restarts keeps its address but not its port. The table
// is capped, so that a flood from many addresses cannot grow it without end; senders beyond the
// cap are counted together.
using Tallies = std::map<std::string, Tally>;
constexpr std::size_t kMaxListedSenders = 4096;
constexpr std::size_t kMaxCountedUnlisted = 65536;  // then "at least"
struct Senders {
  Tallies listed;
  Tally unlisted;
  std::unordered_set<std::uint32_t> unlistedAddresses;  // to count them, up to a bound
};

struct Outputs {
  receiver::SenderNames names;
  receiver::Recorder recorder;
  receiver::MqttBridge bridge;
  bool mqtt = false;
  receiver::LiveView view;
  bool http = false;
};

// A port number, 1 to 65535, written as nothing but digits.
std::optional<int> PortNumber(const std::string& text) {
  int value = 0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value);
  if (text.empty() || error != std::errc{} || end != last || value < 1 || value > 65535) {
    return std::nullopt;
  }
  return value;
}

double UnixTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Reads the names file, at start and on SIGHUP; what is wrong with it is said, and a file that
// cannot be read leaves the names as they were. False when it could not be read.
bool LoadNames(const Options& options, receiver::SenderNames& names) {
  if (options.names.empty()) return true;
  std::string error;
  std::vector<std::string> problems;
  const bool loaded = names.Load(options.names, error, problems);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "jointcast-listen: %s: skipped %s\n", options.names.c_str(),
                 problem.c_str());
  }
  if (!loaded) {
    std::fprintf(stderr, "jointcast-listen: %s\n", error.c_str());
  } else {
    std::fprintf(stderr, "jointcast-listen: %zu sender names from %s\n", names.Size(),
                 options.names.c_str());
  }
  return loaded;
}

// Receives, prints, records and bridges datagrams until a signal, the count or the time limit.
Senders Receive(int fd, const Options& options, Outputs& outputs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  Senders senders;
  Tallies& tallies = senders.listed;
  unsigned long total = 0;
  std::vector<char> buffer(65536);
  bool backlog = false;  // the last receive found a datagram: there may be more

  while (!gStop && (options.count == 0 || total < options.count)) {
    if (outputs.mqtt && !outputs.bridge.Fatal().empty()) break;  // said by the bridge
    if (gReload) {
      gReload = 0;
      LoadNames(options, outputs.names);
    }
    const double sinceStart = std::chrono::duration<double>(Clock::now() - start).count();
    outputs.recorder.FlushIfDue(sinceStart);
    int waitMs = 200;
    if (options.seconds > 0) {
      const double left = options.seconds - sinceStart;
      if (left <= 0) break;
      waitMs = std::min(waitMs, static_cast<int>(left * 1000) + 1);
    }
    // Waits only when nothing is waiting: a fleet's datagrams come in bursts, and one poll per
    // datagram would double the system calls.
    if (!backlog) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, waitMs) <= 0) continue;
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t length = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    backlog = length >= 0;
    if (length < 0) continue;
    const auto now = Clock::now();
    const double unixTime = UnixTime();
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    const std::string_view payload(buffer.data(), static_cast<std::size_t>(length));
    const bool listed = tallies.count(address) != 0 || tallies.size() < kMaxListedSenders;
    if (!listed && senders.unlistedAddresses.size() < kMaxCountedUnlisted) {
      senders.unlistedAddresses.insert(from.sin_addr.s_addr);
    }
    Tally& tally = listed ? tallies[address] : senders.unlisted;
    std::string interval = "     first";
    if (tally.received > 0) {
      const double ms = std::chrono::duration<double, std::milli>(now - tally.previous).count();
      tally.intervals.Add(ms);
      char text[32];
      std::snprintf(text, sizeof text, "%+8.1f ms", ms);
      interval = text;
    }
    ++tally.received;
    ++total;
    tally.previous = now;
    const bool good = receiver::IsPositionDatagram(payload);
    tally.malformed += !good;
    if (good) {
      outputs.recorder.Write(unixTime, address, payload);
      if (outputs.mqtt) {
        outputs.bridge.Publish(unixTime, address, outputs.names.NameOf(address), payload);
      }
    }
    if (outputs.http) {
      outputs.view.Add(address, outputs.names.NameOf(address), payload, good);
    }
    if (!options.quiet || !good) {
      // Lines name their sender once there is more than one.
      const std::string sender = tallies.size() > 1 ? outputs.names.NameOf(address) + " " : "";
      std::printf("%s %s%s  %s%s\n", WallClock().c_str(), sender.c_str(), interval.c_str(),
                  good ? "" : "MALFORMED ", receiver::Printable(payload).c_str());
      std::fflush(stdout);
    }
  }
  return senders;
}

void PrintSummary(std::FILE* out, const Senders& senders, const receiver::SenderNames& names) {
  const Tallies& tallies = senders.listed;
  if (tallies.empty()) {
    std::fprintf(out,
                 "summary: 0 datagrams, 0 malformed, interval mean 0.0 ms, median 0.0 ms, p99 0.0 "
                 "ms, max 0.0 ms\n");
    return;
  }
  for (const auto& [address, tally] : tallies) {
    const receiver::IntervalSummary s = tally.intervals.Summary();
    const std::string& name = names.NameOf(address);
    const std::string who =
        tallies.size() > 1 ? " for " + (name == address ? address : name + " (" + address + ")")
                           : "";
    std::fprintf(
        out,
        "summary%s: %lu datagrams, %lu malformed, interval mean %.1f ms, median %.1f ms, p99 "
        "%.1f ms, max %.1f ms\n",
        who.c_str(), tally.received, tally.malformed, s.mean, s.median, s.p99, s.max);
  }
  if (senders.unlisted.received > 0) {
    const std::size_t counted = senders.unlistedAddresses.size();
    std::fprintf(
        out, "summary: %s%zu more senders left out of the table (%lu datagrams, %lu malformed)\n",
        counted >= kMaxCountedUnlisted ? "at least " : "", counted, senders.unlisted.received,
        senders.unlisted.malformed);
  }
}

// Serves the live view when asked for. 0, or the exit code after saying why it cannot: 2 for
// a value that is not [ADDRESS:]PORT, 1 when it cannot serve there.
int OpenLiveView(const Options& options, Outputs& outputs) {
  if (options.http.empty()) return 0;
  const std::size_t colon = options.http.rfind(':');
  const std::string address =
      colon == std::string::npos ? "127.0.0.1" : options.http.substr(0, colon);
  const std::string port =
      colon == std::string::npos ? options.http : options.http.substr(colon + 1);
  const std::optional<int> value = PortNumber(port);
  if (address.empty() || !value) {
    std::fprintf(stderr, "jointcast-listen: --http '%s' is not PORT or ADDRESS:PORT\n",
                 options.http.c_str());
    return 2;
  }
  std::string error;
  if (!outputs.view.Start(address, *value, error)) {
    std::fprintf(stderr, "jointcast-listen: cannot serve the live view on %s:%d: %s\n",
                 address.c_str(), *value, error.c_str());
    return 1;
  }
  std::fprintf(stderr, "jointcast-listen: live view on http://%s:%d/\n", address.c_str(), *value);
  outputs.http = true;
  return 0;
}

// Opens the recording and the broker connection asked for; false after saying why not.
bool OpenOutputs(const Options& options, Outputs& outputs) {
  std::string error;
  const auto report = [](const std::string& text) {
    std::fprintf(stderr, "jointcast-listen: %s\n", text.c_str());
  };
  if (!options.csv.empty() && !outputs.recorder.Open(options.csv, error, report)) {
    std::fprintf(stderr, "jointcast-listen: cannot record to %s: %s\n", options.csv.c_str(),
                 error.c_str());
    return false;
  }
  if (!options.mqtt.empty()) {
    receiver::BrokerSettings broker;
    const std::size_t colon = options.mqtt.rfind(':');
    broker.host = options.mqtt.substr(0, colon);
    if (colon != std::string::npos)
      broker.port = PortNumber(options.mqtt.substr(colon + 1)).value_or(-1);
    if (broker.host.empty() || broker.port < 0) {
      std::fprintf(stderr, "jointcast-listen: '%s' is not HOST or HOST:PORT\n",
                   options.mqtt.c_str());
      return false;
    }
    broker.prefix = options.topic;
    broker.user = options.mqttUser;
    broker.clientId = options.mqttClientId;
    broker.caFile = options.mqttCaFile;
    broker.certFile = options.mqttCert;
    broker.keyFile = options.mqttKey;
    broker.qos = static_cast<int>(options.mqttQos);
    if ((!broker.certFile.empty() || !broker.keyFile.empty()) && broker.caFile.empty()) {
      std::fprintf(stderr, "jointcast-listen: --mqtt-cert and --mqtt-key need --mqtt-cafile\n");
      return false;
    }
    if (!options.mqttPasswordFile.empty()) {
      std::ifstream file(options.mqttPasswordFile);
      if (!file) {
        std::fprintf(stderr, "jointcast-listen: cannot read the password from %s: %s\n",
                     options.mqttPasswordFile.c_str(), std::strerror(errno));
        return false;
      }
      if (!std::getline(file, broker.password) || broker.password.empty()) {
        std::fprintf(stderr, "jointcast-listen: %s holds no password on its first line\n",
                     options.mqttPasswordFile.c_str());
        return false;
      }
      if (!broker.password.empty() && broker.password.back() == '\r') broker.password.pop_back();
    } else if (const char* password = std::getenv("JOINTCAST_MQTT_PASSWORD")) {
      broker.password = password;
    }
    if (!broker.password.empty() && broker.user.empty()) {
      std::fprintf(stderr, "jointcast-listen: a password needs --mqtt-user\n");
      return false;
    }
    if (!outputs.bridge.Start(std::move(broker), error)) {
      std::fprintf(stderr, "jointcast-listen: MQTT: %s\n", error.c_str());
      return false;
    }
    outputs.mqtt = true;
  }
  return true;
}

// Whether a reader takes what is written to fd: it has room within the time.
bool Writable(int fd, int milliseconds) {
  pollfd room{fd, POLLOUT, 0};
  return poll(&room, 1, milliseconds) == 1 && (room.revents & POLLOUT) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  // Before anything can block. The stop signals without SA_RESTART: they end a blocked system
  // call (a write to a pipe nobody reads) instead of waiting for it. A SIGHUP is a reload, asked
  // for early during start-up too, and must not cut a line short.
  using Handler = void (*)(int);
  for (const auto& [signal, handler, flags] : {std::tuple<int, Handler, int>{SIGINT, OnSignal, 0},
                                               {SIGTERM, OnSignal, 0},
                                               {SIGHUP, OnHangUp, SA_RESTART}}) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);  // a browser that leaves mid-write is an error return, not a kill

  Outputs outputs;
  gReload = 0;  // what a SIGHUP during start-up asked for is being done
  if (!LoadNames(options, outputs.names) || !OpenOutputs(options, outputs)) return 2;
  const int fd = OpenReceiver(options);
  if (fd < 0) return 1;
  if (const int failed = OpenLiveView(options, outputs)) {
    close(fd);
    return failed;
  }
  const Senders senders = Receive(fd, options, outputs);
  close(fd);
  outputs.recorder.Close();  // everything on disk before the summary says so
  int code = 0;
  if (outputs.mqtt && !outputs.bridge.Fatal().empty()) {
    code = 2;
  } else if (outputs.recorder.LostRows() > 0) {
    code = 1;
  }
  // A stdout that nobody reads (a stuck pager) would hold the summary, and the exit, for ever:
  // then the summary goes to stderr, if that is read, and the lines still buffered for stdout
  // are left behind.
  std::FILE* out = stdout;
  if (!Writable(STDOUT_FILENO, 1000)) {
    if (!Writable(STDERR_FILENO, 200)) std::_Exit(code);
    out = stderr;
    std::fprintf(stderr, "jointcast-listen: standard output is not being read; the summary:\n");
  }
  PrintSummary(out, senders, outputs.names);
  if (outputs.mqtt && outputs.bridge.DroppedForBacklog() > 0) {
    std::fprintf(out, "mqtt: %llu positions dropped (the broker did not keep up)\n",
                 static_cast<unsigned long long>(outputs.bridge.DroppedForBacklog()));
  }
  if (outputs.recorder.LostRows() > 0) {
    std::fprintf(out, "recording: %llu rows lost (could not be written to %s)\n",
                 static_cast<unsigned long long>(outputs.recorder.LostRows()), options.csv.c_str());
  }
  if (out == stderr) {
    std::fflush(stderr);
    std::_Exit(code);
  }
  return code;
}
