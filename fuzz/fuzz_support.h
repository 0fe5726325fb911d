// Helpers shared by the fuzz targets: a deterministic split generator, a
// recording frame sender, and frame checksums written independently of the
// engine's own (bitwise CRC, plain LRC), so a fault in the engine's tables
// cannot hide behind the same fault in the check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "modbus/sender.h"

namespace korvane::fuzz {

// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define KORVANE_FUZZ_CHECK(cond)                                                                             \
  do {                                                                                                       \
    if (!(cond)) ::korvane::fuzz::Fail(#cond);                                                               \
  } while (0)

// xorshift32: the same seed gives the same chunk sizes and clock steps.
class Rng {
public:
  explicit Rng(uint32_t seed) : s_(seed * 2654435761u + 1u) {}
  uint32_t Next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 17;
    s_ ^= s_ << 5;
    return s_;
  }
  // 1..max
  size_t Size(size_t max) { return 1 + Next() % max; }

private:
  uint32_t s_;
};

// Splits `bytes` into consecutive chunks of 1..max_chunk bytes.
inline std::vector<std::string> Split(const std::string& bytes, Rng& rng, size_t max_chunk) {
  std::vector<std::string> chunks;
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min(rng.Size(max_chunk), bytes.size() - at);
    chunks.push_back(bytes.substr(at, n));
    at += n;
  }
  return chunks;
}

class RecordingSender final : public FrameSender {
public:
  void SendCommStr(int, const std::string& frame) override { frames.push_back(frame); }
  std::vector<std::string> frames;
};

// Modbus CRC-16, bit by bit. Returns Hi * 256 + Lo as the frame carries them
// (the first CRC byte on the line is Hi).
inline uint16_t Crc16(const std::string& f, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= static_cast<uint8_t>(f[i]);
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return static_cast<uint16_t>((crc & 0xFF) << 8 | crc >> 8);
}

inline bool CrcOk(const std::string& f) {
  if (f.size() < 3) return false;
  const uint16_t c = Crc16(f, f.size() - 2);
  return static_cast<uint8_t>(f[f.size() - 2]) == c >> 8 &&
         static_cast<uint8_t>(f[f.size() - 1]) == (c & 0xFF);
}

inline std::string WithCrc(std::string f) {
  const uint16_t c = Crc16(f, f.size());
  f.push_back(static_cast<char>(c >> 8));
  f.push_back(static_cast<char>(c & 0xFF));
  return f;
}

inline uint8_t Lrc(const std::string& f, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i) sum += static_cast<uint8_t>(f[i]);
  return static_cast<uint8_t>(-sum);
}

// ":" + upper-case hex of the bytes and their LRC + CR LF.
inline std::string ToAscii(const std::string& f) {
  static const char* digits = "0123456789ABCDEF";
  std::string t = ":";
  std::string all = f;
  all.push_back(static_cast<char>(Lrc(f, f.size())));
  for (char c : all) {
    t.push_back(digits[static_cast<uint8_t>(c) >> 4]);
    t.push_back(digits[static_cast<uint8_t>(c) & 15]);
  }
  return t + "\r\n";
}

// The bytes of a well-formed ASCII frame (LRC included), or false when the
// text is not ":" + an even number of upper-case hex digits + CR LF.
inline bool FromAscii(const std::string& t, std::string& bytes) {
  if (t.size() < 3 || t[0] != ':' || t.compare(t.size() - 2, 2, "\r\n") != 0) return false;
  const size_t digits = t.size() - 3;
  if (digits % 2 != 0) return false;
  // Value of an upper-case hex digit, 255 for any other character.
  static const auto kValue = [] {
    std::array<uint8_t, 256> v{};
    v.fill(255);
    for (int i = 0; i < 10; ++i) v[static_cast<size_t>('0' + i)] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) v[static_cast<size_t>('A' + i)] = static_cast<uint8_t>(10 + i);
    return v;
  }();
  bytes.assign(digits / 2, '\0');
  const char* in = t.data() + 1;
  for (char& b : bytes) {
    const uint8_t h = kValue[static_cast<uint8_t>(in[0])], l = kValue[static_cast<uint8_t>(in[1])];
    if ((h | l) == 255) return false;
    b = static_cast<char>(h * 16 + l);
    in += 2;
  }
  return true;
}

} // namespace korvane::fuzz
