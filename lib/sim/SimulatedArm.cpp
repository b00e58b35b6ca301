#include "lib/sim/SimulatedArm.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace sim {
namespace {

struct AxisMotion {
  double centre;
  double amplitude;
  double periodMs;
  double phase;
};

// Inside the usual limits of a mid-size arm; A1 and A4 swing through zero so that tiny values
// (written in scientific notation) turn up now and then.
constexpr std::array<AxisMotion, 6> kMotion{{
    {0.0, 120.0, 23000.0, 0.0},
    {-90.0, 35.0, 17000.0, 1.0},
    {90.0, 40.0, 13000.0, 2.0},
    {0.0, 150.0, 29000.0, 0.5},
    {0.0, 60.0, 11000.0, 1.5},
    {0.0, 170.0, 19000.0, 3.0},
}};

std::string TrimmedMantissa(std::string digits) {
  if (digits.find('.') == std::string::npos) return digits;
  while (digits.back() == '0') digits.pop_back();
  if (digits.back() == '.') digits += '0';
  return digits;
}

}  // namespace

std::array<float, 6> SimulatedArm::AnglesAt(std::uint32_t timeMs) const {
  std::array<float, 6> angles{};
  for (std::size_t i = 0; i < angles.size(); ++i) {
    const AxisMotion& m = kMotion[i];
    const double phase = 2.0 * std::numbers::pi * (timeMs / m.periodMs) + m.phase;
    angles[i] = static_cast<float>(m.centre + m.amplitude * std::sin(phase));
  }
  return angles;
}

std::string SimulatedArm::AxisActValue(std::uint32_t timeMs) const {
  const auto angles = AnglesAt(timeMs);
  std::string text = "{E6AXIS: ";
  for (std::size_t i = 0; i < angles.size(); ++i) {
    text += 'A';
    text += static_cast<char>('1' + i);
    text += ' ';
    text += FormatControllerReal(angles[i]);
    text += ", ";
  }
  text += "E1 0.0, E2 0.0, E3 0.0, E4 0.0, E5 0.0, E6 0.0}";
  return text;
}

std::string FormatControllerReal(float value) {
  if (value == 0.0f) return "0.0";
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
  char buffer[32];
  // Scientific form first: it tells the decimal exponent after rounding to seven digits.
  const auto scientific =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 6);
  std::string sci(buffer, scientific.ptr);
  const std::size_t e = sci.find('e');
  const int exponent = std::atoi(sci.c_str() + e + 1);
  if (exponent < -3 || exponent >= 7) {
    std::string mantissa = TrimmedMantissa(sci.substr(0, e));
    char exp[8];
    const int magnitude = std::abs(exponent);
    exp[0] = 'E';
    exp[1] = exponent < 0 ? '-' : '+';
    exp[2] = static_cast<char>('0' + magnitude / 10 % 10);
    exp[3] = static_cast<char>('0' + magnitude % 10);
    return mantissa + std::string(exp, 4);
  }
  const int decimals = 6 - exponent;  // seven significant digits in all
  const auto fixed =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return TrimmedMantissa(std::string(buffer, fixed.ptr));
}

}  // namespace sim
