#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ui/Color.h"

namespace ui {

// The few widget kinds the window needs, in the window's own terms. Every front-end (Qt, Win32,
// the in-memory double) implements these; the window's behaviour sees nothing else.

class TComponent {
 public:
  explicit TComponent(std::string name) : name_(std::move(name)) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

using TObject = TComponent;

class TLabel : public TComponent {
 public:
  using TComponent::TComponent;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  virtual void SetColor(TColor color) = 0;
  virtual TColor Color() const = 0;
};

class TPanel : public TComponent {
 public:
  using TComponent::TComponent;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  virtual void SetColor(TColor color) = 0;
  virtual TColor Color() const = 0;
};

// Virtual key code of the Enter key.
constexpr std::uint16_t kKeyReturn = 13;

struct ShiftState {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

class TEdit : public TComponent {
 public:
  using TComponent::TComponent;
  virtual std::string Text() const = 0;
  virtual void SetText(const std::string& text) = 0;
  // Called before the edit handles the key itself; the key is never consumed.
  std::function<void(TObject* sender, std::uint16_t key, ShiftState shift)> OnKeyDown;
};

class TButton : public TComponent {
 public:
  using TComponent::TComponent;
  std::function<void(TObject* sender)> OnClick;
  // A programmatic click: runs the click handler as a user's click would.
  void Click() {
    if (OnClick) OnClick(this);
  }
};

class TTimer : public TComponent {
 public:
  using TComponent::TComponent;
  // Enabling an enabled timer leaves its countdown running; disabling stops it.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual std::uint32_t Interval() const = 0;
  std::function<void(TObject* sender)> OnTimer;
};

class TForm : public TComponent {
 public:
  using TComponent::TComponent;
  virtual void Show() = 0;
  // Hides the form (running OnHide) and ends the application's message loop.
  virtual void Close() = 0;
  // Moves the outer frame's top-left corner to screen coordinates.
  virtual void SetPosition(int left, int top) = 0;
  virtual int Left() const = 0;
  virtual int Top() const = 0;
  // Outer size, frame included.
  virtual int Width() const = 0;
  virtual int ScreenWidth() const = 0;
  std::function<void(TObject* sender)> OnShow;
  std::function<void(TObject* sender)> OnHide;
};

}  // namespace ui
