#include "config/core/config_apply.h"

#include <cstddef>
#include <limits>

#include "app/core/int_conv.h"

namespace korvane {

ConfigControls ControlsFromWorkspace(const Workspace& ws) {
  ConfigControls c;
  c.OptRTU = FramesRtuUnlessAscii(ws.Settings.RtuMode);
  c.OptMaster = IsMasterRole(ws.Settings.IsMaster);
  c.ChkSingleReg = ws.Settings.SingleRegWrite != 0;
  c.TxtPollTime = IntToStr(ws.Settings.PollTime);
  c.TxtResponseTime = IntToStr(ws.Settings.ResponseTime);
  for (int k = 1; k <= kSlotCount; ++k)
    c.TxtAddr[static_cast<size_t>(k)] = IntToStr(ws.Devices.SlotAddress[static_cast<size_t>(k)]);
  c.OptAddr = ws.Devices.ActiveSlot >= 1 && ws.Devices.ActiveSlot <= kSlotCount ? ws.Devices.ActiveSlot : 0;
  c.ChkPort = ws.Settings.PortActive != 0;
  c.ComboPort = IntToStr(ws.Settings.CommPort);
  c.ComboBaud = IntToStr(ws.Settings.BaudRate);
  c.ComboData = IntToStr(ws.Settings.DataBits);
  c.ComboParity = ws.Settings.Parity;
  c.ComboStop = IntToStr(ws.Settings.StopBits);
  c.ChkRs485 = ws.Run.Rs485;
  c.ChkListen = ws.Run.ListenOnly;
  return c;
}

std::string PortItem(int number) { return IntToStr(number); }

TParityCode ParityCode(const std::string& parity) {
  if (parity == "E") return pcEven;
  if (parity == "O") return pcOdd;
  return pcNone;
}

int32_t StopBitsArgument(TStopBitsCode stopBits) {
  return stopBits == st1Bit || stopBits == st2Bits ? stopBits : 0;
}

void ApplyConfigControls(Workspace& ws, const ConfigControls& c, ConfigPort& port) {
  port.CloseComm(ws.Settings.CommPort);
  ws.Settings.RtuMode = FrameModeOf(c.OptRTU);
  ws.Settings.IsMaster = RoleOf(c.OptMaster);
  ws.Settings.CommPort = StrToInt(c.ComboPort);
  ws.Settings.BaudRate = StrToInt(c.ComboBaud);
  ws.Settings.SingleRegWrite = c.ChkSingleReg ? 1 : 0;
  if (const int32_t v = StrToInt(c.TxtPollTime); v >= 1 && v <= 30) ws.Settings.PollTime = v;
  if (const int32_t v = StrToInt(c.TxtResponseTime); v >= 400 && v <= 2000) ws.Settings.ResponseTime = v;
  if (c.ComboData == "7" || c.ComboData == "8")
    ws.Settings.DataBits = static_cast<TDataBitsCode>(StrToInt(c.ComboData));
  if (c.ComboParity == "N" || c.ComboParity == "E" || c.ComboParity == "O")
    ws.Settings.Parity = c.ComboParity;
  for (size_t k = 1; k <= kSlotCount; ++k)
    if (const int32_t v = StrToInt(c.TxtAddr[k]); v >= 1 && v <= 247) ws.Devices.SlotAddress[k] = v;
  if (c.OptAddr >= 1 && c.OptAddr <= kSlotCount) ws.Devices.ActiveSlot = c.OptAddr;
  // ActiveSlot is 1..5 unless something outside the dialog broke it; then the
  // device address is left alone rather than read from outside the array.
  if (ws.Devices.ActiveSlot >= 1 && ws.Devices.ActiveSlot <= kSlotCount)
    ws.Devices.DeviceAddress = ws.Devices.SlotAddress[static_cast<size_t>(ws.Devices.ActiveSlot)];
  ws.Settings.StopBits = static_cast<TStopBitsCode>(StrToInt(c.ComboStop));
  ws.Run.Rs485 = c.ChkRs485;
  ws.Run.ListenOnly = c.ChkListen;
  port.OpenComm(ws.Settings.CommPort, kCommBufferSize, kCommBufferSize, ws.Settings.BaudRate,
                ws.Settings.DataBits, ParityCode(ws.Settings.Parity), StopBitsArgument(ws.Settings.StopBits));
  if (c.ChkPort) port.PortActivate();
}

int32_t PollIntervalMs(int32_t pollTime) {
  if (pollTime < 1) return 0;
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  return pollTime > kMax / 1000 ? kMax : pollTime * 1000;
}

} // namespace korvane
