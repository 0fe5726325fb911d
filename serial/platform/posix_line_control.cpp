// Like posix_backend.cpp, this file uses the kernel's termios2 and must never
// include glibc's <termios.h>.
#include "serial/platform/posix_line_control.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace korvane::posix {

namespace {

// Slaves of the Unix 98 pseudo-terminals have the majors 136..143, the old
// BSD-style ones 3.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

} // namespace

int RetryIoctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

int SetRs485(int fd, Rs485Settings& settings) {
  serial_rs485 conf{};
  // Read first: the driver's other RS-485 fields stay as they are.
  if (RetryIoctl(fd, TIOCGRS485, &conf) != 0) {
    const int err = errno;
    // Nothing to switch off on a device without the mode.
    return settings.Enabled ? err : 0;
  }
  if (settings.Enabled) {
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    conf.delay_rts_before_send = settings.DelayBeforeSendMs;
    conf.delay_rts_after_send = settings.DelayAfterSendMs;
  } else {
    conf.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
  }
  if (RetryIoctl(fd, TIOCSRS485, &conf) != 0) return errno;
  // The driver writes back what it took (delays are clamped to its limit).
  settings.Enabled = (conf.flags & SER_RS485_ENABLED) != 0;
  settings.DelayBeforeSendMs = conf.delay_rts_before_send;
  settings.DelayAfterSendMs = conf.delay_rts_after_send;
  return 0;
}

bool ReadLineSettings(int fd, LineReadBack& settings) {
  termios2 t{};
  if (RetryIoctl(fd, TCGETS2, &t) != 0) return false;
  settings.Rate = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
  case CS5:
    settings.DataBits = 5;
    break;
  case CS6:
    settings.DataBits = 6;
    break;
  case CS7:
    settings.DataBits = 7;
    break;
  default:
    settings.DataBits = 8;
    break;
  }
  const bool odd = (t.c_cflag & PARODD) != 0;
  if (!(t.c_cflag & PARENB))
    settings.ParityCode = 0;
  else if (t.c_cflag & CMSPAR)
    settings.ParityCode = odd ? 3 : 4;
  else
    settings.ParityCode = odd ? 1 : 2;
  settings.StopCode = (t.c_cflag & CSTOPB) ? (settings.DataBits == 5 ? 1 : 2) : 0;
  settings.PseudoTerminal = IsPseudoTerminal(fd);
  return true;
}

bool ReadErrorCounters(int fd, UartCounters& counts) {
  serial_icounter_struct c{};
  if (RetryIoctl(fd, TIOCGICOUNT, &c) != 0) return false;
  // The driver counts in unsigned 32-bit words and hands them over as int.
  counts.Frame = static_cast<uint32_t>(c.frame);
  counts.Parity = static_cast<uint32_t>(c.parity);
  counts.Overrun = static_cast<uint32_t>(c.overrun);
  counts.Break = static_cast<uint32_t>(c.brk);
  counts.BufferOverrun = static_cast<uint32_t>(c.buf_overrun);
  return true;
}

} // namespace korvane::posix
