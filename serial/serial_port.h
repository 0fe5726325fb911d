#pragma once
// TSerialPort: one serial port. It keeps the line settings as properties,
// opens the device (through its reader thread, TComThread), writes strings and
// buffers, reports received chunks and modem-line changes as events, and lists
// the ports the machine has. It is the only code that touches a serial device.
//
// Threads: every public operation, setter and event handler runs on the owner
// thread. The reader thread raises OnReceive, OnLineStatusChange and
// OnDisconnect through the EventInvoker and waits for each handler, so
// handlers never run beside each other or beside the owner's other code.
// OnConnect and OnSend run directly on the owner thread, inside Open and the
// writes.
#include "serial/com_thread.h"
#include "serial/device_control.h"
#include "serial/event_invoker.h"
#include "serial/platform/comm_backend.h"
#include "serial/port_map.h"
#include "serial/serial_types.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {

class TSerialPort;

using TSendReceiveEvent = std::function<void(TSerialPort& sender, const std::string& buffer)>;
using TLineStatusEvent = std::function<void(TSerialPort& sender, TLineStatusSet line_status)>;
using TConnectEvent = std::function<void(TSerialPort& sender, TCommPort port)>;
using TLinkEvent = std::function<void(TSerialPort& sender, const LinkStatus& link)>;

class TSerialPort final : private ComThreadOwner {
public:
  // `invoker`, `backend` and `ports` must outlive the component.
  explicit TSerialPort(EventInvoker& invoker, CommBackend& backend = DefaultCommBackend(),
                       const PortMap& ports = DefaultPortMap());
  // Stops the reader thread and waits for it (pumping the invoker meanwhile);
  // no event reaches the owner once destruction has begun.
  ~TSerialPort() override;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Opens the device of `Port`. Nothing happens when that port is already
  // open (or it is spNone and nothing is open); another open port is closed
  // first. Throws SerialError "Cannot connect to <name>." on failure, with
  // LastOpenError as its reason. An
  // error thrown by OnConnect leaves Open with the port open and reading.
  void Open();
  // Stops the reader thread and waits for it to end, at most 500 passes of
  // pumping the invoker and sleeping (Delay ms, then 10 ms each). Never throws.
  void Close();
  // Write up to the first NUL of `text`; OnSend gets the part written.
  // Throws "<name> is not open." when closed or on a failed write or OnSend.
  uint32_t SendString(const std::string& text);
  // Writes `count` (at least 1) bytes; OnSend gets an empty text when any
  // byte went out. Same error as SendString, also for a count of 0.
  uint32_t SendBuffer(const void* buffer, uint32_t count);
  TCommPortSet ExistingPorts() const { return ports_.ExistingPorts(); }

  static TCommPort PortFromName(const std::string& name) { return korvane::PortFromName(name); }
  static std::string PortName(TCommPort port) { return korvane::PortName(port); }
  static TBaudRate BaudRateFromValue(int32_t value) { return korvane::BaudRateFromValue(value); }
  int32_t BaudRateValue(TBaudRate rate) const { return korvane::BaudRateValue(rate, custom_baud_rate_); }

