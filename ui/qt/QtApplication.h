#pragma once

#include <map>
#include <memory>
#include <optional>

#include "platform/EventPoster.h"
#include "platform/SocketWatcher.h"
#include "ui/Application.h"

class QApplication;
class QObject;
class QTimer;
class QSocketNotifier;
typedef struct _GSource GSource;

namespace ui::qt {

// The Qt message loop. The idle handler runs from a GLib idle source, which GLib dispatches only
// when no event, timer or posted message is ready; a zero-interval QTimer would run before
// pending events instead. The timer is kept as the fallback where Qt runs without GLib.
class QtApplication : public TApplication,
                      public platform::EventPoster,
                      public platform::SocketWatcher {
 public:
  QtApplication(int& argc, char** argv);
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  void SetOnIdle(IdleHandler handler) override;
  void WaitBeforeNextIdle(std::uint32_t milliseconds) override { wait_ = milliseconds; }
  void ProcessMessages() override;
  void Run(TForm& mainForm) override;
  void ShowErrorBox(const std::string& text) override;
  void Post(std::uint32_t delayMs, std::function<void()> work) override;

  void Watch(platform::SocketHandle socket, std::function<void()> onReadable) override;
  void Unwatch(platform::SocketHandle socket) override;

  bool Offscreen() const;
  // For offscreen runs: the window is never rendered.
  void SkipPainting();
  bool UsesGlibIdle() const { return useGlib_; }
  // One idle call; false when the handler is done and the loop may wait for the next event.
  bool CallIdle();

 private:
  void InstallIdleSource();
  void RemoveIdleSource();
  void EndWait();

  std::unique_ptr<QApplication> app_;
  IdleHandler idle_;
  bool useGlib_ = false;
  GSource* source_ = nullptr;
  QTimer* fallback_ = nullptr;
  // A wait asked for by the idle handler: the idle source is gone until the timer runs out or
  // an event arrives.
  std::optional<std::uint32_t> wait_;
  bool waiting_ = false;
  QTimer* waitTimer_ = nullptr;
  std::unique_ptr<QObject> waitBreaker_;
  std::unique_ptr<QObject> paintEater_;
  std::map<platform::SocketHandle, std::unique_ptr<QSocketNotifier>> notifiers_;
};

}  // namespace ui::qt
