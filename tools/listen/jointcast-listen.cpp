// jointcast-listen: receives position datagrams and shows them with their timing.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "portable/CommandLine.h"
#include "portable/ConfigFile.h"
#include "portable/Result.h"
#include "tools/listen/DatagramReceiver.h"
#include "tools/listen/FoxgloveServer.h"
#include "tools/listen/LiveView.h"
#include "tools/listen/MqttBridge.h"
#include "tools/listen/Printer.h"
#include "tools/listen/QueuedOutput.h"
#include "tools/listen/Recorder.h"
#include "tools/listen/SenderNames.h"
#include "tools/listen/SenderTable.h"
#include "tools/listen/ServiceReport.h"
#include "tools/listen/SparkplugNode.h"
#include "tools/listen/StreamStats.h"

namespace {

using portable::Result;

// SIGHUP: the names are read again and the recording is opened again (logrotate renamed it).
volatile std::sig_atomic_t gReload = 0;
volatile std::sig_atomic_t gReopen = 0;
void OnHangUp(int) {
  gReload = 1;
  gReopen = 1;
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
  std::string sparkplug;  // the Sparkplug B group id
  bool sparkplugOnly = false;
  std::string names;                   // ADDRESS NAME lines
  std::string http;                    // [ADDRESS:]PORT of the live view
  std::string foxglove;                // [ADDRESS:]PORT of the Foxglove WebSocket server
  std::vector<std::string> httpHosts;  // more names the live view answers to
  std::string config;                  // KEY=VALUE settings
};

// The settings a configuration file may hold, and the options they stand for.
constexpr std::pair<const char*, const char*> kSettings[] = {
    {"PORT", "--port"},
    {"BIND", "--bind"},
    {"NAMES", "--names"},
    {"CSV", "--csv"},
    {"HTTP", "--http"},
    {"HTTP_HOST", "--http-host"},
    {"FOXGLOVE", "--foxglove"},
    {"MQTT", "--mqtt"},
    {"MQTT_TOPIC", "--topic"},
    {"MQTT_USER", "--mqtt-user"},
    {"MQTT_PASSWORD_FILE", "--mqtt-password-file"},
    {"MQTT_CAFILE", "--mqtt-cafile"},
    {"MQTT_CERT", "--mqtt-cert"},
    {"MQTT_KEY", "--mqtt-key"},
    {"MQTT_CLIENT_ID", "--mqtt-client-id"},
    {"MQTT_QOS", "--mqtt-qos"},
    {"SPARKPLUG", "--sparkplug"},
};

std::unique_ptr<portable::CommandLine> Define(Options& options) {
  auto defined = std::make_unique<portable::CommandLine>(
      "jointcast-listen",
      "Receives Jointcast position datagrams (UDP), prints each with its arrival time and the "
      "interval since the previous one from the same sender, flags any that is not in the "
      "published format, and prints a summary on exit (Ctrl-C, --count, --seconds), per sender "
      "when several send.");
  portable::CommandLine& line = *defined;
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
            "unix_time,sender,a1,a2,a3,a4,a5,a6 (values as received); opened again on SIGHUP, "
            "for logrotate");
  line.Text(
      "--mqtt", "HOST[:PORT]", options.mqtt,
      "also publish each one to an MQTT broker (port 1883 by default), retained, QoS 0, "
      "topic PREFIX/<sender>/axis_act, JSON payload; with each robot's PREFIX/<sender>/status "
      "(live, silent, renamed) and the bridge's (online, offline), retained");
  line.Text("--topic", "PREFIX", options.topic, "the MQTT topic prefix",
            receiver::TopicPrefixProblem);
  line.Text("--names", "FILE", options.names,
            "names for the senders: 'ADDRESS NAME' or 'ADDRESS:PORT NAME' lines (an address "
            "listed with ports is told apart by source port), '#' comments; read again on SIGHUP");
  line.Text("--http", "[ADDRESS:]PORT", options.http,
            "serve a live view of the senders to browsers on this port (address 127.0.0.1 "
            "unless given; 0.0.0.0 for every network), and Prometheus metrics on /metrics; "
            "read-only");
  line.Text("--foxglove", "[ADDRESS:]PORT", options.foxglove,
            "serve the robots to Foxglove or Lichtblick (Foxglove WebSocket, one channel "
            "/<robot>/joint_states each, positions in radians) on this port (address 127.0.0.1 "
            "unless given); the same names as --http are answered");
  line.List("--http-host", "NAME", options.httpHosts,
            "a name the live view answers to besides its IP addresses, localhost and this "
            "machine's name (a DNS name that points here); may be given again");
  line.Text("--mqtt-user", "NAME", options.mqttUser, "the user name the broker knows");
  line.Text("--mqtt-password-file", "FILE", options.mqttPasswordFile,
            "the password, the first line of FILE (or the environment variable "
            "JOINTCAST_MQTT_PASSWORD; never on the command line)");
  line.Text("--mqtt-cafile", "FILE", options.mqttCaFile,
            "TLS, trusting the CA certificate in FILE (the port is then 8883 by default)");
  line.Text("--mqtt-cert", "FILE", options.mqttCert, "TLS client certificate");
  line.Text("--mqtt-key", "FILE", options.mqttKey, "TLS client key");
  line.Text("--mqtt-client-id", "ID", options.mqttClientId,
            "the client id, also in the bridge's status topic PREFIX/bridge/ID/status (default "
            "jointcast-listen-<host name>; give each listener on one host its own)");
  line.Number("--mqtt-qos", "0|1", 0u, 1u, options.mqttQos, "MQTT quality of service");
  line.Text("--sparkplug", "GROUP", options.sparkplug,
            "also a Sparkplug B edge node on the --mqtt broker: group GROUP, node the client id "
            "(or the host name), each robot a device with metrics A1..A6 in degrees",
            [](const std::string& group) { return receiver::SparkplugNode::GroupProblem(group); });
  line.Flag("--sparkplug-only", options.sparkplugOnly,
            "with --sparkplug: no PREFIX/<sender>/axis_act topics, Sparkplug alone");
  line.Text(
      "--config", "FILE", options.config,
      "settings from FILE, KEY=VALUE lines: PORT, BIND, NAMES, CSV, HTTP, HTTP_HOST (names "
      "separated by commas), FOXGLOVE, MQTT, MQTT_TOPIC, MQTT_USER, MQTT_PASSWORD_FILE, "
      "MQTT_CAFILE, MQTT_CERT, MQTT_KEY, MQTT_CLIENT_ID, MQTT_QOS, SPARKPLUG (as the options; "
      "those given here win over the file)");
  return defined;
}

