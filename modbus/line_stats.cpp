#include "modbus/line_stats.h"

#include <algorithm>

namespace korvane::line {

struct LineStatistics::Device {
  bool Seen = false;
  DeviceStatistics Figures;
  // The latest response times: a ring of at most kSamplesKept.
  std::vector<int64_t> Samples;
  size_t Next = 0; // slot of the next sample once the ring is full
  uint64_t Count = 0;
};

LineStatistics::LineStatistics() = default;
LineStatistics::~LineStatistics() = default;
LineStatistics::LineStatistics(const LineStatistics&) = default;
LineStatistics& LineStatistics::operator=(const LineStatistics&) = default;

namespace {

// The exception code of an exception reply, or -1.
int ExceptionCodeOf(const Frame& f) {
  if (f.Framing == frame::Framing::kAscii) {
    // ":" address function code ...: the code is characters 5 and 6.
    const std::string& t = f.Bytes;
    if (t.size() < 7) return -1;
    auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    const int hi = digit(t[5]), lo = digit(t[6]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
  }
  return f.Bytes.size() > frame::kExceptionCodeOffset
             ? static_cast<uint8_t>(f.Bytes[frame::kExceptionCodeOffset])
             : -1;
}

} // namespace

void LineStatistics::AddFrame(const Frame& frame) {
  if (frame.Kind == FrameKind::kNoise || frame.Device < 0) {
    ++noise_;
    return;
  }
  if (frame.Flags & kEcho) return; // the frame written was counted
  const auto address = static_cast<size_t>(frame.Device) & 0xFF;
  if (devices_.size() <= address) devices_.resize(address + 1);
  Device& d = devices_[address];
  d.Seen = true;
  DeviceStatistics& s = d.Figures;
  s.Device = static_cast<int>(address);
  if (frame.Check == FrameCheck::kCrc || frame.Check == FrameCheck::kLrc) {
    ++s.ChecksumErrors;
    return;
  }
  if (frame.Check != FrameCheck::kOk) return;
  switch (frame.Kind) {
  case FrameKind::kRequest:
    ++s.Requests;
    break;
  case FrameKind::kReply:
    ++s.GoodReplies;
    break;
  case FrameKind::kException: {
    const int code = ExceptionCodeOf(frame);
    ++s.ExceptionTotal;
    if (code >= 0) ++s.Exceptions[static_cast<size_t>(code)];
    break;
  }
  default:
    break;
  }
  if ((frame.Kind == FrameKind::kReply || frame.Kind == FrameKind::kException) && frame.ResponseUs >= 0) {
    if (d.Samples.size() < kSamplesKept) {
      d.Samples.push_back(frame.ResponseUs);
    } else {
      d.Samples[d.Next] = frame.ResponseUs;
      d.Next = (d.Next + 1) % kSamplesKept;
    }
    ++d.Count;
  }
}

void LineStatistics::AddTimeout(const Frame& request) {
  if (request.Device < 0) return;
  const auto address = static_cast<size_t>(request.Device) & 0xFF;
  if (devices_.size() <= address) devices_.resize(address + 1);
  Device& d = devices_[address];
  d.Seen = true;
  d.Figures.Device = static_cast<int>(address);
  ++d.Figures.Timeouts;
}

void LineStatistics::Reset() {
  devices_.clear();
  noise_ = 0;
}

namespace {

// Nearest rank: the smallest sample with at least p percent of the samples at
// or below it (`sorted` ascending, not empty).
int64_t Percentile(const std::vector<int64_t>& sorted, unsigned percent) {
  const size_t n = sorted.size();
  size_t rank = (n * percent + 99) / 100; // 1-based, rounded up
  if (rank < 1) rank = 1;
  return sorted[rank - 1];
}

} // namespace

std::vector<DeviceStatistics> LineStatistics::Devices() const {
  std::vector<DeviceStatistics> result;
  std::vector<int64_t> sorted;
  for (const Device& d : devices_) {
    if (!d.Seen) continue;
    DeviceStatistics s = d.Figures;
    s.Response = {};
    if (!d.Samples.empty()) {
      sorted = d.Samples;
      std::sort(sorted.begin(), sorted.end());
      s.Response.Count = d.Count;
      s.Response.MinUs = sorted.front();
      s.Response.MaxUs = sorted.back();
      s.Response.MedianUs = Percentile(sorted, 50);
      s.Response.P95Us = Percentile(sorted, 95);
      s.Response.P99Us = Percentile(sorted, 99);
    }
    result.push_back(s);
  }
  return result;
}

int64_t LineStatistics::SuggestedTimeoutMs(int64_t p99Us) {
  if (p99Us < 0) return -1;
  // p99 + max(p99 / 4, 10 ms), in quarters of a microsecond to stay exact.
  const int64_t quarters = 4 * p99Us + std::max<int64_t>(p99Us, 40000);
  return (quarters + 3999) / 4000;
}

} // namespace korvane::line
