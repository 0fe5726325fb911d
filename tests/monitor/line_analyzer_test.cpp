#include "monitor/core/line_analyzer.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace korvane;

namespace {

// A CRC of the test's own (bit by bit).
std::string Rtu(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s.push_back(static_cast<char>(x));
  uint16_t crc = 0xFFFF;
  for (char c : s) {
    crc ^= static_cast<uint8_t>(c);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return s + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

line::DecoderSettings Untimed() {
  line::DecoderSettings s;
  s.Baud = 9600;
  s.TimingResolved = false;
  s.ReplyTimeoutUs = 100000;
  return s;
}

TEST(LineAnalyzer, FramesCountFromThePortsOpening) {
  LineAnalyzer a;
  std::vector<std::string> heard;
  a.Listeners.push_back([&](const line::Frame& f) { heard.push_back(line::Summary(f)); });
  a.Received(Rtu({1, 3, 0, 0, 0, 1}), 10); // not running: ignored
  EXPECT_EQ(a.Size(), 0u);
  a.Start(Untimed(), 5000000, "pseudo-terminal");
  EXPECT_TRUE(a.Running());
  EXPECT_EQ(a.TimingNote(), "pseudo-terminal");
  const uint64_t g0 = a.Generation();
  a.Sent(Rtu({1, 3, 0, 0, 0, 1}), 5001000, 5009336);
  a.Received(Rtu({1, 3, 2, 0, 9}), 5030000);
  a.Received(Rtu({2, 6, 0, 0, 0, 1}).substr(0, 5), 5040000); // pending at the close
  ASSERT_EQ(a.Size(), 2u);
  EXPECT_GT(a.Generation(), g0);
  EXPECT_EQ(a.At(0).TimeUs, 1000u);
  EXPECT_EQ(a.At(0).EndUs, 9336u);
  EXPECT_EQ(a.At(1).TimeUs, 30000u - 6 * 1042);
  EXPECT_EQ(a.At(1).ResponseUs, static_cast<int64_t>(30000 - 6 * 1042 - 9336));
  a.Stop();
  EXPECT_FALSE(a.Running());
  ASSERT_EQ(a.Size(), 3u);
  EXPECT_EQ(a.At(2).Kind, line::FrameKind::kNoise);
  EXPECT_EQ(heard, (std::vector<std::string>{"Read Holding Registers 1-1", "Reply: 1 register",
                                             "Cut frame: 5 bytes"}));
  const auto devices = a.Statistics().Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].Requests, 1u);
  EXPECT_EQ(devices[0].GoodReplies, 1u);
  EXPECT_EQ(a.Statistics().NoiseFrames(), 1u);
}

TEST(LineAnalyzer, TimeOutsReachTheStatistics) {
  LineAnalyzer a;
  a.Start(Untimed(), 0, "");
  a.Sent(Rtu({4, 3, 0, 0, 0, 1}), 0, 8336);
  const uint64_t g = a.Generation();
  a.Advance(8336 + 100000);
  EXPECT_EQ(a.Generation(), g);
  a.Advance(8336 + 100001);
  EXPECT_NE(a.Generation(), g);
  const auto devices = a.Statistics().Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].Timeouts, 1u);
  a.ResetStatistics();
  EXPECT_TRUE(a.Statistics().Devices().empty());
  EXPECT_EQ(a.Size(), 1u) << "the ring stays";
}

TEST(LineAnalyzer, RingKeepsTheLatestFrames) {
  LineAnalyzer a;
  a.Start(Untimed(), 0, "");
  const size_t extra = 25;
  std::string request = Rtu({1, 6, 0, 0, 0, 0});
  for (size_t i = 0; i < LineAnalyzer::kCapacity + extra; ++i) {
    // Each a different register, so the oldest is known by its address.
    const auto reg = static_cast<int>(i % 60000);
    request = Rtu({0, 6, reg >> 8, reg & 0xFF, 0, 1});
    a.Sent(request, i * 10000, i * 10000 + 8336);
  }
  EXPECT_EQ(a.Size(), LineAnalyzer::kCapacity);
  EXPECT_EQ(a.Total(), LineAnalyzer::kCapacity + extra);
  // The oldest kept is frame number `extra`, the newest the last written.
  EXPECT_EQ(a.At(0).TimeUs, extra * 10000);
  EXPECT_EQ(a.At(a.Size() - 1).Bytes, request);
  EXPECT_EQ(a.At(a.Size() - 1).TimeUs, (LineAnalyzer::kCapacity + extra - 1) * 10000);
  for (size_t i = 1; i < a.Size(); i += 997) EXPECT_EQ(a.At(i).TimeUs, (extra + i) * 10000) << i;
  a.Clear();
  EXPECT_EQ(a.Size(), 0u);
  EXPECT_EQ(a.Total(), 0u);
  a.Sent(request, 0, 8336);
  EXPECT_EQ(a.Size(), 1u);
  EXPECT_EQ(a.At(0).Bytes, request);
}

TEST(LineAnalyzer, ExportCsv) {
  LineAnalyzer a;
  a.Start(Untimed(), 1000, "");
  a.Sent(Rtu({1, 3, 0, 0, 0, 1}), 1100, 9436);
  a.Received(std::string("\x00\x00", 2), 50000);
  a.Stop();
  const std::string all = a.ExportCsv();
  EXPECT_EQ(all.rfind(std::string(line::kCsvHeader) + "\n", 0), 0u);
  EXPECT_NE(all.find("\n100,tx,1,3,8,ok,,\"Read Holding Registers 1-1\",01030000000184"), std::string::npos)
      << all;
  EXPECT_NE(all.find(",noise,,\"Noise: 2 bytes\",0000\n"), std::string::npos) << all;
  const std::string noise =
      a.ExportCsv([](const line::Frame& f) { return f.Kind == line::FrameKind::kNoise; });
  EXPECT_EQ(noise.find(",tx,"), std::string::npos);
  EXPECT_NE(noise.find("Noise: 2 bytes"), std::string::npos);
}

} // namespace
