#include "app/ValueLabel.h"

#include <cmath>

#include "app/FixedDecimal.h"

namespace jointcast {

std::string ValueLabelText(float value, std::string_view decimalSeparator) {
  float shown = value;
  if (std::fabs(static_cast<double>(shown)) < 0.005) shown = 0.0f;  // no "-0.00"
  char digits[32];
  const std::size_t length = FormatFixed(shown, 2, digits, sizeof digits);
  if (length == 0) return "?";  // not finite or huge; such a reading is never published anyway
  std::string text(digits, length);
  const std::size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, decimalSeparator);
  return text;
}

}  // namespace jointcast
