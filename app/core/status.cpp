#include "app/core/status.h"

#include <algorithm>

#include "app/core/int_conv.h"

namespace korvane {
namespace {

const char* const kExceptionWords[] = {
    " Illegal Function", " Illegal Data Address", " Illegal Data Value",   " Slave Device Failure",
    " Acknowlegde",      " Slave Device Busy",    " Negative Acknowledge", " Memory Parity Error"};

} // namespace

StatusUpdate StatusDisplay(int32_t code, const std::string& prefix, bool pollEnabled) {
  StatusUpdate u;
  switch (code) {
  case kStatusNone:
    u.Text = prefix;
    break;
  case kStatusDataOk:
    u.Text = prefix + " Data OK";
    break;
  case kStatusChecksum:
    u.Text = prefix + " Checksum incorrect";
    break;
  case kStatusTimeOut:
    u.Text = prefix + " Time Out occurred";
    break;
  case kStatusTooLong:
    u.Text = prefix + " Packet Too Long";
    break;
  default:
    if (code > kStatusException && code <= kStatusException + 8)
      u.Text =
          prefix + " EC" + IntToStr(code - kStatusException) + kExceptionWords[code - kStatusException - 1];
    break;
  }
  u.Redraw = pollEnabled && (code == kStatusNone || code == kStatusDataOk);
  return u;
}

std::string PollPrefix(int32_t pollCounter) { return "Poll " + IntToStr(pollCounter); }

ModeView ModeDisplay(const Workspace& ws) {
  ModeView m;
  const bool master = IsMasterRole(ws.Settings.IsMaster);
  // While only listening the role plays no part on the line.
  const std::string role = ws.Run.ListenOnly ? "Listen Only" : master ? "Master" : "Slave";
  m.ClearStatus = !master || ws.Run.ListenOnly;
  m.TxtRTUMode = role + (FramesRtuUnlessAscii(ws.Settings.RtuMode) ? " - Binary" : " - ASCII");
  m.CboAddr = IntToStr(ws.Devices.DeviceAddress);
  return m;
}

bool RampStep(Workspace& ws, const RampTexts& texts) {
  const int64_t low = StrToInt(texts.LowLim);
  const int64_t high = StrToInt(texts.HiLim);
  const int64_t incr = StrToInt(texts.Incr);
  const int64_t len = StrToInt(texts.Length);
  if (!IsRegisterTable(ws.View.RegType)) return false;
  if (ws.Devices.ActiveSlot < 1 || ws.Devices.ActiveSlot > kSlotCount) return false;
  RegTable& t = ws.View.RegType == rtInputRegs ? ws.Active().InputRegTable : ws.Active().HoldingRegTable;
  const int64_t start = ws.View.StartReg;
  // Only i with 1 <= StartReg + i - 1 <= 65536 touch a register: a huge
  // length typed into the edit costs nothing.
  const int64_t first = std::max<int64_t>(1, 2 - start);
  const int64_t last = std::min<int64_t>(len, static_cast<int64_t>(kRegisters) + 1 - start);
  for (int64_t i = first; i <= last; ++i) {
    int32_t& r = t[static_cast<size_t>(start + i - 1)];
    const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(r + incr + (i - 1)));
    r = v > high ? static_cast<int32_t>(low) : v;
  }
  return true;
}

} // namespace korvane
