#include "loader/text_codec.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

namespace vel {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsAsciiName(const char* codeset) {
  return std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || strcasecmp(codeset, "ASCII") == 0 ||
         strcasecmp(codeset, "US-ASCII") == 0;
}

std::u16string Latin1(std::span<const uint8_t> bytes) { return std::u16string(bytes.begin(), bytes.end()); }

} // namespace

std::u16string DecodeBytes(std::span<const uint8_t> bytes, const char* codeset) {
  if (codeset == nullptr || *codeset == '\0' || IsAsciiName(codeset)) return Latin1(bytes);
  iconv_t cd = iconv_open("UTF-16LE", codeset);
  if (cd == iconv_t(-1)) return Latin1(bytes);

  std::u16string out;
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  size_t in_left = bytes.size();
  char buffer[4096];
  for (;;) {
    char* o = buffer;
    size_t o_left = sizeof buffer;
    const size_t rc = in_left == 0 ? iconv(cd, nullptr, nullptr, &o, &o_left) // flush shift state
                                   : iconv(cd, &in, &in_left, &o, &o_left);
    const int err = rc == size_t(-1) ? errno : 0;
    for (char* p = buffer; p + 1 < o; p += 2) out += char16_t(uint8_t(p[0]) | uint8_t(p[1]) << 8);
    if (err == E2BIG) continue;
    if (err == EILSEQ || err == EINVAL) { // bad or cut-off sequence: replace one byte, go on
      out += kReplacement;
      ++in;
      --in_left;
      continue;
    }
    if (in_left == 0 && err == 0 && o == buffer) break;
    if (err != 0) break;
  }
  iconv_close(cd);
  return out;
}

const char* LocaleCodeset() { return nl_langinfo(CODESET); }

std::u16string Utf8ToUtf16(std::string_view text) {
  return DecodeBytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), "UTF-8");
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = kReplacement; // unpaired surrogate
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

} // namespace vel