// The command line, and the configuration file it names: a setting of the file counts as its
// option given on the command line, unless that option is given there too. A mistake in the
// file ends the program with one line naming the file, the line and the key, and exit code 2.
Options Parse(int argc, char** argv) {
  Options given;
  const std::unique_ptr<portable::CommandLine> line = Define(given);
  line->Parse(argc, argv);
  if (given.config.empty()) return given;
  portable::Result<std::vector<portable::ConfigSetting>> settings =
      portable::ReadConfigFile(given.config);
  if (!settings) line->Fail(settings.Reason());
  std::vector<std::string> arguments(argv, argv + argc);
  for (const portable::ConfigSetting& setting : *settings) {
    const std::string where =
        given.config + ":" + std::to_string(setting.line) + ": " + setting.key;
    const auto* known = std::find_if(std::begin(kSettings), std::end(kSettings),
                                     [&](const auto& s) { return setting.key == s.first; });
    if (known == std::end(kSettings)) {
      std::string keys;
      for (const auto& [key, option] : kSettings)
        keys += (keys.empty() ? "" : ", ") + std::string(key);
      line->Fail(where + ": not a setting (" + keys + " are)");
    }
    const std::string option = known->second;
    if (line->Given(option)) continue;
    std::vector<std::string> values{setting.value};
    if (option == "--http-host") {  // a list
      values.clear();
      std::string value;
      for (std::istringstream list(setting.value); std::getline(list, value, ',');) {
        if (const auto first = value.find_first_not_of(' '); first != std::string::npos) {
          values.push_back(value.substr(first, value.find_last_not_of(' ') - first + 1));
        }
      }
    }
    for (const std::string& value : values) {
      Options scratch;
      if (const std::string problem = Define(scratch)->TryParse({argv[0], option, value});
          !problem.empty()) {
        line->Fail(where + ": " + problem);
      }
      arguments.push_back(option);
      arguments.push_back(value);
    }
  }
  Options options;
  Define(options)->Parse(arguments);
  return options;
}

