#include "serial/serial_port.h"

#include "serial/line_check.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

namespace korvane {

namespace {

constexpr int kClosePasses = 500;
constexpr uint32_t kClosePassMs = 10;

} // namespace

TSerialPort::TSerialPort(EventInvoker& invoker, CommBackend& backend, const PortMap& ports)
    : invoker_(invoker), backend_(backend), ports_(ports) {
  backend_.TimeBeginPeriod(1);
}

TSerialPort::~TSerialPort() {
  // The owner is going away: its handlers must not run any more.
  destroying_.store(true);
  if (thread_) thread_->Terminate();
  for (auto& t : retired_) t->Terminate();
  auto all_ended = [&] {
    if (thread_ && !thread_->Ended()) return false;
    return std::all_of(retired_.begin(), retired_.end(), [](const auto& t) { return t->Ended(); });
  };
  // A reader may be inside a synchronised call that started before
  // destroying_ was set: keep pumping until every reader has ended.
  while (!all_ended()) {
    invoker_.PumpMessages();
    std::unique_lock<std::mutex> lock(state_mutex_);
    end_cv_.wait_for(lock, std::chrono::milliseconds(kClosePassMs), all_ended);
  }
  thread_.reset();
  retired_.clear();
  backend_.TimeEndPeriod(1);
}

// ---- Open, Close ----------------------------------------------------------

void TSerialPort::Open() {
  ReapRetired();
  if (PortFromName(port_name_) == ConnectedPort()) return;
  if (thread_) Close();
  rs485_on_device_ = false; // a freshly opened device is in its own mode
  thread_ = std::make_unique<TComThread>(static_cast<ComThreadOwner&>(*this));
  if (ConnectedPort() == spNone) {
    Close();
    throw SerialError(ConnectError(), last_open_error_);
  }
  thread_->Start();
}

void TSerialPort::Close() {
  ReapRetired();
  if (!thread_) {
    connected_port_.store(spNone);
    return;
  }
  thread_->Terminate();
  for (int pass = 0; ConnectedPort() != spNone && pass < kClosePasses; ++pass) {
    invoker_.PumpMessages();
    WaitForThreadEnd(pass == 0 ? Delay() : kClosePassMs);
  }
  if (thread_->Ended())
    thread_.reset();
  else
    retired_.push_back(std::move(thread_)); // still ending; joined once it has
}

void TSerialPort::WaitForThreadEnd(uint32_t ms) {
  // In slices, pumping between them, so a long Delay cannot keep the reader's
  // OnDisconnect waiting.
  auto ended = [&] { return !thread_ || thread_->Ended(); };
  for (uint32_t left = ms; left > 0;) {
    const uint32_t slice = std::min(left, kClosePassMs);
    {
      std::unique_lock<std::mutex> lock(state_mutex_);
      if (end_cv_.wait_for(lock, std::chrono::milliseconds(slice), ended)) return;
    }
    left -= slice;
    if (left > 0) invoker_.PumpMessages();
  }
}

void TSerialPort::ReapRetired() {
  std::erase_if(retired_, [](const std::unique_ptr<TComThread>& t) { return t->Ended(); });
}

// ---- What the reader thread reaches ---------------------------------------

uint64_t TSerialPort::BeginOpen() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  connected_port_.store(spNone);
  return ++generation_;
}

bool TSerialPort::ConfigureDevice(CommHandle handle, std::string& reason) {
  try {
    ApplyDeviceControl(handle);
  } catch (const SerialError&) {
    reason = refusal_.empty() ? "the driver refused the line settings" : refusal_;
    return false;
  }
  ApplyTimeouts(handle);    // a refusal is ignored
  ApplyBufferSizes(handle); // likewise
  uart_at_open_ = UartCounters{};
  uart_baseline_ = backend_.GetErrorCounts(handle, uart_at_open_);
  return true;
}

void TSerialPort::OpenSucceeded(TCommPort port) {
  connected_port_.store(port);
  last_open_error_.clear();
  opened_at_us_ = backend_.NowMicros();
}

