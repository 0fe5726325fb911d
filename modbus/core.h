#pragma once
// TCore: the small routines that the slave, the master, value entry and the
// register file share: CRC-16, the ASCII frame text, one hexadecimal digit,
// and the text validators and trims.
#include <cstdint>
#include <string>

namespace korvane {

class TCore {
public:
  // Modbus CRC-16 (table method) over the first `count` bytes of `buffer`
  // (clamped to its length: never reads past it). The frame carries Hi first,
  // then Lo: result div 256, then result mod 256.
  static int32_t CRC16(const std::string& buffer, int32_t count);
  static int32_t CRC16(const uint8_t* data, size_t count);
  // The shortest length from `minLength` to `maxLength` (and at most `count`)
  // whose last two bytes are the CRC (Hi, Lo) of the bytes before them, found
  // in one pass over the bytes; 0 when there is none.
  static size_t ShortestCrcLength(const uint8_t* data, size_t count, size_t minLength, size_t maxLength);
  // The same search resumed where an earlier one over the same bytes stopped
  // (more bytes held now): `Fed` bytes are in the register, the lengths up to
  // Fed + 1 have been tried. A new search starts from a default CrcSearch.
  struct CrcSearch {
    size_t Fed = 0;
    uint8_t Hi = 0xFF, Lo = 0xFF;
  };
  static size_t ShortestCrcLength(const uint8_t* data, size_t count, size_t minLength, size_t maxLength,
                                  CrcSearch& progress);

  // Value 0..15 of "0".."9", "A".."F". Anything else (lower-case letters
  // included) gives 0; the LRC check then normally refuses the frame.
  static int32_t GetAsciiValue(char c);

  // Text validators (the empty text passes all three; see value entry).
  static bool IsSignInteger(const std::string& text);
  static bool IsInteger(const std::string& text);
  static bool IsHex(const std::string& text);
  // Hexadecimal text to a 32-bit value, wrapping in two's complement.
  static int32_t HexStrToInt(const std::string& text);
  // Drops leading spaces and tabs; at most 255 characters of the rest.
  static std::string LTrim(const std::string& text);
  // Drops trailing tab, LF, FF, CR, space and character code 160.
  static std::string RTrim(const std::string& text);
};

// ":" + two upper-case hex digits per byte + LRC + CR LF.
std::string ConvertToASCII(const std::string& frame);

// LRC of a byte range: (256 - (sum mod 256)) mod 256.
uint8_t Lrc(const std::string& bytes, size_t count);

// Upper-case hexadecimal digit of 0..15.
inline char HexDigit(int v) { return "0123456789ABCDEF"[v & 15]; }

} // namespace korvane
