#include "ui/headless/HeadlessToolkit.h"

#include "ui/memory/MemoryComponents.h"

namespace ui::headless {
namespace {

// The status line. A message sets its text, then its colour (and the resting notice the other
// way round): the listener is told once both are set, from the loop, which also runs while a
// fatal error is painted.
class ReportedLabel : public memory::MemoryLabel {
 public:
  ReportedLabel(const LabelDef& def, HeadlessApplication& app, StatusListener& listener)
      : MemoryLabel(def), app_(app), listener_(listener) {}
  void SetCaption(const std::string& caption) override {
    if (caption != Caption()) {
      app_.Post(0, [this, caption] { listener_.OnStatusLine(caption, Color() == TColor::Red); });
    }
    MemoryLabel::SetCaption(caption);
  }

 private:
  HeadlessApplication& app_;
  StatusListener& listener_;
};

class ReportedPanel : public memory::MemoryPanel {
 public:
  ReportedPanel(const PanelDef& def, StatusListener& listener)
      : MemoryPanel(def), listener_(listener) {
    listener_.OnIndicator(Caption(), Color());
  }
  void SetColor(TColor color) override {
    MemoryPanel::SetColor(color);
    listener_.OnIndicator(Caption(), color);
  }

 private:
  StatusListener& listener_;
};

}  // namespace

std::unique_ptr<TForm> HeadlessToolkit::CreateForm(const FormDef& def) {
  return std::make_unique<memory::MemoryForm>(def, app_);
}

std::unique_ptr<TLabel> HeadlessToolkit::CreateLabel(TForm&, const LabelDef& def) {
  if (def.name == "LMessage") return std::make_unique<ReportedLabel>(def, app_, listener_);
  return std::make_unique<memory::MemoryLabel>(def);
}

std::unique_ptr<TPanel> HeadlessToolkit::CreatePanel(TForm&, const PanelDef& def) {
  return std::make_unique<ReportedPanel>(def, listener_);
}

std::unique_ptr<TEdit> HeadlessToolkit::CreateEdit(TForm&, const EditDef& def) {
  return std::make_unique<memory::MemoryEdit>(def, app_);
}

std::unique_ptr<TButton> HeadlessToolkit::CreateButton(TForm&, const ButtonDef& def) {
  return std::make_unique<memory::MemoryButton>(def, app_);
}

std::unique_ptr<TTimer> HeadlessToolkit::CreateTimer(TForm&, const TimerDef& def) {
  return std::make_unique<memory::MemoryTimer>(def, app_);
}

}  // namespace ui::headless
