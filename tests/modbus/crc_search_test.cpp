#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "modbus/core.h"
#include "modbus/frame_rules.h"

using namespace korvane;

namespace {

// A CRC of the test's own (bit by bit), low byte of the register first.
std::string Rtu(const std::string& body) {
  uint16_t crc = 0xFFFF;
  for (char c : body) {
    crc ^= static_cast<uint8_t>(c);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}
const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(CrcSearch, ShortestLengthThatChecks) {
  const std::string five = Rtu(std::string("\x01\x41\x07", 3));
  const std::string six = Rtu(std::string("\x01\x41\x02\x03", 4));
  const struct {
    const char* name;
    std::string bytes;
    size_t minLength, maxLength, found;
  } cases[] = {
      {"one frame", five, 4, 256, 5},
      {"the first of two", five + six, 4, 256, 5},
      {"longer than allowed", five, 4, 4, 0},
      {"fewer bytes held", five.substr(0, 4), 4, 256, 0},
      {"no frame", std::string("\x01\x41\x07\x00\x00", 5), 4, 256, 0},
      {"a longer frame", six, 4, 256, 6},
      {"the minimum above the frame", five, 6, 256, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TCore::ShortestCrcLength(U8(c.bytes), c.bytes.size(), c.minLength, c.maxLength), c.found)
        << c.name;
  }
  // The whole of a frame of the longest length, and one byte longer refused.
  std::string body(254, '\x55');
  body[1] = 0x41;
  const std::string longest = Rtu(body);
  EXPECT_EQ(frame::RawLengthOnWire(U8(longest), longest.size()), 256);
  const std::string tooLong = Rtu(body + "x");
  EXPECT_EQ(frame::RawLengthOnWire(U8(tooLong), tooLong.size()), 0);
}

// Resumed as bytes join, the search finds what one search over all of them finds.
TEST(CrcSearch, ResumedSearchAgreesWithOneSearch) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::string s;
    for (int i = 0; i < 20; ++i) s.push_back(static_cast<char>(rng()));
    std::string body;
    for (uint32_t i = 3 + rng() % 40; i > 0; --i) body.push_back(static_cast<char>(rng()));
    s += Rtu(body);
    for (int i = 0; i < 20; ++i) s.push_back(static_cast<char>(rng()));
    for (size_t at = 0; at < 25; ++at) {
      const uint8_t* b = U8(s) + at;
      const size_t n = s.size() - at;
      const int64_t whole = frame::RawLengthOnWire(b, n);
      TCore::CrcSearch progress;
      int64_t resumed = 0;
      for (size_t held = 0; held <= n && resumed == 0; held += 1 + rng() % 9)
        resumed = frame::RawLengthOnWire(b, held, progress);
      if (resumed == 0) resumed = frame::RawLengthOnWire(b, n, progress);
      ASSERT_EQ(resumed, whole) << "round " << round << " at " << at;
      if (at == 20) {
        EXPECT_LE(whole, static_cast<int64_t>(body.size() + 2));
      }
    }
  }
}

} // namespace
