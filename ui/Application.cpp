#include "ui/Application.h"

namespace ui {

std::string ErrorBoxText(std::string_view text) {
  std::string shown(text);
  if (!shown.empty() && static_cast<unsigned char>(shown.back()) > '.') shown += '.';
  return shown;
}

void TApplication::ShowError(const std::exception& error) noexcept {
  try {
    ShowErrorBox(ErrorBoxText(error.what()));
  } catch (...) {
    // Nothing sensible is left to report with.
  }
}

}  // namespace ui
