#include "modbus/core.h"
#include "modbus/frame_rules.h"
#include "modbus/line_timing.h"

#include <cstdint>
#include <limits>

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

// A character is a start bit, the data bits, a parity bit if any and the stop
// bits; the time is rounded up to the next whole microsecond.
TEST(LineTiming, TransmissionTimeOfCharacters) {
  const struct {
    const char* name;
    CharacterFormat format;
    uint64_t characters;
    int64_t baud;
    int32_t bits;
    uint64_t micros;
  } cases[] = {
      // A function 16 request of 100 registers: 209 bytes.
      {"8N1, 4800", {8, false, 1}, 209, 4800, 10, 435417},
      {"8E1, 4800", {8, true, 1}, 209, 4800, 11, 478959},
      {"8N2, 19200", {8, false, 2}, 8, 19200, 11, 4584},
      {"8O1, 115200", {8, true, 1}, 1, 115200, 11, 96},
      // An ASCII read request, ":" to the line feed: 17 characters.
      {"7E2 ascii, 9600", {7, true, 2}, 17, 9600, 11, 19480},
      {"7E1 ascii, 9600", {7, true, 1}, 17, 9600, 10, 17709},
      {"7N1 ascii, 9600", {7, false, 1}, 17, 9600, 9, 15938},
      {"exact, no rounding", {8, false, 1}, 960, 9600, 10, 1000000},
      {"5N1, 300", {5, false, 1}, 3, 300, 7, 70000},
      // Settings no line has (a file may hold them) are clamped.
      {"9 data bits", {9, false, 1}, 960, 9600, 10, 1000000},
      {"3 data bits, 0 stop bits", {3, false, 0}, 7, 700, 7, 70000},
      {"3 stop bits", {8, false, 3}, 11, 1100, 11, 110000},
      {"no characters", {8, false, 1}, 0, 9600, 10, 0},
      {"rate 0", {8, false, 1}, 8, 0, 10, 0},
      {"negative rate", {8, false, 1}, 8, -9600, 10, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BitsPerCharacter(c.format), c.bits) << c.name;
    EXPECT_EQ(TransmissionMicros(c.characters, c.baud, c.format), c.micros) << c.name;
  }
  // A count too large to scale saturates instead of wrapping to a short time.
  const uint64_t huge = std::numeric_limits<uint64_t>::max() / 4;
  EXPECT_EQ(TransmissionMicros(huge, 1, CharacterFormat{}), std::numeric_limits<uint64_t>::max());
}
