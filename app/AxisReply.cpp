#include "app/AxisReply.h"

#include <charconv>
#include <cmath>

namespace jointcast {
namespace {

constexpr std::string_view kReplyPattern = "%*s = {%*s A1 %f, A2 %f, A3 %f, A4 %f, A5 %f, A6 %f";
constexpr std::string_view kValuePattern = " {%*s A1 %f, A2 %f, A3 %f, A4 %f, A5 %f, A6 %f";
// Longer numbers are not something a controller writes; refusing them keeps the buffer bounded.
constexpr std::size_t kMaxNumberLength = 64;

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}
bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

void SkipSpace(std::u16string_view text, std::size_t& pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
}

// Whether a number from_chars found out of a float's range is too small for it rather than too
// large. Through a double where it fits one; beyond that (the text is at most kMaxNumberLength
// characters) only the exponent's sign can tell.
bool IsTiny(std::string_view number) {
  double wide = 0;
  const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), wide);
  if (ec == std::errc{}) return std::fabs(wide) < 1.0;
  return number.find("e-") != std::string_view::npos || number.find("E-") != std::string_view::npos;
}

// Reads one number at pos (after leading white space); false when there is none.
bool ScanFloat(std::u16string_view text, std::size_t& pos, float& value) {
  SkipSpace(text, pos);
  std::size_t end = pos;
  char buffer[kMaxNumberLength + 1];
  std::size_t length = 0;
  auto take = [&](char16_t c) {
    if (length < kMaxNumberLength) buffer[length] = static_cast<char>(c);
    ++length;
    ++end;
  };
  bool negative = false;
  if (end < text.size() && (text[end] == u'+' || text[end] == u'-')) {
    negative = text[end] == u'-';
    ++end;  // from_chars takes no '+', so the sign is applied afterwards
  }
  std::size_t digits = 0;
  while (end < text.size() && IsDigit(text[end])) take(text[end]), ++digits;
  if (end < text.size() && text[end] == u'.') {
    take(u'.');
    while (end < text.size() && IsDigit(text[end])) take(text[end]), ++digits;
  }
  if (digits == 0) return false;
  if (end < text.size() && (text[end] == u'e' || text[end] == u'E')) {
    std::size_t look = end + 1;
    if (look < text.size() && (text[look] == u'+' || text[look] == u'-')) ++look;
    if (look < text.size() && IsDigit(text[look])) {
      while (end < look) take(text[end]);
      while (end < text.size() && IsDigit(text[end])) take(text[end]);
    }
  }
  if (length > kMaxNumberLength) return false;
  float parsed = 0;
  auto [ptr, ec] = std::from_chars(buffer, buffer + length, parsed);
  if (ec == std::errc::result_out_of_range && ptr == buffer + length &&
      IsTiny(std::string_view(buffer, length))) {
    parsed = 0.0f;  // as C's %f reads it; a value too large stays out of range: no reading
    ec = std::errc{};
  }
  if (ec != std::errc{} || ptr != buffer + length) return false;
  value = negative ? -parsed : parsed;
  pos = end;
  return true;
}

}  // namespace

int ScanPattern(std::u16string_view text, std::string_view pattern, float* values, int capacity) {
  int converted = 0;
  std::size_t pos = 0;
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    const char directive = pattern[p];
    if (directive == ' ') {
      SkipSpace(text, pos);
    } else if (pattern.substr(p, 3) == "%*s") {
      SkipSpace(text, pos);
      const std::size_t start = pos;
      while (pos < text.size() && !IsSpace(text[pos])) ++pos;
      if (pos == start) return converted;
      p += 2;
    } else if (pattern.substr(p, 2) == "%f") {
      if (converted == capacity || !ScanFloat(text, pos, values[converted])) return converted;
      ++converted;
      p += 1;
    } else {
      if (pos >= text.size() || text[pos] != static_cast<unsigned char>(directive))
        return converted;
      ++pos;
    }
  }
  return converted;
}

std::optional<AxisValues> ScanAxisReply(std::u16string_view text) {
  AxisValues values{};
  if (ScanPattern(text, kReplyPattern, values.data(), 6) == 6) return values;
  // "NAME={...}" and a bare "{...}": the value starts after the first "=", or is the whole text.
  const std::size_t equals = text.find(u'=');
  const std::u16string_view value =
      equals == std::u16string_view::npos ? text : text.substr(equals + 1);
  if (ScanPattern(value, kValuePattern, values.data(), 6) == 6) return values;
  return std::nullopt;
}

}  // namespace jointcast
