#include "app/core/value_entry.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "app/core/display.h"
#include "app/core/display_format.h"
#include "app/core/master_request.h"
#include "app/core/status.h"
#include "modbus/core.h"

namespace korvane {
namespace {

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

bool InTable(int64_t n) { return n >= 1 && n <= kRegisters; }

// The write the entry describes, sent; while only listening nothing goes out
// and the status line says so.
EntryResult SendOrSayListening(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                               EntryResult out) {
  if (ws.Run.ListenOnly) {
    out.StatusText = kListenOnlyText;
    return out;
  }
  return SentResult(std::move(out), SendWriteRequest(ws, master, ticks));
}

EntryResult BitEntry(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int64_t n,
                     const std::string& input, EntryResult out) {
  const bool zeroOrOne = input == "0" || input == "1";
  if (IsMasterRole(ws.Settings.IsMaster)) {
    if (ws.Cycle.PollEnabled == 0) {
      out.CellText = input; // anything, even empty: "Write" checks it later
      return out;
    }
    // A coil beyond the table cannot be addressed: nothing is sent for it.
    if (ws.View.RegType != rtCoils || !zeroOrOne || !InTable(n)) return out;
    ws.Cycle.WriteValues[1] = input == "1" ? 1 : 0;
    ws.Cycle.WriteAddress = static_cast<int32_t>(n);
    ws.Cycle.WriteCount = 0; // a single-coil write
    return SendOrSayListening(ws, master, ticks, std::move(out));
  }
  if (!zeroOrOne) return out;
  out.CellText = input;
  BitTable& t = ws.View.RegType == rtCoils ? ws.Active().CoilTable : ws.Active().StatusTable;
  SetBit(t, n, input == "1"); // numbers outside 1..65536 are never written
  return out;
}

EntryResult RegisterEntry(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int k, int64_t r,
                          const std::string& input, EntryResult out) {
  if (input.empty()) return out;
  const ConvertedValue v = ConvertValue(ws, ws.View.DisplayType, input);
  if (v.NotFloat) {
    out.StatusText = kNotFloatText;
    return out;
  }
  if (!v.Ok) return out;
  // A value converts only in a format of the table.
  const DisplayFormat* f = FindDisplayFormat(ws.View.DisplayType);
  if (f == nullptr) return out;
  int64_t address = r;
  if (f->WideCells) {
    address = 2 * r - 1;
  } else if (f->Registers == 2) {
    if (k % 2 != 0) return out; // a pair is entered only at its even cell
    address = r - 1;
  }
  // Targets outside 1..65536 arise only near the ends of the number range.
  const bool allInTable = InTable(address) && InTable(address + v.Count - 1);
  for (int i = 0; i < v.Count; ++i)
    ws.Cycle.WriteValues[static_cast<size_t>(i + 1)] = v.Words[static_cast<size_t>(i)];
  ws.Cycle.WriteCount = v.Count;
  ws.Cycle.WriteAddress = static_cast<int32_t>(std::clamp<int64_t>(address, INT32_MIN, INT32_MAX));

  if (!IsMasterRole(ws.Settings.IsMaster)) {
    out.CellText = input;
    RegTable& t = ws.View.RegType == rtInputRegs ? ws.Active().InputRegTable : ws.Active().HoldingRegTable;
    for (int i = 0; i < v.Count; ++i)
      if (InTable(address + i)) t[static_cast<size_t>(address + i)] = v.Words[static_cast<size_t>(i)];
    return out;
  }
  if (ws.Cycle.PollEnabled == 0) {
    out.CellText = input;
    return out;
  }
  // Input registers cannot be written; a write reaching past the table is not sent.
  if (ws.View.RegType != rtHoldingRegs || !allInTable) return out;
  return SendOrSayListening(ws, master, ticks, std::move(out));
}

} // namespace

std::optional<float> ParseFloatText(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t intStart = i;
  while (i < n && IsDigitChar(text[i])) ++i;
  const std::string intDigits = text.substr(intStart, i - intStart);
  bool point = false;
  std::string fracDigits;
  if (i < n && text[i] == '.') {
    point = true;
    const size_t fracStart = ++i;
    while (i < n && IsDigitChar(text[i])) ++i;
    fracDigits = text.substr(fracStart, i - fracStart);
  }
  if (intDigits.empty() && fracDigits.empty() && !point) return std::nullopt;
  int64_t exponent = 0;
  if (i < n && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    bool expNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    const size_t expStart = i;
    while (i < n && IsDigitChar(text[i])) {
      exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), 1000000000);
      ++i;
    }
    if (i == expStart) return std::nullopt;
    if (expNegative) exponent = -exponent;
  }
  if (i != n) return std::nullopt; // trailing text, trailing spaces included

  // Decimal position of the first significant digit, to tell overflow from
  // underflow when the number is beyond single precision.
  const std::string digits = intDigits + fracDigits;
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return negative ? -0.0f : 0.0f;
  const int64_t magnitude =
      static_cast<int64_t>(intDigits.size()) - 1 - static_cast<int64_t>(first) + exponent;

  const std::string normal = (intDigits.empty() ? std::string("0") : intDigits) + "." + fracDigits + "e" +
                             std::to_string(std::clamp<int64_t>(exponent, -100000, 100000));
  // Straight to single precision, rounded once: a detour through double can
  // land on a midpoint of two floats that then rounds the wrong way. Out of
  // range means rounded to infinity (from FLT_MAX plus half its last place)
  // or to zero.
  float f = 0.0f;
  const auto res = std::from_chars(normal.data(), normal.data() + normal.size(), f);
  if (res.ec == std::errc::result_out_of_range) {
    if (magnitude > 0) throw EntryError(kFloatOverflowText);
    f = 0.0f;
  } else if (res.ec != std::errc() || res.ptr != normal.data() + normal.size()) {
    return std::nullopt;
  }
  return negative ? -f : f;
}