void TSerialPort::RaiseOnOwner(const std::function<void()>& call) {
  if (destroying_.load()) return;
  invoker_.RunOnOwnerThread([&] {
    if (!destroying_.load()) call();
  });
}

void TSerialPort::RaiseConnect(TCommPort port) {
  if (!destroying_.load() && OnConnect) OnConnect(*this, port);
}

void TSerialPort::CheckLines(CommHandle handle) {
  const TLineStatusSet lines = ReadLineStatus(handle);
  if (lines.Bits == line_status_.load()) return;
  line_status_.store(lines.Bits);
  RaiseOnOwner([&] {
    if (OnLineStatusChange) OnLineStatusChange(*this, lines);
  });
}

void TSerialPort::RaiseLinkChange(const LinkStatus& link) {
  RaiseOnOwner([&] {
    if (OnLinkChange) OnLinkChange(*this, link);
  });
}

void TSerialPort::RaiseReceive(std::string chunk, uint64_t stamp_us) {
  received_data_ = std::move(chunk);
  received_stamp_us_ = stamp_us;
  RaiseOnOwner([&] {
    if (OnReceive) OnReceive(*this, received_data_);
  });
}

void TSerialPort::RaiseDisconnect(TCommPort port) {
  RaiseOnOwner([&] {
    if (OnDisconnect) OnDisconnect(*this, port);
  });
}

void TSerialPort::ReaderEnded(uint64_t open, std::atomic<bool>& ended) {
  invoker_.ReaderEnds(); // before `ended`: the component may go at once after it
  std::lock_guard<std::mutex> lock(state_mutex_);
  // A reader that Close gave up on must not reset the port of a newer Open.
  if (generation_ == open) connected_port_.store(spNone);
  ended.store(true);
  end_cv_.notify_all();
}

// ---- Writing --------------------------------------------------------------

uint32_t TSerialPort::WriteToDevice(const void* buffer, uint32_t count) {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  const CommHandle handle = thread_ ? thread_->Handle() : kInvalidHandle;
  if (handle == kInvalidHandle) throw SerialError(NotOpenError());
  if (count == 0) return 0;
  uint32_t written = 0;
  if (backend_.Write(handle, buffer, count, written) != CommStatus::Ok) throw SerialError(NotOpenError());
  return std::min(written, count);
}

uint32_t TSerialPort::SendString(const std::string& text) {
  const size_t nul = text.find('\0');
  const size_t length =
      std::min<size_t>(nul == std::string::npos ? text.size() : nul, std::numeric_limits<uint32_t>::max());
  const uint32_t written = WriteToDevice(text.data(), static_cast<uint32_t>(length));
  if (OnSend) {
    try {
      OnSend(*this, text.substr(0, written));
    } catch (...) {
      throw SerialError(NotOpenError());
    }
  }
  return written;
}

uint32_t TSerialPort::SendBuffer(const void* buffer, uint32_t count) {
  if (count == 0 || buffer == nullptr) throw SerialError(NotOpenError());
  const uint32_t written = WriteToDevice(buffer, count);
  if (written > 0 && OnSend) {
    try {
      OnSend(*this, std::string());
    } catch (...) {
      throw SerialError(NotOpenError());
    }
  }
  return written;
}

// ---- Properties -----------------------------------------------------------

void TSerialPort::SetPort(TCommPort port) {
  if (port != Port()) port_name_ = PortName(port);
}

void TSerialPort::SetBaudRate(TBaudRate rate) {
  baud_value_ = BaudRateValue(rate);
  Reapply();
}

TDataWidth TSerialPort::DataWidth() const {
  switch (data_bits_) {
  case 5:
    return dw5Bits;
  case 6:
    return dw6Bits;
  case 7:
    return dw7Bits;
  default:
    return dw8Bits;
  }
}

