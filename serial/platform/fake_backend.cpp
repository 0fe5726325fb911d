#include "serial/platform/fake_backend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvane {

using Lock = std::lock_guard<std::mutex>;

void FakeBackend::SetOpenError(int error) {
  Lock l(mutex_);
  open_error_ = error;
}
void FakeBackend::SetRefuseState(bool refuse) {
  Lock l(mutex_);
  refuse_state_ = refuse;
}
void FakeBackend::SetFailWrites(bool fail) {
  Lock l(mutex_);
  fail_writes_ = fail;
}
void FakeBackend::SetModemStatus(uint32_t status) {
  Lock l(mutex_);
  modem_status_ = status;
}

void FakeBackend::Feed(const std::string& bytes) {
  Lock l(mutex_);
  input_ += bytes;
  input_cv_.notify_all();
}

void FakeBackend::Vanish() {
  Lock l(mutex_);
  gone_ = true;
  input_cv_.notify_all();
}

void FakeBackend::SetRs485Error(int error) {
  Lock l(mutex_);
  rs485_error_ = error;
}
void FakeBackend::SetRs485DelayLimit(uint32_t limit_ms) {
  Lock l(mutex_);
  rs485_limit_ = limit_ms;
}
void FakeBackend::SetReadBack(bool reports, uint32_t max_rate, bool pseudo_terminal) {
  Lock l(mutex_);
  reports_settings_ = reports;
  max_rate_ = max_rate;
  pseudo_terminal_ = pseudo_terminal;
}
std::vector<Rs485Settings> FakeBackend::Rs485States() const {
  Lock l(mutex_);
  return rs485_states_;
}
bool FakeBackend::Rs485On() const {
  Lock l(mutex_);
  return rs485_on_;
}

int FakeBackend::SetRs485(CommHandle handle, Rs485Settings& settings) {
  Lock l(mutex_);
  if (!Valid(handle)) return EBADF;
  rs485_states_.push_back(settings);
  if (rs485_error_ != 0) return rs485_error_;
  settings.DelayBeforeSendMs = std::min(settings.DelayBeforeSendMs, rs485_limit_);
  settings.DelayAfterSendMs = std::min(settings.DelayAfterSendMs, rs485_limit_);
  rs485_on_ = settings.Enabled;
  return 0;
}

bool FakeBackend::ReadLineSettings(CommHandle handle, LineReadBack& settings) {
  Lock l(mutex_);
  if (!Valid(handle) || !reports_settings_ || states_.empty()) return false;
  const DCB& dcb = states_.back();
  settings.Rate = max_rate_ != 0 && dcb.BaudRate > max_rate_ ? max_rate_ : dcb.BaudRate;
  settings.DataBits = pseudo_terminal_ ? 8 : dcb.ByteSize;
  settings.ParityCode = pseudo_terminal_ ? 0 : dcb.Parity;
  settings.StopCode = dcb.StopBits;
  settings.PseudoTerminal = pseudo_terminal_;
  return true;
}

void FakeBackend::VanishAfter(const std::string& bytes) {
  Lock l(mutex_);
  input_ += bytes;
  gone_ = true;
  input_cv_.notify_all();
}

void FakeBackend::SetNowMicros(uint64_t us) {
  Lock l(mutex_);
  now_us_ = us;
}
void FakeBackend::SetReadTakesMicros(uint64_t read_us) {
  Lock l(mutex_);
  read_us_ = read_us;
}
void FakeBackend::SetErrorCounts(bool reports, const UartCounters& counts) {
  Lock l(mutex_);
  reports_counts_ = reports;
  counts_ = counts;
}
int FakeBackend::ReadsWithBytes() const {
  Lock l(mutex_);
  return reads_with_bytes_;
}

int FakeBackend::CountQueries() const {
  Lock l(mutex_);
  return count_queries_;
}

uint64_t FakeBackend::NowMicros() {
  Lock l(mutex_);
  return now_us_;
}

bool FakeBackend::GetErrorCounts(CommHandle handle, UartCounters& counts) {
  Lock l(mutex_);
  if (!Valid(handle) || !reports_counts_) return false;
  counts = counts_;
  return true;
}

