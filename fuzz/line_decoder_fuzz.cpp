// Fuzz target for the frame decoder of the line analyzer (built twice: RTU
// and ASCII framing).
//
// Input: 2 header bytes, then the line's bytes.
//   0  bit 0: timing resolved; bits 1..3: largest piece (1 << (bits + 1));
//      bits 4..7: one piece in (1 + value) is a frame written instead of read
//   1  seed of the piece sizes, the stamps' steps, echoes and Advance calls
//
// Checks:
//   - the frames read put together are exactly the bytes read, in order, and
//     the frames written are exactly what was written;
//   - no frame read is longer than the longest frame (an echo aside);
//   - a frame that checked checks by the target's own CRC or LRC;
//   - times run forward: TimeUs <= EndUs, frames read in order of TimeUs, a
//     paired reply's response time is not negative;
//   - no more time-outs than requests that await a reply, and never a broadcast's;
//   - the summary, the fields and the CSV line of every frame can be built.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "modbus/line_decoder.h"

#ifndef KORVANE_FUZZ_ASCII
#error "define KORVANE_FUZZ_ASCII as 0 (RTU) or 1 (ASCII)"
#endif

namespace {

using namespace korvane;
using korvane::fuzz::Rng;
constexpr bool kAscii = KORVANE_FUZZ_ASCII != 0;

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// ":" hex pairs with their LRC, CR LF.
bool AsciiChecks(const std::string& t) {
  if (t.size() < 9 || t.front() != ':' || t[t.size() - 2] != '\r' || t.back() != '\n') return false;
  unsigned sum = 0;
  for (size_t i = 1; i + 3 < t.size(); i += 2) {
    const int hi = Hex(t[i]), lo = Hex(t[i + 1]);
    if (hi < 0 || lo < 0) return false;
    sum += static_cast<unsigned>(hi * 16 + lo);
  }
  return (t.size() - 3) % 2 == 0 && (sum & 0xFF) == 0;
}

struct Checker final : line::FrameSink {
  std::string read, written;
  uint64_t lastRxTime = 0;
  uint64_t requests = 0, timeouts = 0; // requests that await a reply, and those reported
  std::string csv;

  void OnFrame(const line::Frame& f) override {
    KORVANE_FUZZ_CHECK(f.TimeUs <= f.EndUs);
    (f.Dir == line::Direction::kRx ? read : written) += f.Bytes;
    const bool echo = (f.Flags & line::kEcho) != 0;
    if (f.Kind == line::FrameKind::kRequest && f.Check == line::FrameCheck::kOk && f.Device != 0 && !echo)
      ++requests;
    if (f.Dir == line::Direction::kRx) {
      KORVANE_FUZZ_CHECK(f.TimeUs >= lastRxTime);
      lastRxTime = f.TimeUs;
      if (!echo) KORVANE_FUZZ_CHECK(f.Bytes.size() <= (kAscii ? frame::kMaxAsciiFrame : frame::kMaxRtuFrame));
      if (f.Check == line::FrameCheck::kOk && !echo) {
        if (kAscii)
          KORVANE_FUZZ_CHECK(AsciiChecks(f.Bytes));
        else
          KORVANE_FUZZ_CHECK(fuzz::CrcOk(f.Bytes) && f.Bytes.size() >= 4);
      }
    }
    if (f.Kind == line::FrameKind::kNoise)
      KORVANE_FUZZ_CHECK(f.Device == -1 && f.Check == line::FrameCheck::kNoise);
    if (f.ResponseUs != -1) KORVANE_FUZZ_CHECK(f.ResponseUs >= 0 && f.ReplyDurationUs >= 0);
    const std::string s = line::Summary(f);
    KORVANE_FUZZ_CHECK(!s.empty());
    const line::Fields fields = line::DecodeFields(f);
    KORVANE_FUZZ_CHECK(fields.Registers.size() <= 128 && fields.Bits.size() <= 2048);
    csv.clear();
    line::AppendCsvLine(csv, f);
    KORVANE_FUZZ_CHECK(!csv.empty() && csv.back() == '\n');
  }

  void OnTimeout(const line::Frame& r) override {
    KORVANE_FUZZ_CHECK(r.Kind == line::FrameKind::kRequest && r.Device != 0 &&
                       r.Check == line::FrameCheck::kOk);
    KORVANE_FUZZ_CHECK(++timeouts <= requests);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  Rng rng(data[1]);
  const std::string line(reinterpret_cast<const char*>(data + 2), size - 2);
  line::DecoderSettings settings;
  settings.Framing = kAscii ? frame::Framing::kAscii : frame::Framing::kRtu;
  settings.Baud = 9600;
  settings.TimingResolved = (flags & 1) != 0;
  settings.ReplyTimeoutUs = 50000;
  Checker sink;
  line::FrameDecoder decoder(sink, settings);
  const size_t maxPiece = size_t{1} << (((flags >> 1) & 7) + 1);
  const uint32_t writeOneIn = 1u + (flags >> 4);
  std::string read, written;
  uint64_t now = 1000;
  for (size_t at = 0; at < line.size();) {
    const size_t n = std::min(rng.Size(maxPiece), line.size() - at);
    const std::string piece = line.substr(at, n);
    at += n;
    if (flags >> 4 && rng.Next() % writeOneIn == 0) {
      const uint64_t end = now + n * decoder.CharacterUs();
      decoder.Sent(piece, now, end);
      written += piece;
      if (rng.Next() % 2 == 0) { // the line echoes it
        decoder.Received(piece, end);
        read += piece;
      }
      now = end;
    } else {
      now += rng.Next() % 4 == 0 ? rng.Next() % 20000 : n * decoder.CharacterUs();
      decoder.Received(piece, now);
      read += piece;
    }
    if (rng.Next() % 8 == 0) {
      now += rng.Next() % 100000;
      decoder.Advance(now);
    }
  }
  decoder.Flush();
  KORVANE_FUZZ_CHECK(sink.read == read);
  KORVANE_FUZZ_CHECK(sink.written == written);
  return 0;
}
