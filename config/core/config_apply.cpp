#include "config/core/config_apply.h"

#include <cstddef>
#include <limits>

#include "app/core/int_conv.h"

namespace korvane {

ConfigControls ControlsFromWorkspace(const Workspace& ws) {
  ConfigControls c;
  c.OptRTU = ws.RtuMode != 0;
  c.OptMaster = ws.IsMaster != 0;
  c.ChkSingleReg = ws.SingleRegWrite != 0;
  c.TxtPollTime = IntToStr(ws.PollTime);
  c.TxtResponseTime = IntToStr(ws.ResponseTime);
  for (int k = 1; k <= kSlotCount; ++k)
    c.TxtAddr[static_cast<size_t>(k)] = IntToStr(ws.SlotAddress[static_cast<size_t>(k)]);
  c.OptAddr = ws.ActiveSlot >= 1 && ws.ActiveSlot <= kSlotCount ? ws.ActiveSlot : 0;
  c.ChkPort = ws.PortActive != 0;
  c.ComboPort = IntToStr(ws.CommPort);
  c.ComboBaud = IntToStr(ws.BaudRate);
  c.ComboData = IntToStr(ws.DataBits);
  c.ComboParity = ws.Parity;
  c.ComboStop = IntToStr(ws.StopBits);
  c.ChkRs485 = ws.Run.Rs485;
  return c;
}

std::string PortItem(int number) { return IntToStr(number); }

int32_t ParityCode(const std::string& parity) {
  if (parity == "E") return 1;
  if (parity == "O") return 2;
  return 0;
}

int32_t StopBitsArgument(int32_t stopBits) { return stopBits == 1 || stopBits == 2 ? stopBits : 0; }

void ApplyConfigControls(Workspace& ws, const ConfigControls& c, ConfigPort& port) {
  port.CloseComm(ws.CommPort);
  ws.RtuMode = c.OptRTU ? 1 : 0;
  ws.IsMaster = c.OptMaster ? 1 : 0;
  ws.CommPort = StrToInt(c.ComboPort);
  ws.BaudRate = StrToInt(c.ComboBaud);
  ws.SingleRegWrite = c.ChkSingleReg ? 1 : 0;
  if (const int32_t v = StrToInt(c.TxtPollTime); v >= 1 && v <= 30) ws.PollTime = v;
  if (const int32_t v = StrToInt(c.TxtResponseTime); v >= 400 && v <= 2000) ws.ResponseTime = v;
  if (c.ComboData == "7" || c.ComboData == "8") ws.DataBits = StrToInt(c.ComboData);
  if (c.ComboParity == "N" || c.ComboParity == "E" || c.ComboParity == "O") ws.Parity = c.ComboParity;
  for (size_t k = 1; k <= kSlotCount; ++k)
    if (const int32_t v = StrToInt(c.TxtAddr[k]); v >= 1 && v <= 247) ws.SlotAddress[k] = v;
  if (c.OptAddr >= 1 && c.OptAddr <= kSlotCount) ws.ActiveSlot = c.OptAddr;
  // ActiveSlot is 1..5 unless something outside the dialog broke it; then the
  // device address is left alone rather than read from outside the array.
  if (ws.ActiveSlot >= 1 && ws.ActiveSlot <= kSlotCount)
    ws.DeviceAddress = ws.SlotAddress[static_cast<size_t>(ws.ActiveSlot)];
  ws.StopBits = StrToInt(c.ComboStop);
  ws.Run.Rs485 = c.ChkRs485;
  port.OpenComm(ws.CommPort, kCommBufferSize, kCommBufferSize, ws.BaudRate, ws.DataBits,
                ParityCode(ws.Parity), StopBitsArgument(ws.StopBits));
  if (c.ChkPort) port.PortActivate();
}

int32_t PollIntervalMs(int32_t pollTime) {
  if (pollTime < 1) return 0;
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  return pollTime > kMax / 1000 ? kMax : pollTime * 1000;
}

} // namespace korvane
