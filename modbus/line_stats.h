#pragma once
// Statistics of the line per device address, fed with the decoder's frames:
// requests, good replies, CRC or LRC errors, time-outs, exceptions by code,
// response times (minimum, median, 95th and 99th percentile, maximum) and a
// suggested reply time-out. No clock, no Qt.
#include <array>
#include <cstdint>
#include <vector>

#include "modbus/line_decoder.h"

namespace korvane::line {

struct ResponseFigures {
  uint64_t Count = 0; // replies with a measured response time
  int64_t MinUs = -1, MedianUs = -1, P95Us = -1, P99Us = -1, MaxUs = -1; // -1 while none
};

struct DeviceStatistics {
  int Device = 0;
  uint64_t Requests = 0;
  uint64_t GoodReplies = 0;    // normal replies that checked
  uint64_t ChecksumErrors = 0; // frames with this address byte whose CRC or LRC failed
  uint64_t Timeouts = 0;
  uint64_t ExceptionTotal = 0;
  std::array<uint64_t, 256> Exceptions{}; // by exception code
  ResponseFigures Response;
};

class LineStatistics {
public:
  // At most this many response times are kept per device (the latest).
  static constexpr size_t kSamplesKept = 65536;

  void AddFrame(const Frame& frame);
  void AddTimeout(const Frame& request);
  void Reset();
  // The devices seen, in address order, with their figures computed now.
  std::vector<DeviceStatistics> Devices() const;
  // Noise entries (no device).
  uint64_t NoiseFrames() const { return noise_; }

  // The reply time-out to suggest for a 99th percentile of `p99Us`: it plus a
  // margin, rounded up to whole milliseconds; -1 when there is no figure.
  static int64_t SuggestedTimeoutMs(int64_t p99Us);

private:
  struct Device;
  std::vector<Device> devices_; // indexed by address, grown as needed
  uint64_t noise_ = 0;

public:
  LineStatistics();
  ~LineStatistics();
  LineStatistics(const LineStatistics&);
  LineStatistics& operator=(const LineStatistics&);
};

} // namespace korvane::line
