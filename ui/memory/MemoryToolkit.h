#pragma once

#include <memory>
#include <vector>

#include "ui/Toolkit.h"
#include "ui/memory/MemoryApplication.h"
#include "ui/memory/MemoryComponents.h"

namespace ui::memory {

// Builds in-memory components and remembers them in creation order.
class MemoryToolkit : public TToolkit {
 public:
  explicit MemoryToolkit(platform::FakeClock& clock) : app(clock) {}

  TApplication& Application() override { return app; }
  std::string DecimalSeparator() const override { return decimalSeparator; }
  std::unique_ptr<TForm> CreateForm(const FormDef& def) override;
  std::unique_ptr<TLabel> CreateLabel(TForm& parent, const LabelDef& def) override;
  std::unique_ptr<TPanel> CreatePanel(TForm& parent, const PanelDef& def) override;
  std::unique_ptr<TEdit> CreateEdit(TForm& parent, const EditDef& def) override;
  std::unique_ptr<TButton> CreateButton(TForm& parent, const ButtonDef& def) override;
  std::unique_ptr<TTimer> CreateTimer(TForm& parent, const TimerDef& def) override;

  MemoryApplication app;
  std::string decimalSeparator = ".";  // the user's locale, as far as number labels go
  std::vector<std::string> created;
};

}  // namespace ui::memory
