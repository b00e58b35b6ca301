#include "app/Program.h"

namespace jointcast {

int RunProgram(ui::TApplication& application,
               const std::function<std::unique_ptr<TFMDialog>()>& createMainWindow) {
  try {
    std::unique_ptr<TFMDialog> FMDialog = createMainWindow();
    application.Run(*FMDialog->Form);
    return FMDialog->EndedByFatalError() ? kExitControllerSilent : kExitClosed;
  } catch (const std::exception& error) {
    application.ShowError(error);
  }
  return kExitStartupFailed;
}

}  // namespace jointcast
