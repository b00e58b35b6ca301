#pragma once

#include <memory>
#include <string>

#include "ui/Application.h"
#include "ui/Components.h"
#include "ui/Definitions.h"

namespace ui {

// Builds the components of a form from their definitions; each front-end provides one.
class TToolkit {
 public:
  virtual ~TToolkit() = default;
  virtual TApplication& Application() = 0;
  // The user's decimal separator (UTF-8), from the locale the front-end runs in.
  virtual std::string DecimalSeparator() const = 0;
  virtual std::unique_ptr<TForm> CreateForm(const FormDef& def) = 0;
  virtual std::unique_ptr<TLabel> CreateLabel(TForm& parent, const LabelDef& def) = 0;
  virtual std::unique_ptr<TPanel> CreatePanel(TForm& parent, const PanelDef& def) = 0;
  virtual std::unique_ptr<TEdit> CreateEdit(TForm& parent, const EditDef& def) = 0;
  virtual std::unique_ptr<TButton> CreateButton(TForm& parent, const ButtonDef& def) = 0;
  virtual std::unique_ptr<TTimer> CreateTimer(TForm& parent, const TimerDef& def) = 0;
};

}  // namespace ui
