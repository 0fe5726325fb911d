#include "monitor/core/line_view.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace korvane {

bool IsErrorFrame(const line::Frame& f) {
  return f.Check != line::FrameCheck::kOk || f.Kind == line::FrameKind::kNoise ||
         f.Kind == line::FrameKind::kException || (f.Flags & line::kCut) != 0;
}

bool FrameFilter::Keeps(const line::Frame& f) const {
  if (Device >= 0 && f.Device != Device) return false;
  if (Function >= 0 && (f.Function < 0 || (f.Function & 0x7F) != Function)) return false;
  return !ErrorsOnly || IsErrorFrame(f);
}

// ---------------------------------------------------------------- rows

void FrameRows::SetFilter(const FrameFilter& filter, const LineAnalyzer& la) {
  filter_ = filter;
  Rebuild(la);
}

void FrameRows::Rebuild(const LineAnalyzer& la) {
  numbers_.clear();
  head_ = 0;
  seen_ = la.Total() - la.Size();
  std::vector<uint64_t> all;
  TakeNew(la, all);
  numbers_ = std::move(all);
}

bool FrameRows::RingCleared(const LineAnalyzer& la) const {
  if (la.Total() < seen_) return true;
  if (seen_ == 0) return false;
  const uint64_t oldest = la.Total() - la.Size();
  if (seen_ - 1 < oldest) return false; // overwritten since: every row is stale anyway
  const line::Frame& last = la.At(static_cast<size_t>(seen_ - 1 - oldest));
  return last.TimeUs != lastTime_ || last.EndUs != lastEnd_ || last.Bytes != lastBytes_;
}

size_t FrameRows::Stale(const LineAnalyzer& la) const {
  const uint64_t oldest = la.Total() - la.Size();
  const auto begin = numbers_.begin() + static_cast<std::ptrdiff_t>(head_);
  return static_cast<size_t>(std::lower_bound(begin, numbers_.end(), oldest) - begin);
}

void FrameRows::DropFront(size_t n) {
  head_ += std::min(n, Size());
  // The dropped numbers are given back once they are as many as the rows.
  if (head_ > 4096 && head_ > numbers_.size() / 2) {
    numbers_.erase(numbers_.begin(), numbers_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void FrameRows::TakeNew(const LineAnalyzer& la, std::vector<uint64_t>& out) {
  const uint64_t total = la.Total();
  const uint64_t oldest = total - la.Size();
  for (uint64_t n = std::max(seen_, oldest); n < total; ++n)
    if (filter_.Keeps(la.At(static_cast<size_t>(n - oldest)))) out.push_back(n);
  seen_ = total;
  Remember(la);
}

void FrameRows::Append(const std::vector<uint64_t>& numbers) {
  numbers_.insert(numbers_.end(), numbers.begin(), numbers.end());
}

void FrameRows::Remember(const LineAnalyzer& la) {
  if (la.Size() == 0) {
    lastBytes_.clear();
    lastTime_ = lastEnd_ = 0;
    return;
  }
  const line::Frame& last = la.At(la.Size() - 1);
  lastTime_ = last.TimeUs;
  lastEnd_ = last.EndUs;
  lastBytes_ = last.Bytes;
}

const line::Frame* FrameRows::FrameOf(const LineAnalyzer& la, size_t row) const {
  if (row >= Size()) return nullptr;
  const uint64_t n = Number(row);
  const uint64_t oldest = la.Total() - la.Size();
  if (n < oldest || n >= la.Total()) return nullptr;
  return &la.At(static_cast<size_t>(n - oldest));
}

long FrameRows::RowOf(uint64_t number) const {
  const auto begin = numbers_.begin() + static_cast<std::ptrdiff_t>(head_);
  const auto it = std::lower_bound(begin, numbers_.end(), number);
  return it != numbers_.end() && *it == number ? static_cast<long>(it - begin) : -1;
}

// ---------------------------------------------------------------- texts

std::string MillisText(uint64_t us) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                static_cast<unsigned long long>(us % 1000));
  return buf;
}

std::string ResponseText(int64_t us) {
  return us < 0 ? std::string() : MillisText(static_cast<uint64_t>(us));
}

const char* DirectionText(line::Direction d) { return d == line::Direction::kTx ? "tx" : "rx"; }

std::string CheckText(const line::Frame& f) {
  std::string text;
  switch (f.Check) {
  case line::FrameCheck::kOk:
    text = "ok";
    break;
  case line::FrameCheck::kCrc:
    text = "crc";
    break;
  case line::FrameCheck::kLrc:
    text = "lrc";
    break;
  case line::FrameCheck::kNoise:
    text = "noise";
    break;
  }
  static constexpr std::pair<uint8_t, const char*> kFlags[] = {{line::kEcho, "echo"},
                                                               {line::kCut, "cut"},
                                                               {line::kGapInside, "gap inside"},
                                                               {line::kShortSilence, "short silence"}};
  const char* sep = " (";
  for (const auto& [flag, name] : kFlags) {
    if ((f.Flags & flag) == 0) continue;
    text += sep;
    text += name;
    sep = ", ";
  }
  if (*sep == ',') text += ')';
  return text;
}

RowTone ToneOf(const line::Frame& f) {
  if (f.Check == line::FrameCheck::kCrc || f.Check == line::FrameCheck::kLrc) return RowTone::kChecksum;
  if (f.Check == line::FrameCheck::kNoise || f.Kind == line::FrameKind::kNoise || (f.Flags & line::kCut) != 0)
    return RowTone::kNoise;
  if (f.Kind == line::FrameKind::kException) return RowTone::kException;
  if ((f.Flags & line::kEcho) != 0) return RowTone::kEcho;
  return RowTone::kPlain;
}

std::string HexDump(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve((bytes.size() / 16 + 1) * 76);
  for (size_t line = 0; line < bytes.size(); line += 16) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%04zX ", line);
    out += offset;
    const size_t end = std::min(bytes.size(), line + 16);
    for (size_t i = line; i < line + 16; ++i) {
      out += ' ';
      if (i < end) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out += kHex[b >> 4];
        out += kHex[b & 15];
      } else {
        out += "  ";
      }
    }
    out += "  ";
    for (size_t i = line; i < end; ++i) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    out += '\n';
  }
  return out;
}

