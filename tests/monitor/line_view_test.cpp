// What the Line Analyzer window shows, below Qt: the rows kept in step with
// the analyzer's ring, the filters, and the texts of cells, of the selected
// frame and of the statistics.
#include "monitor/core/line_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <string>
#include <vector>

#include "modbus/line_decoder.h"
#include "monitor/core/line_analyzer.h"
#include "support/line_traffic.h"

using namespace korvane;
using test::LineTraffic;

namespace {

line::Frame MakeFrame(line::FrameCheck check, line::FrameKind kind, uint8_t flags = 0, int device = 1,
                      int function = 3) {
  line::Frame f;
  f.Check = check;
  f.Kind = kind;
  f.Flags = flags;
  f.Device = static_cast<int16_t>(device);
  f.Function = static_cast<int16_t>(function);
  return f;
}

std::vector<uint64_t> Rows(const FrameRows& rows) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i < rows.Size(); ++i) out.push_back(rows.Number(i));
  return out;
}

} // namespace

TEST(LineViewTexts, TimesAndResponses) {
  const std::pair<uint64_t, const char*> times[] = {
      {0, "0.000"}, {999, "0.999"}, {1000, "1.000"}, {1234567, "1234.567"}, {86400000001, "86400000.001"}};
  for (const auto& [us, text] : times) EXPECT_EQ(MillisText(us), text) << us;
  EXPECT_EQ(ResponseText(-1), "");
  EXPECT_EQ(ResponseText(11042), "11.042");
  EXPECT_STREQ(DirectionText(line::Direction::kTx), "tx");
  EXPECT_STREQ(DirectionText(line::Direction::kRx), "rx");
}

TEST(LineViewTexts, CheckTextsToneAndErrors) {
  using line::FrameCheck;
  using line::FrameKind;
  struct Case {
    line::Frame frame;
    const char* check;
    RowTone tone;
    bool error;
  };
  const Case cases[] = {
      {MakeFrame(FrameCheck::kOk, FrameKind::kRequest), "ok", RowTone::kPlain, false},
      {MakeFrame(FrameCheck::kOk, FrameKind::kReply, line::kEcho), "ok (echo)", RowTone::kEcho, false},
      {MakeFrame(FrameCheck::kCrc, FrameKind::kReply), "crc", RowTone::kChecksum, true},
      {MakeFrame(FrameCheck::kLrc, FrameKind::kRequest), "lrc", RowTone::kChecksum, true},
      {MakeFrame(FrameCheck::kNoise, FrameKind::kNoise, 0, -1, -1), "noise", RowTone::kNoise, true},
      {MakeFrame(FrameCheck::kNoise, FrameKind::kNoise, line::kCut, -1, -1), "noise (cut)", RowTone::kNoise,
       true},
      {MakeFrame(FrameCheck::kOk, FrameKind::kException, 0, 2, 0x83), "ok", RowTone::kException, true},
      // The strongest reason colours the row: a failed check over an echo.
      {MakeFrame(FrameCheck::kCrc, FrameKind::kRequest, line::kEcho), "crc (echo)", RowTone::kChecksum, true},
      {MakeFrame(FrameCheck::kOk, FrameKind::kRequest, line::kGapInside | line::kShortSilence),
       "ok (gap inside, short silence)", RowTone::kPlain, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckText(c.frame), c.check);
    EXPECT_EQ(ToneOf(c.frame), c.tone) << c.check;
    EXPECT_EQ(IsErrorFrame(c.frame), c.error) << c.check;
  }
}

TEST(LineViewTexts, FilterKeeps) {
  using line::FrameCheck;
  using line::FrameKind;
  const line::Frame request = MakeFrame(FrameCheck::kOk, FrameKind::kRequest, 0, 1, 3);
  const line::Frame exception = MakeFrame(FrameCheck::kOk, FrameKind::kException, 0, 1, 0x83);
  const line::Frame other = MakeFrame(FrameCheck::kCrc, FrameKind::kReply, 0, 2, 16);
  const line::Frame noise = MakeFrame(FrameCheck::kNoise, FrameKind::kNoise, 0, -1, -1);
  struct Case {
    FrameFilter filter;
    bool keeps[4]; // request, exception, other, noise
  };
  const Case cases[] = {
      {{}, {true, true, true, true}},
      {{1, -1, false}, {true, true, false, false}},
      {{2, -1, false}, {false, false, true, false}},
      {{-1, 3, false}, {true, true, false, false}}, // function 3 with its exception replies
      {{-1, 16, false}, {false, false, true, false}},
      {{-1, -1, true}, {false, true, true, true}},
      {{1, 3, true}, {false, true, false, false}},
      {{0, -1, false}, {false, false, false, false}},
  };
  for (const Case& c : cases) {
    const line::Frame* frames[] = {&request, &exception, &other, &noise};
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(c.filter.Keeps(*frames[i]), c.keeps[i])
          << c.filter.Device << " " << c.filter.Function << " " << c.filter.ErrorsOnly << " frame " << i;
    EXPECT_EQ(c.filter.KeepsAll(), c.filter == FrameFilter{});
  }
}