void TSerialPort::CheckCombination(uint8_t data_bits, uint8_t stop_code) const {
  if ((data_bits == 5 && stop_code == sb2Bits) || (data_bits != 5 && stop_code == sb1_5Bits))
    throw SerialError("Invalid data-width and stop-bits combination.");
}

void TSerialPort::SetDataWidth(TDataWidth width) {
  const uint8_t bits = width <= dw8Bits ? static_cast<uint8_t>(5 + width) : 8;
  CheckCombination(bits, StopBits());
  data_bits_ = bits;
  Reapply();
}

void TSerialPort::SetStopBits(TStopBits stop_bits) {
  CheckCombination(data_bits_, stop_bits);
  stop_code_ = stop_bits;
  Reapply();
}

void TSerialPort::SetParity(TParityBits parity) {
  if (parity <= pbSpace) parity_code_ = parity;
  Reapply();
}

void TSerialPort::SetEnableDTROnOpen(bool on) {
  if (on == dtr_on_open_) return;
  dtr_on_open_ = on;
  Reapply();
}

void TSerialPort::SetEnableRTSOnOpen(bool on) {
  if (on == rts_on_open_) return;
  rts_on_open_ = on;
  Reapply();
}

void TSerialPort::SetHwFlowControl(THwFlowControl flow) {
  if (flow == hw_flow_) return;
  hw_flow_ = flow;
  Reapply();
}

void TSerialPort::SetSwFlowControl(TSwFlowControl flow) {
  if (flow == sw_flow_) return;
  sw_flow_ = flow;
  Reapply();
}

void TSerialPort::SetInputBuffer(uint32_t size) {
  if (size == input_buffer_) return;
  input_buffer_ = size;
  ReapplyBufferSizes();
}

void TSerialPort::SetOutputBuffer(uint32_t size) {
  if (size == output_buffer_) return;
  output_buffer_ = size;
  ReapplyBufferSizes();
}

void TSerialPort::SetPriority(TThreadPriority priority) {
  if (priority == priority_.load()) return;
  priority_.store(priority);
  if (thread_ && !thread_->Ended() && thread_->ThreadId() != 0)
    backend_.SetThreadPriority(thread_->ThreadId(), ThreadPriorityValue(priority));
}

void TSerialPort::SetCustomBaudRate(int32_t rate) {
  const bool custom = BaudRate() == brCustom;
  custom_baud_rate_ = rate;
  if (!custom) return;
  baud_value_ = rate;
  Reapply();
}

void TSerialPort::SetRs485(const Rs485Settings& settings) {
  if (settings == rs485_) return;
  rs485_ = settings;
  Reapply();
}

void TSerialPort::Reapply() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  if (thread_) ApplyDeviceControl(thread_->Handle());
}

void TSerialPort::ReapplyBufferSizes() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  if (thread_) ApplyBufferSizes(thread_->Handle());
}

// ---- Device operations ----------------------------------------------------

DCB TSerialPort::DeviceControl() const {
  LineSettings s;
  s.BaudValue = baud_value_;
  s.DataBits = data_bits_;
  s.ParityCode = parity_code_;
  s.StopCode = stop_code_;
  s.EnableDTROnOpen = dtr_on_open_;
  s.EnableRTSOnOpen = rts_on_open_;
  s.HwFlowControl = hw_flow_;
  s.SwFlowControl = sw_flow_;
  DCB dcb = BuildDeviceControl(s);
  if (rs485_.Enabled)
    dcb.Flags = (dcb.Flags & ~kDcbRtsControlMask) | kDcbRtsControlEnable | kDcbRtsControlHandshake;
  return dcb;
}

bool TSerialPort::ApplyDeviceControl(CommHandle handle) {
  if (handle == kInvalidHandle) return false;
  const DCB dcb = DeviceControl();
  refusal_.clear();
  // RS-485 first: a device without it is refused before its line is touched.
  std::string rs485_difference;
  if (!ApplyRs485(handle, RtsControl(dcb.Flags) == 3, rs485_difference))
    throw SerialError(ConnectError(), refusal_);
  if (!backend_.SetCommState(handle, dcb))
    throw SerialError(ConnectError(), "the driver refused the line settings");
  ReadBackSettings(handle, rs485_difference);
  return true;
}

