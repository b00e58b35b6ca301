#include "ui/qt/QtToolkit.h"

#include <QLocale>

#include "ui/qt/QtComponents.h"

namespace ui::qt {
namespace {

QWidget* WidgetOf(TForm& form) {
  return static_cast<QtForm&>(form).Widget();
}

}  // namespace

std::string QtToolkit::DecimalSeparator() const {
  return QLocale().decimalPoint().toStdString();
}

std::unique_ptr<TForm> QtToolkit::CreateForm(const FormDef& def) {
  return std::make_unique<QtForm>(def, app_);
}

std::unique_ptr<TLabel> QtToolkit::CreateLabel(TForm& parent, const LabelDef& def) {
  auto label = std::make_unique<QtLabel>(WidgetOf(parent), def);
  if (!echoLabel_.empty() && def.name == echoLabel_) label->EchoToStderr();
  return label;
}

std::unique_ptr<TPanel> QtToolkit::CreatePanel(TForm& parent, const PanelDef& def) {
  return std::make_unique<QtPanel>(WidgetOf(parent), def);
}

std::unique_ptr<TEdit> QtToolkit::CreateEdit(TForm& parent, const EditDef& def) {
  return std::make_unique<QtEdit>(WidgetOf(parent), def, app_);
}

std::unique_ptr<TButton> QtToolkit::CreateButton(TForm& parent, const ButtonDef& def) {
  return std::make_unique<QtButton>(WidgetOf(parent), def, app_);
}

std::unique_ptr<TTimer> QtToolkit::CreateTimer(TForm& parent, const TimerDef& def) {
  return std::make_unique<QtTimer>(WidgetOf(parent), def, app_);
}

}  // namespace ui::qt
