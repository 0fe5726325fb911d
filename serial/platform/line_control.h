#pragma once
// Records of the line controls beyond the device-control record: the
// kernel's RS-485 direction control, the line settings a driver reports
// back after it was programmed and the driver's UART error counters. Plain data, shared by the platform layer
// and the component.
#include <cstdint>

namespace korvane {

// RS-485 direction control by the driver: RTS is raised while a frame goes
// out, `DelayBeforeSendMs` before the first bit and held `DelayAfterSendMs`
// after the last one.
struct Rs485Settings {
  bool Enabled = false;
  uint32_t DelayBeforeSendMs = 0;
  uint32_t DelayAfterSendMs = 0;
  bool operator==(const Rs485Settings&) const = default;
};

// The line settings as a driver holds them. The codes are those of the
// device-control record (parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop
// bits 0 one, 1 one and a half, 2 two).
struct LineReadBack {
  uint32_t Rate = 0;
  uint8_t DataBits = 8;
  uint8_t ParityCode = 0;
  uint8_t StopCode = 0;
  // A pseudo-terminal keeps rates and stop bits but always reports 8 data
  // bits without parity, whatever it was given.
  bool PseudoTerminal = false;
};

// The error counters a UART driver keeps for a device (TIOCGICOUNT): since
// the driver took the device, never reset, wrapping at 2^32.
struct UartCounters {
  uint32_t Frame = 0;
  uint32_t Parity = 0;
  uint32_t Overrun = 0; // the UART's own receive register overran
  uint32_t Break = 0;
  uint32_t BufferOverrun = 0; // the driver's buffer overflowed
  bool operator==(const UartCounters&) const = default;
};

} // namespace korvane
