#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "ui/Components.h"

namespace ui {

// The text the error box shows: a full stop is appended when the last character sorts after it,
// so "create socket" reads "create socket." while "Failed!" stays as it is.
std::string ErrorBoxText(std::string_view text);

class TApplication {
 public:
  // Called whenever the message queue is empty; setting done to false asks to be called again at
  // once instead of waiting for the next message.
  using IdleHandler = std::function<void(TObject* sender, bool& done)>;

  virtual ~TApplication() = default;
  virtual void SetOnIdle(IdleHandler handler) = 0;  // an empty handler removes it
  // Called by the idle handler instead of sleeping: once the handler has returned, the loop
  // waits at most this long before calling it again, and less when a message comes (a
  // completion, a key, a paint, a timer), which is handled first. Never waits inside the call.
  virtual void WaitBeforeNextIdle(std::uint32_t milliseconds) = 0;
  virtual void ProcessMessages() = 0;     // handles what is pending, once, then returns
  virtual void Run(TForm& mainForm) = 0;  // shows the form, loops until it closes
  // Message box with the application's title and an error icon.
  virtual void ShowErrorBox(const std::string& text) = 0;

  std::string Title() const { return "Jointcast"; }

  // Runs an event handler; an error it raises is shown in the error box and the program goes on.
  template <typename Handler>
  void Dispatch(Handler&& handler) noexcept {
    try {
      handler();
    } catch (const std::exception& error) {
      ShowError(error);
    } catch (...) {
      ShowErrorBox(ErrorBoxText("unknown error"));
    }
  }

  void ShowError(const std::exception& error) noexcept;
};

}  // namespace ui
