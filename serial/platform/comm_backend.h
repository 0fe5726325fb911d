#pragma once
// The platform layer under the serial port component: the device calls the
// component makes (open by name, device-control record, time-outs, buffer
// sizes, bytes waiting, read, write, modem lines, purge, close), one backend
// per platform. The records keep the field layout and bit values the
// component's users know, so the component builds them the same way on every
// platform and the backend translates them for its system.
//
// Thread use: the reader thread calls WaitInput, BytesWaiting, Read,
// GetCommModemStatus, PurgeComm, CloseHandle and NowMicros; the owner thread
// calls Open, Write, ReadLineSettings, GetErrorCounts, NowMicros and the
// Set*/Setup calls. A backend must allow both at once on one handle (the
// component keeps a handle open while anyone uses it).
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

#include "serial/platform/line_control.h"

namespace korvane {

using CommHandle = int;
inline constexpr CommHandle kInvalidHandle = -1;

// Device-control record (28 bytes, fields in this order).
struct DCB {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0; // the flag word, see the kDcb* bits
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0; // 5..8
  uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must keep its 28-byte layout");

inline constexpr uint32_t kDcbBinary = 0x0001;
inline constexpr uint32_t kDcbParityCheck = 0x0002;
inline constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr uint32_t kDcbDtrControlMask = 0x0030; // 2-bit field: 0 off, 1 on, 2 handshake
inline constexpr uint32_t kDcbDtrControlEnable = 0x0010;
inline constexpr uint32_t kDcbOutX = 0x0100;
inline constexpr uint32_t kDcbInX = 0x0200;
inline constexpr uint32_t kDcbRtsControlMask = 0x3000; // 2-bit field: 0 off, 1 on, 2 handshake, 3 toggle
inline constexpr uint32_t kDcbRtsControlEnable = 0x1000;
inline constexpr uint32_t kDcbRtsControlHandshake = 0x2000;

inline constexpr uint32_t DtrControl(uint32_t flags) { return (flags & kDcbDtrControlMask) >> 4; }
inline constexpr uint32_t RtsControl(uint32_t flags) { return (flags & kDcbRtsControlMask) >> 12; }

// Time-outs in milliseconds. Reads never wait in this layer (the reader reads
// what waits once poll says there is input), so only the write pair acts: a
// write gives up after WriteTotalTimeoutMultiplier * count +
// WriteTotalTimeoutConstant ms, or never when both are 0.
struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Modem status bits of GetCommModemStatus.
inline constexpr uint32_t kMsCtsOn = 0x10;
inline constexpr uint32_t kMsDsrOn = 0x20;
inline constexpr uint32_t kMsRingOn = 0x40;
inline constexpr uint32_t kMsRlsdOn = 0x80;

// PurgeComm: abort and clear both directions.
inline constexpr uint32_t kPurgeAll = 0x0F;

// Gone: the device has vanished (adapter unplugged, far end of a
// pseudo-terminal closed); nothing more will come from this handle.
enum class CommStatus : uint8_t { Ok, Failed, Gone };
enum class WaitStatus : uint8_t { Ready, Timeout, Gone, Failed };

// The state of a handle that is a link to a network peer rather than a
// device: whether a peer is there now, and one sentence on what the link is
// doing ("connected to 10.0.0.7:4001"). A link that drops stays open and
// comes back by itself; only its state changes.
struct LinkStatus {
  bool Up = false;
  std::string Text;
};

class CommBackend {
public:
  virtual ~CommBackend() = default;

  // Opens the device for reading and writing, for this process alone, never
  // as a controlling terminal. On failure: kInvalidHandle, `error` = errno
  // (EBUSY: another program holds the device).
  virtual CommHandle Open(const std::string& device, int& error) = 0;
  // Programs rate, framing, flow control and the DTR/RTS lines. A device
  // without modem lines (a pseudo-terminal) accepts the record and skips them.
  virtual bool SetCommState(CommHandle handle, const DCB& dcb) = 0;
  virtual bool SetCommTimeouts(CommHandle handle, const COMMTIMEOUTS& timeouts) = 0;
  virtual bool SetupComm(CommHandle handle, uint32_t input_size, uint32_t output_size) = 0;
  // kMs* bits; a device without modem lines reports 0 and succeeds (the
  // reader asks on every pass: a backend may remember that there are none).
  virtual bool GetCommModemStatus(CommHandle handle, uint32_t& status) = 0;
  // Waits at most `timeout_ms` for input to arrive.
  virtual WaitStatus WaitInput(CommHandle handle, uint32_t timeout_ms) = 0;
  // Number of bytes in the input queue.
  virtual CommStatus BytesWaiting(CommHandle handle, uint32_t& count) = 0;
  // Reads what waits, at most `count` bytes, without waiting; `read` may be 0.
  virtual CommStatus Read(CommHandle handle, void* buffer, uint32_t count, uint32_t& read) = 0;
  // Writes `count` bytes, blocking within the write time-outs; `written` is
  // what the device took (fewer than `count` when the time-out ran out).
  virtual CommStatus Write(CommHandle handle, const void* buffer, uint32_t count, uint32_t& written) = 0;
  virtual bool PurgeComm(CommHandle handle, uint32_t flags) = 0;
  // Switches the driver's RS-485 direction control on or off. On return
  // `settings` holds what the driver took (it may shorten the delays).
  // Returns 0, or the errno of the refusal: ENOTTY for a device without the
  // mode (a pseudo-terminal, most plain UARTs).
  virtual int SetRs485(CommHandle /*handle*/, Rs485Settings& /*settings*/) { return ENOTTY; }
  // The line settings the driver holds now; false when it cannot tell.
  virtual bool ReadLineSettings(CommHandle /*handle*/, LineReadBack& /*settings*/) { return false; }
  virtual bool CloseHandle(CommHandle handle) = 0;
  // The link state of a network handle; false for a device, which has none.
  virtual bool GetLinkStatus(CommHandle /*handle*/, LinkStatus& /*status*/) { return false; }
  // The driver's UART error counters now; false where the driver keeps none
  // (a pseudo-terminal, a USB modem, a network link).
  virtual bool GetErrorCounts(CommHandle /*handle*/, UartCounters& /*counts*/) { return false; }

  // Microseconds of a monotonic clock, from any thread: the reader stamps each
  // chunk with it right after its read returns, and the component the moment
  // a port opened and each write. Only differences mean anything.
  virtual uint64_t NowMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  // Timer resolution requests of the component (1 ms while it exists).
  virtual void TimeBeginPeriod(uint32_t ms) = 0;
  virtual void TimeEndPeriod(uint32_t ms) = 0;

  // The calling thread's id, and a priority (-15, -2, -1, 0, 1, 2, 15) for a
  // thread by that id; a refused priority change is ignored.
  virtual int CurrentThreadId() = 0;
  virtual void SetThreadPriority(int thread_id, int priority) = 0;
};

// The backend the component uses unless given another: it opens a device
// string of a network link ("tcp:HOST:PORT", "tcp-listen:[HOST:]PORT") with
// the network backend and any other with the serial device backend, and hands
// each later call to the backend that opened the handle.
CommBackend& DefaultCommBackend();
// The serial device backend of this platform (stateless apart from per-handle
// time-outs).
CommBackend& SerialDeviceBackend();

} // namespace korvane
