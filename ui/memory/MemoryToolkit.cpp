#include "ui/memory/MemoryToolkit.h"

namespace ui::memory {

std::unique_ptr<TForm> MemoryToolkit::CreateForm(const FormDef& def) {
  created.push_back("FMDialog");
  return std::make_unique<MemoryForm>(def, app);
}

std::unique_ptr<TLabel> MemoryToolkit::CreateLabel(TForm&, const LabelDef& def) {
  created.push_back(def.name);
  return std::make_unique<MemoryLabel>(def);
}

std::unique_ptr<TPanel> MemoryToolkit::CreatePanel(TForm&, const PanelDef& def) {
  created.push_back(def.name);
  return std::make_unique<MemoryPanel>(def);
}

std::unique_ptr<TEdit> MemoryToolkit::CreateEdit(TForm&, const EditDef& def) {
  created.push_back(def.name);
  return std::make_unique<MemoryEdit>(def, app);
}

std::unique_ptr<TButton> MemoryToolkit::CreateButton(TForm&, const ButtonDef& def) {
  created.push_back(def.name);
  return std::make_unique<MemoryButton>(def, app);
}

std::unique_ptr<TTimer> MemoryToolkit::CreateTimer(TForm&, const TimerDef& def) {
  created.push_back(def.name);
  return std::make_unique<MemoryTimer>(def, app);
}

}  // namespace ui::memory