ConvertedValue ConvertValue(Workspace& ws, TDisplayType displayType, const std::string& text) {
  ConvertedValue v;
  auto one = [&](int64_t value, int64_t lo, int64_t hi) {
    if (value < lo || value > hi) return;
    v.Ok = true;
    v.Count = 1;
    v.Words[0] = static_cast<int32_t>(value);
  };
  auto two = [&](uint32_t pattern, bool highFirst) {
    const int32_t high = static_cast<int32_t>(pattern >> 16);
    const int32_t low = static_cast<int32_t>(pattern & 0xFFFFu);
    v.Ok = true;
    v.Count = 2;
    v.Words = highFirst ? std::array<int32_t, 2>{high, low} : std::array<int32_t, 2>{low, high};
  };
  const DisplayFormat* format = FindDisplayFormat(displayType);
  if (format == nullptr) return v;
  const bool pair = format->Registers == 2;
  switch (format->Kind) {
  case vkSigned:
    if (TCore::IsSignInteger(text)) {
      const int64_t s = StrToInt(text);
      if (s >= 0 && s <= 32768)
        one(s, 0, 32768);
      else if (s >= -32767 && s <= -1)
        one(s + 65536, 0, 65535);
    }
    break;
  case vkDecimal:
    // No sign can pass IsInteger: the conversion yields 0..2147483647.
    if (!TCore::IsInteger(text)) break;
    if (pair)
      two(static_cast<uint32_t>(StrToInt(text)), format->HighFirst);
    else
      one(StrToInt(text), 0, 65535);
    break;
  case vkHex:
    if (!TCore::IsHex(text)) break;
    if (pair)
      two(static_cast<uint32_t>(TCore::HexStrToInt(text)), format->HighFirst);
    else
      one(TCore::HexStrToInt(text), 0, 65535);
    break;
  case vkFloat: {
    const std::optional<float> f = ParseFloatText(text);
    if (!f) {
      v.NotFloat = true;
      break;
    }
    ConvertToIEEE754(ws, *f);
    const uint32_t pattern = (static_cast<uint32_t>(ws.Ui.FloatHiWord) << 16) |
                             (static_cast<uint32_t>(ws.Ui.FloatLoWord) & 0xFFFFu);
    two(pattern, format->HighFirst);
    break;
  }
  }
  return v;
}

EntryResult ApplyEntry(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int col, int row,
                       const std::string& input) {
  EntryResult out;
  if (col < 1 || col > kGridCols || row < 1 || row > kGridRows) return out;
  out.Col = col;
  out.Row = row;
  if (ws.Devices.ActiveSlot < 1 || ws.Devices.ActiveSlot > kSlotCount) return out;
  const int k = CellOffset(col, row);
  const int64_t n = static_cast<int64_t>(ws.View.StartReg) + k - 1;
  if (IsBitTable(ws.View.RegType)) return BitEntry(ws, master, ticks, n, input, out);
  if (IsRegisterTable(ws.View.RegType)) return RegisterEntry(ws, master, ticks, k, n, input, out);
  return out;
}

EntryResult CmdWriteClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                          const std::string& input) {
  return ApplyEntry(ws, master, ticks, ws.Ui.SelectedCol, ws.Ui.SelectedRow, input);
}

EntryResult StringGrid1SelectCell(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int col,
                                  int row, const std::string& input) {
  if (col < 1 || col > kGridCols || row < 1 || row > kGridRows) return EntryResult{};
  ws.Ui.SelectedCol = col;
  ws.Ui.SelectedRow = row;
  return ApplyEntry(ws, master, ticks, col, row, input);
}

} // namespace korvane