  // Published properties. Setters marked "re-applied" reprogram an open
  // device at once and throw the connect error when the device refuses (the
  // property keeps the new value, the device its former settings).
  TCommPort Port() const { return PortFromName(port_name_); }
  void SetPort(TCommPort port); // an open device stays open on the old port until the next Open
  TBaudRate BaudRate() const { return BaudRateFromValue(baud_value_); }
  void SetBaudRate(TBaudRate rate); // re-applied
  TDataWidth DataWidth() const;
  void SetDataWidth(TDataWidth width); // combination rule, then re-applied
  TStopBits StopBits() const { return stop_code_ <= 2 ? static_cast<TStopBits>(stop_code_) : sb1Bit; }
  void SetStopBits(TStopBits stop_bits); // combination rule, then re-applied
  TParityBits Parity() const { return parity_code_ <= 4 ? static_cast<TParityBits>(parity_code_) : pbNone; }
  void SetParity(TParityBits parity); // re-applied
  bool EnableDTROnOpen() const { return dtr_on_open_; }
  void SetEnableDTROnOpen(bool on); // re-applied when changed
  bool EnableRTSOnOpen() const { return rts_on_open_; }
  void SetEnableRTSOnOpen(bool on); // re-applied when changed
  THwFlowControl HwFlowControl() const { return hw_flow_; }
  void SetHwFlowControl(THwFlowControl flow); // re-applied when changed
  TSwFlowControl SwFlowControl() const { return sw_flow_; }
  void SetSwFlowControl(TSwFlowControl flow); // re-applied when changed
  // Time-outs take effect at the next Open. -1 reaches the device as 0xFFFFFFFF.
  int32_t ReadIntervalTimeout() const { return timeouts_[0]; }
  void SetReadIntervalTimeout(int32_t v) { timeouts_[0] = v; }
  int32_t ReadTotalTimeoutMultiplier() const { return timeouts_[1]; }
  void SetReadTotalTimeoutMultiplier(int32_t v) { timeouts_[1] = v; }
  int32_t ReadTotalTimeoutConstant() const { return timeouts_[2]; }
  void SetReadTotalTimeoutConstant(int32_t v) { timeouts_[2] = v; }
  int32_t WriteTotalTimeoutMultiplier() const { return timeouts_[3]; }
  void SetWriteTotalTimeoutMultiplier(int32_t v) { timeouts_[3] = v; }
  int32_t WriteTotalTimeoutConstant() const { return timeouts_[4]; }
  void SetWriteTotalTimeoutConstant(int32_t v) { timeouts_[4] = v; }
  uint32_t InputBuffer() const { return input_buffer_; }
  void SetInputBuffer(uint32_t size); // buffer sizes re-applied when changed
  uint32_t OutputBuffer() const { return output_buffer_; }
  void SetOutputBuffer(uint32_t size); // buffer sizes re-applied when changed
  TThreadPriority Priority() const { return priority_.load(); }
  void SetPriority(TThreadPriority priority); // given to a running reader at once
  // The reader's longest wait for input per pass, and the first wait of Close.
  uint32_t Delay() const { return delay_.load(); }
  void SetDelay(uint32_t ms) { delay_.store(ms); }
  int32_t CustomBaudRate() const { return custom_baud_rate_; }
  void SetCustomBaudRate(int32_t rate); // re-applied while BaudRate reads brCustom
  // RS-485 direction control by the driver; re-applied when changed. While it
  // is enabled the record's RTS control is toggle, and RTS toggle (RTS on open
  // with hfRTSCTS) asks the driver for the mode as well, with these delays. A
  // device without the mode refuses it: Open fails with the connect error and
  // nothing stays open (LastOpenError says why); a setter fails likewise.
  const Rs485Settings& Rs485() const { return rs485_; }
  void SetRs485(const Rs485Settings& settings);

  // The port that is open; spNone while closed.
  TCommPort ConnectedPort() const { return static_cast<TCommPort>(connected_port_.load()); }
  // Modem lines as last read by the reader thread; empty at first.
  TLineStatusSet LineStatus() const { return TLineStatusSet{line_status_.load()}; }
  // The chunk being delivered; valid inside OnReceive.
  const std::string& ReceivedData() const { return received_data_; }
  // When that chunk was read (NowMicros right after its read); valid inside
  // OnReceive.
  uint64_t ReceivedStampUs() const { return received_stamp_us_; }
  // The backend's monotonic clock in microseconds, the scale of the stamps.
  uint64_t NowMicros() const { return backend_.NowMicros(); }
  // When the open port was opened (NowMicros at the end of its last good
  // Open); 0 before any.
  uint64_t OpenedAtUs() const { return opened_at_us_; }
  // The open device is a pseudo-terminal, as its driver says when the line is
  // programmed; false when it cannot tell.
  bool IsPseudoTerminal() const { return pseudo_terminal_; }
  // The driver's UART error counts since the port opened (the counters read
  // at open are the baseline). False while closed and where the driver keeps
  // no counters.
  bool UartErrors(UartCounters& since_open);
  // The state of the open port's network link (a device mapped to a TCP
  // connection); false when the port is closed or is a plain device.
  bool GetLinkStatus(LinkStatus& status);
  // Why the last Open could not open its device, for the user: "<device>: "
  // followed by "permission denied; add your user to the dialout group ...",
  // "in use by another program", "no such device", "the driver refused the
  // line settings", why RS-485 mode could not be had or the system's message; "COM<n>: no such device (...)"
  // for a port that maps to nothing. Empty after a good Open.
  const std::string& LastOpenError() const { return last_open_error_; }
  // How the driver's settings differ from the ones last applied ("the driver
  // took 9600 baud instead of 12345"), read back after each programming of
  // the line; empty when it took them as given or cannot tell.
  const std::string& SettingsDifference() const { return settings_difference_; }
  // The COM map this component opens its ports by.
  const PortMap& Ports() const { return ports_; }

  // The record ApplyDeviceControl hands to the device for the current properties.
  DCB DeviceControl() const;
  // Operations on a device handle, shared with the reader thread. The first
  // three return false at once for the invalid handle; ApplyDeviceControl
  // throws the connect error when the device refuses the record.
  bool ApplyDeviceControl(CommHandle handle);
  bool ApplyTimeouts(CommHandle handle);
  bool ApplyBufferSizes(CommHandle handle);
  TLineStatusSet ReadLineStatus(CommHandle handle);