namespace {

std::string Hex4(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v) & 0xFFFFu);
  return buf;
}

std::string Hex2(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(v) & 0xFFu);
  return buf;
}

// "3 Illegal Data Address": a code and its name where it has one.
std::string Named(int code, const char* name) {
  return name != nullptr && *name != '\0' ? std::to_string(code) + " " + name : std::to_string(code);
}

class FieldLines {
public:
  explicit FieldLines(std::string first) : out_(std::move(first) + "\n") {}
  void Add(const std::string& name, const std::string& value) { out_ += name + ": " + value + "\n"; }
  void AddNumber(const char* name, int value) {
    if (value >= 0) Add(name, std::to_string(value));
  }
  std::string Take() { return std::move(out_); }

private:
  std::string out_;
};

// Register values and bits, numbered from `first` (as on the wire) when it is known.
void AddValues(FieldLines& lines, const line::Fields& d, int first) {
  for (size_t i = 0; i < d.Registers.size(); ++i) {
    const std::string name = first >= 0 ? "Register " + std::to_string(first + 1 + static_cast<int>(i))
                                        : "Word " + std::to_string(i + 1);
    lines.Add(name, std::to_string(d.Registers[i]) + " (0x" + Hex4(d.Registers[i]) + ")");
  }
  if (d.Bits.empty()) return;
  std::string bits;
  for (size_t i = 0; i < d.Bits.size(); ++i) {
    if (i > 0 && i % 8 == 0) bits += ' ';
    bits += d.Bits[i] ? '1' : '0';
  }
  lines.Add(first >= 0 ? "Bits from " + std::to_string(first + 1) : std::string("Bits"), bits);
}

void AddCheck(FieldLines& lines, const line::Fields& d, bool lrc) {
  if (d.CheckReceived < 0) return;
  const auto text = [lrc](int v) { return lrc ? Hex2(v) : Hex4(v); };
  std::string value = "received " + text(d.CheckReceived);
  if (d.CheckComputed >= 0) value += ", computed " + text(d.CheckComputed);
  lines.Add(lrc ? "LRC" : "CRC", value);
}

} // namespace

std::string FieldsText(const line::Frame& f) {
  const line::Fields d = line::DecodeFields(f);
  FieldLines lines(line::Summary(f));
  lines.AddNumber("Address", d.Address);
  if (d.Function >= 0) {
    const std::string name = line::FunctionName(d.Function & 0x7F);
    lines.Add("Function", std::to_string(d.Function) + " (0x" + Hex2(d.Function) + ")" +
                              (name.empty() ? std::string() : " " + name));
  }
  if (d.ExceptionCode >= 0)
    lines.Add("Exception code", Named(d.ExceptionCode, line::ExceptionName(d.ExceptionCode)));
  // Users count registers and coils from 1; the wire counts from 0. A reply
  // numbers its values from its request's start.
  if (d.Start >= 0)
    lines.Add("Start address", std::to_string(d.Start) + " (number " + std::to_string(d.Start + 1) + ")");
  lines.AddNumber("Quantity", d.Quantity);
  lines.AddNumber("Byte count", d.ByteCount);
  if (d.Value >= 0) lines.Add("Value", std::to_string(d.Value) + " (0x" + Hex4(d.Value) + ")");
  AddValues(lines, d, d.Start >= 0 ? d.Start : f.RequestStart);
  AddCheck(lines, d, f.Framing == frame::Framing::kAscii);
  if (f.ResponseUs >= 0) lines.Add("Response", ResponseText(f.ResponseUs) + " ms");
  if (f.ReplyDurationUs >= 0) lines.Add("Reply duration", ResponseText(f.ReplyDurationUs) + " ms");
  lines.Add("Length", std::to_string(f.Bytes.size()) + (f.Bytes.size() == 1 ? " byte" : " bytes"));
  return lines.Take();
}

std::string ExceptionsText(const line::DeviceStatistics& d) {
  std::string out;
  for (size_t code = 0; code < d.Exceptions.size(); ++code) {
    if (d.Exceptions[code] == 0) continue;
    if (!out.empty()) out += ", ";
    out += std::to_string(code) + ":" + std::to_string(d.Exceptions[code]);
  }
  return out;
}

std::string SuggestedTimeoutText(const line::DeviceStatistics& d) {
  const int64_t ms = line::LineStatistics::SuggestedTimeoutMs(d.Response.P99Us);
  return ms < 0 ? std::string() : std::to_string(ms);
}

std::string UartText(const UartErrorCounts& u) {
  if (!u.Reported) return "UART errors: not reported by this device";
  return "UART errors: framing " + std::to_string(u.Framing) + ", parity " + std::to_string(u.Parity) +
         ", overrun " + std::to_string(u.Overrun) + ", break " + std::to_string(u.Break) +
         ", buffer overrun " + std::to_string(u.BufferOverrun);
}

} // namespace korvane
