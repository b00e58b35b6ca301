#pragma once

#include <string>

#include "ui/Color.h"

namespace ui::headless {

// Told what the window would show, where there is no window: the status line and the indicator
// panels.
class StatusListener {
 public:
  virtual ~StatusListener() = default;
  // A new text in the status line; isError when it is shown in red.
  virtual void OnStatusLine(const std::string& text, bool isError) = 0;
  // Every colour an indicator is given, changed or not (the publish step sets Arm's on every
  // reading), starting with the one it is created with.
  virtual void OnIndicator(const std::string& name, TColor color) = 0;
};

}  // namespace ui::headless
