#include "portable/OperatorReport.h"

#include <algorithm>
#include <ctime>

#include "app/AxisReply.h"
#include "app/Mdialog.h"
#include "app/PositionDatagram.h"

namespace portable {
namespace {

// syslog priorities, as the journal reads them from a "<N>" prefix.
constexpr int kError = 3;
constexpr int kWarning = 4;
constexpr int kNotice = 5;
constexpr int kInfo = 6;
constexpr int kDebug = 7;

// The two error messages of the window whose cause the report can say more about.
constexpr const char* kReadTimeout = "can't read variable";
constexpr const char* kAddressNotValid = "IP address not valid";
constexpr const char* kReadFailed = "lost: a read failed";

}  // namespace

OperatorReport::OperatorReport(Setup setup, platform::Clock& clock, platform::EventPoster& poster,
                               platform::ServiceManager& manager, std::FILE* out)
    : setup_(std::move(setup)),
      clock_(clock),
      poster_(poster),
      manager_(manager),
      out_(out),
      restartLoop_(setup_.runtimeDirectory) {
  if (!setup_.timeOfDay) setup_.timeOfDay = LocalTimeOfDay;
  journal_ = manager_.StderrIsJournal();
  restartLoop_.Load(clock_.Now());
}

std::string OperatorReport::Controller() const {
  return setup_.controller.empty() ? "the simulated controller" : "controller " + setup_.controller;
}

std::string OperatorReport::Receiver() const {
  return setup_.receiver.empty() ? "localhost:4849" : setup_.receiver;
}

void OperatorReport::Say(int priority, const std::string& text) {
  // Going round a restart loop, each start's lines are the last start's again: kept in the
  // journal at debug level, out of the way of what is new.
  if (restartLoop_.InLoop() && priority > kError) priority = kDebug;
  if (journal_) {
    std::fprintf(out_, "<%d>%s\n", priority, text.c_str());
  } else {
    std::fprintf(out_, "jointcast: %s\n", text.c_str());
  }
  std::fflush(out_);
}

void OperatorReport::Start() {
  Say(kInfo, (setup_.controller.empty() ? "reading the simulated controller"
                                        : "connecting to " + Controller()) +
                 ", sending to " + Receiver());
}

void OperatorReport::Shown() {
  notifying_ = manager_.Notify("READY=1");
  watchdogPingMs_ = manager_.WatchdogPingMs();
  countedSince_ = clock_.Now();
  UpdateStatus();
  if (notifying_ || watchdogPingMs_ > 0) Tick();
}

void OperatorReport::Tick() {
  if (watchdogPingMs_ > 0) manager_.Notify("WATCHDOG=1");
  const platform::Tick now = clock_.Now();
  const std::uint32_t elapsed = platform::Elapsed(now, countedSince_);
  if (arm_ == ui::TColor::Green && elapsed >= kStatusEveryMs) {
    rate_ = static_cast<double>(sent_) * 1000.0 / elapsed;
    sent_ = 0;
    countedSince_ = now;
  }
  UpdateStatus();
  const std::uint32_t next =
      watchdogPingMs_ > 0 ? std::min(watchdogPingMs_, kStatusEveryMs) : kStatusEveryMs;
  poster_.Post(next, [this] { Tick(); });
}

std::string OperatorReport::StatusText() const {
  if (failure_) {
    return Controller() + " " + failure_->what + " (since " + failure_->since + ", " +
           std::to_string(failure_->tries) + (failure_->tries == 1 ? " try)" : " tries)");
  }
  if (cross_ == ui::TColor::Green) {
    if (arm_ == ui::TColor::Green) {
      if (!rate_) return "streaming to " + Receiver();
      char rate[32];
      std::snprintf(rate, sizeof rate, "%.1f/s", *rate_);
      return "streaming to " + Receiver() + ", " + rate;
    }
    if (badReading_.Failing()) {
      return "reading " + Controller() +
             ", not sending: its reading is not six numbers: " + badReadingQuoted_;
    }
    const std::string trouble = setup_.receiverTrouble ? setup_.receiverTrouble() : "";
    if (error_.empty() && !trouble.empty()) {
      return "reading " + Controller() + ", not sending to " + trouble;
    }
    return "reading " + Controller() + ", not sending to " + Receiver() +
           (error_.empty() ? "" : ": " + error_);
  }
  if (cross_ == ui::TColor::Yellow) return Controller() + " connected, waiting until it is ready";
  return "connecting to " + Controller();
}

void OperatorReport::UpdateStatus() {
  if (!notifying_) return;
  const std::string status = StatusText();
  if (status == lastStatus_) return;
  manager_.Notify("STATUS=" + status);
  lastStatus_ = status;
}

void OperatorReport::Fail(const std::string& what) {
  const platform::Tick now = clock_.Now();
  if (!failure_ || failure_->what != what) {
    failure_ = Failure{what, setup_.timeOfDay(), now, 1};
    Say(kError, Controller() + " " + what);
  } else {
    ++failure_->tries;
    if (platform::Elapsed(now, failure_->saidAt) >= kRepeatAfterMs) {
      failure_->saidAt = now;
      Say(kError, Controller() + " still " + what + " (since " + failure_->since + ", " +
                      std::to_string(failure_->tries) + " tries)");
    }
  }
  UpdateStatus();
}

void OperatorReport::Recover() {
  if (!failure_) return;
  Say(kNotice, Controller() + " answers again, after " + std::to_string(failure_->tries) +
                   (failure_->tries == 1 ? " failed try" : " failed tries") + " since " +
                   failure_->since);
  failure_.reset();
}

void OperatorReport::ControllerConnect(bool connected, const std::string& reason) {
  if (connected) dropReason_.clear();
  if (!connected) {
    Fail("unreachable: " + reason);
  } else if (failure_ && failure_->what.rfind("unreachable", 0) == 0) {
    Recover();  // whether it then says it is ready is the next question
    UpdateStatus();
  }
}

void OperatorReport::StartupFailed(const std::string& text) {
  Say(kError, text);
  if (manager_.Notify("STATUS=start-up failed: " + text)) lastStatus_.clear();
}

void OperatorReport::ControllerDisconnected(const std::string& reason) {
  dropReason_ = reason;
}

void OperatorReport::ControllerReading(const std::string& value) {
  std::u16string text;
  for (unsigned char c : value) text += static_cast<char16_t>(c);
  const std::optional<jointcast::AxisValues> axes = jointcast::ScanAxisReply(text);
  if (axes && jointcast::Sendable(*axes)) {
    if (const auto over = badReading_.Over()) {
      Say(kNotice, Controller() + " sends readings of six numbers again, after " +
                       std::to_string(over->times) + " that were not, since " + over->since);
      UpdateStatus();
    }
    return;
  }
  // Quoted as it came, but bounded and with every byte that would not print shown as \xNN: a
  // reading may hold anything, a NUL or a line break included.
  constexpr std::size_t kQuoted = 120;
  std::string quoted = "\"";
  for (std::size_t i = 0; i < value.size() && i < kQuoted; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      quoted += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      quoted += escaped;
    }
  }
  quoted += value.size() > kQuoted ? "\"..." : "\"";
  const auto due = badReading_.Occurred("not six numbers", clock_.Now(), setup_.timeOfDay);
  if (due && due->first) {
    badReadingQuoted_ = quoted;
    Say(kError,
        Controller() + " sends a reading that is not six numbers, so nothing is sent: " + quoted);
  } else if (due) {
    badReadingQuoted_ = quoted;
    Say(kError, Controller() + " still sends readings that are not six numbers (since " +
                    due->since + ", " + std::to_string(due->times) +
                    " readings), the last: " + quoted);
  }
  UpdateStatus();
}

