#include "serial/device_control.h"

namespace korvane {

DCB BuildDeviceControl(const LineSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<uint32_t>(s.BaudValue);
  dcb.ByteSize = s.DataBits;
  dcb.Parity = s.ParityCode;
  dcb.StopBits = s.StopCode;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  uint32_t flags = kDcbBinary;
  if (s.EnableDTROnOpen) flags |= kDcbDtrControlEnable;
  if (s.EnableRTSOnOpen) flags |= kDcbRtsControlEnable;
  if (s.HwFlowControl == hfRTS) flags |= kDcbRtsControlEnable;
  if (s.HwFlowControl == hfRTSCTS) flags |= kDcbRtsControlHandshake | kDcbOutxCtsFlow;
  if (s.SwFlowControl == sfXONXOFF) flags |= kDcbOutX | kDcbInX;
  dcb.Flags = flags;
  return dcb;
}

} // namespace korvane
