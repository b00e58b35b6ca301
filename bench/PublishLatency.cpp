// Measures, inside the real Qt loop, how long a read's completion event takes to become a
// datagram leaving the socket: the event is dispatched by the loop, the next idle call fetches
// the text, the one after publishes it.
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Mdialog.h"
#include "app/Program.h"
#include "lib/sim/SimulatedCross.h"
#include "tools/listen/StreamStats.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtToolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timings {
  Clock::time_point lastCompletion;
  bool pending = false;
  std::vector<double> eventToSendMs;
};

// Passes every call on to the simulated controller, noting when a read completes.
class StampingCross : public crosslib::TCross {
 public:
  StampingCross(std::unique_ptr<sim::SimulatedCross> inner, Timings& timings)
      : inner_(std::move(inner)), timings_(timings) {
    inner_->OnCmdMessage = [this](crosslib::JobNumber job, std::int32_t error) {
      if (job == readJob_) {
        timings_.lastCompletion = Clock::now();
        timings_.pending = true;
      }
      if (OnCmdMessage) OnCmdMessage(job, error);
    };
  }
  bool Init(const std::u16string& a, const std::u16string& b, std::int32_t c) override {
    return inner_->Init(a, b, c);
  }
  crosslib::JobNumber KRCOk() override { return inner_->KRCOk(); }
  bool KRCOkResult(crosslib::JobNumber job) override { return inner_->KRCOkResult(job); }
  crosslib::JobNumber ShowVar(const std::u16string& a, const std::u16string& b) override {
    return readJob_ = inner_->ShowVar(a, b);
  }
  bool ShowVarResult(crosslib::JobNumber job, std::u16string& value) override {
    return inner_->ShowVarResult(job, value);
  }
  bool Exit() override { return inner_->Exit(); }

 private:
  std::unique_ptr<sim::SimulatedCross> inner_;
  Timings& timings_;
  crosslib::JobNumber readJob_ = 0;
};

class StampingSockets : public platform::Sockets {
 public:
  StampingSockets(platform::Sockets& inner, Timings& timings) : inner_(inner), timings_(timings) {}
  bool Startup() override { return inner_.Startup(); }
  void Cleanup() override { inner_.Cleanup(); }
  platform::SocketHandle OpenUdp() override { return inner_.OpenUdp(); }
  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) override {
    return inner_.ResolveIPv4(name);
  }
  long SendTo(platform::SocketHandle s, const char* data, std::size_t length,
              const platform::SocketAddressV4& to) override {
    const long sent = inner_.SendTo(s, data, length, to);
    if (timings_.pending) {
      timings_.eventToSendMs.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - timings_.lastCompletion)
              .count());
      timings_.pending = false;
    }
    return sent;
  }
  void ShutdownBoth(platform::SocketHandle s) override { inner_.ShutdownBoth(s); }
  void Close(platform::SocketHandle s) override { inner_.Close(s); }

 private:
  platform::Sockets& inner_;
  Timings& timings_;
};

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t latency = 5;
  int seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--latency") latency = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
    if (arg == "--seconds") seconds = std::atoi(argv[i + 1]);
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ui::qt::QtApplication application(argc, argv);
  ui::qt::QtToolkit toolkit(application);
  Timings timings;
  StampingSockets sockets(platform::SystemSockets(), timings);
  platform::Clock& clock = platform::SystemClock();
  jointcast::TFMDialog* window = nullptr;
  QTimer::singleShot(seconds * 1000, [&] { window->Form->Close(); });
  jointcast::RunProgram(application, [&] {
    auto dialog = std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, sockets, [&]() -> std::unique_ptr<crosslib::TCross> {
          return std::make_unique<StampingCross>(
              std::make_unique<sim::SimulatedCross>(application, clock, latency), timings);
        }});
    window = dialog.get();
    return dialog;
  });
  const auto s = receiver::Summarize(timings.eventToSendMs);
  std::printf(
      "event-to-send: %zu readings, mean %.3f ms, median %.3f ms, p99 %.3f ms, max %.3f ms\n",
      s.count, s.mean, s.median, s.p99, s.max);
  return 0;
}