  TSendReceiveEvent OnReceive;
  TSendReceiveEvent OnSend;
  TLineStatusEvent OnLineStatusChange;
  TConnectEvent OnConnect;
  TConnectEvent OnDisconnect;
  // Raised by the reader thread when the network link of the open port drops
  // or comes back (the port stays open meanwhile).
  TLinkEvent OnLinkChange;

private:
  // What the reader thread reaches (ComThreadOwner).
  CommBackend& ReaderBackend() override { return backend_; }
  uint64_t BeginOpen() override;
  std::string PortNameToOpen() const override { return port_name_; }
  std::string DeviceOf(TCommPort port) const override { return ports_.ResolvePort(port); }
  bool ConfigureDevice(CommHandle handle, std::string& reason) override;
  void OpenSucceeded(TCommPort port) override;
  void OpenFailed(const std::string& reason) override { last_open_error_ = reason; }
  void RaiseConnect(TCommPort port) override;
  void ReaderBegins() override { invoker_.ReaderBegins(); }
  TThreadPriority ReaderPriority() const override { return Priority(); }
  uint32_t ReaderDelay() const override { return Delay(); }
  void CheckLines(CommHandle handle) override;
  void RaiseLinkChange(const LinkStatus& link) override;
  void RaiseReceive(std::string chunk, uint64_t stamp_us) override;
  void RaiseDisconnect(TCommPort port) override;
  std::mutex& HandleMutex() override { return handle_mutex_; }
  void ReaderEnded(uint64_t open, std::atomic<bool>& ended) override;
  // Runs `call` on the owner thread unless the component is being destroyed.
  void RaiseOnOwner(const std::function<void()>& call);

  std::string ConnectError() const { return "Cannot connect to " + port_name_ + "."; }
  std::string NotOpenError() const { return port_name_ + " is not open."; }
  void CheckCombination(uint8_t data_bits, uint8_t stop_code) const;
  // Switches the driver's RS-485 mode to `want` when that changes anything;
  // false (and refusal_ set) when the device refuses to switch it on.
  bool ApplyRs485(CommHandle handle, bool want, std::string& difference);
  // Reads the settings back and keeps what differs in settings_difference_.
  void ReadBackSettings(CommHandle handle, const std::string& rs485_difference);
  // Runs ApplyDeviceControl / ApplyBufferSizes on the open device, if any.
  void Reapply();
  void ReapplyBufferSizes();
  // Writes on the open device; throws the not-open error.
  uint32_t WriteToDevice(const void* buffer, uint32_t count);
  // Joins reader threads that have ended since Close gave up waiting for them.
  void ReapRetired();
  // Waits up to `ms` for a reader thread to end.
  void WaitForThreadEnd(uint32_t ms);

  EventInvoker& invoker_;
  CommBackend& backend_;
  const PortMap& ports_;

  std::string port_name_ = "COM2";
  int32_t baud_value_ = 4800;
  int32_t custom_baud_rate_ = 0;
  uint8_t data_bits_ = 8;
  uint8_t parity_code_ = 0;
  uint8_t stop_code_ = 0;
  bool dtr_on_open_ = true;
  bool rts_on_open_ = true;
  THwFlowControl hw_flow_ = hfNONE;
  TSwFlowControl sw_flow_ = sfNONE;
  std::string received_data_;
  uint64_t received_stamp_us_ = 0;
  uint64_t opened_at_us_ = 0;
  bool pseudo_terminal_ = false;
  bool uart_baseline_ = false; // the driver gave counters at open
  UartCounters uart_at_open_;
  std::atomic<uint8_t> line_status_{0};
  int32_t timeouts_[5] = {-1, 0, 0, 100, 1000};
  std::atomic<TThreadPriority> priority_{tpNormal};
  std::atomic<uint32_t> delay_{50};
  uint32_t input_buffer_ = 4096;
  uint32_t output_buffer_ = 4096;
  std::string last_open_error_;
  Rs485Settings rs485_;
  bool rs485_on_device_ = false; // the open device is in RS-485 mode
  std::string settings_difference_;
  std::string refusal_; // why ApplyDeviceControl last failed, when it knows more

  std::unique_ptr<TComThread> thread_;
  // Readers that Close stopped waiting for; joined once they have ended.
  std::vector<std::unique_ptr<TComThread>> retired_;
  std::atomic<uint8_t> connected_port_{spNone};
  std::atomic<bool> destroying_{false};

  // Guards generation_ and the reset of connected_port_ by an ending reader;
  // end_cv_ is signalled when a reader ends.
  std::mutex state_mutex_;
  std::condition_variable end_cv_;
  uint64_t generation_ = 0;
  // Held by the owner thread around each use of the reader's device handle,
  // and by the reader while it closes the handle: a handle is never closed
  // (and its number reused) while a write or setter uses it.
  std::mutex handle_mutex_;
};

} // namespace korvane
