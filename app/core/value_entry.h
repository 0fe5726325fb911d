#pragma once
// Value entry: the text of TxtInput applied to one cell of the grid, by the
// "&Rewrite" button (CmdWriteClick) or by moving the grid's selection
// (StringGrid1SelectCell). As slave the value goes into the store, as master
// with polling on it is sent at once (while only listening, the status line
// says nothing is sent), as master with polling off it is only
// placed into the cell for the "Write" button.
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/core/int_conv.h"
#include "app/core/request_builder.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"

namespace korvane {

// A typed value that stops the entry with a message box: "Floating point overflow".
class EntryError : public std::runtime_error {
public:
  explicit EntryError(const std::string& message) : std::runtime_error(message) {}
};
inline constexpr const char* kFloatOverflowText = "Floating point overflow";
inline constexpr const char* kNotFloatText = "Input not Floating Point";

// What an entry does to the window.
struct EntryResult {
  int Col = 0, Row = 0;                  // the target cell (0 when none)
  std::optional<std::string> CellText;   // new text of the target cell; nullopt: unchanged
  std::optional<std::string> StatusText; // new text of TxtStatus; nullopt: unchanged
  bool Redraw = false;                   // the grid must be redrawn
  bool Sent = false;                     // a write request went to the request builder
};

// "&Rewrite": applies `input` to the cell (SelectedCol, SelectedRow) when it is
// a data cell; otherwise does nothing. Throws ConversionError (a text that
// passes the character check but is no 32-bit integer) and EntryError (a
// floating-point number beyond single precision), in both cases before
// anything is changed.
EntryResult CmdWriteClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                          const std::string& input);

// The grid's selection moved to (col, row): a data cell (1..5, 1..20) becomes
// SelectedCol/SelectedRow and `input` is applied to it; any other cell does
// nothing. The selection is always allowed. Throws as CmdWriteClick.
EntryResult StringGrid1SelectCell(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int col,
                                  int row, const std::string& input);

// The entry step itself, for the data cell (col, row), text taken as typed.
EntryResult ApplyEntry(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int col, int row,
                       const std::string& input);

// The check and conversion of one typed value by display format, without the
// cell rules. Shared with the master's "Write" for the two-register formats.
struct ConvertedValue {
  bool Ok = false;                // passed the format's check and range
  bool NotFloat = false;          // a floating-point format and the text is no number
  int32_t Count = 0;              // words: 1, or 2 for formats 2..9
  std::array<int32_t, 2> Words{}; // in the order they go to consecutive registers
};
// Throws ConversionError and EntryError as above. `ws` receives FloatHiWord
// and FloatLoWord for the floating-point formats. Formats outside -1..9 are
// never Ok.
ConvertedValue ConvertValue(Workspace& ws, TDisplayType displayType, const std::string& text);

// The floating-point syntax of value entry: optional leading spaces, an
// optional sign, digits with an optional "." (the digits on either side may be
// missing, so a lone "." reads as 0, but a sign alone is no number), and an
// optional exponent "E" or "e" with an optional sign and at least one digit;
// nothing may follow, trailing spaces included. Returns nullopt for text that
// is no such number. The value is rounded once, straight to the nearest
// single; a magnitude beyond single precision throws EntryError("Floating
// point overflow"), one too small for it becomes the nearest single value (a
// subnormal or zero).
std::optional<float> ParseFloatText(const std::string& text);

} // namespace korvane
