#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

// A six-axis arm that keeps moving: each axis sweeps smoothly inside plausible joint limits with
// its own period, so a receiver sees continuous, distinct motion on every axis.
class SimulatedArm {
 public:
  // Angles A1..A6 in degrees, timeMs after the arm started.
  std::array<float, 6> AnglesAt(std::uint32_t timeMs) const;

  // The value of $AXIS_ACT at that moment: "{E6AXIS: A1 ..., E6 0.0}".
  std::string AxisActValue(std::uint32_t timeMs) const;
  // The control's reply text for it: "$AXIS_ACT = " and the value.
  std::string AxisActText(std::uint32_t timeMs) const {
    return "$AXIS_ACT = " + AxisActValue(timeMs);
  }
};

// A REAL value as the controller writes it: up to seven significant digits, trailing zeros
// dropped, scientific notation with a two-digit exponent for small and large magnitudes
// ("-73.70981", "-3.821331E-04", "0.0").
std::string FormatControllerReal(float value);

}  // namespace sim