bool TSerialPort::ApplyRs485(CommHandle handle, bool want, std::string& difference) {
  if (!want && !rs485_on_device_) return true;
  Rs485Settings asked = rs485_;
  asked.Enabled = want;
  Rs485Settings took = asked;
  const int error = backend_.SetRs485(handle, took);
  if (!want) {
    // A refusal to switch it off leaves nothing to do: the line is still ours.
    rs485_on_device_ = false;
    return true;
  }
  if (error != 0 || !took.Enabled) {
    refusal_ =
        error == 0 || error == ENOTTY || error == EINVAL
            ? "this device has no RS-485 mode (a USB adapter with automatic direction control needs none)"
            : std::string("RS-485 mode refused: ") + std::strerror(error);
    return false;
  }
  rs485_on_device_ = true;
  difference = DescribeRs485Difference(asked, took);
  return true;
}

void TSerialPort::ReadBackSettings(CommHandle handle, const std::string& rs485_difference) {
  LineReadBack asked;
  asked.Rate = static_cast<uint32_t>(baud_value_);
  asked.DataBits = data_bits_;
  asked.ParityCode = parity_code_;
  asked.StopCode = stop_code_;
  LineReadBack got;
  const bool reported = backend_.ReadLineSettings(handle, got);
  pseudo_terminal_ = reported && got.PseudoTerminal;
  std::string text = reported ? DescribeLineDifference(asked, got) : std::string();
  if (!rs485_difference.empty()) text += (text.empty() ? "the driver took " : ", ") + rs485_difference;
  settings_difference_ = std::move(text);
}

bool TSerialPort::ApplyTimeouts(CommHandle handle) {
  if (handle == kInvalidHandle) return false;
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts_[0]);
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_[1]);
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts_[2]);
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_[3]);
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts_[4]);
  return backend_.SetCommTimeouts(handle, t);
}

bool TSerialPort::ApplyBufferSizes(CommHandle handle) {
  if (handle == kInvalidHandle) return false;
  return backend_.SetupComm(handle, input_buffer_, output_buffer_);
}

bool TSerialPort::GetLinkStatus(LinkStatus& status) {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  const CommHandle handle = thread_ ? thread_->Handle() : kInvalidHandle;
  return handle != kInvalidHandle && backend_.GetLinkStatus(handle, status);
}

bool TSerialPort::UartErrors(UartCounters& since_open) {
  UartCounters now;
  {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    const CommHandle handle = thread_ ? thread_->Handle() : kInvalidHandle;
    if (handle == kInvalidHandle || !uart_baseline_ || !backend_.GetErrorCounts(handle, now)) return false;
  }
  // The counters wrap at 2^32: the difference in 32 bits is right across a wrap.
  since_open.Frame = now.Frame - uart_at_open_.Frame;
  since_open.Parity = now.Parity - uart_at_open_.Parity;
  since_open.Overrun = now.Overrun - uart_at_open_.Overrun;
  since_open.Break = now.Break - uart_at_open_.Break;
  since_open.BufferOverrun = now.BufferOverrun - uart_at_open_.BufferOverrun;
  return true;
}

TLineStatusSet TSerialPort::ReadLineStatus(CommHandle handle) {
  TLineStatusSet lines;
  uint32_t status = 0;
  if (handle == kInvalidHandle || !backend_.GetCommModemStatus(handle, status)) return lines;
  if (status & kMsCtsOn) lines.Include(lsCTS);
  if (status & kMsDsrOn) lines.Include(lsDSR);
  if (status & kMsRingOn) lines.Include(lsRING);
  if (status & kMsRlsdOn) lines.Include(lsRLSD);
  return lines;
}

} // namespace korvane
