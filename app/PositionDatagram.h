#pragma once

#include <cstddef>
#include <optional>

#include "app/AxisReply.h"

namespace jointcast {

// Values at or beyond this magnitude could overflow the datagram buffer; a receiver never gets
// them, nor "nan" or "inf".
inline constexpr double kLargestSendable = 1e12;

bool Sendable(const AxisValues& values);

// Writes the six values as printf's "%f %f %f %f %f %f" would in the C locale (full stop, six
// decimals, each widened to double) plus a terminating zero. Returns the text's length without
// the zero, or nothing (and an empty buffer) when the values are not sendable or do not fit.
std::optional<std::size_t> FormatPositionDatagram(const AxisValues& values, char* buffer,
                                                  std::size_t capacity);

}  // namespace jointcast
