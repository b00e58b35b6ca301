#pragma once

#include "platform/Clock.h"
#include "ui/Components.h"
#include "ui/Definitions.h"
#include "ui/memory/MemoryApplication.h"

namespace ui::memory {

class MemoryLabel : public TLabel {
 public:
  explicit MemoryLabel(const LabelDef& def) : TLabel(def.name), def(def), caption_(def.caption) {}
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  std::string Caption() const override { return caption_; }
  void SetColor(TColor color) override { color_ = color; }
  TColor Color() const override { return color_; }

  const LabelDef def;

 private:
  std::string caption_;
  TColor color_ = TColor::BtnFace;
};

class MemoryPanel : public TPanel {
 public:
  explicit MemoryPanel(const PanelDef& def)
      : TPanel(def.name), def(def), caption_(def.caption), color_(def.color) {}
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  std::string Caption() const override { return caption_; }
  void SetColor(TColor color) override { color_ = color; }
  TColor Color() const override { return color_; }

  const PanelDef def;

 private:
  std::string caption_;
  TColor color_;
};

class MemoryEdit : public TEdit {
 public:
  MemoryEdit(const EditDef& def, TApplication& app)
      : TEdit(def.name), def(def), text_(def.text), app_(app) {}
  std::string Text() const override { return text_; }
  void SetText(const std::string& text) override { text_ = text; }
  // A key press as the user makes it: the handler sees it first, then the edit takes printable
  // characters and Backspace.
  void PressKey(std::uint16_t key, ShiftState shift = {});

  const EditDef def;

 private:
  std::string text_;
  TApplication& app_;
};

class MemoryButton : public TButton {
 public:
  MemoryButton(const ButtonDef& def, TApplication& app) : TButton(def.name), def(def), app_(app) {}
  void ClickByUser() {
    app_.Dispatch([this] { Click(); });
  }
  const ButtonDef def;

 private:
  TApplication& app_;
};

class MemoryTimer final : public TTimer {
 public:
  MemoryTimer(const TimerDef& def, MemoryApplication& app);
  ~MemoryTimer() override;
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  std::uint32_t Interval() const override { return interval_; }
  platform::Tick Deadline() const { return deadline_; }
  // Called by the loop when the deadline has come.
  void Fire();

 private:
  MemoryApplication& app_;
  std::uint32_t interval_;
  bool enabled_ = false;
  platform::Tick deadline_ = 0;
};

class MemoryForm : public TForm {
 public:
  static constexpr int kFrameWidth = 6;  // both borders together

  MemoryForm(const FormDef& def, MemoryApplication& app) : TForm("FMDialog"), def(def), app_(app) {}
  void Show() override;
  void Close() override;
  void SetPosition(int left, int top) override {
    left_ = left;
    top_ = top;
  }
  int Left() const override { return left_; }
  int Top() const override { return top_; }
  int Width() const override { return def.clientWidth + kFrameWidth; }
  int ScreenWidth() const override { return screenWidth; }

  const FormDef def;
  int screenWidth = 1024;
  bool visible = false;
  bool closed = false;

 private:
  MemoryApplication& app_;
  int left_ = 0;
  int top_ = 0;
};

}  // namespace ui::memory
