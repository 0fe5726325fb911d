#pragma once
// Frame layouts shared by the slave and the master: function codes, the
// fixed offsets and the whole-frame lengths (RTU, CRC included).
#include <cstdint>
#include <string>

namespace korvane::frame {

enum Function : uint8_t {
  kReadCoils = 1,
  kReadDiscreteInputs = 2,
  kReadHoldingRegisters = 3,
  kReadInputRegisters = 4,
  kWriteSingleCoil = 5,
  kWriteSingleRegister = 6,
  kWriteMultipleCoils = 15,
  kWriteMultipleRegisters = 16,
};
constexpr uint8_t kExceptionFlag = 0x80;

// Offsets within a frame (RTU, or the bytes decoded from an ASCII frame).
constexpr size_t kAddressOffset = 0;
constexpr size_t kFunctionOffset = 1;
constexpr size_t kStartOffset = 2;    // 16-bit start address / coil / register
constexpr size_t kQuantityOffset = 4; // 16-bit quantity, or value for 5 and 6
constexpr size_t kByteCountOffset = 6;
constexpr size_t kWriteDataOffset = 7;
constexpr size_t kReplyByteCountOffset = 2;
constexpr size_t kReplyDataOffset = 3;

constexpr bool IsSupported(int f) { return (f >= 1 && f <= 6) || f == 15 || f == 16; }

constexpr int64_t BitBytes(int64_t q) { return (q + 7) / 8; }

// Whole RTU request length for function f with quantity q (CRC included);
// 0 for an unsupported function.
constexpr int64_t RequestLength(int f, int64_t q) {
  if (f >= 1 && f <= 6) return 8;
  if (f == 15) return 9 + BitBytes(q);
  if (f == 16) return 9 + 2 * q;
  return 0;
}

// Whole RTU normal reply length to function f with quantity q.
constexpr int64_t ReplyLength(int f, int64_t q) {
  if (f == 1 || f == 2) return 5 + BitBytes(q);
  if (f == 3 || f == 4) return 5 + 2 * q;
  if (f == 5 || f == 6 || f == 15 || f == 16) return 8;
  return 0;
}
constexpr int64_t kExceptionReplyLength = 5;

// 16-bit big-endian field at `offset` of `f`; the caller has checked the size.
inline int32_t Word(const std::string& f, size_t offset) {
  return static_cast<uint8_t>(f[offset]) * 256 + static_cast<uint8_t>(f[offset + 1]);
}
// Writes the low 16 bits of `v` big-endian at `out`; returns the byte after them.
inline char* StoreWord(char* out, int64_t v) {
  out[0] = static_cast<char>((v >> 8) & 0xFF);
  out[1] = static_cast<char>(v & 0xFF);
  return out + 2;
}
inline void PutWord(std::string& f, int64_t v) {
  char b[2];
  StoreWord(b, v);
  f.append(b, 2);
}
inline void PutByte(std::string& f, int64_t v) { f.push_back(static_cast<char>(v & 0xFF)); }

// Appends the CRC (Hi, then Lo) to an RTU frame.
void AppendCrc(std::string& f);

// Byte string from a list of byte values, for tests and tools.
std::string Bytes(std::initializer_list<int> values);

} // namespace korvane::frame
