#pragma once
// The register grid and the view controls as texts: what DisplayRegs and
// DisplayRegTypes put on the screen, computed from the workspace without any
// window. Also the two conversions between a register pair and a
// single-precision value.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/core/display_format.h"
#include "app/core/workspace.h"

namespace korvane {

// Items of the table selector ComboRegType, in order: position p is RegTypeOfItem(p).
inline constexpr std::array<const char*, 4> kRegTypeItems = {
    "Coils 0xxxx", "Status 1xxxx", "Input Registers 3xxxx", "Holding Registers 4xxxx"};
// Items of the format selector ComboReadType, in order: the names of the
// display formats that are selector items (position p is DisplayTypeOfItem(p)).
inline constexpr std::array<const char*, kReadTypeItemCount> kReadTypeItems = [] {
  std::array<const char*, kReadTypeItemCount> items{};
  size_t p = 0;
  for (const DisplayFormat& f : kDisplayFormats)
    if (f.InSelector) items[p++] = f.Name;
  return items;
}();

// Name of display format t, or nullptr outside the format table.
const char* DisplayTypeName(TDisplayType t);
// Name of table t, or nullptr for a code that is none of the four.
const char* RegTypeName(TRegType t);

// Position 1..100 of the data cell (col 1..5, row 1..20), counting down the columns.
constexpr int CellOffset(int col, int row) { return (col - 1) * kGridRows + row; }

// The text of one cell after a redraw; nullopt means "leave the cell as it was"
// (a table or format outside the known ranges draws nothing).
using CellText = std::optional<std::string>;

struct GridView {
  std::string Corner;                               // cell (0, 0): "REGISTER"
  std::array<std::string, kGridCols + 1> ColHeader; // [1..5]: "+0" .. "+80"
  std::array<std::string, kGridRows + 1> RowHeader; // [1..20]: StartReg + r - 1
  std::array<CellText, kGridCells + 1> Cell;        // [1..100] by CellOffset; [0] unused
  const CellText& At(int col, int row) const { return Cell[static_cast<size_t>(CellOffset(col, row))]; }
};

// Draws the whole grid of the active slot's shown table in the shown format.
// Never reads outside the tables: cells whose coil or register (or either
// register of a pair) lies below 1 or beyond the table are empty. Takes the
// workspace mutably only because decoding floats sets FloatDecodeStatus.
GridView DisplayRegs(Workspace& ws);

// The view settings as the edits and selectors show them.
struct ViewControls {
  std::string TxtStartReg;                  // StartReg, decimal
  std::string TxtLength;                    // RegLength, decimal
  std::string TxtPage;                      // CurrentPage, decimal
  std::optional<std::string> ComboRegType;  // nullopt: RegType outside 0..3, leave the text
  std::optional<std::string> ComboReadType; // nullopt: DisplayType outside -1..9, leave the text
  std::optional<int> ComboRegTypeIndex;     // item position for ComboRegType, when one matches
  std::optional<int> ComboReadTypeIndex;    // item position; nullopt for formats 8 and 9 too
};
ViewControls DisplayRegTypes(const Workspace& ws);

// Reads (hi, lo) as an IEEE 754 single-precision pattern. Exponent field 255
// sets FloatDecodeStatus to "NAN" and gives 0; otherwise FloatDecodeStatus is
// emptied and the value is (1 + fraction / 2^23) * 2^(E - 127) in single
// precision, also for E = 0 (so (0x8000, 0) gives -2^-127). Only the low 16
// bits of each word are looked at.
float IntegerToIEEE754(Workspace& ws, int32_t hi, int32_t lo);

// Splits a single-precision value into FloatHiWord and FloatLoWord. Zero of
// either sign gives 0 and 0; every other finite value (subnormals included)
// gives the two halves of its exact IEEE 754 pattern. Infinities and NaN give
// their IEEE patterns too, though value entry never passes them.
void ConvertToIEEE754(Workspace& ws, float value);

// "%8.6e" of the grid: sign, one digit, the C locale's decimal separator (read
// at call time), five digits, "E", sign, at least three exponent digits
// (1.50000E+000, -1.00000E-003).
std::string FormatScientific(float value);

// The cell text of a register pair: "NAN", "0.000" when both words are 0,
// else FormatScientific of the decoded value. Sets FloatDecodeStatus.
std::string FloatText(Workspace& ws, int32_t hi, int32_t lo);

} // namespace korvane
