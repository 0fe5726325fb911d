#include "modbus/frame_rules.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "modbus/core.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "support/recording_sender.h"

using namespace korvane;
using frame::Bytes;

namespace {

using test::FailingSender;
using test::RecordingSender;

// Whole RTU lengths by function code, both directions. 0: no such frame.
TEST(FrameRules, LengthsByFunctionCode) {
  const struct {
    int function;
    int64_t quantity;
    int64_t request;
    int64_t reply;
  } cases[] = {
      {1, 0, 8, 5},
      {1, 1, 8, 6},
      {1, 8, 8, 6},
      {1, 9, 8, 7},
      {2, 2000, 8, 255},
      {3, 1, 8, 7},
      {3, 125, 8, 255},
      {4, 0, 8, 5},
      {4, 65535, 8, 131075},
      {5, 0xFF00, 8, 8}, // the quantity field holds the value: no part in the length
      {6, 1234, 8, 8},
      {15, 1, 10, 8},
      {15, 16, 11, 8},
      {15, 17, 12, 8},
      {16, 1, 11, 8},
      {16, 123, 255, 8},
      {16, 65535, 131079, 8},
      // No request has an exception function; every exception reply is 5 bytes.
      {0x81, 10, 0, 5},
      {0x83, 10, 0, 5},
      {0x90, 0, 0, 5},
      {0xFF, 0, 0, 5},
      // Neither a supported function nor an exception.
      {0, 1, 0, 0},
      {7, 1, 0, 0},
      {14, 1, 0, 0},
      {17, 1, 0, 0},
      {0x80, 1, 0, 0},
      {0x100, 1, 0, 0},
      {-3, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "function " << c.function << ", quantity " << c.quantity);
    EXPECT_EQ(frame::RequestLength(c.function, c.quantity), c.request);
    EXPECT_EQ(frame::ReplyLength(c.function, c.quantity), c.reply);
    EXPECT_EQ(frame::IsSupported(c.function), c.request != 0);
    EXPECT_EQ(frame::IsExceptionFunction(c.function), c.request == 0 && c.reply != 0);
  }
}

// Frames as they stand on the wire, and how their own fields read.
TEST(FrameRules, FramesReadByTheirOwnFields) {
  using frame::Match;
  const std::string read = test::Rtu({1, 3, 0, 0, 0, 10});
  const std::string readReply = test::Rtu({1, 3, 4, 0, 0x0A, 1, 2});
  const std::string writeOne = test::Rtu({2, 6, 0, 4, 0, 0x2A});
  const std::string writeRegs = test::Rtu({1, 16, 0, 0, 0, 2, 4, 0, 0x0A, 1, 2});
  std::string badRead = read;
  badRead.back() = static_cast<char>(badRead.back() ^ 1);
  const struct {
    const char* name;
    std::string bytes;
    int64_t request; // RequestLengthOnWire
    int64_t reply;   // ReplyLengthOnWire
    Match asRequest; // MatchFrame, the request reading first
    Match asReply;   // MatchFrame, the reply reading first
    int64_t length;  // of the frame matched (both ways)
  } cases[] = {
      {"nothing", "", 0, 0, Match::kNeedMore, Match::kNeedMore, 0},
      {"an address alone", Bytes({1}), 0, 0, Match::kNeedMore, Match::kNeedMore, 0},
      {"a read request", read, 8, 5, Match::kRequest, Match::kRequest, 8},
      {"a read request less its last byte", read.substr(0, 7), 8, 5, Match::kNeedMore, Match::kNeedMore, 0},
      {"a read request and more", read + Bytes({1, 3}), 8, 5, Match::kRequest, Match::kRequest, 8},
      {"a read request with a bad CRC", badRead, 8, 5, Match::kNone, Match::kNone, 0},
      {"its reply", readReply, 8, 9, Match::kReply, Match::kReply, 9},
      {"its reply's first three bytes", readReply.substr(0, 3), 8, 9, Match::kNeedMore, Match::kNeedMore, 0},
      {"an exception reply", test::Rtu({1, 0x83, 2}), -1, 5, Match::kReply, Match::kReply, 5},
      {"a single write and its reply, alike", writeOne, 8, 8, Match::kRequest, Match::kReply, 8},
      {"a multiple write", writeRegs, 13, 8, Match::kRequest, Match::kRequest, 13},
      {"a multiple write before its byte count", writeRegs.substr(0, 6), 0, 8, Match::kNeedMore,
       Match::kNeedMore, 0},
      {"its reply", test::Rtu({1, 16, 0, 0, 0, 2}), 9 + 0x41, 8, Match::kReply, Match::kReply, 8},
      {"coils by the byte count, not the quantity", test::Rtu({1, 15, 0, 0, 0, 100, 2, 0xFF, 3}), 11, 8,
       Match::kRequest, Match::kRequest, 11},
      {"a read of coils and its reply", test::Rtu({7, 1, 2, 0x0D, 3}), 8, 7, Match::kReply, Match::kReply, 7},
      {"a function without a rule", test::Rtu({1, 7}), -1, -1, Match::kNone, Match::kNone, 0},
      {"function 0", Bytes({1, 0, 0, 0}), -1, -1, Match::kNone, Match::kNone, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* b = reinterpret_cast<const uint8_t*>(c.bytes.data());
    const size_t n = c.bytes.size();
    EXPECT_EQ(frame::RequestLengthOnWire(b, n), c.request);
    EXPECT_EQ(frame::ReplyLengthOnWire(b, n), c.reply);
    const frame::FrameMatch asRequest = frame::MatchFrame(b, n, false);
    const frame::FrameMatch asReply = frame::MatchFrame(b, n, true);
    EXPECT_EQ(asRequest.What, c.asRequest);
    EXPECT_EQ(asReply.What, c.asReply);
    EXPECT_EQ(asRequest.Length, c.length);
    EXPECT_EQ(asReply.Length, c.length);
  }
}

TEST(FrameRules, CrcChecks) {
  const std::string read = test::Rtu({1, 3, 0, 0, 0, 10});
  ASSERT_EQ(read, Bytes({1, 3, 0, 0, 0, 10, 0xC5, 0xCD}));
  const auto* b = reinterpret_cast<const uint8_t*>(read.data());
  std::string swapped = read;
  std::swap(swapped[6], swapped[7]);
  const struct {
    const char* name;
    std::string bytes;
    bool checks;
  } cases[] = {
      {"a whole frame", read, true},
      {"its CRC bytes swapped", swapped, false},
      {"one bit off in the data", Bytes({1, 3, 0, 0, 0, 11, 0xC5, 0xCD}), false},
      {"one bit off in the CRC", Bytes({1, 3, 0, 0, 0, 10, 0xC5, 0xCC}), false},
      {"a byte and its CRC", test::Rtu({0x42}), true},
      {"two bytes", Bytes({0xFF, 0xFF}), false},
      {"nothing", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(frame::CrcChecks(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.checks)
        << c.name;
  // Only the length given is read: the frame checks within longer bytes.
  EXPECT_TRUE(frame::CrcChecks(b, 8));
  EXPECT_FALSE(frame::CrcChecks(b, 7));
}

// The request of function f for quantity q as a master would build it, without CRC.
std::string RequestBody(int f, int q) {
  std::string body;
  body.reserve(64);
  body = "stale";
  frame::PutRequestHeader(body, 1, f, 0, f == 5 ? 0xFF00 : q);
  if (f == 15) {
    frame::PutByte(body, frame::BitBytes(q));
    for (int64_t i = 0; i < frame::BitBytes(q); ++i) frame::PutByte(body, 0x5A);
  } else if (f == 16) {
    frame::PutByte(body, 2 * q);
    for (int i = 0; i < q; ++i) frame::PutWord(body, 100 + i);
  }
  return body;
}

// The table against the engine: the slave takes exactly RequestLength bytes
// of a request (its counter naming the bytes taken on the way), answers at
// the last one and not before, and its reply is ReplyLength bytes long.
TEST(FrameRules, TheSlaveFramesRequestsAndRepliesByTheTable) {
  const struct {
    int function;
    int quantity;
  } cases[] = {{1, 1}, {1, 17}, {2, 8},  {3, 1},   {3, 30}, {4, 2},
               {5, 1}, {6, 1},  {15, 1}, {15, 20}, {16, 1}, {16, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "function " << c.function << ", quantity " << c.quantity);
    std::unique_ptr<Workspace> ws = MakeWorkspace();
    ws->Settings.RtuMode = fmRtu;
    FakeTickSource ticks(1000);
    RecordingSender sent;
    TSlave slave(*ws, sent, ticks);
    std::string request = RequestBody(c.function, c.quantity);
    frame::AppendCrc(request);
    ASSERT_EQ(static_cast<int64_t>(request.size()), frame::RequestLength(c.function, c.quantity));
    for (size_t k = 0; k < request.size(); ++k) {
      EXPECT_EQ(slave.RxCount(), static_cast<int32_t>(k));
      EXPECT_TRUE(sent.frames.empty()) << "answered after " << k << " bytes";
      slave.CheckModbusRTU(1, request.substr(k, 1));
      if (k + 1 == frame::kRequestHeaderSize) {
        EXPECT_EQ(slave.RxCount(), frame::kTakenRequestHeader);
      }
    }
    EXPECT_EQ(slave.RxCount(), frame::kTakenNone);
    ASSERT_EQ(sent.frames.size(), 1u);
    EXPECT_EQ(static_cast<int64_t>(sent.frames[0].size()), frame::ReplyLength(c.function, c.quantity));
  }
}

// An exception reply of the table's length completes the master's wait at
// its last byte, with the exception code in the status.
TEST(FrameRules, TheMasterTakesAnExceptionReplyOfTheTableLength) {
  for (const int code : {0, 2, 255}) {
    SCOPED_TRACE(code);
    std::unique_ptr<Workspace> ws = MakeWorkspace();
    ws->Settings.RtuMode = fmRtu;
    ws->View.RegType = rtHoldingRegs;
    ws->Cycle.PollAddress = 1;
    ws->Cycle.PollCount = 10;
    FakeTickSource ticks(1000);
    ws->Cycle.ReplyDeadline = 5000;
    RecordingSender sent;
    TMaster master(*ws, sent, ticks);
    master.MasterPollPLC();
    ASSERT_EQ(sent.frames.size(), 1u);
    const int function = frame::kReadHoldingRegisters | frame::kExceptionFlag;
    const std::string reply = test::Rtu({1, function, code});
    ASSERT_EQ(static_cast<int64_t>(reply.size()), frame::ReplyLength(function, ws->Cycle.PollCount));
    for (size_t k = 0; k + 1 < reply.size(); ++k)
      EXPECT_EQ(master.MasterCheckRTU(1, reply.substr(k, 1)), kReplyNone) << "byte " << k;
    EXPECT_EQ(master.MasterCheckRTU(1, reply.substr(reply.size() - 1)),
              ExceptionStatus(static_cast<uint8_t>(code)));
    EXPECT_EQ(master.ReplyCount, frame::kTakenNone);
  }
}

TEST(FrameRules, RequestHeader) {
  std::string out = "left over from the last frame";
  const size_t capacity = out.capacity();
  // Each field keeps its low bits only: a byte, a byte, 16 bits, 16 bits.
  frame::PutRequestHeader(out, 0x111, 0x103, 0x1006B, 0x30003);
  EXPECT_EQ(out, Bytes({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}));
  EXPECT_EQ(out.capacity(), capacity);
  EXPECT_EQ(out.size(), frame::kRequestHeaderSize);
  EXPECT_EQ(ConvertToASCII(out), ":1103006B00037E\r\n");
  frame::PutRequestHeader(out, 1, 5, 0xFFFF, 0xFF00);
  EXPECT_EQ(out, Bytes({0x01, 0x05, 0xFF, 0xFF, 0xFF, 0x00}));
}

TEST(FrameRules, FramedSend) {
  const std::string body = Bytes({1, 3, 0, 0, 0, 1});
  {
    RecordingSender sent;
    std::string b = body;
    std::string ascii = "untouched";
    EXPECT_EQ(frame::SendFramed(sent, 7, frame::Framing::kRtu, b, ascii), 8u);
    EXPECT_EQ(b, Bytes({1, 3, 0, 0, 0, 1, 0x84, 0x0A})); // the CRC is appended to the body
    EXPECT_EQ(ascii, "untouched");
    ASSERT_EQ(sent.frames.size(), 1u);
    EXPECT_EQ(sent.frames[0], b);
    EXPECT_EQ(sent.ports[0], 7);
  }
  {
    RecordingSender sent;
    std::string b = body;
    std::string ascii = "old text";
    EXPECT_EQ(frame::SendFramed(sent, 2, frame::Framing::kAscii, b, ascii), 17u);
    EXPECT_EQ(b, body);
    EXPECT_EQ(ascii, ":010300000001FB\r\n");
    ASSERT_EQ(sent.frames.size(), 1u);
    EXPECT_EQ(sent.frames[0], ascii);
    EXPECT_EQ(sent.ports[0], 2);
  }
  {
    FailingSender failing;
    std::string b = body;
    std::string ascii;
    EXPECT_THROW(frame::SendFramed(failing, 1, frame::Framing::kAscii, b, ascii), std::runtime_error);
    EXPECT_EQ(failing.calls, 1);
  }
}

TEST(FrameRules, AsciiDecoding) {
  const struct {
    std::string text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {":", ""},
      {":0", ""}, // an odd last character is ignored
      {":01", Bytes({0x01})},
      {":010", Bytes({0x01})},
      {":AB", Bytes({0xAB})},
      {":ab", Bytes({0x00})}, // lower case is no digit here
      {":G1", Bytes({0x01})},
      {"X0103", Bytes({0x01, 0x03})}, // the first character is passed over unread
      {":::1", Bytes({0x00})},        // a ":" inside is a character like any other
      {std::string(":\0"
                   "1",
                   3),
       Bytes({0x01})},
      {":010300000001FB", Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFB})},
  };
  for (const auto& c : cases) {
    std::string out = "stale bytes";
    frame::DecodeAscii(c.text, out);
    EXPECT_EQ(out, c.bytes) << "text \"" << c.text << "\"";
  }
  // Decoding what the conversion wrote gives the body and its LRC back.
  const std::string body = Bytes({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
  std::string text = ConvertToASCII(body);
  text.resize(text.size() - 2); // the checkers keep no CR LF
  std::string decoded;
  frame::DecodeAscii(text, decoded);
  EXPECT_EQ(decoded, body + Bytes({Lrc(body, body.size())}));
}

TEST(FrameRules, ChunkSize) {
  const struct {
    int32_t count;
    size_t held;
    size_t taken;
  } cases[] = {
      {-5, 4, 0}, {INT32_MIN, 4, 0}, {0, 4, 0}, {3, 4, 3}, {4, 4, 4}, {9, 4, 4}, {1, 0, 0}, {INT32_MAX, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(frame::ChunkSize(c.count, std::string(c.held, 'x')), c.taken) << c.count << " of " << c.held;
}

} // namespace