// Whether a reader takes what is written to fd: it has room within the time.
bool Writable(int fd, int milliseconds) {
  pollfd room{fd, POLLOUT, 0};
  // A pipe whose reader has gone is "writable" too, with an error beside it.
  return poll(&room, 1, milliseconds) == 1 && (room.revents & POLLOUT) != 0 &&
         (room.revents & (POLLERR | POLLHUP)) == 0;
}

// The one way this program says something to its operator: a line on stderr, written whole in
// one call. When nobody reads stderr (a stuck pager behind 2>&1) the line is left out: the
// receiving thread says things too, and must never wait for a reader.
void Say(const std::string& text) {
  const std::string line = "jointcast-listen: " + text + "\n";
  if (!Writable(STDERR_FILENO, 0)) return;
  // After POLLOUT a pipe takes a line this short whole, without waiting.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

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

// The names file as read: the names, or why it could not be read; and its bad lines.
struct LoadedNames {
  Result<receiver::SenderNames> names = Result<receiver::SenderNames>::Failure("not read");
  std::vector<std::string> problems;
};

LoadedNames ReadNames(const std::string& path) {
  LoadedNames loaded;
  receiver::SenderNames names;
  std::string error;
  if (names.Load(path, error, loaded.problems)) {
    loaded.names = std::move(names);
  } else {
    loaded.names = Result<receiver::SenderNames>::Failure(error);
  }
  return loaded;
}

// Says what was read; the names replace the old ones only when the file could be read.
bool UseNames(const std::string& path, LoadedNames loaded, receiver::SenderNames& names) {
  for (const std::string& problem : loaded.problems) Say(path + ": skipped " + problem);
  if (!loaded.names) {
    Say(loaded.names.Reason());
    return false;
  }
  names = std::move(*loaded.names);
  Say(std::to_string(names.Size()) + " sender names from " + path);
  return true;
}

// The receiving side: one socket, the per-sender table, the names, and the outputs each
// datagram is handed to.
struct Listener {
  receiver::DatagramReceiver socket;
  receiver::SenderTable senders;
  receiver::SenderNames names;
  std::vector<std::unique_ptr<receiver::Output>> outputs;
  receiver::MqttBridge* bridge = nullptr;  // among the outputs, when there is a broker
  receiver::LiveView* view = nullptr;      // among them, when there is a live view
  std::future<LoadedNames> reload;         // a names file being read again
  std::uint64_t received = 0;
};

// Reads the names again on SIGHUP, on a thread: a large file never pauses receiving, and the
// names are swapped in whole once read.
void ReloadNames(const Options& options, Listener& listener) {
  using namespace std::chrono_literals;
  if (listener.reload.valid() && listener.reload.wait_for(0s) == std::future_status::ready &&
      UseNames(options.names, listener.reload.get(), listener.names) && listener.view != nullptr) {
    listener.view->Expect(listener.names.All());
  }
  if (!gReload || listener.reload.valid()) return;  // one at a time; a later SIGHUP waits
  gReload = 0;
  if (options.names.empty()) return;
  listener.reload = std::async(std::launch::async, ReadNames, options.names);
}

// What systemd is told: the robots heard lately, the rate, the broker and what was lost.
receiver::ServiceReport::Counts CountsFor(const Listener& listener,
                                          std::chrono::steady_clock::time_point since) {
  receiver::ServiceReport::Counts counts;
  counts.robots = listener.senders.HeardSince(since);
  counts.received = listener.received;
  if (listener.bridge != nullptr) counts.brokerConnected = listener.bridge->Connected();
  counts.lost = listener.socket.KernelDrops();
  for (const auto& output : listener.outputs) counts.lost += output->Lost();
  return counts;
}

// /metrics: every robot, every output's losses, the broker, the kernel's drops.
std::string MetricsFor(const Listener& listener, std::chrono::steady_clock::time_point now) {
  receiver::ListenerMetrics metrics;
  for (const auto& output : listener.outputs) {
    metrics.outputDropped.emplace_back(output->Label(), output->Lost());
  }
  if (listener.bridge != nullptr) metrics.mqttConnected = listener.bridge->Connected();
  metrics.kernelDropped = listener.socket.KernelDrops();
  return receiver::MetricsText(listener.senders.Metrics(now, listener.names), metrics);
}

// Receives and hands on datagrams until a signal, the count or the time limit.
void Receive(const Options& options, Listener& listener, receiver::ServiceReport& service) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  unsigned long total = 0;
  bool backlog = false;  // the last receive found a datagram: there may be more
  receiver::Arrival arrival;
  while (!gStop && (options.count == 0 || total < options.count)) {
    if (listener.bridge != nullptr && !listener.bridge->Fatal().empty()) break;  // said by it
    const auto now = backlog ? arrival.steadyTime : Clock::now();
    service.Turn(now, [&listener](Clock::time_point since) { return CountsFor(listener, since); });
    for (const auto& output : listener.outputs) output->Tick(now);
    if (listener.view != nullptr && listener.view->MetricsWanted()) {
      listener.view->PublishMetrics(MetricsFor(listener, now));
    }
    ReloadNames(options, listener);
    if (gReopen) {
      gReopen = 0;
      for (const auto& output : listener.outputs) output->Reopen();
    }
    int waitMs = 200;
    if (options.seconds > 0) {
      const double left =
          options.seconds - std::chrono::duration<double>(Clock::now() - start).count();
      if (left <= 0) break;
      waitMs = std::min(waitMs, static_cast<int>(left * 1000) + 1);
    }
    // Waits only when nothing is waiting: a fleet's datagrams come in bursts, and one poll per
    // datagram would double the system calls.
    if (!backlog && !listener.socket.Wait(waitMs)) continue;
    const std::optional<receiver::Datagram> datagram = listener.socket.Next();
    backlog = datagram.has_value();
    if (!datagram) continue;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &datagram->from, address, sizeof address);
    arrival.address = listener.names.SenderOf(address, datagram->fromPort);
    arrival.payload.assign(datagram->payload);
    arrival.wellFormed = receiver::IsPositionDatagram(datagram->payload);
    arrival.unixTime = datagram->unixTime;
    arrival.steadyTime = datagram->steadyTime;
    arrival.intervalMs = listener.senders.Count(datagram->from, arrival.address,
                                                datagram->steadyTime, arrival.wellFormed);
    arrival.name = listener.names.NameOf(arrival.address);
    arrival.severalSenders = listener.senders.Listed() > 1;
    ++total;
    ++listener.received;
    for (const auto& output : listener.outputs) output->Take(arrival);
  }
}

