#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace jointcast {

using AxisValues = std::array<float, 6>;

// Matches text against a scan pattern with the standard scan rules, for the three directives the
// reply needs: white space (any run, including none), "%*s" (skip one run of non-white
// characters) and "%f" (a decimal number: sign, digits, fraction, exponent). Other pattern
// characters must match exactly. Returns how many numbers were converted before the first
// mismatch. Never consults the process locale.
int ScanPattern(std::u16string_view text, std::string_view pattern, float* values, int capacity);

// The six angles of a $AXIS_ACT reply ("$AXIS_ACT = {E6AXIS: A1 1.5, A2 ...}"), also written
// without spaces around "=" or as the bare "{...}" value; nothing when any of the six is missing.
std::optional<AxisValues> ScanAxisReply(std::u16string_view text);

}  // namespace jointcast
