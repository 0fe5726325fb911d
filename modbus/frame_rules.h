#pragma once
// The frame rules of the engine, one place for each: function codes, the
// fixed offsets, whole-frame lengths by function code (RTU, CRC included) for
// requests and replies, the counter positions of the RTU checkers, the
// request header, the framed send, ASCII decoding, the clamp of a received
// chunk and the reply status codes. The slave, the master and anything else
// that frames line traffic use these and keep none of their own.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "modbus/core.h"
#include "modbus/sender.h"

namespace korvane {

// Reply status codes of the master reply checkers, also shown by the status line:
//   0 no complete reply in this chunk (also: bytes ignored)
//   1 a complete, valid normal reply (read values stored)
//   2 checksum error (CRC or LRC)
//   3 the chunk was handled after ReplyDeadline
//   4 more than 500 bytes or characters without a complete reply
//   128 + e exception reply with exception code e
enum ReplyStatus : int32_t {
  kReplyNone = 0,
  kReplyOk = 1,
  kReplyChecksum = 2,
  kReplyTimeout = 3,
  kReplyTooLong = 4,
  kReplyException = 128, // + the exception code
};

// The status of an exception reply carrying exception code `code`.
constexpr int32_t ExceptionStatus(uint8_t code) { return kReplyException + code; }

} // namespace korvane

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
constexpr size_t kExceptionCodeOffset = 2; // of an exception reply
// Address, function, start and quantity (or value): the bytes every request
// begins with, and what the replies to 5, 6, 15 and 16 repeat.
constexpr size_t kRequestHeaderSize = 6;

constexpr bool IsSupported(int f) { return (f >= 1 && f <= 6) || f == 15 || f == 16; }
// A reply's function byte that carries the exception flag over a function code.
constexpr bool IsExceptionFunction(int f) { return f > kExceptionFlag && f <= 0xFF; }

constexpr int64_t BitBytes(int64_t q) { return (q + 7) / 8; }

// Whole RTU request length for function f with quantity q (CRC included);
// 0 for an unsupported function. For 15 and 16 the length follows from the
// quantity; the byte-count field plays no part.
constexpr int64_t RequestLength(int f, int64_t q) {
  if (f >= 1 && f <= 6) return 8;
  if (f == 15) return 9 + BitBytes(q);
  if (f == 16) return 9 + 2 * q;
  return 0;
}

// An exception reply: address, function + 0x80, exception code, CRC.
constexpr int64_t kExceptionReplyLength = 5;

// Whole RTU reply length to function f with quantity q: a normal reply for a
// supported f, an exception reply for an exception function byte; 0 otherwise.
constexpr int64_t ReplyLength(int f, int64_t q) {
  if (f == 1 || f == 2) return 5 + BitBytes(q);
  if (f == 3 || f == 4) return 5 + 2 * q;
  if (f == 5 || f == 6 || f == 15 || f == 16) return 8;
  if (IsExceptionFunction(f)) return kExceptionReplyLength;
  return 0;
}

// Whole RTU lengths of a frame that begins with the `n` bytes at `b`, as far
// as its own fields tell (CRC included): for a request from the function code
// and, for 15 and 16, the byte-count field as it stands on the wire; for a
// reply from the function code and, for 1 to 4, its byte count (5 for an
// exception function byte). 0 when more bytes are needed to tell; -1 for a
// function code without a rule. Nothing is checked here: a caller that
// frames line traffic checks the CRC of the length it takes.
int64_t RequestLengthOnWire(const uint8_t* b, size_t n);
int64_t ReplyLengthOnWire(const uint8_t* b, size_t n);

// True when the last two of the `length` bytes at `b` are the CRC of the rest.
bool CrcChecks(const uint8_t* b, size_t length);

// The longest frames: RTU bytes (CRC included) and ASCII characters (":" to CR LF).
constexpr size_t kMaxRtuFrame = 256;
constexpr size_t kMaxAsciiFrame = 513;
// The shortest RTU frame of a function code without a rule.
constexpr size_t kMinRawFrame = 4;

