#include "app/Program.h"

namespace jointcast {

int RunProgram(ui::TApplication& application,
               const std::function<std::unique_ptr<TFMDialog>()>& createMainWindow) {
  try {
    std::unique_ptr<TFMDialog> FMDialog = createMainWindow();
    application.Run(*FMDialog->Form);
  } catch (const std::exception& error) {
    application.ShowError(error);
  }
  return 0;
}

}  // namespace jointcast
