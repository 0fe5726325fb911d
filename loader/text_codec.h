// Text conversions of the loader. Undecodable input becomes U+FFFD and decoding goes on.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vel {

// Decodes `bytes` from the iconv character set `codeset`. The C locale's "ANSI_X3.4-1968" and
// other ASCII names, and any set iconv does not know, are read as Latin-1 (byte = code point),
// so no byte is lost.
std::u16string DecodeBytes(std::span<const uint8_t> bytes, const char* codeset);

// The 8-bit character set of the current locale (nl_langinfo(CODESET)).
const char* LocaleCodeset();

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace vel
