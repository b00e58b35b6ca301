#pragma once

#include <cstdint>
#include <string>

#include "ui/Color.h"

namespace ui {

// Position and size in client pixels of the parent form.
struct Bounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Bounds&, const Bounds&) = default;
};

enum class Alignment : std::uint8_t { Left, Right, Center };

struct FormDef {
  std::string caption;
  int clientWidth = 0;
  int clientHeight = 0;
  std::string fontName;
  int fontHeight = 0;  // negative: character height in pixels, as in the classic font records
};

struct LabelDef {
  std::string name;
  Bounds bounds;
  std::string caption;
  Alignment alignment = Alignment::Left;
};

struct PanelDef {
  std::string name;
  Bounds bounds;
  std::string caption;
  TColor color = TColor::BtnFace;
  TColor textColor = TColor::White;
  int tabOrder = 0;
};

struct EditDef {
  std::string name;
  Bounds bounds;
  std::string text;
  int tabOrder = 0;
};

struct ButtonDef {
  std::string name;
  Bounds bounds;
  std::string caption;
  int tabOrder = 0;
};

struct TimerDef {
  std::string name;
  std::uint32_t interval = 1000;
  bool enabled = false;
};

}  // namespace ui
