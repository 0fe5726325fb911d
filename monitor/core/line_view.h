#pragma once
// What the "Line Analyzer" window shows, without Qt: which frames of the
// analyzer's ring its table lists (kept up to date with the new frames only,
// never by a rescan of the ring), and the texts of its cells, of the selected
// frame and of the statistics.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/line_decoder.h"
#include "modbus/line_stats.h"
#include "monitor/core/line_analyzer.h"

namespace korvane {

// A frame counts as an error when its check failed, when it is noise or was
// cut short, or when it is an exception reply.
bool IsErrorFrame(const line::Frame& f);

// The table's filters. A function filter keeps the function's exception
// replies too (function byte with 0x80 set).
struct FrameFilter {
  int Device = -1;   // -1: every device
  int Function = -1; // -1: every function
  bool ErrorsOnly = false;

  bool KeepsAll() const { return Device < 0 && Function < 0 && !ErrorsOnly; }
  bool Keeps(const line::Frame& f) const;
  bool operator==(const FrameFilter&) const = default;
};

// The rows of the table: the absolute numbers (0 for the first frame after
// the ring was cleared) of the frames that pass the filter, oldest first.
// The analyzer's frame n sits at ring index n - (Total() - Size()) while
// n >= Total() - Size().
class FrameRows {
public:
  const FrameFilter& Filter() const { return filter_; }
  // A new filter: the rows are rebuilt from what the ring holds.
  void SetFilter(const FrameFilter& filter, const LineAnalyzer& la);
  // All rows from what the ring holds now.
  void Rebuild(const LineAnalyzer& la);

  // True when the ring was cleared since the rows were last brought up to
  // date (then they are to be rebuilt, not extended).
  bool RingCleared(const LineAnalyzer& la) const;
  // Rows at the front whose frames the ring has overwritten since.
  size_t Stale(const LineAnalyzer& la) const;
  void DropFront(size_t n);
  // The frames added to the ring since the last call (or rebuild) that pass
  // the filter, appended to `out` as absolute numbers; they count as seen.
  void TakeNew(const LineAnalyzer& la, std::vector<uint64_t>& out);
  void Append(const std::vector<uint64_t>& numbers);

  size_t Size() const { return numbers_.size() - head_; }
  uint64_t Number(size_t row) const { return numbers_[head_ + row]; }
  // The frame a row shows; nullptr when the ring no longer holds it.
  const line::Frame* FrameOf(const LineAnalyzer& la, size_t row) const;
  // The row showing frame `number`, or -1.
  long RowOf(uint64_t number) const;

private:
  void Remember(const LineAnalyzer& la);

  FrameFilter filter_;
  std::vector<uint64_t> numbers_; // rows are numbers_[head_..]
  size_t head_ = 0;
  uint64_t seen_ = 0; // frames below this number have been looked at
  // The last frame looked at, to notice a ring cleared and refilled between
  // two updates (the total alone may have grown past seen_ again).
  uint64_t lastTime_ = 0, lastEnd_ = 0;
  std::string lastBytes_;
};

// Table cells. Times in milliseconds with microseconds: "1234.567".
std::string MillisText(uint64_t us);
// A response time in ms, empty for -1.
std::string ResponseText(int64_t us);
const char* DirectionText(line::Direction d); // "tx" / "rx"
// "ok", "crc", "lrc" or "noise", and the flags in brackets: "ok (echo)",
// "noise (cut)", "ok (gap inside, short silence)".
std::string CheckText(const line::Frame& f);

// How a row is coloured, the strongest reason first.
enum class RowTone : uint8_t { kPlain, kChecksum, kNoise, kException, kEcho };
RowTone ToneOf(const line::Frame& f);

// The bytes in hex, 16 per line: a 4-digit hex offset, the bytes, and the
// printable characters ("." for the others).
std::string HexDump(std::string_view bytes);
// The decoded fields of a frame, one per line, the summary first.
std::string FieldsText(const line::Frame& f);

// Statistics cells: exceptions by code ("2:3, 4:1"; empty for none), the
// suggested time-out in ms (empty when there is no figure).
std::string ExceptionsText(const line::DeviceStatistics& d);
std::string SuggestedTimeoutText(const line::DeviceStatistics& d);
// "UART errors: framing 0, parity 0, overrun 0, break 0, buffer overrun 0",
// or "UART errors: not reported by this device".
std::string UartText(const UartErrorCounts& u);

} // namespace korvane
