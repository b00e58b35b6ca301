#pragma once

#include <windows.h>

#include "ui/Toolkit.h"
#include "ui/win/WinApplication.h"

namespace ui::win {

class WinToolkit : public TToolkit {
 public:
  explicit WinToolkit(WinApplication& app) : app_(app) {}
  TApplication& Application() override { return app_; }
  std::string DecimalSeparator() const override;
  std::unique_ptr<TForm> CreateForm(const FormDef& def) override;
  std::unique_ptr<TLabel> CreateLabel(TForm& parent, const LabelDef& def) override;
  std::unique_ptr<TPanel> CreatePanel(TForm& parent, const PanelDef& def) override;
  std::unique_ptr<TEdit> CreateEdit(TForm& parent, const EditDef& def) override;
  std::unique_ptr<TButton> CreateButton(TForm& parent, const ButtonDef& def) override;
  std::unique_ptr<TTimer> CreateTimer(TForm& parent, const TimerDef& def) override;

  // The window of the form created last: where an ActiveX control is placed.
  HWND LastFormWindow() const { return lastForm_; }

 private:
  WinApplication& app_;
  HWND lastForm_ = nullptr;
};

}  // namespace ui::win
