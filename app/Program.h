#pragma once

#include <functional>
#include <memory>

#include "app/Mdialog.h"

namespace jointcast {

// How the program ended, as its exit code. A supervisor that restarts on failure sees the
// controller's silence as one; closing the window, or a stop signal, is a normal end.
enum ExitCode : int {
  kExitClosed = 0,
  kExitStartupFailed = 1,     // shown in the error box: no control, no socket...
  kExitUsage = 2,             // a bad command line (portable programs)
  kExitControllerSilent = 3,  // "can't read variable": a read got no answer within 3 s
};

// The program's run, for any front-end: create the main window, run the message loop until it
// closes. An error that stops start-up or escapes the loop is shown in the error box.
int RunProgram(ui::TApplication& application,
               const std::function<std::unique_ptr<TFMDialog>()>& createMainWindow);

}  // namespace jointcast