std::vector<std::string> FakeBackend::Opened() const {
  Lock l(mutex_);
  return opened_;
}
std::vector<DCB> FakeBackend::States() const {
  Lock l(mutex_);
  return states_;
}
COMMTIMEOUTS FakeBackend::Timeouts() const {
  Lock l(mutex_);
  return timeouts_;
}
std::vector<std::pair<uint32_t, uint32_t>> FakeBackend::BufferSizes() const {
  Lock l(mutex_);
  return buffer_sizes_;
}
std::string FakeBackend::Written() const {
  Lock l(mutex_);
  return written_;
}
int FakeBackend::Purges() const {
  Lock l(mutex_);
  return purges_;
}
int FakeBackend::Closes() const {
  Lock l(mutex_);
  return closes_;
}
int FakeBackend::OpenHandles() const {
  Lock l(mutex_);
  return handle_ == kInvalidHandle ? 0 : 1;
}
int FakeBackend::TimePeriodDepth() const {
  Lock l(mutex_);
  return time_depth_;
}
std::vector<int> FakeBackend::Priorities() const {
  Lock l(mutex_);
  return priorities_;
}

CommHandle FakeBackend::Open(const std::string& device, int& error) {
  Lock l(mutex_);
  opened_.push_back(device);
  if (open_error_ != 0 || handle_ != kInvalidHandle) {
    error = open_error_ != 0 ? open_error_ : EBUSY;
    return kInvalidHandle;
  }
  error = 0;
  gone_ = false;
  rs485_on_ = false;
  input_.clear();
  handle_ = next_handle_++;
  return handle_;
}

bool FakeBackend::SetCommState(CommHandle handle, const DCB& dcb) {
  Lock l(mutex_);
  if (!Valid(handle) || refuse_state_) return false;
  states_.push_back(dcb);
  return true;
}

bool FakeBackend::SetCommTimeouts(CommHandle handle, const COMMTIMEOUTS& timeouts) {
  Lock l(mutex_);
  if (!Valid(handle)) return false;
  timeouts_ = timeouts;
  return true;
}

bool FakeBackend::SetupComm(CommHandle handle, uint32_t input_size, uint32_t output_size) {
  Lock l(mutex_);
  if (!Valid(handle)) return false;
  buffer_sizes_.emplace_back(input_size, output_size);
  return true;
}

bool FakeBackend::GetCommModemStatus(CommHandle handle, uint32_t& status) {
  Lock l(mutex_);
  status = modem_status_;
  return Valid(handle) && !gone_;
}

WaitStatus FakeBackend::WaitInput(CommHandle handle, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(mutex_);
  if (!Valid(handle)) return WaitStatus::Failed;
  input_cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return gone_ || !input_.empty(); });
  if (gone_) return WaitStatus::Gone;
  return input_.empty() ? WaitStatus::Timeout : WaitStatus::Ready;
}

CommStatus FakeBackend::BytesWaiting(CommHandle handle, uint32_t& count) {
  Lock l(mutex_);
  ++count_queries_;
  count = 0;
  if (!Valid(handle)) return CommStatus::Failed;
  if (gone_) return CommStatus::Gone;
  count = static_cast<uint32_t>(input_.size());
  return CommStatus::Ok;
}

CommStatus FakeBackend::Read(CommHandle handle, void* buffer, uint32_t count, uint32_t& read) {
  Lock l(mutex_);
  read = 0;
  if (!Valid(handle)) return CommStatus::Failed;
  if (gone_ && input_.empty()) return CommStatus::Gone;
  read = static_cast<uint32_t>(std::min<size_t>(count, input_.size()));
  std::memcpy(buffer, input_.data(), read);
  input_.erase(0, read);
  if (read > 0) {
    now_us_ += read_us_;
    ++reads_with_bytes_;
  }
  return CommStatus::Ok;
}

CommStatus FakeBackend::Write(CommHandle handle, const void* buffer, uint32_t count, uint32_t& written) {
  Lock l(mutex_);
  written = 0;
  if (!Valid(handle) || fail_writes_) return CommStatus::Failed;
  written_.append(static_cast<const char*>(buffer), count);
  written = count;
  return CommStatus::Ok;
}

bool FakeBackend::PurgeComm(CommHandle handle, uint32_t) {
  Lock l(mutex_);
  if (!Valid(handle)) return false;
  ++purges_;
  return true;
}

bool FakeBackend::CloseHandle(CommHandle handle) {
  Lock l(mutex_);
  if (!Valid(handle)) return false;
  ++closes_;
  handle_ = kInvalidHandle;
  return true;
}

void FakeBackend::TimeBeginPeriod(uint32_t) {
  Lock l(mutex_);
  ++time_depth_;
}
void FakeBackend::TimeEndPeriod(uint32_t) {
  Lock l(mutex_);
  --time_depth_;
}

void FakeBackend::SetThreadPriority(int, int priority) {
  Lock l(mutex_);
  priorities_.push_back(priority);
}

} // namespace korvane
