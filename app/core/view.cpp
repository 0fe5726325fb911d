#include "app/core/view.h"

#include <algorithm>
#include <cstdint>

#include "app/core/display_format.h"
#include "app/core/int_conv.h"

namespace korvane {
namespace {

// A page or a register file may bring any RegLength: keep the block
// arithmetic inside 32 bits.
int32_t Saturate(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

void LoadPage(Workspace& ws) {
  const Page& p = ws.View.PageTable[static_cast<size_t>(ws.View.CurrentPage)];
  ws.View.StartReg = p.PageStart;
  ws.View.RegLength = p.PageLength;
  ws.View.RegType = p.PageRegType;
  ws.View.DisplayType = p.PageDisplayType;
}

ViewControls MovePage(Workspace& ws, int32_t delta) {
  ws.View.CurrentPage = std::clamp<int32_t>(ws.View.CurrentPage + delta, 1, kPageCount);
  LoadPage(ws);
  return DisplayRegTypes(ws);
}

} // namespace

void ComboRegTypeChange(Workspace& ws, int index) {
  if (const auto t = RegTypeOfItem(index)) ws.View.RegType = *t;
}

std::string ComboReadTypeChange(Workspace& ws, int index) {
  ws.Settings.WriteFunction = 16;
  if (const auto t = DisplayTypeOfItem(index)) ws.View.DisplayType = *t;
  // An odd length becomes the next even one; the largest 32-bit length has
  // none above it and steps down instead.
  if (EvenLengthFormat(ws.View.DisplayType) && ws.View.RegLength % 2 != 0)
    ws.View.RegLength = ws.View.RegLength == INT32_MAX ? INT32_MAX - 1 : ws.View.RegLength + 1;
  return IntToStr(ws.View.RegLength);
}

bool TxtStartRegChange(Workspace& ws, const std::string& text) {
  if (text.empty()) return false;
  const int32_t v = StrToInt(text);
  if (v < 1 || v > 65535) return false;
  ws.View.StartReg = v;
  return true;
}

bool TxtLengthChange(Workspace& ws, const std::string& text) {
  if (text.empty()) return false;
  const int32_t v = StrToInt(text);
  if (v < 1 || v > kGridCells) return false;
  if (EvenLengthFormat(ws.View.DisplayType) && v % 2 != 0) return false;
  ws.View.RegLength = v;
  return true;
}

bool CboAddrChange(Workspace& ws, int index) {
  if (index < 0 || index >= kSlotCount) return false;
  ws.SelectSlot(index + 1);
  return true;
}

std::string NextBlock(Workspace& ws) {
  const int64_t next = static_cast<int64_t>(ws.View.StartReg) + ws.View.RegLength;
  ws.View.StartReg = Saturate(next > 65535 ? 65537 - static_cast<int64_t>(ws.View.RegLength) : next);
  return IntToStr(ws.View.StartReg);
}

std::string PrevBlock(Workspace& ws) {
  const int64_t prev = static_cast<int64_t>(ws.View.StartReg) - ws.View.RegLength;
  ws.View.StartReg = prev < 1 ? 1 : Saturate(prev);
  return IntToStr(ws.View.StartReg);
}

ViewControls NextPage(Workspace& ws) { return MovePage(ws, 1); }
ViewControls PrevPage(Workspace& ws) { return MovePage(ws, -1); }

ViewControls SavePage(Workspace& ws, const std::string& startText, const std::string& lengthText) {
  Page& p = ws.View.PageTable[static_cast<size_t>(std::clamp<int32_t>(ws.View.CurrentPage, 1, kPageCount))];
  p.PageStart = StrToInt(startText);
  p.PageLength = StrToInt(lengthText);
  p.PageRegType = ws.View.RegType;
  p.PageDisplayType = ws.View.DisplayType;
  return MovePage(ws, 1);
}

} // namespace korvane
