#pragma once

#include <ctime>
#include <map>

#include "platform/SocketWatcher.h"
#include "ui/memory/MemoryApplication.h"

namespace ui::headless {

// How long a wait of the given milliseconds lasts from now (CLOCK_MONOTONIC): until the
// millisecond that many whole milliseconds on begins, as the cycle counts whole milliseconds of
// that clock. Otherwise each wait would end late by the part of a millisecond already gone, and a
// short period would fall behind its rate.
timespec WaitFromNow(const timespec& now, std::uint32_t milliseconds);

// The loop of a run without any window: the in-memory loop's messages, timers and idle waits
// on the system's clock, waiting in poll() on the watched sockets. SIGINT and SIGTERM close the
// main form, as closing the window does.
class HeadlessApplication : public memory::MemoryApplication, public platform::SocketWatcher {
 public:
  HeadlessApplication();
  ~HeadlessApplication() override;
  HeadlessApplication(const HeadlessApplication&) = delete;
  HeadlessApplication& operator=(const HeadlessApplication&) = delete;

  void Run(TForm& mainForm) override;
  // Called from the loop once the main form is shown.
  std::function<void()> onShown;
  // Where the error box's text goes; stderr when not set.
  std::function<void(const std::string&)> onErrorBox;
  void ProcessMessages() override;
  void ShowErrorBox(const std::string& text) override;

  // The system's clock, whose sleeps a stop signal ends at once (the loop then closes the form):
  // a service is not kept waiting through the fatal error's pause.
  platform::Clock& StoppableClock();

  void Watch(platform::SocketHandle socket, std::function<void()> onReadable) override;
  void Unwatch(platform::SocketHandle socket) override;

 protected:
  void WaitFor(std::uint32_t milliseconds) override;
  bool WaitForAnything() override;

 private:
  // Waits in poll() (nullptr: without a time limit) and handles what became ready.
  void Poll(const timespec* timeout);

  std::map<platform::SocketHandle, std::function<void()>> watched_;
  TForm* mainForm_ = nullptr;
};

}  // namespace ui::headless
