#pragma once

#include "ui/Toolkit.h"
#include "ui/headless/HeadlessApplication.h"

namespace ui::headless {

// Components that keep their caption and colour in memory. What a user would look at goes to
// stderr as one line whenever it changes: the status line's text and the indicator panels'
// colours.
class HeadlessToolkit : public TToolkit {
 public:
  explicit HeadlessToolkit(HeadlessApplication& app) : app_(app) {}
  TApplication& Application() override { return app_; }
  std::string DecimalSeparator() const override { return "."; }  // nothing shows the values
  std::unique_ptr<TForm> CreateForm(const FormDef& def) override;
  std::unique_ptr<TLabel> CreateLabel(TForm& parent, const LabelDef& def) override;
  std::unique_ptr<TPanel> CreatePanel(TForm& parent, const PanelDef& def) override;
  std::unique_ptr<TEdit> CreateEdit(TForm& parent, const EditDef& def) override;
  std::unique_ptr<TButton> CreateButton(TForm& parent, const ButtonDef& def) override;
  std::unique_ptr<TTimer> CreateTimer(TForm& parent, const TimerDef& def) override;

 private:
  HeadlessApplication& app_;
};

}  // namespace ui::headless
