// The component's default backend: the device string picks the backend that
// opens it, and the handle picks the backend of every later call (network
// handles lie in a range of their own, see tcp_backend.h).
#include "serial/platform/comm_backend.h"
#include "serial/platform/tcp_backend.h"

namespace korvane {

namespace {

class SelectingBackend final : public CommBackend {
public:
  CommHandle Open(const std::string& device, int& error) override {
    return (IsNetworkDevice(device) ? NetworkBackend() : SerialDeviceBackend()).Open(device, error);
  }
  bool SetCommState(CommHandle h, const DCB& dcb) override { return For(h).SetCommState(h, dcb); }
  bool SetCommTimeouts(CommHandle h, const COMMTIMEOUTS& t) override { return For(h).SetCommTimeouts(h, t); }
  bool SetupComm(CommHandle h, uint32_t in, uint32_t out) override { return For(h).SetupComm(h, in, out); }
  bool GetCommModemStatus(CommHandle h, uint32_t& status) override {
    return For(h).GetCommModemStatus(h, status);
  }
  WaitStatus WaitInput(CommHandle h, uint32_t timeout_ms) override { return For(h).WaitInput(h, timeout_ms); }
  CommStatus BytesWaiting(CommHandle h, uint32_t& count) override { return For(h).BytesWaiting(h, count); }
  CommStatus Read(CommHandle h, void* buffer, uint32_t count, uint32_t& read) override {
    return For(h).Read(h, buffer, count, read);
  }
  CommStatus Write(CommHandle h, const void* buffer, uint32_t count, uint32_t& written) override {
    return For(h).Write(h, buffer, count, written);
  }
  bool PurgeComm(CommHandle h, uint32_t flags) override { return For(h).PurgeComm(h, flags); }
  bool CloseHandle(CommHandle h) override { return For(h).CloseHandle(h); }
  bool GetLinkStatus(CommHandle h, LinkStatus& status) override { return For(h).GetLinkStatus(h, status); }
  int SetRs485(CommHandle h, Rs485Settings& settings) override { return For(h).SetRs485(h, settings); }
  bool ReadLineSettings(CommHandle h, LineReadBack& settings) override {
    return For(h).ReadLineSettings(h, settings);
  }
  bool GetErrorCounts(CommHandle h, UartCounters& counts) override {
    return For(h).GetErrorCounts(h, counts);
  }

  // Not about a handle: the platform's own.
  void TimeBeginPeriod(uint32_t ms) override { SerialDeviceBackend().TimeBeginPeriod(ms); }
  void TimeEndPeriod(uint32_t ms) override { SerialDeviceBackend().TimeEndPeriod(ms); }
  int CurrentThreadId() override { return SerialDeviceBackend().CurrentThreadId(); }
  uint64_t NowMicros() override { return SerialDeviceBackend().NowMicros(); }
  void SetThreadPriority(int thread_id, int priority) override {
    SerialDeviceBackend().SetThreadPriority(thread_id, priority);
  }

private:
  static CommBackend& For(CommHandle h) {
    return IsNetworkHandle(h) ? NetworkBackend() : SerialDeviceBackend();
  }
};

} // namespace

CommBackend& DefaultCommBackend() {
  static SelectingBackend backend;
  return backend;
}

} // namespace korvane
