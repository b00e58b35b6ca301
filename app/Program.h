#pragma once

#include <functional>
#include <memory>

#include "app/Mdialog.h"

namespace jointcast {

// The program's run, for any front-end: create the main window, run the message loop until it
// closes. An error that stops start-up or escapes the loop is shown in the error box. Returns 0.
int RunProgram(ui::TApplication& application,
               const std::function<std::unique_ptr<TFMDialog>()>& createMainWindow);

}  // namespace jointcast
