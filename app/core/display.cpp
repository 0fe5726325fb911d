#include "app/core/display.h"

#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/core/int_conv.h"

namespace korvane {
namespace {

constexpr int64_t kLastRegister = kRegisters; // 65536
constexpr int64_t kLastShownCoil = 65535;     // coil 65536 is never shown

std::string HexText(uint32_t v, int minDigits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", minDigits, v);
  return buf;
}

// Register n of a table; the caller has checked 1 <= n <= 65536.
int32_t Reg(const RegTable& t, int64_t n) { return t[static_cast<size_t>(n)]; }

bool InTable(int64_t n) { return n >= 1 && n <= kLastRegister; }

// The text of the pair of registers `first` and `first + 1` in format f.
std::string PairText(Workspace& ws, const DisplayFormat& f, const RegTable& t, int64_t first) {
  const int32_t hi = f.HighFirst ? Reg(t, first) : Reg(t, first + 1);
  const int32_t lo = f.HighFirst ? Reg(t, first + 1) : Reg(t, first);
  if (f.Kind == vkFloat) return FloatText(ws, hi, lo);
  const uint32_t v = static_cast<uint32_t>(hi) * 65536u + static_cast<uint32_t>(lo);
  return f.Kind == vkHex ? HexText(v, 8) : IntToStr(v);
}

CellText RegisterCell(Workspace& ws, const RegTable& t, int k, int64_t n) {
  if (!InTable(n)) return std::string();
  const DisplayFormat* f = FindDisplayFormat(ws.View.DisplayType);
  if (f == nullptr) return std::nullopt;
  if (f->Registers == 1) {
    int64_t v = Reg(t, n);
    if (f->Kind == vkSigned) {
      if (v > 32768) v -= 65536;
      return IntToStr(v);
    }
    if (f->Kind == vkDecimal) return IntToStr(v);
    return HexText(static_cast<uint32_t>(v), 4);
  }
  if (f->WideCells) {
    // Cell m stands for registers 2m - 1 and 2m.
    if (!InTable(2 * n - 1) || !InTable(2 * n)) return std::string();
    return PairText(ws, *f, t, 2 * n - 1);
  }
  // Pairs (k 1, 2), (3, 4), ...: the value shows in the even cell.
  if (k % 2 != 0 || !InTable(n - 1) || !InTable(n)) return std::string();
  return PairText(ws, *f, t, n - 1);
}

} // namespace

const char* DisplayTypeName(TDisplayType t) {
  const DisplayFormat* f = FindDisplayFormat(t);
  return f != nullptr ? f->Name : nullptr;
}

const char* RegTypeName(TRegType t) {
  if (!IsKnownRegType(t)) return nullptr;
  return kRegTypeItems[static_cast<size_t>(ItemOfRegType(t))];
}

GridView DisplayRegs(Workspace& ws) {
  GridView g;
  g.Corner = "REGISTER";
  for (int c = 1; c <= kGridCols; ++c)
    g.ColHeader[static_cast<size_t>(c)] = "+" + IntToStr((c - 1) * kGridRows);
  for (int r = 1; r <= kGridRows; ++r)
    g.RowHeader[static_cast<size_t>(r)] = IntToStr(static_cast<int64_t>(ws.View.StartReg) + r - 1);
  if (!IsKnownRegType(ws.View.RegType)) return g; // no value cells drawn
  if (ws.Devices.ActiveSlot < 1 || ws.Devices.ActiveSlot > kSlotCount) return g;
  const AddressSlot& slot = ws.Active();
  for (int k = 1; k <= kGridCells; ++k) {
    const int64_t n = static_cast<int64_t>(ws.View.StartReg) + k - 1;
    CellText& cell = g.Cell[static_cast<size_t>(k)];
    if (k > ws.View.RegLength) {
      cell = std::string();
      continue;
    }
    switch (ws.View.RegType) {
    case rtCoils:
      cell =
          (n < 1 || n > kLastShownCoil) ? std::string() : std::string(GetBit(slot.CoilTable, n) ? "1" : "0");
      break;
    case rtInputs:
      cell =
          (n < 1 || n > kLastRegister) ? std::string() : std::string(GetBit(slot.StatusTable, n) ? "1" : "0");
      break;
    default:
      cell =
          RegisterCell(ws, ws.View.RegType == rtInputRegs ? slot.InputRegTable : slot.HoldingRegTable, k, n);
      break;
    }
  }
  return g;
}

ViewControls DisplayRegTypes(const Workspace& ws) {
  ViewControls v;
  v.TxtStartReg = IntToStr(ws.View.StartReg);
  v.TxtLength = IntToStr(ws.View.RegLength);
  v.TxtPage = IntToStr(ws.View.CurrentPage);
  if (const char* name = RegTypeName(ws.View.RegType)) {
    v.ComboRegType = name;
    v.ComboRegTypeIndex = ItemOfRegType(ws.View.RegType);
  }
  if (const char* name = DisplayTypeName(ws.View.DisplayType)) {
    v.ComboReadType = name;
    v.ComboReadTypeIndex = ItemOfDisplayType(ws.View.DisplayType);
  }
  return v;
}

float IntegerToIEEE754(Workspace& ws, int32_t hi, int32_t lo) {
  const uint32_t h = static_cast<uint32_t>(hi) & 0xFFFFu;
  const uint32_t l = static_cast<uint32_t>(lo) & 0xFFFFu;
  const int e = static_cast<int>((h >> 7) & 0xFFu);
  if (e == 255) {
    ws.Ui.FloatDecodeStatus = "NAN";
    return 0.0f;
  }
  ws.Ui.FloatDecodeStatus.clear();
  const uint32_t fraction = ((h & 0x7Fu) << 16) | l;
  // 1 + fraction / 2^23 is exact in single precision; the scaling rounds once.
  const float mantissa = 1.0f + static_cast<float>(fraction) / 8388608.0f;
  float v = std::ldexp(mantissa, e - 127);
  if (h & 0x8000u) v = -v;
  return v;
}

void ConvertToIEEE754(Workspace& ws, float value) {
  if (value == 0.0f) {
    ws.Ui.FloatHiWord = 0;
    ws.Ui.FloatLoWord = 0;
    return;
  }
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  ws.Ui.FloatHiWord = static_cast<int32_t>(bits >> 16);
  ws.Ui.FloatLoWord = static_cast<int32_t>(bits & 0xFFFFu);
}

std::string FormatScientific(float value) {
  // to_chars ignores the locale: "d.ddddde+XX" (or "-d...", "inf", "nan").
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 5);
  std::string s(buf, res.ptr);
  const size_t epos = s.find('e');
  const size_t dot = s.find('.');
  if (epos == std::string::npos || dot == std::string::npos) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  const std::lconv* lc = std::localeconv();
  const std::string sep = (lc && lc->decimal_point && *lc->decimal_point) ? lc->decimal_point : ".";
  std::string exp = s.substr(epos + 2); // digits after the sign
  while (exp.size() < 3) exp.insert(exp.begin(), '0');
  return s.substr(0, dot) + sep + s.substr(dot + 1, epos - dot - 1) + "E" + s[epos + 1] + exp;
}

std::string FloatText(Workspace& ws, int32_t hi, int32_t lo) {
  const float v = IntegerToIEEE754(ws, hi, lo);
  if (ws.Ui.FloatDecodeStatus == "NAN") return "NAN";
  if (hi == 0 && lo == 0) return "0.000";
  return FormatScientific(v);
}

} // namespace korvane
