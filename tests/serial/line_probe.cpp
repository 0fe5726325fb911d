// Kept apart from pty_pair.cpp: <asm/termbits.h> cannot meet glibc's <termios.h>.
#include "pty_pair.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace korvane::test {

LineProbe ProbeLine(int fd) {
  LineProbe p;
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return p;
  p.ok = true;
  p.output_rate = t.c_ospeed;
  p.input_rate = t.c_ispeed;
  p.other_rate = (t.c_cflag & CBAUD) == BOTHER;
  switch (t.c_cflag & CSIZE) {
  case CS5:
    p.data_bits = 5;
    break;
  case CS6:
    p.data_bits = 6;
    break;
  case CS7:
    p.data_bits = 7;
    break;
  default:
    p.data_bits = 8;
    break;
  }
  p.parity = t.c_cflag & PARENB;
  p.odd = t.c_cflag & PARODD;
  p.mark_space = t.c_cflag & CMSPAR;
  p.two_stop = t.c_cflag & CSTOPB;
  p.rts_cts = t.c_cflag & CRTSCTS;
  p.xon_out = t.c_iflag & IXON;
  p.xon_in = t.c_iflag & IXOFF;
  p.raw = !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) && !(t.c_iflag & ICRNL);
  p.vmin = t.c_cc[VMIN];
  return p;
}

} // namespace korvane::test
