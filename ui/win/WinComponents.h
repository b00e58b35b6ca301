#pragma once

#include <windows.h>

#include <map>

#include "ui/Application.h"
#include "ui/Components.h"
#include "ui/Definitions.h"

namespace ui::win {

class WinForm;

COLORREF ToColorRef(TColor color);

// A child control of the form; the form asks it for its colours when it paints.
class ColouredChild {
 public:
  virtual ~ColouredChild() = default;
  virtual TColor Background() const = 0;
  virtual TColor Foreground() const = 0;
};

class WinForm : public TForm {
 public:
  WinForm(const FormDef& def, TApplication& app);
  ~WinForm() override;
  void Show() override;
  void Close() override;
  void SetPosition(int left, int top) override;
  int Left() const override;
  int Top() const override;
  int Width() const override;
  int ScreenWidth() const override;

  HWND Window() const { return window_; }
  HFONT Font() const { return font_; }
  void AddColoured(HWND child, ColouredChild* owner) { coloured_[child] = owner; }
  void AddButton(HWND child, TButton* owner) { buttons_[child] = owner; }
  void AddTimer(UINT_PTR id, TTimer* owner) { timers_[id] = owner; }
  void Forget(HWND child) {
    coloured_.erase(child);
    buttons_.erase(child);
  }
  void ForgetTimer(UINT_PTR id) { timers_.erase(id); }
  UINT_PTR NextTimerId() { return nextTimerId_++; }
  TApplication& App() { return app_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  HBRUSH Brush(TColor color);

  TApplication& app_;
  HWND window_ = nullptr;
  HWND focus_ = nullptr;  // the child that had the keyboard focus when the window lost it
  HFONT font_ = nullptr;
  std::map<TColor, HBRUSH> brushes_;
  std::map<HWND, ColouredChild*> coloured_;
  std::map<HWND, TButton*> buttons_;
  std::map<UINT_PTR, TTimer*> timers_;
  UINT_PTR nextTimerId_ = 1;
};

class WinLabel : public TLabel, public ColouredChild {
 public:
  WinLabel(WinForm& form, const LabelDef& def);
  ~WinLabel() override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  void SetColor(TColor color) override;
  TColor Color() const override { return color_; }
  TColor Background() const override { return color_; }
  TColor Foreground() const override { return TColor::BtnFace; }  // system text colour

 private:
  WinForm& form_;
  HWND window_;
  TColor color_ = TColor::BtnFace;
};

class WinPanel : public TPanel, public ColouredChild {
 public:
  WinPanel(WinForm& form, const PanelDef& def);
  ~WinPanel() override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  void SetColor(TColor color) override;
  TColor Color() const override { return color_; }
  TColor Background() const override { return color_; }
  TColor Foreground() const override { return text_; }

 private:
  WinForm& form_;
  HWND window_;
  TColor color_;
  TColor text_;
};

class WinEdit : public TEdit {
 public:
  WinEdit(WinForm& form, const EditDef& def);
  ~WinEdit() override;
  std::string Text() const override;
  void SetText(const std::string& text) override;

 private:
  static LRESULT CALLBACK EditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  WinForm& form_;
  HWND window_;
  WNDPROC original_ = nullptr;
};

class WinButton : public TButton {
 public:
  WinButton(WinForm& form, const ButtonDef& def);
  ~WinButton() override;

 private:
  WinForm& form_;
  HWND window_;
};

class WinTimer final : public TTimer {
 public:
  WinTimer(WinForm& form, const TimerDef& def);
  ~WinTimer() override;
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  std::uint32_t Interval() const override { return interval_; }

 private:
  WinForm& form_;
  UINT_PTR id_;
  std::uint32_t interval_;
  bool enabled_ = false;
};

}  // namespace ui::win
