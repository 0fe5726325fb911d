#include "modbus/line_decoder.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::line;

namespace {

// A CRC of its own (bit by bit), so a fault in the shared table shows.
std::string WithCrc(std::string body) {
  uint16_t crc = 0xFFFF;
  for (char c : body) {
    crc ^= static_cast<uint8_t>(c);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  body.push_back(static_cast<char>(crc & 0xFF)); // low byte of the register first on the wire
  body.push_back(static_cast<char>(crc >> 8));
  return body;
}

std::string B(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s.push_back(static_cast<char>(x));
  return s;
}

struct Recorder : FrameSink {
  std::vector<Frame> Frames;
  std::vector<Frame> Timeouts;
  void OnFrame(const Frame& f) override { Frames.push_back(f); }
  void OnTimeout(const Frame& r) override { Timeouts.push_back(r); }
};

DecoderSettings Untimed() {
  DecoderSettings s;
  s.TimingResolved = false;
  return s;
}

// Clean traffic: a request and its reply, of each function.
TEST(LineDecoder, FramesCleanRtuTraffic) {
  const std::string frames[] = {
      WithCrc(B({1, 3, 0, 0, 0, 2})),           WithCrc(B({1, 3, 4, 0, 1, 0, 2})),
      WithCrc(B({2, 6, 0, 4, 0x04, 0xD2})),     WithCrc(B({2, 6, 0, 4, 0x04, 0xD2})),
      WithCrc(B({3, 16, 0, 0, 0, 1, 2, 0, 7})), WithCrc(B({3, 16, 0, 0, 0, 1})),
  };
  std::string line;
  for (const auto& f : frames) line += f;
  Recorder r;
  FrameDecoder d(r, Untimed());
  d.Received(line, 1000);
  d.Flush();
  ASSERT_EQ(r.Frames.size(), 6u);
  const FrameKind kinds[] = {FrameKind::kRequest, FrameKind::kReply,   FrameKind::kRequest,
                             FrameKind::kReply,   FrameKind::kRequest, FrameKind::kReply};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(r.Frames[i].Bytes, frames[i]) << i;
    EXPECT_EQ(r.Frames[i].Kind, kinds[i]) << i;
    EXPECT_EQ(r.Frames[i].Check, FrameCheck::kOk) << i;
  }
  EXPECT_EQ(Summary(r.Frames[0]), "Read Holding Registers 1-2");
  EXPECT_EQ(Summary(r.Frames[1]), "Reply: 2 registers");
  EXPECT_EQ(Summary(r.Frames[2]), "Write Single Register 5 = 1234");
  EXPECT_EQ(Summary(r.Frames[3]), "Reply: register 5 = 1234");
}

} // namespace