// The CRC search for a function code without a rule: the shortest length
// from kMinRawFrame to kMaxRtuFrame (and at most `n`) whose CRC checks; 0
// when there is none among the bytes held.
int64_t RawLengthOnWire(const uint8_t* b, size_t n);
// The same, resumed where an earlier search at `b` stopped with fewer bytes.
int64_t RawLengthOnWire(const uint8_t* b, size_t n, TCore::CrcSearch& progress);

// What the bytes at the start of `b` (`n` held) are by the lengths their own
// fields give and the CRC: the request reading and the reply reading are
// tried, the reply first when `preferReply` (a request to this device and
// function awaits its reply), and the first whose whole length is held and
// whose CRC checks is taken. kNeedMore while a reading could still complete
// with more bytes; kNone when none can (noise, a corrupted frame, or a function
// without a rule). Requests and replies to functions 5 and 6 look alike: the
// preferred reading names them.
enum class Match : uint8_t { kNeedMore, kRequest, kReply, kNone };
struct FrameMatch {
  Match What = Match::kNone;
  int64_t Length = 0; // the bytes the frame takes, CRC included (kRequest, kReply)
};
FrameMatch MatchFrame(const uint8_t* b, size_t n, bool preferReply);

// Positions of the checkers' counters (the slave's RxCount, the master's
// ReplyCount): how many bytes (RTU) or characters (ASCII) of the frame being
// assembled are taken. In RTU that is also the offset the next byte goes to.
enum Taken : int32_t {
  kTakenNone = 0, // no frame begun: the next byte must start one (an address in RTU, ":" in ASCII)
  // The RTU positions inside a frame:
  kTakenAddress = 1,  // the next byte is the function code
  kTakenFunction = 2, // the next byte is a request's start address, a reply's byte count or exception code
  // A request's header is in: its whole length is known from function and quantity.
  kTakenRequestHeader = static_cast<int32_t>(kRequestHeaderSize),
};
// The position at which the last byte (CRC Lo) of a frame of `length` bytes is taken.
constexpr int32_t LastBytePosition(int32_t length) { return length - 1; }

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

// Empties `out` (its capacity stays) and writes a request header into it:
// the device address and function code (low eight bits each), then the start
// address and the quantity or value (low 16 bits each, high byte first).
void PutRequestHeader(std::string& out, int64_t address, int64_t function, int64_t start, int64_t field);

// Appends the CRC (Hi, then Lo) to an RTU frame.
void AppendCrc(std::string& f);

// How frames travel on the line.
enum class Framing : uint8_t { kRtu, kAscii };

// Sends `body` (address, function code, data) through `sender` in `framing`
// and returns the bytes or characters handed over. RTU appends the CRC to
// `body` itself and sends it; ASCII puts ":", the digits, the LRC and CR LF
// into `ascii` and sends that, leaving `body` as it was. An exception from the
// sender passes through.
size_t SendFramed(FrameSender& sender, int port, Framing framing, std::string& body, std::string& ascii);

// The bytes of an ASCII frame's text, from its ":" on (the first character is
// passed over unread), into `out` (emptied first, its capacity kept): each
// pair of characters after it gives one byte, the values of its digits by
// TCore::GetAsciiValue; an odd last character is ignored. Nothing is checked.
void DecodeAscii(const std::string& text, std::string& out);

// How many bytes of a received chunk to take: `count`, but never less than 0
// nor more than `buffer` holds.
inline size_t ChunkSize(int32_t count, const std::string& buffer) {
  if (count <= 0) return 0;
  return static_cast<size_t>(count) < buffer.size() ? static_cast<size_t>(count) : buffer.size();
}

// Byte string from a list of byte values, for tests and tools.
std::string Bytes(std::initializer_list<int> values);

} // namespace korvane::frame
