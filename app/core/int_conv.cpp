#include "app/core/int_conv.h"

namespace korvane {

ConversionError::ConversionError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid integer value"), text_(text) {}

bool TryStrToInt(const std::string& text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(const std::string& text) {
  int32_t v = 0;
  if (!TryStrToInt(text, v)) throw ConversionError(text);
  return v;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

} // namespace korvane
