// POSIX (termios) backend of the serial platform layer, for Linux serial
// devices and pseudo-terminals.
//
// Trap: <asm/termbits.h> (termios2, BOTHER for any bit rate) and glibc's
// <termios.h> define the same names differently and cannot meet in one
// translation unit. This file uses the kernel's definitions only, through
// ioctl, and must never include <termios.h> (nor <pty.h>, which pulls it in).
#include "serial/platform/comm_backend.h"
#include "serial/platform/posix_line_control.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

namespace korvane {

namespace {

using posix::RetryIoctl;

// errno values by which a device says it has gone away.
bool IsGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

// errno values by which a device says it has no modem lines (a pseudo-terminal).
bool IsNoModemLines(int err) { return err == ENOTTY || err == EINVAL; }

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The classic speed code of a rate, or BOTHER for a rate that has none.
tcflag_t SpeedCode(uint32_t rate) {
  struct Entry {
    uint32_t rate;
    tcflag_t code;
  };
  static constexpr Entry kCodes[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Entry& e : kCodes)
    if (e.rate == rate) return e.code;
  return BOTHER;
}

// Sets or clears one modem output line; a device without modem lines is left alone.
bool SetModemLine(int fd, int line, bool on) {
  if (RetryIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return IsNoModemLines(errno);
}

class PosixBackend final : public CommBackend {
public:
  CommHandle Open(const std::string& device, int& error) override {
    int fd;
    do fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      error = errno;
      return kInvalidHandle;
    }
    // Keep other programs off the line while it is ours. An advisory lock on
    // the device keeps off every program that asks for one (another Korvane,
    // picocom), root included: a device somebody else has locked is in use and
    // refused. The lock comes first, so a refused open never touches the
    // exclusive mark of the program that holds the line. The mark then refuses
    // later opens by programs without privilege, locking or not; root passes
    // it. A device that is no terminal fails later, in SetCommState.
    int locked;
    do locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    // Only a lock held by another counts; a device that takes no lock at all
    // is used without one.
    if (locked != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      error = EBUSY;
      return kInvalidHandle;
    }
    RetryIoctl(fd, TIOCEXCL, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    handles_[fd] = HandleState{};
    error = 0;
    return fd;
  }

  bool SetCommState(CommHandle fd, const DCB& dcb) override {
    if (fd < 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0)
      return false;
    // The same combinations a UART refuses: 5 data bits with 2 stop bits, 1.5 with 6..8.
    if ((dcb.ByteSize == 5 && dcb.StopBits == 2) || (dcb.ByteSize != 5 && dcb.StopBits == 1)) return false;

    termios2 t{};
    if (RetryIoctl(fd, TCGETS2, &t) != 0) return false;

    // Raw bytes both ways: no line editing, echo, signals, translation or parity check.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    if (dcb.Flags & kDcbOutX) t.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
    case 3:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
    }
    // 1.5 stop bits: a UART sends 1.5 when CSTOPB is set with 5 data bits.
    if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;
    // RTS handshake becomes kernel RTS/CTS flow control. RTS toggle is the
    // driver's RS-485 direction control (SetRs485), which owns RTS: no RTS/CTS
    // flow control then, and RTS is left to the driver.
    const uint32_t rts = RtsControl(dcb.Flags);
    const bool toggle = rts == 3;
    if (!toggle && ((dcb.Flags & kDcbOutxCtsFlow) || rts == 2)) t.c_cflag |= CRTSCTS;

    const tcflag_t code = SpeedCode(dcb.BaudRate);
    t.c_cflag |= code; // the input rate follows the output rate (CIBAUD clear)
    t.c_ispeed = dcb.BaudRate;
    t.c_ospeed = dcb.BaudRate;

    t.c_cc[VMIN] = 1; // with O_NONBLOCK: an empty queue reads EAGAIN, a hang-up reads 0
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    if (RetryIoctl(fd, TCSETS2, &t) != 0) return false;

    return SetModemLine(fd, TIOCM_DTR, DtrControl(dcb.Flags) != 0) &&
           (toggle || SetModemLine(fd, TIOCM_RTS, rts != 0));
  }

  bool SetCommTimeouts(CommHandle fd, const COMMTIMEOUTS& timeouts) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(fd);
    if (it == handles_.end()) return false;
    it->second.Timeouts = timeouts;
    return true;
  }

  // The kernel's queues have fixed sizes; the request is accepted as advice,
  // as it is on systems that honour it.
  bool SetupComm(CommHandle fd, uint32_t, uint32_t) override { return fd >= 0 && ::fcntl(fd, F_GETFD) >= 0; }

  bool GetCommModemStatus(CommHandle fd, uint32_t& status) override {
    status = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = handles_.find(fd);
      if (it != handles_.end() && it->second.NoModemLines) return true;
    }
    int lines = 0;
    if (RetryIoctl(fd, TIOCMGET, &lines) != 0) {
      if (!IsNoModemLines(errno)) return false;
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = handles_.find(fd);
      if (it != handles_.end()) it->second.NoModemLines = true;
      return true;
    }
    if (lines & TIOCM_CTS) status |= kMsCtsOn;
    if (lines & TIOCM_DSR) status |= kMsDsrOn;
    if (lines & TIOCM_RNG) status |= kMsRingOn;
    if (lines & TIOCM_CAR) status |= kMsRlsdOn;
    return true;
  }