void OperatorReport::ReceiverNews(bool isError, const std::string& text) {
  Say(isError ? kError : kNotice, text);
  UpdateStatus();
}

void OperatorReport::OnStatusLine(const std::string& text, bool isError) {
  // The status line's return to its resting notice, 5 s after each message, tells nothing new;
  // an error stays the reason for not sending until a reading is sent again.
  if (text == jointcast::kRestingNotice) return;
  if (isError) error_ = text;
  std::string line = text;
  int priority = isError ? kError : kInfo;
  if (text == kReadTimeout) {
    const RestartLoop::Due due = restartLoop_.Ended(clock_.Now(), setup_.timeOfDay());
    if (due.first) {
      line += ": " + Controller() + " did not answer a read within 3 s; the program ends";
    } else {
      line += ": " + Controller() + " still answers no read within 3 s (since " + due.since + ", " +
              std::to_string(due.ends) + " restarts); the program ends";
    }
    if (!due.say) priority = kDebug;  // said a minute ago at most
    failure_ = Failure{"did not answer a read within 3 s", setup_.timeOfDay(), clock_.Now(), 1};
  } else if (text == kAddressNotValid && setup_.addressProblem) {
    // Only a text that is not a list of receivers is refused at once; names are looked up aside.
    if (const std::string problem = setup_.addressProblem(); !problem.empty()) {
      line += ": " + problem;
    }
  }
  Say(priority, line);
  UpdateStatus();
}

void OperatorReport::OnIndicator(const std::string& name, ui::TColor color) {
  const bool isCross = name == "Cross";
  // The arm's indicator is set after each read that succeeded: that, not a passing ready check,
  // ends a failure of the reads.
  if (!isCross && failure_ && failure_->what == kReadFailed) Recover();
  std::optional<ui::TColor>& current = isCross ? cross_ : arm_;
  if (!isCross && color == ui::TColor::Green) {
    ++sent_;  // set on every reading sent
    if (const auto over = restartLoop_.Over()) {
      Say(kNotice, Controller() + " answers reads again, after " + std::to_string(over->ends) +
                       " restarts since " + over->since);
    }
  }
  if (current == color) return;
  const std::optional<ui::TColor> before = current;
  current = color;
  if (!isCross && color == ui::TColor::Green) {
    // Sending (again): the rate counts from this reading, and no error holds it up.
    error_.clear();
    sent_ = 1;
    countedSince_ = clock_.Now();
    rate_.reset();
  }
  if (isCross && before) {
    // The cycle's retries, which repeat every few seconds, are said as the failure they are.
    if (color == ui::TColor::Green) {
      // A controller whose ready check passes and whose reads fail has not recovered: the cycle
      // goes round this every few seconds, and it is one failure, said once a minute.
      if (!failure_ || failure_->what != kReadFailed) Recover();
    } else if (color == ui::TColor::Red && before == ui::TColor::Yellow) {
      // A connection that broke under the ready check says how; otherwise the check timed out.
      Fail(dropReason_.empty() ? "does not answer: no reply within 3 s"
                               : "does not answer: the connection broke: " + dropReason_);
    } else if (color == ui::TColor::Red && before == ui::TColor::Green) {
      Fail(kReadFailed);
    }
    if (failure_) {
      UpdateStatus();
      return;
    }
  }
  // The first colours are how every start looks, not news: info. A change to red is a warning.
  Say(color == ui::TColor::Red && before ? kWarning : kInfo, name + " " + ui::ColorName(color));
  UpdateStatus();
}

}  // namespace portable
