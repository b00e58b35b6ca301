#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/EventPoster.h"
#include "platform/posix/ServiceManager.h"
#include "portable/RecurringFailure.h"
#include "portable/RestartLoop.h"
#include "ui/headless/StatusListener.h"

namespace portable {

// What jointcastd tells the person who runs it, on stderr, and systemd when systemd started it.
//
// stderr: what is tried at start and the indicators' first colours, then each change, one line
// each; with "<N>" priority prefixes when stderr is the journal. A controller that cannot be
// reached, or stops answering, is said once with the reason, then at most once a minute with
// how long and how many tries, and once more when it answers again: the retries in between,
// every 3 s, are not each a line.
//
// systemd: READY=1 once the window is shown, STATUS= with what it is doing in words
// ("streaming to sim-host:4849, 5.0/s"), and WATCHDOG=1 from the loop itself, so a hung loop is
// restarted.
class OperatorReport : public ui::headless::StatusListener {
 public:
  struct Setup {
    std::string controller;  // HOST:PORT of the proxy; empty: the simulated controller
    std::string receiver;    // where the datagrams go: "sim-pc:4849, 10.9.0.255:5000"
    // What keeps receivers from their datagrams ("sim-pc:4849: cannot resolve the name: ..."),
    // and why the address text is not a list of receivers; both empty when all is well.
    std::function<std::string()> receiverTrouble, addressProblem;
    // The time of day for "since 12:03:10"; local time when not given.
    std::function<std::string()> timeOfDay;
    // The service's runtime directory (RUNTIME_DIRECTORY), kept across systemd's restarts: a
    // restart loop on a controller that answers no read is said once a minute there, not at
    // every start. Empty when there is none.
    std::string runtimeDirectory = {};
  };
  static constexpr std::uint32_t kRepeatAfterMs = 60000;
  static constexpr std::uint32_t kStatusEveryMs = 5000;

  OperatorReport(Setup setup, platform::Clock& clock, platform::EventPoster& poster,
                 platform::ServiceManager& manager, std::FILE* out = stderr);

  // Says what is being tried; before the window is made.
  void Start();
  // The window is shown: ready, and the watchdog's pings begin.
  void Shown();
  // Each attempt to reach the controller's proxy.
  void ControllerConnect(bool connected, const std::string& reason);
  // What stopped the program from starting (the window's error box).
  void StartupFailed(const std::string& text);
  // The controller's connection broke, and why ("connection reset by peer").
  void ControllerDisconnected(const std::string& reason);
  // Each value a read of the controller returned, as it came.
  void ControllerReading(const std::string& value);
  // What the receivers have to say: one failing, or taking datagrams again.
  void ReceiverNews(bool isError, const std::string& text);

  void OnStatusLine(const std::string& text, bool isError) override;
  void OnIndicator(const std::string& name, ui::TColor color) override;

 private:
  struct Failure {
    std::string what;  // "unreachable: connection refused"
    std::string since;
    platform::Tick saidAt = 0;
    std::uint64_t tries = 0;
  };

  void Say(int priority, const std::string& text);
  void Fail(const std::string& what);
  void Recover();
  void Tick();
  void UpdateStatus();
  std::string StatusText() const;
  std::string Controller() const;
  std::string Receiver() const;

  Setup setup_;
  platform::Clock& clock_;
  platform::EventPoster& poster_;
  platform::ServiceManager& manager_;
  std::FILE* out_;
  bool journal_ = false;
  bool notifying_ = false;
  std::uint32_t watchdogPingMs_ = 0;
  std::optional<ui::TColor> cross_, arm_;
  std::string error_;  // the status line's error, while it shows
  std::optional<Failure> failure_;
  std::string dropReason_;  // why the connection broke, until it is made again
  RecurringFailure badReading_;
  RestartLoop restartLoop_;
  std::string badReadingQuoted_;
  std::uint64_t sent_ = 0;  // readings sent since the last status
  platform::Tick countedSince_ = 0;
  std::optional<double> rate_;  // readings a second, once counted over a while
  std::string lastStatus_;
};

}  // namespace portable