TEST(LineViewTexts, HexDumpSixteenBytesALineWithOffsets) {
  EXPECT_EQ(HexDump(""), "");
  EXPECT_EQ(HexDump(LineTraffic::Rtu({1, 3, 0, 0, 0, 10})),
            "0000  01 03 00 00 00 0A C5 CD" + std::string(8 * 3, ' ') + "  ........\n");
  const std::string ascii = ":01030000000AF2\r\n";
  EXPECT_EQ(HexDump(ascii), "0000  3A 30 31 30 33 30 30 30 30 30 30 30 41 46 32 0D  :01030000000AF2.\n"
                            "0010  0A" +
                                std::string(15 * 3, ' ') + "  .\n");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string dump = HexDump(all);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 16);
  EXPECT_NE(dump.find("\n00F0  F0 F1"), std::string::npos);
  EXPECT_NE(dump.find("  0123456789:;<=>?\n"), std::string::npos);
}

TEST(LineViewTexts, FieldsOfRequestsRepliesAndAsciiFrames) {
  line::Frame read = MakeFrame(line::FrameCheck::kOk, line::FrameKind::kRequest);
  read.Bytes = LineTraffic::Rtu({1, 3, 0, 99, 0, 2});
  const std::string readText = FieldsText(read);
  EXPECT_EQ(readText.substr(0, readText.find('\n')), line::Summary(read));
  for (const char* line : {"\nAddress: 1\n", "\nFunction: 3 (0x03) Read Holding Registers\n",
                           "\nStart address: 99 (number 100)\n", "\nQuantity: 2\n", "\nLength: 8 bytes\n"})
    EXPECT_NE(readText.find(line), std::string::npos) << line << "\n" << readText;
  const line::Fields fields = line::DecodeFields(read);
  char crc[64];
  std::snprintf(crc, sizeof crc, "\nCRC: received %04X, computed %04X\n", fields.CheckReceived,
                fields.CheckComputed);
  EXPECT_NE(readText.find(crc), std::string::npos) << readText;

  // A paired reply numbers its registers from the request's start.
  line::Frame reply = MakeFrame(line::FrameCheck::kOk, line::FrameKind::kReply);
  reply.Bytes = LineTraffic::Rtu({1, 3, 4, 0x12, 0x34, 0xFF, 0xFF});
  reply.RequestStart = 99;
  reply.RequestQuantity = 2;
  reply.ResponseUs = 11042;
  const std::string replyText = FieldsText(reply);
  for (const char* line : {"\nByte count: 4\n", "\nRegister 100: 4660 (0x1234)\n",
                           "\nRegister 101: 65535 (0xFFFF)\n", "\nResponse: 11.042 ms\n"})
    EXPECT_NE(replyText.find(line), std::string::npos) << line << "\n" << replyText;
  // Unpaired, the words are counted instead.
  reply.RequestStart = -1;
  EXPECT_NE(FieldsText(reply).find("\nWord 1: 4660 (0x1234)\n"), std::string::npos);

  // Coils written, eight to a group.
  line::Frame coils = MakeFrame(line::FrameCheck::kOk, line::FrameKind::kRequest, 0, 1, 15);
  coils.Bytes = LineTraffic::Rtu({1, 15, 0, 19, 0, 10, 2, 0xCD, 0x01});
  EXPECT_NE(FieldsText(coils).find("\nBits from 20: 10110011 10\n"), std::string::npos) << FieldsText(coils);

  // An exception names its code.
  line::Frame exception = MakeFrame(line::FrameCheck::kOk, line::FrameKind::kException, 0, 1, 0x83);
  exception.Bytes = LineTraffic::Rtu({1, 0x83, 2});
  const std::string exceptionText = FieldsText(exception);
  EXPECT_NE(exceptionText.find("\nFunction: 131 (0x83) Read Holding Registers\n"), std::string::npos);
  EXPECT_NE(exceptionText.find("\nException code: 2 Illegal Data Address\n"), std::string::npos);

  // ASCII: the LRC, two digits.
  line::Frame ascii = MakeFrame(line::FrameCheck::kOk, line::FrameKind::kRequest);
  ascii.Framing = frame::Framing::kAscii;
  ascii.Bytes = ":01030000000AF2\r\n";
  const std::string asciiText = FieldsText(ascii);
  EXPECT_NE(asciiText.find("\nLRC: received F2, computed F2\n"), std::string::npos) << asciiText;
  EXPECT_EQ(asciiText.find("CRC"), std::string::npos);

  // Noise has its summary and its length only.
  line::Frame noise = MakeFrame(line::FrameCheck::kNoise, line::FrameKind::kNoise, 0, -1, -1);
  noise.Bytes = "\x7F";
  EXPECT_EQ(FieldsText(noise), line::Summary(noise) + "\nLength: 1 byte\n");
}

