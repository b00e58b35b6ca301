#include "ui/headless/HeadlessToolkit.h"

#include <cstdio>

#include "ui/memory/MemoryComponents.h"

namespace ui::headless {
namespace {

void Echo(const std::string& line) {
  std::fprintf(stderr, "jointcast: %s\n", line.c_str());
}

// The status line.
class EchoLabel : public memory::MemoryLabel {
 public:
  using MemoryLabel::MemoryLabel;
  void SetCaption(const std::string& caption) override {
    if (caption != Caption()) Echo(caption);
    MemoryLabel::SetCaption(caption);
  }
};

class EchoPanel : public memory::MemoryPanel {
 public:
  using MemoryPanel::MemoryPanel;
  void SetColor(TColor color) override {
    if (color != Color()) Echo(Caption() + " " + ColorName(color));
    MemoryPanel::SetColor(color);
  }
};

}  // namespace

std::unique_ptr<TForm> HeadlessToolkit::CreateForm(const FormDef& def) {
  return std::make_unique<memory::MemoryForm>(def, app_);
}

std::unique_ptr<TLabel> HeadlessToolkit::CreateLabel(TForm&, const LabelDef& def) {
  if (def.name == "LMessage") return std::make_unique<EchoLabel>(def);
  return std::make_unique<memory::MemoryLabel>(def);
}

std::unique_ptr<TPanel> HeadlessToolkit::CreatePanel(TForm&, const PanelDef& def) {
  return std::make_unique<EchoPanel>(def);
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