  WaitStatus WaitInput(CommHandle fd, uint32_t timeout_ms) override {
    pollfd p{fd, POLLIN, 0};
    int r;
    do r = ::poll(&p, 1, static_cast<int>(timeout_ms > 0x7fffffffu ? 0x7fffffffu : timeout_ms));
    while (r < 0 && errno == EINTR);
    if (r < 0) return WaitStatus::Failed;
    if (r == 0) return WaitStatus::Timeout;
    // A hang-up comes with POLLIN set as well: test it first, or the reader spins.
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitStatus::Gone;
    return (p.revents & POLLIN) ? WaitStatus::Ready : WaitStatus::Timeout;
  }

  CommStatus BytesWaiting(CommHandle fd, uint32_t& count) override {
    count = 0;
    int n = 0;
    if (RetryIoctl(fd, FIONREAD, &n) != 0) return IsGoneError(errno) ? CommStatus::Gone : CommStatus::Failed;
    count = n > 0 ? static_cast<uint32_t>(n) : 0u;
    return CommStatus::Ok;
  }

  CommStatus Read(CommHandle fd, void* buffer, uint32_t count, uint32_t& read) override {
    read = 0;
    if (count == 0) return CommStatus::Ok;
    ssize_t r;
    do r = ::read(fd, buffer, count);
    while (r < 0 && errno == EINTR);
    if (r > 0) {
      read = static_cast<uint32_t>(r);
      return CommStatus::Ok;
    }
    if (r == 0) return CommStatus::Gone; // VMIN is 1: zero bytes means hang-up
    if (errno == EAGAIN || errno == EWOULDBLOCK) return CommStatus::Ok;
    return IsGoneError(errno) ? CommStatus::Gone : CommStatus::Failed;
  }

  CommStatus Write(CommHandle fd, const void* buffer, uint32_t count, uint32_t& written) override {
    written = 0;
    COMMTIMEOUTS t;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = handles_.find(fd);
      if (it == handles_.end()) return CommStatus::Failed;
      t = it->second.Timeouts;
    }
    const uint64_t budget =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const bool bounded = budget != 0;
    const uint64_t deadline = MonotonicMs() + budget;
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (written < count) {
      const ssize_t r = ::write(fd, p + written, count - written);
      if (r > 0) {
        written += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return IsGoneError(errno) ? CommStatus::Gone : CommStatus::Failed;
      // The output queue is full (or flow control holds it): wait for room.
      int wait_ms = -1;
      if (bounded) {
        const uint64_t now = MonotonicMs();
        if (now >= deadline) break; // time-out: report what went out
        wait_ms = static_cast<int>(deadline - now > 0x7fffffff ? 0x7fffffff : deadline - now);
      }
      pollfd pfd{fd, POLLOUT, 0};
      const int pr = ::poll(&pfd, 1, wait_ms);
      if (pr < 0 && errno != EINTR) return CommStatus::Failed;
      if (pr > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) return CommStatus::Gone;
    }
    return CommStatus::Ok;
  }

  bool PurgeComm(CommHandle fd, uint32_t flags) override {
    if (fd < 0) return false;
    const bool tx = flags & 0x05; // abort or clear the transmit side
    const bool rx = flags & 0x0A; // abort or clear the receive side
    if (!tx && !rx) return true;
    const int which = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    return ::ioctl(fd, TCFLSH, which) == 0;
  }

  int SetRs485(CommHandle fd, Rs485Settings& settings) override {
    return fd < 0 ? EBADF : posix::SetRs485(fd, settings);
  }

  bool ReadLineSettings(CommHandle fd, LineReadBack& settings) override {
    return fd >= 0 && posix::ReadLineSettings(fd, settings);
  }

  bool GetErrorCounts(CommHandle fd, UartCounters& counts) override {
    return fd >= 0 && posix::ReadErrorCounters(fd, counts);
  }

  bool CloseHandle(CommHandle fd) override {
    if (fd < 0) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handles_.erase(fd);
    }
    // The exclusive mark stays on the terminal while anybody else holds it
    // open (the other end of a pseudo-terminal pair, say); drop it, or the next
    // open of the same device is refused.
    RetryIoctl(fd, TIOCNXCL, nullptr);
    // Released here, not only by close: a child between fork and exec shares
    // the open file, and with it the lock.
    ::flock(fd, LOCK_UN);
    return ::close(fd) == 0; // never retried: the descriptor is released either way
  }

  // Linux sleeps and poll time-outs already run on high-resolution timers;
  // there is no resolution to request.
  void TimeBeginPeriod(uint32_t) override {}
  void TimeEndPeriod(uint32_t) override {}

  int CurrentThreadId() override { return static_cast<int>(::gettid()); }

  void SetThreadPriority(int thread_id, int priority) override {
    // Thread priorities as nice values; raising above normal needs privilege
    // and is silently refused without it.
    int nice = 0;
    if (priority <= -15)
      nice = 19;
    else if (priority <= -2)
      nice = 10;
    else if (priority == -1)
      nice = 5;
    else if (priority == 1)
      nice = -5;
    else if (priority == 2)
      nice = -10;
    else if (priority >= 15)
      nice = -20;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread_id), nice);
  }

private:
  // What the backend keeps of each open handle.
  struct HandleState {
    COMMTIMEOUTS Timeouts;
    // The device answered that it has no modem lines (a pseudo-terminal):
    // the reader's check of every pass asks it no more.
    bool NoModemLines = false;
  };
  std::mutex mutex_;
  std::unordered_map<int, HandleState> handles_;
};

} // namespace

CommBackend& SerialDeviceBackend() {
  static PosixBackend backend;
  return backend;
}

} // namespace korvane
