#include "modbus/line_stats.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/line_decoder.h"

using namespace korvane;
using namespace korvane::line;

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

// The decoder's frames and time-outs straight into the statistics.
struct Feed : FrameSink {
  LineStatistics Stats;
  void OnFrame(const Frame& f) override { Stats.AddFrame(f); }
  void OnTimeout(const Frame& r) override { Stats.AddTimeout(r); }
};

const DeviceStatistics* Find(const std::vector<DeviceStatistics>& v, int device) {
  for (const auto& d : v)
    if (d.Device == device) return &d;
  return nullptr;
}

TEST(LineStatistics, FiguresOfAKnownSet) {
  Feed feed;
  DecoderSettings s;
  s.Baud = 9600; // 1042 us a character
  s.TimingResolved = false;
  s.ReplyTimeoutUs = 500000;
  FrameDecoder d(feed, s);
  const std::string request = Rtu({1, 3, 0, 0, 0, 1});
  const std::string reply = Rtu({1, 3, 2, 0, 7}); // 7 bytes: read 6 characters after its first began
  uint64_t t = 0;
  // Device 1: 100 replies, response times 1..100 ms in a shuffled order.
  for (int i = 0; i < 100; ++i) {
    const int ms = 1 + (i * 37) % 100;
    d.Sent(request, t, t + 8336);
    d.Received(reply, t + 8336 + static_cast<uint64_t>(ms) * 1000 + 6 * 1042);
    t += 1000000;
  }
  // Two exceptions (codes 2 and 2), one with code 4, a CRC error, an echo.
  for (int code : {2, 2, 4}) {
    d.Sent(request, t, t + 8336);
    d.Received(Rtu({1, 0x83, code}), t + 50000);
    t += 1000000;
  }
  d.Sent(request, t, t + 8336);
  d.Received(request, t + 9000); // the line's echo: not a request
  std::string bad = reply;
  bad[4] ^= 0x01;
  d.Received(bad, t + 50000);
  d.Advance(t + 60000); // the CRC error is framed at the end of the stream only
  d.Flush();
  t += 1000000;
  // Device 2: two requests without replies, one of them ended by the next request.
  d.Sent(Rtu({2, 4, 0, 0, 0, 1}), t, t + 8336);
  d.Sent(Rtu({2, 4, 0, 0, 0, 1}), t + 100000, t + 108336);
  d.Advance(t + 2000000);
  // Noise, and a broadcast (device 0: a request, never a time-out).
  d.Received(std::string("\x00\x00\x00", 3), t + 3000000);
  d.Flush();
  d.Sent(Rtu({0, 6, 0, 0, 0, 1}), t + 4000000, t + 4008336);
  d.Advance(t + 9000000);

  const auto devices = feed.Stats.Devices();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].Device, 0);
  EXPECT_EQ(devices[1].Device, 1);
  EXPECT_EQ(devices[2].Device, 2);
  const DeviceStatistics* one = Find(devices, 1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->Requests, 104u);
  EXPECT_EQ(one->GoodReplies, 100u);
  EXPECT_EQ(one->ChecksumErrors, 1u);
  EXPECT_EQ(one->Timeouts, 0u); // the corrupted reply was an answer
  EXPECT_EQ(one->ExceptionTotal, 3u);
  EXPECT_EQ(one->Exceptions[2], 2u);
  EXPECT_EQ(one->Exceptions[4], 1u);
  // 100 normal replies and 3 exceptions, each at 50000 - 4 * 1042 - 8336 us:
  // ranks 38 to 40 of the 103 in order. Nearest rank: the median is the
  // 52nd (49 ms), the 95th percentile the 98th (95 ms), the 99th the 102nd.
  EXPECT_EQ(one->Response.Count, 103u);
  EXPECT_EQ(one->Response.MinUs, 1000);
  EXPECT_EQ(one->Response.MaxUs, 100000);
  EXPECT_EQ(one->Response.MedianUs, 49000);
  EXPECT_EQ(one->Response.P95Us, 95000);
  EXPECT_EQ(one->Response.P99Us, 99000);
  EXPECT_EQ(LineStatistics::SuggestedTimeoutMs(one->Response.P99Us), 124);
  const DeviceStatistics* two = Find(devices, 2);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->Requests, 2u);
  EXPECT_EQ(two->Timeouts, 2u);
  EXPECT_EQ(two->Response.Count, 0u);
  EXPECT_EQ(two->Response.MedianUs, -1);
  const DeviceStatistics* zero = Find(devices, 0);
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(zero->Requests, 1u);
  EXPECT_EQ(zero->Timeouts, 0u);
  EXPECT_EQ(feed.Stats.NoiseFrames(), 1u);

  // A copy keeps the figures; Reset forgets them.
  const LineStatistics copy = feed.Stats;
  feed.Stats.Reset();
  EXPECT_TRUE(feed.Stats.Devices().empty());
  EXPECT_EQ(feed.Stats.NoiseFrames(), 0u);
  EXPECT_EQ(copy.Devices().size(), 3u);
}

TEST(LineStatistics, KeepsTheLatestSamples) {
  LineStatistics stats;
  Frame f;
  f.Kind = FrameKind::kReply;
  f.Check = FrameCheck::kOk;
  f.Device = 3;
  f.Function = 3;
  f.Bytes = Rtu({3, 3, 2, 0, 0});
  for (int i = 0; i < 10; ++i) {
    f.ResponseUs = 5000000; // the oldest: dropped once the ring is full
    stats.AddFrame(f);
  }
  for (size_t i = 1; i <= LineStatistics::kSamplesKept; ++i) {
    f.ResponseUs = static_cast<int64_t>(i);
    stats.AddFrame(f);
  }
  const auto devices = stats.Devices();
  ASSERT_EQ(devices.size(), 1u);
  const ResponseFigures& r = devices[0].Response;
  EXPECT_EQ(r.Count, LineStatistics::kSamplesKept + 10);
  EXPECT_EQ(r.MinUs, 1);
  EXPECT_EQ(r.MaxUs, static_cast<int64_t>(LineStatistics::kSamplesKept));
  EXPECT_EQ(r.MedianUs, static_cast<int64_t>(LineStatistics::kSamplesKept / 2));
  EXPECT_EQ(devices[0].GoodReplies, LineStatistics::kSamplesKept + 10);
}

TEST(LineStatistics, SuggestedTimeout) {
  const struct {
    int64_t p99Us, ms;
  } cases[] = {
      {-1, -1},        // no figure
      {0, 10},         // the 10 ms margin
      {1000, 11},      // 1 ms + 10 ms
      {40000, 50},     // 25% equals 10 ms here
      {40001, 51},     // rounded up to whole ms
      {99000, 124},    // 99 + 24.75
      {100000, 125},   // 100 + 25
      {2000000, 2500}, // 2 s + 0.5 s
  };
  for (const auto& c : cases) EXPECT_EQ(LineStatistics::SuggestedTimeoutMs(c.p99Us), c.ms) << c.p99Us;
}

} // namespace
