#include "modbus/core.h"
#include "modbus/frame.h"

#include <gtest/gtest.h>

using namespace korvane;
using frame::Bytes;

TEST(Crc16, KnownVectors) {
  const struct {
    std::string bytes;
    int32_t count;
    int32_t crc;
  } cases[] = {
      {"", 0, 0xFFFF},
      {Bytes({1, 3, 0, 0, 0, 1}), 6, 0x840A},
      {Bytes({1, 6, 0, 1, 0, 3}), 6, 0x980B},
      {Bytes({1, 3, 0, 0, 0, 1, 0x84, 0x0A}), 6, 0x840A}, // bytes past Count ignored
      {Bytes({1, 3, 0, 0, 0, 0x0A}), 6, 0xC5CD},
      {Bytes({1, 3}), 40, TCore::CRC16(Bytes({1, 3}), 2)}, // never reads past the string
  };
  for (const auto& c : cases) EXPECT_EQ(TCore::CRC16(c.bytes, c.count), c.crc);
}

TEST(Crc16, StandardCheckValue) {
  // CRC-16/MODBUS of "123456789" is 0x4B37 as a register value (low byte
  // first on the wire), so the frame carries 37 4B.
  const int32_t c = TCore::CRC16(std::string("123456789"), 9);
  EXPECT_EQ(c, 0x374B);
  std::string f = "123456789";
  frame::AppendCrc(f);
  EXPECT_EQ(static_cast<uint8_t>(f[9]), 0x37);
  EXPECT_EQ(static_cast<uint8_t>(f[10]), 0x4B);
}

TEST(Crc16, AFrameWithItsCrcChecksToZero) {
  std::string f = Bytes({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
  frame::AppendCrc(f);
  // The reflected CRC over a frame plus its CRC (low byte first) is 0.
  EXPECT_EQ(TCore::CRC16(f, static_cast<int32_t>(f.size())), 0);
}

TEST(ConvertToAscii, Vectors) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {Bytes({1, 3, 0, 0, 0, 1}), ":010300000001FB\r\n"},
      {Bytes({0x11, 3, 0, 0x6B, 0, 3}), ":1103006B00037E\r\n"},
      {"", ":00\r\n"},
      {Bytes({0xAB}), ":AB55\r\n"},
      {Bytes({1, 3, 0, 0, 0, 0x64}), ":01030000006498\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvertToASCII(c.bytes), c.text);
}

TEST(GetAsciiValue, Digits) {
  const std::string digits = "0123456789ABCDEF";
  for (size_t i = 0; i < digits.size(); ++i) EXPECT_EQ(TCore::GetAsciiValue(digits[i]), static_cast<int>(i));
  EXPECT_EQ(TCore::GetAsciiValue('7'), 7);
  EXPECT_EQ(TCore::GetAsciiValue('C'), 12);
  // Not a digit here: lower case and others give 0.
  EXPECT_EQ(TCore::GetAsciiValue('c'), 0);
  EXPECT_EQ(TCore::GetAsciiValue(':'), 0);
}

TEST(FrameLengths, ByFunctionCode) {
  EXPECT_EQ(frame::RequestLength(3, 10), 8);
  EXPECT_EQ(frame::RequestLength(15, 10), 11);
  EXPECT_EQ(frame::RequestLength(16, 2), 13);
  EXPECT_EQ(frame::RequestLength(16, 246), 501);
  EXPECT_EQ(frame::RequestLength(7, 0), 0);
  EXPECT_EQ(frame::ReplyLength(1, 100), 18);
  EXPECT_EQ(frame::ReplyLength(3, 100), 205);
  EXPECT_EQ(frame::ReplyLength(16, 100), 8);
}
