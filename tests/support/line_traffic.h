#pragma once
// Real RTU traffic for a LineAnalyzer, fed as port control feeds it: frames
// written with their times on the line, pieces read with the time the read
// returned, at 9600 baud 8N1 (1042 us a character) on a clock of the test's
// own that only moves forward. Each step lets a pause go by afterwards (and
// tells the analyzer), so frames are framed by the silence after them.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "modbus/frame_rules.h"
#include "modbus/line_decoder.h"
#include "monitor/core/line_analyzer.h"

namespace korvane::test {

class LineTraffic {
public:
  static constexpr uint64_t kCharUs = 1042;
  static constexpr uint64_t kOpenUs = 5'000'000;
  static constexpr uint64_t kPauseUs = 10'000;

  // The port opens at kOpenUs; the first frame comes `firstUs` later.
  explicit LineTraffic(LineAnalyzer& la, uint64_t firstUs = 0, const std::string& timingNote = "") : la_(la) {
    line::DecoderSettings s;
    s.Baud = 9600;
    s.ReplyTimeoutUs = 400'000;
    la_.Start(s, kOpenUs, timingNote);
    now_ = kOpenUs + firstUs;
  }

  // An RTU frame: the body and its CRC.
  static std::string Rtu(std::initializer_list<int> body) {
    std::string f;
    for (int b : body) f.push_back(static_cast<char>(b));
    frame::AppendCrc(f);
    return f;
  }

  void Write(const std::string& frame, uint64_t pauseUs = kPauseUs) {
    const uint64_t end = now_ + frame.size() * kCharUs;
    la_.Sent(frame, now_, end);
    now_ = end;
    Pause(pauseUs);
  }
  void Read(const std::string& bytes, uint64_t pauseUs = kPauseUs) {
    now_ += bytes.size() * kCharUs;
    la_.Received(bytes, now_);
    Pause(pauseUs);
  }
  void Exchange(const std::string& request, const std::string& reply) {
    Write(request);
    Read(reply);
  }
  void Pause(uint64_t us) {
    now_ += us;
    la_.Advance(now_);
  }
  // Microseconds since the port opened.
  uint64_t Elapsed() const { return now_ - kOpenUs; }

private:
  LineAnalyzer& la_;
  uint64_t now_ = 0;
};

// A read of ten holding registers from `device` and its reply (values 1..10).
inline std::string ReadRequest(int device, int start = 0) {
  return LineTraffic::Rtu({device, 3, start >> 8, start & 0xFF, 0, 10});
}
inline std::string ReadReply(int device) {
  return LineTraffic::Rtu({device, 3, 20, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10});
}

} // namespace korvane::test
