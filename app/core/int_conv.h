#pragma once
// The one text-to-integer conversion of the program. A text that is not a
// decimal 32-bit integer raises ConversionError, whose message is the text
// users see: "'<text>' is not a valid integer value".
#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

class ConversionError : public std::runtime_error {
public:
  explicit ConversionError(const std::string& text);
  const std::string& Text() const { return text_; }

private:
  std::string text_;
};

// Accepts an optional sign ("+" or "-") followed by one or more decimal digits,
// nothing before or after, with a value in -2147483648..2147483647.
int32_t StrToInt(const std::string& text);

// The same test without the exception.
bool TryStrToInt(const std::string& text, int32_t& value);

// Decimal text of a value ("%d").
std::string IntToStr(int64_t value);

} // namespace korvane