// "[ADDRESS:]PORT" as a server's address (127.0.0.1 when left out) and port; none, said, when it
// is not one.
std::optional<std::pair<std::string, int>> ServeAt(const std::string& option,
                                                   const std::string& text) {
  const std::size_t colon = text.rfind(':');
  const std::string address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const std::optional<int> port =
      PortNumber(colon == std::string::npos ? text : text.substr(colon + 1));
  if (address.empty() || !port) {
    Say(option + " '" + text + "' is not PORT or ADDRESS:PORT");
    return std::nullopt;
  }
  return std::make_pair(address, *port);
}

// The live view and the Foxglove server, when asked for; the exit code after saying why one
// cannot be: 2 for a value that is not [ADDRESS:]PORT, 1 when it cannot serve there.
int OpenServers(const Options& options, Listener& listener) {
  if (!options.http.empty()) {
    const auto at = ServeAt("--http", options.http);
    if (!at) return 2;
    auto view = std::make_unique<receiver::LiveView>();
    std::string error;
    const std::string where = at->first + ":" + std::to_string(at->second);
    if (!view->Start(at->first, at->second, error, options.httpHosts)) {
      Say("cannot serve the live view on " + where + ": " + error);
      return 1;
    }
    Say("live view on http://" + where + "/");
    view->Expect(listener.names.All());
    listener.view = view.get();
    listener.outputs.push_back(std::move(view));
  }
  if (!options.foxglove.empty()) {
    const auto at = ServeAt("--foxglove", options.foxglove);
    if (!at) return 2;
    auto server = std::make_unique<receiver::FoxgloveServer>();
    std::string error;
    const std::string where = at->first + ":" + std::to_string(at->second);
    if (!server->Start(at->first, at->second, error, options.httpHosts)) {
      Say("cannot serve Foxglove on " + where + ": " + error);
      return 1;
    }
    Say("Foxglove WebSocket on ws://" + where + "/");
    listener.outputs.push_back(std::move(server));
  }
  return 0;
}

