#pragma once
// The device-control record the serial component hands to its device.
#include "serial/platform/comm_backend.h"
#include "serial/serial_types.h"

#include <cstdint>

namespace korvane {

struct LineSettings {
  int32_t BaudValue = 4800;
  uint8_t DataBits = 8;   // 5..8
  uint8_t ParityCode = 0; // ordinal of TParityBits
  uint8_t StopCode = 0;   // ordinal of TStopBits
  bool EnableDTROnOpen = true;
  bool EnableRTSOnOpen = true;
  THwFlowControl HwFlowControl = hfNONE;
  TSwFlowControl SwFlowControl = sfNONE;
};

// All fields zero, then length 28, rate, size, parity, stop bits, XON 0x11,
// XOFF 0x13, and the flag word: binary mode always; DTR on when enabled on
// open; RTS on when enabled on open or for hfRTS; RTS handshake with CTS
// output flow for hfRTSCTS (the two RTS bits are one field, so RTS on open
// with hfRTSCTS gives 3, toggle); XON/XOFF both ways for sfXONXOFF. Parity
// checking, DSR flow and sensitivity, continue-on-XOFF, error replacement,
// NUL stripping and abort-on-error stay off.
DCB BuildDeviceControl(const LineSettings& settings);

} // namespace korvane
