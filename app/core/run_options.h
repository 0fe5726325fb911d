#pragma once
// Settings of one run that the register file does not hold: they come from
// the command line and the configuration dialog and end with the program.
#include <cstdint>

namespace korvane {

struct RunOptions {
  // RS-485 direction control by the serial driver (--rs485[=BEFORE_MS,AFTER_MS],
  // the dialog's "RS-485 Direction Control").
  bool Rs485 = false;
  uint32_t Rs485DelayBeforeMs = 0;
  uint32_t Rs485DelayAfterMs = 0;
  // Listen only (--listen, the dialog's "Listen only"): the port opens without
  // writing a byte and without raising DTR or RTS, nothing is ever sent, and
  // the replies seen on the line fill the tables (app/core/passive_poll.h).
  bool ListenOnly = false;
};

} // namespace korvane
