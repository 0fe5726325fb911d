#pragma once
// A serial platform backend for unit tests: it records what the component
// hands it and plays a device whose input, modem lines, refusals and loss the
// test controls. Thread-safe: the reader thread and the test meet here.
#include "serial/platform/comm_backend.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {

class FakeBackend final : public CommBackend {
public:
  // --- What the test controls
  void SetOpenError(int error);         // Open fails with this errno (0: opens)
  void SetRefuseState(bool refuse);     // SetCommState fails
  void SetFailWrites(bool fail);        // Write fails
  void SetModemStatus(uint32_t status); // kMs* bits
  void Feed(const std::string& bytes);  // bytes arrive at the device
  void Vanish();                        // the device goes away
  // RS-485 mode: SetRs485 fails with this errno (0: the device has the mode);
  // the driver takes delays up to `limit_ms` and shortens longer ones.
  void SetRs485Error(int error);
  void SetRs485DelayLimit(uint32_t limit_ms);
  // What the driver reports back: the last record's settings, the rate at
  // most `max_rate` (0: any rate), and as a pseudo-terminal 8 data bits
  // without parity. `reports` false: the driver cannot tell.
  void SetReadBack(bool reports, uint32_t max_rate = 0, bool pseudo_terminal = false);
  // The last bytes arrive and the device goes away at the same moment: the
  // wait and the count report the loss, reads still give the bytes.
  void VanishAfter(const std::string& bytes);
  // The clock NowMicros reads: set by the test; each Read that returns bytes
  // moves it on by `read_us` (a read takes that long).
  void SetNowMicros(uint64_t us);
  void SetReadTakesMicros(uint64_t read_us);
  // The driver's UART error counters; `reports` false: it keeps none.
  void SetErrorCounts(bool reports, const UartCounters& counts = {});

  // --- What the component did
  std::vector<std::string> Opened() const;
  std::vector<DCB> States() const;
  COMMTIMEOUTS Timeouts() const;
  std::vector<std::pair<uint32_t, uint32_t>> BufferSizes() const;
  std::string Written() const;
  int Purges() const;
  int Closes() const;
  int OpenHandles() const;
  int TimePeriodDepth() const;
  std::vector<int> Priorities() const;
  std::vector<Rs485Settings> Rs485States() const; // each SetRs485 request, as asked
  bool Rs485On() const;                           // the device is in RS-485 mode now
  int ReadsWithBytes() const;                     // reads that returned bytes so far
  int CountQueries() const;                       // BytesWaiting calls so far

  CommHandle Open(const std::string& device, int& error) override;
  bool SetCommState(CommHandle handle, const DCB& dcb) override;
  bool SetCommTimeouts(CommHandle handle, const COMMTIMEOUTS& timeouts) override;
  bool SetupComm(CommHandle handle, uint32_t input_size, uint32_t output_size) override;
  bool GetCommModemStatus(CommHandle handle, uint32_t& status) override;
  WaitStatus WaitInput(CommHandle handle, uint32_t timeout_ms) override;
  CommStatus BytesWaiting(CommHandle handle, uint32_t& count) override;
  CommStatus Read(CommHandle handle, void* buffer, uint32_t count, uint32_t& read) override;
  CommStatus Write(CommHandle handle, const void* buffer, uint32_t count, uint32_t& written) override;
  bool PurgeComm(CommHandle handle, uint32_t flags) override;
  int SetRs485(CommHandle handle, Rs485Settings& settings) override;
  bool ReadLineSettings(CommHandle handle, LineReadBack& settings) override;
  bool GetErrorCounts(CommHandle handle, UartCounters& counts) override;
  uint64_t NowMicros() override;
  bool CloseHandle(CommHandle handle) override;
  void TimeBeginPeriod(uint32_t ms) override;
  void TimeEndPeriod(uint32_t ms) override;
  int CurrentThreadId() override { return 4242; }
  void SetThreadPriority(int thread_id, int priority) override;

private:
  bool Valid(CommHandle handle) const { return handle == handle_ && handle_ != kInvalidHandle; }

  mutable std::mutex mutex_;
  std::condition_variable input_cv_;
  int open_error_ = 0;
  bool refuse_state_ = false;
  bool fail_writes_ = false;
  bool gone_ = false;
  uint32_t modem_status_ = 0;
  std::string input_;
  CommHandle handle_ = kInvalidHandle;
  CommHandle next_handle_ = 100;
  std::vector<std::string> opened_;
  std::vector<DCB> states_;
  COMMTIMEOUTS timeouts_{};
  std::vector<std::pair<uint32_t, uint32_t>> buffer_sizes_;
  std::string written_;
  int purges_ = 0;
  int closes_ = 0;
  int time_depth_ = 0;
  std::vector<int> priorities_;
  int rs485_error_ = 0;
  uint32_t rs485_limit_ = 1000;
  bool rs485_on_ = false;
  std::vector<Rs485Settings> rs485_states_;
  bool reports_settings_ = true;
  uint32_t max_rate_ = 0;
  bool pseudo_terminal_ = false;
  uint64_t now_us_ = 0;
  uint64_t read_us_ = 0;
  int reads_with_bytes_ = 0;
  int count_queries_ = 0;
  bool reports_counts_ = false;
  UartCounters counts_;
};

} // namespace korvane