// How to reach the broker, from the options; the reason when they do not fit together.
Result<receiver::BrokerSettings> BrokerFrom(const Options& options) {
  using Failed = Result<receiver::BrokerSettings>;
  receiver::BrokerSettings broker;
  const std::size_t colon = options.mqtt.rfind(':');
  broker.host = options.mqtt.substr(0, colon);
  if (colon != std::string::npos) {
    broker.port = PortNumber(options.mqtt.substr(colon + 1)).value_or(-1);
  }
  if (broker.host.empty() || broker.port < 0) {
    return Failed::Failure("'" + options.mqtt + "' is not HOST or HOST:PORT");
  }
  broker.prefix = options.topic;
  broker.user = options.mqttUser;
  broker.clientId = options.mqttClientId;
  broker.caFile = options.mqttCaFile;
  broker.certFile = options.mqttCert;
  broker.keyFile = options.mqttKey;
  broker.qos = static_cast<int>(options.mqttQos);
  if ((!broker.certFile.empty() || !broker.keyFile.empty()) && broker.caFile.empty()) {
    return Failed::Failure("--mqtt-cert and --mqtt-key need --mqtt-cafile");
  }
  // A service's password comes as a credential (LoadCredential=mqtt-password:FILE), which
  // systemd hands over in a directory of the service's own.
  std::string passwordFile = options.mqttPasswordFile;
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (passwordFile.empty() && credentials != nullptr &&
      access((std::string(credentials) + "/mqtt-password").c_str(), F_OK) == 0) {
    passwordFile = std::string(credentials) + "/mqtt-password";
  }
  if (!passwordFile.empty()) {
    std::ifstream file(passwordFile);
    if (!file) {
      return Failed::Failure("cannot read the password from " + passwordFile + ": " +
                             std::strerror(errno));
    }
    if (!std::getline(file, broker.password) || broker.password.empty()) {
      return Failed::Failure(passwordFile + " holds no password on its first line");
    }
    struct stat mode {};
    if (stat(passwordFile.c_str(), &mode) == 0 && (mode.st_mode & 077) != 0) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode.st_mode & 07777));
      Say("warning: others may read the password in " + passwordFile + " (mode " + octal +
          "); chmod 600 it");
    }
    if (broker.password.back() == '\r') broker.password.pop_back();
  } else if (const char* password = std::getenv("JOINTCAST_MQTT_PASSWORD")) {
    broker.password = password;
  }
  if (!broker.password.empty() && broker.user.empty()) {
    return Failed::Failure("a password needs --mqtt-user");
  }
  return broker;
}

