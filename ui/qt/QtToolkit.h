#pragma once

#include "ui/Toolkit.h"
#include "ui/qt/QtApplication.h"

namespace ui::qt {

class QtToolkit : public TToolkit {
 public:
  explicit QtToolkit(QtApplication& app) : app_(app) {}
  // Names the label whose captions are also written to stderr (for offscreen runs).
  void EchoLabel(std::string name) { echoLabel_ = std::move(name); }
  TApplication& Application() override { return app_; }
  std::string DecimalSeparator() const override;
  std::unique_ptr<TForm> CreateForm(const FormDef& def) override;
  std::unique_ptr<TLabel> CreateLabel(TForm& parent, const LabelDef& def) override;
  std::unique_ptr<TPanel> CreatePanel(TForm& parent, const PanelDef& def) override;
  std::unique_ptr<TEdit> CreateEdit(TForm& parent, const EditDef& def) override;
  std::unique_ptr<TButton> CreateButton(TForm& parent, const ButtonDef& def) override;
  std::unique_ptr<TTimer> CreateTimer(TForm& parent, const TimerDef& def) override;

 private:
  QtApplication& app_;
  std::string echoLabel_;
};

}  // namespace ui::qt
