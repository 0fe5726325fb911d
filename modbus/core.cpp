#include "modbus/core.h"

#include <array>

namespace korvane {
namespace {

// TableHi[i] is the low byte and TableLo[i] the high byte of the reflected
// CRC register (poly 0xA001) after feeding byte i into a register of 0.
struct CrcTables {
  std::array<uint8_t, 256> hi{};
  std::array<uint8_t, 256> lo{};
  constexpr CrcTables() {
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      hi[static_cast<size_t>(i)] = static_cast<uint8_t>(c & 0xFF);
      lo[static_cast<size_t>(i)] = static_cast<uint8_t>(c >> 8);
    }
  }
};
constexpr CrcTables kCrc;

} // namespace

int32_t TCore::CRC16(const uint8_t* data, size_t count) {
  uint8_t hi = 0xFF, lo = 0xFF;
  for (size_t k = 0; k < count; ++k) {
    const uint8_t i = hi ^ data[k];
    hi = kCrc.hi[i] ^ lo;
    lo = kCrc.lo[i];
  }
  return hi * 256 + lo;
}

size_t TCore::ShortestCrcLength(const uint8_t* data, size_t count, size_t minLength, size_t maxLength) {
  CrcSearch progress;
  return ShortestCrcLength(data, count, minLength, maxLength, progress);
}

size_t TCore::ShortestCrcLength(const uint8_t* data, size_t count, size_t minLength, size_t maxLength,
                                CrcSearch& progress) {
  if (maxLength > count) maxLength = count;
  if (minLength < 3) minLength = 3;
  uint8_t hi = progress.Hi, lo = progress.Lo;
  // The register holds the CRC of the first k bytes; length k + 2 checks when
  // the two bytes after them carry it.
  size_t k = progress.Fed;
  size_t found = 0;
  for (; k + 2 <= maxLength; ++k) {
    if (k + 2 >= minLength && data[k] == hi && data[k + 1] == lo) {
      found = k + 2;
      break;
    }
    const uint8_t i = hi ^ data[k];
    hi = kCrc.hi[i] ^ lo;
    lo = kCrc.lo[i];
  }
  progress.Fed = k;
  progress.Hi = hi;
  progress.Lo = lo;
  return found;
}

int32_t TCore::CRC16(const std::string& buffer, int32_t count) {
  size_t n = count < 0 ? 0 : static_cast<size_t>(count);
  if (n > buffer.size()) n = buffer.size();
  return CRC16(reinterpret_cast<const uint8_t*>(buffer.data()), n);
}

int32_t TCore::GetAsciiValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

namespace {
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
template <typename Pred> bool AllOf(const std::string& t, Pred p) {
  for (char c : t)
    if (!p(Upper(c))) return false;
  return true;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
} // namespace

bool TCore::IsSignInteger(const std::string& text) {
  return AllOf(text, [](char c) { return IsDigit(c) || c == '-'; });
}
bool TCore::IsInteger(const std::string& text) { return AllOf(text, IsDigit); }
bool TCore::IsHex(const std::string& text) {
  return AllOf(text, [](char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); });
}

int32_t TCore::HexStrToInt(const std::string& text) {
  uint32_t v = 0;
  for (char raw : text) {
    const char c = Upper(raw);
    uint32_t d = 0;
    if (IsDigit(c))
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    v = v * 16u + d;
  }
  return static_cast<int32_t>(v);
}

std::string TCore::LTrim(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  return text.substr(i, 255);
}

std::string TCore::RTrim(const std::string& text) {
  size_t n = text.size();
  while (n > 0) {
    const auto c = static_cast<unsigned char>(text[n - 1]);
    if (c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 160)
      --n;
    else
      break;
  }
  return text.substr(0, n);
}

uint8_t Lrc(const std::string& bytes, size_t count) {
  if (count > bytes.size()) count = bytes.size();
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i) sum += static_cast<uint8_t>(bytes[i]);
  return static_cast<uint8_t>((256 - (sum % 256)) % 256);
}

std::string ConvertToASCII(const std::string& frame) {
  // ':' + two digits per byte + two for the LRC + CR LF, written in place.
  std::string out(frame.size() * 2 + 5, '\0');
  char* p = out.data();
  *p++ = ':';
  for (char ch : frame) {
    const auto b = static_cast<uint8_t>(ch);
    *p++ = HexDigit(b >> 4);
    *p++ = HexDigit(b & 15);
  }
  const uint8_t l = Lrc(frame, frame.size());
  *p++ = HexDigit(l >> 4);
  *p++ = HexDigit(l & 15);
  *p++ = '\r';
  *p = '\n';
  return out;
}

} // namespace korvane
