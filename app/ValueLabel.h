#pragma once

#include <string>
#include <string_view>

namespace jointcast {

// What a value label shows for an angle: the pattern "0.00" with ASCII digits and an ASCII minus,
// and the user's decimal separator in place of the point. Written here once, so that every
// front-end shows the same text: toolkits' own number formatting brings native digits or a
// Unicode minus in some locales. A negative value that rounds to zero shows as "0.00".
std::string ValueLabelText(float value, std::string_view decimalSeparator);

}  // namespace jointcast
