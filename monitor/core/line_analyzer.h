#pragma once
// The line analyzer: what port control writes and reads goes through the frame
// decoder into a bounded ring of the last kCapacity frames and the per-device
// statistics; listeners (the headless trace, the listen-only mode's passive
// poll) hear every frame as it is framed. The window and "Export CSV" read the
// ring. Runs on the user-interface thread; no Qt.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "modbus/line_decoder.h"
#include "modbus/line_stats.h"

namespace korvane {

// UART error counts of the driver since the port opened.
struct UartErrorCounts {
  bool Reported = false; // false: "not reported by this device"
  uint64_t Framing = 0, Parity = 0, Overrun = 0, Break = 0, BufferOverrun = 0;
};

class LineAnalyzer final : private line::FrameSink {
public:
  static constexpr size_t kCapacity = 100000;

  LineAnalyzer();

  // The port opened at `openUs` (the component's microsecond clock) with these
  // settings; times in the ring count from there. `timingNote` says why gaps
  // and silences cannot be measured (empty when they can). Clears the ring's
  // pending input, not the ring or the statistics.
  void Start(const line::DecoderSettings& settings, uint64_t openUs, const std::string& timingNote);
  // The port closed: what is pending is framed.
  void Stop();
  bool Running() const { return running_; }

  // A chunk read at `stampUs` / a frame written from `startUs` to `endUs`
  // (both on the component's clock). Ignored while not running.
  void Received(const std::string& chunk, uint64_t stampUs);
  void Sent(const std::string& frame, uint64_t startUs, uint64_t endUs);
  // Called by a timer: silences and reply time-outs are noticed without input.
  void Advance(uint64_t nowUs);

  // The ring, oldest first. Index 0 is frame number Total() - Size().
  size_t Size() const;
  const line::Frame& At(size_t index) const;
  uint64_t Total() const { return total_; } // frames ever framed since Clear
  void Clear();                             // ring and statistics
  // Changes each time a frame is added, the ring cleared or the statistics reset.
  uint64_t Generation() const { return generation_; }

  const line::LineStatistics& Statistics() const { return stats_; }
  void ResetStatistics();
  const std::string& TimingNote() const { return timingNote_; }
  const line::DecoderSettings& Settings() const { return decoder_.Settings(); }

  // UART counters; set by port control from the component.
  void SetUartErrors(const UartErrorCounts& counts) { uart_ = counts; }
  const UartErrorCounts& UartErrors() const { return uart_; }

  // The ring as CSV (header first), the frames for which `keep` says true.
  std::string ExportCsv(const std::function<bool(const line::Frame&)>& keep = nullptr) const;

  // Every frame as it is framed, after it joined the ring.
  std::vector<std::function<void(const line::Frame&)>> Listeners;

private:
  void OnFrame(const line::Frame& frame) override;
  void OnTimeout(const line::Frame& request) override;
  uint64_t Relative(uint64_t us) const { return us >= origin_ ? us - origin_ : 0; }

  line::FrameDecoder decoder_;
  std::vector<line::Frame> ring_; // kCapacity slots once full
  size_t head_ = 0;               // next slot to write once full
  uint64_t total_ = 0;
  uint64_t generation_ = 0;
  uint64_t origin_ = 0;
  bool running_ = false;
  std::string timingNote_;
  line::LineStatistics stats_;
  UartErrorCounts uart_;
};

} // namespace korvane
