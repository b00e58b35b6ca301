#include "ui/headless/HeadlessApplication.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <vector>

namespace ui::headless {
namespace {

// The signal handler's only work: a byte into this pipe, which the loop watches.
int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

class StopSignalClock : public platform::Clock {
 public:
  platform::Tick Now() override { return platform::SystemClock().Now(); }
  void Sleep(std::uint32_t milliseconds) override {
    const platform::Tick start = Now();
    for (;;) {
      const std::uint32_t slept = platform::Elapsed(Now(), start);
      if (slept >= milliseconds) return;
      // The byte stays in the pipe, so the loop still sees the signal afterwards.
      pollfd signal{gSignalPipe[0], POLLIN, 0};
      if (poll(&signal, 1, static_cast<int>(milliseconds - slept)) > 0) return;
    }
  }
};

}  // namespace

platform::Clock& HeadlessApplication::StoppableClock() {
  static StopSignalClock clock;
  return clock;
}

HeadlessApplication::HeadlessApplication() : MemoryApplication(platform::SystemClock()) {
  if (gSignalPipe[0] < 0 && pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
}

HeadlessApplication::~HeadlessApplication() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

void HeadlessApplication::Run(TForm& mainForm) {
  mainForm_ = &mainForm;
  if (onShown) Post(0, onShown);  // runs at the loop's first turn, after the form is shown
  MemoryApplication::Run(mainForm);
  mainForm_ = nullptr;
}

void HeadlessApplication::ProcessMessages() {
  const timespec none{};
  Poll(&none);
  MemoryApplication::ProcessMessages();
}

void HeadlessApplication::ShowErrorBox(const std::string& text) {
  if (onErrorBox) return onErrorBox(text);
  std::fprintf(stderr, "%s: %s\n", Title().c_str(), text.c_str());
}

void HeadlessApplication::Watch(platform::SocketHandle socket, std::function<void()> onReadable) {
  watched_[socket] = std::move(onReadable);
}

void HeadlessApplication::Unwatch(platform::SocketHandle socket) {
  watched_.erase(socket);
}

timespec WaitFromNow(const timespec& now, std::uint32_t milliseconds) {
  const long intoMillisecond = now.tv_nsec % 1000000L;
  const long long ns =
      milliseconds == 0 ? 0 : static_cast<long long>(milliseconds) * 1000000LL - intoMillisecond;
  return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

void HeadlessApplication::WaitFor(std::uint32_t milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const timespec timeout = WaitFromNow(now, milliseconds);
  Poll(&timeout);
}

bool HeadlessApplication::WaitForAnything() {
  Poll(nullptr);
  return true;
}

void HeadlessApplication::Poll(const timespec* timeout) {
  std::vector<pollfd> fds{{gSignalPipe[0], POLLIN, 0}};
  for (const auto& entry : watched_) fds.push_back({static_cast<int>(entry.first), POLLIN, 0});
  if (ppoll(fds.data(), fds.size(), timeout, nullptr) <= 0) return;
  if (fds[0].revents != 0) {
    char drained[16];
    while (read(gSignalPipe[0], drained, sizeof drained) > 0) {
    }
    if (mainForm_ != nullptr) mainForm_->Close();
    return;
  }
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    // A callback may unwatch this or another socket: look it up afresh.
    auto it = watched_.find(fds[i].fd);
    if (it == watched_.end()) continue;
    auto onReadable = it->second;
    Dispatch(onReadable);
  }
}

}  // namespace ui::headless
