// A sample installer stub for the setup loader. It writes the command line it was given (UTF-8,
// then a line feed, then its second argument in decimal) to the file named by VEL_STUB_RECORD,
// and returns the number in VEL_STUB_RESULT (0 when unset).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string ToUtf8(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; *p != 0; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      out += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
    } else {
      out += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)), char(0x80 | (c >> 6 & 0x3F)),
              char(0x80 | (c & 0x3F))};
    }
  }
  return out;
}

} // namespace

extern "C" [[gnu::visibility("default")]] uint32_t _VelRunInstallerW(const char16_t* command_line,
                                                                     uint32_t reserved) {
  if (const char* record = std::getenv("VEL_STUB_RECORD")) {
    if (std::FILE* f = std::fopen(record, "wb")) {
      const std::string line = ToUtf8(command_line);
      std::fprintf(f, "%s\n%u", line.c_str(), reserved);
      std::fclose(f);
    }
  }
  const char* result = std::getenv("VEL_STUB_RESULT");
  return result != nullptr ? uint32_t(std::strtoul(result, nullptr, 10)) : 0;
}
