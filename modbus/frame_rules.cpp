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

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  s.reserve(values.size());
  for (int v : values) s.push_back(static_cast<char>(v & 0xFF));
  return s;
}

} // namespace korvane::frame
