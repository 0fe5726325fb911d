#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "modbus/core.h"

using korvane::TCore;

namespace {

TEST(TextValidators, CharacterSetsAfterUpperCasing) {
  struct Case {
    const char* text;
    bool signInteger, integer, hex;
  } cases[] = {
      {"", true, true, true},           {"0123456789", true, true, true}, {"-12", true, false, false},
      {"1-2--", true, false, false},    {"-", true, false, false},        {"abcdef", false, false, true},
      {"ABCDEF09", false, false, true}, {"g", false, false, false},       {"+1", false, false, false},
      {" 1", false, false, false},      {"1 ", false, false, false},      {"1.5", false, false, false},
      {"0x1F", false, false, false},    {"\xC9", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TCore::IsSignInteger(c.text), c.signInteger);
    EXPECT_EQ(TCore::IsInteger(c.text), c.integer);
    EXPECT_EQ(TCore::IsHex(c.text), c.hex);
  }
}

TEST(TextValidators, HexStrToIntWrapsToTheLastEightDigits) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"", 0},
      {"ffff", 65535},
      {"FfFf", 65535},
      {"00FF", 255},
      {"7FFFFFFF", INT32_MAX},
      {"80000000", INT32_MIN},
      {"FFFFFFFF", -1},
      {"100000000", 0},          // nine digits: the leading 1 falls out
      {"123456789", 0x23456789}, // the last eight digits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TCore::HexStrToInt(c.text), c.value);
  }
}

TEST(TextTrims, LeftAndRight) {
  EXPECT_EQ(TCore::LTrim("  \t12  "), "12  ");
  EXPECT_EQ(TCore::LTrim(""), "");
  EXPECT_EQ(TCore::LTrim(" \t \t"), "");
  EXPECT_EQ(TCore::LTrim("\n1"), "\n1"); // only spaces and tabs go
  EXPECT_EQ(TCore::LTrim("  " + std::string(300, 'x')), std::string(255, 'x'));

  EXPECT_EQ(TCore::RTrim("12 \r\n"), "12");
  EXPECT_EQ(TCore::RTrim(std::string("1 2\t\n\f\r \xA0")), "1 2");
  EXPECT_EQ(TCore::RTrim(" \t\r\n"), "");
  EXPECT_EQ(TCore::RTrim(""), "");
  EXPECT_EQ(TCore::RTrim("  12"), "  12"); // leading blanks stay
  EXPECT_EQ(TCore::RTrim("12\v"), "12\v"); // vertical tab is not in the set
  EXPECT_EQ(TCore::RTrim(std::string("ab\0", 3)), std::string("ab\0", 3));
}

} // namespace
