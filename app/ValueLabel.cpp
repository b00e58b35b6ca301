#include "app/ValueLabel.h"

#include <charconv>
#include <cmath>

namespace jointcast {

std::string ValueLabelText(float value, std::string_view decimalSeparator) {
  double shown = value;
  if (std::fabs(shown) < 0.005) shown = 0.0;  // no "-0.00"
  char digits[64];
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, shown, std::chars_format::fixed, 2);
  if (ec != std::errc{}) return "?";  // not finite; such a reading is never published anyway
  std::string text(digits, end);
  const std::size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, decimalSeparator);
  return text;
}

}  // namespace jointcast