// The printer, and the recording and the broker connection asked for; false after saying why
// one cannot be opened.
bool OpenOutputs(const Options& options, Listener& listener) {
  listener.outputs.push_back(std::make_unique<receiver::QueuedOutput>(
      "standard output", std::make_unique<receiver::Printer>(STDOUT_FILENO, options.quiet), Say));
  if (!options.csv.empty()) {
    auto recorder = std::make_unique<receiver::Recorder>();
    std::string error;
    if (!recorder->Open(options.csv, error, Say)) {
      Say("cannot record to " + options.csv + ": " + error);
      return false;
    }
    listener.outputs.push_back(
        std::make_unique<receiver::QueuedOutput>("the recording", std::move(recorder), Say));
  }
  if ((!options.sparkplug.empty() || options.sparkplugOnly) && options.mqtt.empty()) {
    Say("--sparkplug needs --mqtt, the broker to publish on");
    return false;
  }
  if (options.sparkplugOnly && options.sparkplug.empty()) {
    Say("--sparkplug-only needs --sparkplug GROUP");
    return false;
  }
  if (!options.mqtt.empty()) {
    Result<receiver::BrokerSettings> broker = BrokerFrom(options);
    if (!broker) {
      Say(broker.Reason());
      return false;
    }
    if (!options.sparkplug.empty()) {
      auto node = std::make_unique<receiver::SparkplugNode>(options.sparkplug, Say);
      std::string error;
      if (!node->Start(*broker, error)) {
        Say(error);
        return false;
      }
      listener.outputs.push_back(std::move(node));
      if (options.sparkplugOnly) return true;
    }
    auto bridge = std::make_unique<receiver::MqttBridge>(Say);
    std::string error;
    if (!bridge->Start(std::move(*broker), error)) {
      Say("MQTT: " + error);
      return false;
    }
    listener.bridge = bridge.get();
    listener.outputs.push_back(std::move(bridge));
  }
  return true;
}

// The summary and what was lost, on stdout, or on stderr when nobody reads stdout (a stuck
// pager would hold the exit for ever). The exit code: 2 when the broker turned the listener
// down, 1 when anything was lost, else 0.
[[noreturn]] void Finish(Listener& listener) {
  // What the kernel dropped while receiving went on; what comes after is no loss.
  const std::uint64_t kernelDrops = listener.socket.KernelDrops();
  // The outputs get a moment to write out what they hold, side by side, within the second a
  // stop may take.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  for (const auto& output : listener.outputs) output->BeginClose();
  for (const auto& output : listener.outputs) output->Close(deadline);
  std::uint64_t lost = kernelDrops;
  for (const auto& output : listener.outputs) lost += output->Lost();
  int code = lost > 0 ? 1 : 0;
  if (listener.bridge != nullptr && !listener.bridge->Fatal().empty()) code = 2;
  std::FILE* out = stdout;
  if (!Writable(STDOUT_FILENO, 100)) {
    if (!Writable(STDERR_FILENO, 100)) std::_Exit(code);
    out = stderr;
    Say("standard output is not being read; the summary:");
  }
  listener.senders.PrintSummary(out, listener.names);
  for (const auto& output : listener.outputs) {
    if (const std::string line = output->LossLine(); !line.empty()) {
      std::fprintf(out, "%s\n", line.c_str());
    }
  }
  if (kernelDrops > 0) {
    std::fprintf(out, "receiving: %llu datagrams dropped by the kernel (its buffer was full)\n",
                 static_cast<unsigned long long>(kernelDrops));
  }
  // Ends here, everything written: the live view's server would take a second or more to stop
  // its threads, and when stdout was not read, the lines still buffered for it are left behind.
  if (out == stdout) std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  // Before anything can block. The stop signals without SA_RESTART: they end a blocked system
  // call instead of waiting for it. A SIGHUP is a reload, asked for early during start-up too,
  // and must not cut a line short.
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
  std::signal(SIGPIPE, SIG_IGN);  // a reader that leaves mid-write is an error return, not a kill

  receiver::SenderNames names;
  gReload = 0;  // what a SIGHUP during start-up asked for is being done
  if (!options.names.empty() && !UseNames(options.names, ReadNames(options.names), names)) return 2;
  Result<receiver::DatagramReceiver> socket =
      receiver::DatagramReceiver::Open(options.bind, static_cast<std::uint16_t>(options.port), Say);
  if (!socket) {
    Say("cannot listen on " + options.bind + ":" + std::to_string(options.port) + ": " +
        socket.Reason());
    return 1;
  }
  Listener listener{std::move(*socket), {}, std::move(names), {}, nullptr, nullptr, {}, 0};
  if (!OpenOutputs(options, listener)) return 2;
  Say("listening on UDP " + options.bind + ":" + std::to_string(options.port));
  if (const int failed = OpenServers(options, listener)) return failed;
  receiver::ServiceReport service(platform::SystemServiceManager());
  service.Ready(std::chrono::steady_clock::now());
  Receive(options, listener, service);
  Finish(listener);
}
