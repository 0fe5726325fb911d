#include "modbus/frame.h"

#include "modbus/core.h"

namespace korvane::frame {

void AppendCrc(std::string& f) {
  const int32_t c = TCore::CRC16(f, static_cast<int32_t>(f.size()));
  f.push_back(static_cast<char>(c / 256));
  f.push_back(static_cast<char>(c % 256));
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  s.reserve(values.size());
  for (int v : values) s.push_back(static_cast<char>(v & 0xFF));
  return s;
}

} // namespace korvane::frame
