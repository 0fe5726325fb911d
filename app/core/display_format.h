#pragma once
// What each display format means: its name, how many registers one value
// takes, the order of the two words of a pair and the kind of number. The
// grid, value entry and the master's "Write" all read this table.
#include <array>
#include <cstddef>
#include <optional>

#include "app/core/workspace_codes.h"

namespace korvane {

enum TValueKind : uint8_t {
  vkSigned,  // -32767..32768 in one register
  vkDecimal, // unsigned decimal
  vkHex,     // unsigned hexadecimal
  vkFloat,   // IEEE 754 single precision in a register pair
};

struct DisplayFormat {
  TDisplayType Type;
  const char* Name;
  int Registers;  // registers per value: 1, or 2 for a pair
  bool HighFirst; // of a pair: the high word lies at the lower register
  TValueKind Kind;
  bool WideCells;  // one cell per 32-bit register number m (registers 2m - 1 and 2m)
  bool InSelector; // an item of ComboReadType; the others come only from a loaded page
};

inline constexpr std::array<DisplayFormat, 11> kDisplayFormats = {{
    {dtSigned, "Signed Integers", 1, true, vkSigned, false, true},
    {dtDecimal, "Decimal Integers", 1, true, vkDecimal, false, true},
    {dtHex, "Hexadecimal Integers", 1, true, vkHex, false, true},
    {dtLong, "Decimal Long", 2, true, vkDecimal, false, true},
    {dtLongReverse, "Decimal Long Reverse", 2, false, vkDecimal, false, true},
    {dtHexLong, "Hexadecimal Long", 2, true, vkHex, false, true},
    {dtHexLongReverse, "Hexadecimal Long Reverse", 2, false, vkHex, false, true},
    {dtFloat, "Floating Point", 2, true, vkFloat, false, true},
    {dtFloatReverse, "Floating Point Reverse", 2, false, vkFloat, false, true},
    {dtRegFloat, "32Bit Reg Floating Point", 2, true, vkFloat, true, false},
    {dtRegFloatReverse, "32Bit Reg Floating Point Reverse", 2, false, vkFloat, true, false},
}};

// The formats lie in the table in the order of their codes, from the first.
inline constexpr TDisplayType kFirstDisplayType = kDisplayFormats.front().Type;
inline constexpr TDisplayType kLastDisplayType = kDisplayFormats.back().Type;

static_assert(
    [] {
      for (size_t i = 0; i < kDisplayFormats.size(); ++i)
        if (static_cast<size_t>(kDisplayFormats[i].Type - kFirstDisplayType) != i) return false;
      return true;
    }(),
    "the display formats lie in the order of their codes");

// The format of code t, or nullptr for a code outside the table.
constexpr const DisplayFormat* FindDisplayFormat(TDisplayType t) {
  if (t < kFirstDisplayType || t > kLastDisplayType) return nullptr;
  return &kDisplayFormats[static_cast<size_t>(t - kFirstDisplayType)];
}

// Whether a length must be even under code t: a pair format, or a code above
// the table (a loaded page may bring one; the length rules have always read
// those as pairs).
constexpr bool EvenLengthFormat(TDisplayType t) {
  const DisplayFormat* f = FindDisplayFormat(t);
  return f != nullptr ? f->Registers == 2 : t > kLastDisplayType;
}

// The format selector lists the formats of the table that are in it, in
// order: position p is the p-th of them.
inline constexpr size_t kReadTypeItemCount = [] {
  size_t n = 0;
  for (const DisplayFormat& f : kDisplayFormats) n += f.InSelector ? 1 : 0;
  return n;
}();
constexpr std::optional<TDisplayType> DisplayTypeOfItem(int index) {
  int p = 0;
  for (const DisplayFormat& f : kDisplayFormats)
    if (f.InSelector && p++ == index) return f.Type;
  return std::nullopt;
}
constexpr std::optional<int> ItemOfDisplayType(TDisplayType t) {
  int p = 0;
  for (const DisplayFormat& f : kDisplayFormats) {
    if (!f.InSelector) continue;
    if (f.Type == t) return p;
    ++p;
  }
  return std::nullopt;
}

} // namespace korvane
