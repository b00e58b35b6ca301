#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "platform/EventPoster.h"
#include "ui/Application.h"

namespace ui::win {

// The Win32 message loop in the component library's model: handle a message if there is one,
// otherwise call the idle handler, and wait for the next message only when it says it is done.
class WinApplication : public TApplication, public platform::EventPoster {
 public:
  WinApplication();
  ~WinApplication() override;

  void SetOnIdle(IdleHandler handler) override { idle_ = std::move(handler); }
  void WaitBeforeNextIdle(std::uint32_t milliseconds) override { wait_ = milliseconds; }
  void ProcessMessages() override;
  void Run(TForm& mainForm) override;
  void ShowErrorBox(const std::string& text) override;
  void Post(std::uint32_t delayMs, std::function<void()> work) override;

  // The window whose dialog keys (Tab, Enter) the loop routes through the dialog manager.
  void SetDialogWindow(HWND window) { dialog_ = window; }

 private:
  static LRESULT CALLBACK PostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool HandleOneMessage(bool& quit);
  void RunPosted(UINT_PTR id);

  IdleHandler idle_;
  std::optional<std::uint32_t> wait_;  // asked for by the idle call under way
  HWND postWindow_ = nullptr;          // message-only window that runs posted work
  HWND dialog_ = nullptr;
  std::map<UINT_PTR, std::function<void()>> posted_;
  UINT_PTR nextId_ = 1;
  bool oleInitialized_ = false;
};

}  // namespace ui::win
