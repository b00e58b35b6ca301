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

  // The controller's text for $AXIS_ACT at that moment.
  std::string AxisActText(std::uint32_t timeMs) const;
};

// A REAL value as the controller writes it: up to seven significant digits, trailing zeros
// dropped, scientific notation with a two-digit exponent for small and large magnitudes
// ("-73.70981", "-3.821331E-04", "0.0").
std::string FormatControllerReal(float value);

}  // namespace sim