TEST(LineViewTexts, StatisticsCells) {
  line::DeviceStatistics d;
  EXPECT_EQ(ExceptionsText(d), "");
  EXPECT_EQ(SuggestedTimeoutText(d), "");
  d.Exceptions[2] = 3;
  d.Exceptions[4] = 1;
  d.Exceptions[255] = 7;
  EXPECT_EQ(ExceptionsText(d), "2:3, 4:1, 255:7");
  d.Response.P99Us = 100000;
  EXPECT_EQ(SuggestedTimeoutText(d), std::to_string(line::LineStatistics::SuggestedTimeoutMs(100000)));

  UartErrorCounts u;
  EXPECT_EQ(UartText(u), "UART errors: not reported by this device");
  u = {true, 1, 2, 3, 4, 5};
  EXPECT_EQ(UartText(u), "UART errors: framing 1, parity 2, overrun 3, break 4, buffer overrun 5");
}

// The rows follow the ring: new frames only, through the filter, and a ring
// cleared and refilled is noticed even when it holds more than before.
TEST(LineViewRows, FollowTheRingIncrementally) {
  LineAnalyzer la;
  LineTraffic line(la);
  FrameRows rows;
  rows.Rebuild(la);
  EXPECT_EQ(rows.Size(), 0u);

  line.Exchange(test::ReadRequest(1), test::ReadReply(1));
  line.Exchange(test::ReadRequest(2), test::ReadReply(2));
  ASSERT_EQ(la.Total(), 4u);
  std::vector<uint64_t> added;
  rows.TakeNew(la, added);
  EXPECT_EQ(added, (std::vector<uint64_t>{0, 1, 2, 3}));
  rows.Append(added);
  added.clear();
  rows.TakeNew(la, added);
  EXPECT_TRUE(added.empty()) << "frames are taken once";

  // Device 2 only: the rows anew from the ring, then only new frames of device 2.
  rows.SetFilter({2, -1, false}, la);
  EXPECT_EQ(Rows(rows), (std::vector<uint64_t>{2, 3}));
  line.Exchange(test::ReadRequest(1), test::ReadReply(1));
  line.Exchange(test::ReadRequest(2), test::ReadReply(2));
  rows.TakeNew(la, added);
  EXPECT_EQ(added, (std::vector<uint64_t>{6, 7}));
  rows.Append(added);
  EXPECT_EQ(rows.RowOf(6), 2);
  EXPECT_EQ(rows.RowOf(5), -1);
  ASSERT_NE(rows.FrameOf(la, 2), nullptr);
  EXPECT_EQ(rows.FrameOf(la, 2), &la.At(6));
  EXPECT_EQ(rows.FrameOf(la, 4), nullptr);
  EXPECT_EQ(rows.Stale(la), 0u);
  EXPECT_FALSE(rows.RingCleared(la));

  // Cleared and refilled past the old total: not mistaken for new frames.
  la.Clear();
  for (int i = 0; i < 5; ++i) line.Exchange(test::ReadRequest(2), test::ReadReply(2));
  ASSERT_GT(la.Total(), 8u);
  EXPECT_TRUE(rows.RingCleared(la));
  rows.Rebuild(la);
  EXPECT_EQ(rows.Size(), la.Size());
  EXPECT_FALSE(rows.RingCleared(la));
}
