#include "modbus/frame_rules.h"

#include "modbus/core.h"

namespace korvane::frame {

void PutRequestHeader(std::string& out, int64_t address, int64_t function, int64_t start, int64_t field) {
  out.clear();
  PutByte(out, address);
  PutByte(out, function);
  PutWord(out, start);
  PutWord(out, field);
}

void AppendCrc(std::string& f) {
  const int32_t c = TCore::CRC16(f, static_cast<int32_t>(f.size()));
  f.push_back(static_cast<char>(c / 256));
  f.push_back(static_cast<char>(c % 256));
}

size_t SendFramed(FrameSender& sender, int port, Framing framing, std::string& body, std::string& ascii) {
  if (framing == Framing::kRtu) {
    AppendCrc(body);
    sender.SendCommStr(port, body);
    return body.size();
  }
  ascii = ConvertToASCII(body);
  sender.SendCommStr(port, ascii);
  return ascii.size();
}

void DecodeAscii(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 1; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<char>(TCore::GetAsciiValue(text[i]) * 16 + TCore::GetAsciiValue(text[i + 1])));
}

int64_t RequestLengthOnWire(const uint8_t* b, size_t n) {
  if (n <= kFunctionOffset) return 0;
  const int f = b[kFunctionOffset];
  if (f >= 1 && f <= 6) return 8;
  if (f == kWriteMultipleCoils || f == kWriteMultipleRegisters) {
    if (n <= kByteCountOffset) return 0;
    return 9 + static_cast<int64_t>(b[kByteCountOffset]);
  }
  return -1;
}

int64_t ReplyLengthOnWire(const uint8_t* b, size_t n) {
  if (n <= kFunctionOffset) return 0;
  const int f = b[kFunctionOffset];
  if (IsExceptionFunction(f)) return kExceptionReplyLength;
  if (f >= 1 && f <= 4) {
    if (n <= kReplyByteCountOffset) return 0;
    return 5 + static_cast<int64_t>(b[kReplyByteCountOffset]);
  }
  if (f == 5 || f == 6 || f == kWriteMultipleCoils || f == kWriteMultipleRegisters) return 8;
  return -1;
}

bool CrcChecks(const uint8_t* b, size_t length) {
  if (length < 3) return false;
  const int32_t c = TCore::CRC16(b, length - 2);
  return b[length - 2] == static_cast<uint8_t>(c / 256) && b[length - 1] == static_cast<uint8_t>(c % 256);
}

int64_t RawLengthOnWire(const uint8_t* b, size_t n) {
  return static_cast<int64_t>(TCore::ShortestCrcLength(b, n, kMinRawFrame, kMaxRtuFrame));
}

int64_t RawLengthOnWire(const uint8_t* b, size_t n, TCore::CrcSearch& progress) {
  return static_cast<int64_t>(TCore::ShortestCrcLength(b, n, kMinRawFrame, kMaxRtuFrame, progress));
}

FrameMatch MatchFrame(const uint8_t* b, size_t n, bool preferReply) {
  const int64_t lengths[2] = {preferReply ? ReplyLengthOnWire(b, n) : RequestLengthOnWire(b, n),
                              preferReply ? RequestLengthOnWire(b, n) : ReplyLengthOnWire(b, n)};
  const Match readings[2] = {preferReply ? Match::kReply : Match::kRequest,
                             preferReply ? Match::kRequest : Match::kReply};
  bool more = false;
  for (int i = 0; i < 2; ++i) {
    const int64_t length = lengths[i];
    if (length == 0 || length > static_cast<int64_t>(n)) {
      more = true;
      continue;
    }
    if (length > 0 && CrcChecks(b, static_cast<size_t>(length))) return {readings[i], length};
  }
  return {more ? Match::kNeedMore : Match::kNone, 0};
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  s.reserve(values.size());
  for (int v : values) s.push_back(static_cast<char>(v & 0xFF));
  return s;
}

} // namespace korvane::frame
