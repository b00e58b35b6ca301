#pragma once

#include "ui/Toolkit.h"
#include "ui/headless/HeadlessApplication.h"
#include "ui/headless/StatusListener.h"

namespace ui::headless {

// Components that keep their caption and colour in memory. What a user would look at, the
// status line and the indicator panels, goes to the listener.
class HeadlessToolkit : public TToolkit {
 public:
  HeadlessToolkit(HeadlessApplication& app, StatusListener& listener)
      : app_(app), listener_(listener) {}
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
  StatusListener& listener_;
};

}  // namespace ui::headless
