#include "ui/win/WinToolkit.h"

#include "ui/win/WinComponents.h"
#include "ui/win/WinText.h"

namespace ui::win {
namespace {

WinForm& FormOf(TForm& form) {
  return static_cast<WinForm&>(form);
}

}  // namespace

std::string WinToolkit::DecimalSeparator() const {
  wchar_t separator[8] = L".";
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) == 0) return ".";
  return Narrow(separator);
}

std::unique_ptr<TForm> WinToolkit::CreateForm(const FormDef& def) {
  auto form = std::make_unique<WinForm>(def, app_);
  lastForm_ = form->Window();
  app_.SetDialogWindow(lastForm_);
  return form;
}

std::unique_ptr<TLabel> WinToolkit::CreateLabel(TForm& parent, const LabelDef& def) {
  return std::make_unique<WinLabel>(FormOf(parent), def);
}

std::unique_ptr<TPanel> WinToolkit::CreatePanel(TForm& parent, const PanelDef& def) {
  return std::make_unique<WinPanel>(FormOf(parent), def);
}

std::unique_ptr<TEdit> WinToolkit::CreateEdit(TForm& parent, const EditDef& def) {
  return std::make_unique<WinEdit>(FormOf(parent), def);
}

std::unique_ptr<TButton> WinToolkit::CreateButton(TForm& parent, const ButtonDef& def) {
  return std::make_unique<WinButton>(FormOf(parent), def);
}

std::unique_ptr<TTimer> WinToolkit::CreateTimer(TForm& parent, const TimerDef& def) {
  return std::make_unique<WinTimer>(FormOf(parent), def);
}

}  // namespace ui::win
