#pragma once
// The POSIX backend's RS-485 direction control, settings read-back and UART
// error counters, kept beside the backend's termios code (posix_backend.cpp
// calls them).
#include "serial/platform/line_control.h"

namespace korvane::posix {

// ioctl, repeated while a signal interrupts it.
int RetryIoctl(int fd, unsigned long request, void* arg);

// TIOCSRS485 with RTS raised while sending and the two delays; switching off
// clears the mode only. `settings` is updated to what the driver took.
// Returns 0 or the errno of the refusal (ENOTTY: no RS-485 mode here).
int SetRs485(int fd, Rs485Settings& settings);

// TCGETS2: rate, data bits, parity and stop bits as the driver holds them,
// and whether the device is a pseudo-terminal.
bool ReadLineSettings(int fd, LineReadBack& settings);

// TIOCGICOUNT: the driver's UART error counters. False where the driver keeps
// none (ENOTTY or EINVAL: a pseudo-terminal, a USB modem) or the call fails.
bool ReadErrorCounters(int fd, UartCounters& counts);

} // namespace korvane::posix
