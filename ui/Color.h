#pragma once

#include <cstdint>

namespace ui {

// The colours the window uses; each front-end maps BtnFace to its system colour.
enum class TColor : std::uint8_t { BtnFace, Red, Yellow, Green, White };

struct Rgb {
  std::uint8_t r, g, b;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Fixed colours; BtnFace has no fixed value and maps to the light grey of classic dialogs here.
constexpr Rgb ToRgb(TColor color) {
  switch (color) {
    case TColor::Red:
      return {255, 0, 0};
    case TColor::Yellow:
      return {255, 255, 0};
    case TColor::Green:
      return {0, 128, 0};
    case TColor::White:
      return {255, 255, 255};
    case TColor::BtnFace:
      break;
  }
  return {240, 240, 240};
}

constexpr const char* ColorName(TColor color) {
  switch (color) {
    case TColor::Red:
      return "red";
    case TColor::Yellow:
      return "yellow";
    case TColor::Green:
      return "green";
    case TColor::White:
      return "white";
    case TColor::BtnFace:
      break;
  }
  return "button face";
}

}  // namespace ui
