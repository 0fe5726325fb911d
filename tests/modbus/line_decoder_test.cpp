#include "modbus/line_decoder.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::line;

namespace {

// A CRC of the test's own (bit by bit), so a fault in the shared table shows.
uint16_t Crc(const std::string& body) {
  uint16_t crc = 0xFFFF;
  for (char c : body) {
    crc ^= static_cast<uint8_t>(c);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}
// The register's low byte goes first on the wire.
std::string Rtu(const std::string& body) {
  const uint16_t crc = Crc(body);
  return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}
// The CRC as a frame carries it, read Hi (first byte) then Lo.
int CarriedCrc(const std::string& body) {
  const uint16_t crc = Crc(body);
  return (crc & 0xFF) * 256 + (crc >> 8);
}

std::string B(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s.push_back(static_cast<char>(x));
  return s;
}

std::string Ascii(const std::string& body, int lrcDelta = 0) {
  unsigned sum = 0;
  for (char c : body) sum += static_cast<uint8_t>(c);
  const auto lrc = static_cast<uint8_t>((0x100 - (sum & 0xFF) + lrcDelta) & 0xFF);
  std::string t = ":";
  char hex[3];
  for (char c : body + static_cast<char>(lrc)) {
    std::snprintf(hex, sizeof hex, "%02X", static_cast<uint8_t>(c));
    t += hex;
  }
  return t + "\r\n";
}

// What the decoder put out, in order; time-outs appear as their request with
// the marker set.
struct Event {
  bool Timeout = false;
  Frame F;
};
struct Recorder : FrameSink {
  std::vector<Event> Events;
  void OnFrame(const Frame& f) override { Events.push_back({false, f}); }
  void OnTimeout(const Frame& r) override { Events.push_back({true, r}); }
  std::vector<Frame> Frames() const {
    std::vector<Frame> v;
    for (const auto& e : Events)
      if (!e.Timeout) v.push_back(e.F);
    return v;
  }
  size_t Timeouts() const {
    size_t n = 0;
    for (const auto& e : Events) n += e.Timeout ? 1 : 0;
    return n;
  }
};

DecoderSettings Settings(bool timed, frame::Framing framing = frame::Framing::kRtu) {
  DecoderSettings s;
  s.Baud = 9600; // 1042 us a character, 3646 us of silence between frames
  s.TimingResolved = timed;
  s.Framing = framing;
  return s;
}

// A frame as the tests compare them.
std::string Shape(const Frame& f) {
  static const char* const kinds[] = {"request", "reply", "exception", "raw", "noise"};
  static const char* const checks[] = {"ok", "crc", "lrc", "noise"};
  std::string s = std::string(f.Dir == Direction::kTx ? "tx " : "") + kinds[static_cast<int>(f.Kind)] + "/" +
                  checks[static_cast<int>(f.Check)] + "/" + std::to_string(f.Bytes.size());
  if (f.Flags & kCut) s += "/cut";
  if (f.Flags & kEcho) s += "/echo";
  return s;
}
std::vector<std::string> Shapes(const std::vector<Frame>& frames) {
  std::vector<std::string> v;
  for (const auto& f : frames) v.push_back(Shape(f));
  return v;
}

std::vector<Frame> DecodeAll(const std::string& line, const DecoderSettings& s = Settings(false)) {
  Recorder r;
  FrameDecoder d(r, s);
  d.Received(line, 1000000);
  d.Flush();
  return r.Frames();
}

// ---------------------------------------------------------------------------

TEST(LineTiming, CharacterAndSilences) {
  const struct {
    int64_t baud;
    uint64_t character, interFrame, interChar;
  } cases[] = {
      {9600, 1042, 3646, 1563}, // 10 bits: 1041.7 us
      {19200, 521, 1823, 782},  // still counted in characters
      {38400, 261, 1750, 750},  // fixed above 19200
      {115200, 87, 1750, 750},
  };
  Recorder r;
  for (const auto& c : cases) {
    DecoderSettings s;
    s.Baud = c.baud;
    FrameDecoder d(r, s);
    EXPECT_EQ(d.CharacterUs(), c.character) << c.baud;
    EXPECT_EQ(d.InterFrameUs(), c.interFrame) << c.baud;
    EXPECT_EQ(d.InterCharUs(), c.interChar) << c.baud;
  }
}

// Every function with a rule, request and reply, read from a bus (both
// directions received) and as Korvane's master sees it (request written).
TEST(LineDecoder, EveryFunctionBothWays) {
  std::string regs20;
  for (int i = 0; i < 20; ++i) regs20.push_back(static_cast<char>(i));
  const struct {
    std::string request, reply;
    const char* requestText;
    const char* replyText;
    FrameKind replyKind;
  } cases[] = {
      {B({1, 1, 0, 0, 0, 16}), B({1, 1, 2, 0xFF, 0x00}), "Read Coils 1-16", "Reply: 16 coils",
       FrameKind::kReply},
      {B({1, 1, 0, 0, 0, 10}), B({1, 1, 2, 0xFF, 0x03}), "Read Coils 1-10", "Reply: 10 coils",
       FrameKind::kReply},
      {B({2, 2, 0, 0, 0, 8}), B({2, 2, 1, 0x55}), "Read Discrete Inputs 1-8", "Reply: 8 inputs",
       FrameKind::kReply},
      {B({3, 3, 0, 0, 0, 10}), B({3, 3, 20}) + regs20, "Read Holding Registers 1-10", "Reply: 10 registers",
       FrameKind::kReply},
      {B({4, 4, 0, 99, 0, 10}), B({4, 4, 20}) + regs20, "Read Input Registers 100-109", "Reply: 10 registers",
       FrameKind::kReply},
      {B({5, 5, 0, 4, 0xFF, 0}), B({5, 5, 0, 4, 0xFF, 0}), "Write Single Coil 5 ON", "Reply: coil 5 ON",
       FrameKind::kReply},
      {B({5, 5, 0, 4, 0, 0}), B({5, 5, 0, 4, 0, 0}), "Write Single Coil 5 OFF", "Reply: coil 5 OFF",
       FrameKind::kReply},
      {B({6, 6, 0, 4, 0x04, 0xD2}), B({6, 6, 0, 4, 0x04, 0xD2}), "Write Single Register 5 = 1234",
       "Reply: register 5 = 1234", FrameKind::kReply},
      {B({7, 15, 0, 0, 0, 16, 2, 0xFF, 0}), B({7, 15, 0, 0, 0, 16}), "Write Multiple Coils 1-16",
       "Reply: wrote 16 coils", FrameKind::kReply},
      {B({8, 16, 0, 0, 0, 10, 20}) + regs20, B({8, 16, 0, 0, 0, 10}), "Write Multiple Registers 1-10",
       "Reply: wrote 10 registers", FrameKind::kReply},
      {B({9, 3, 0, 0, 0, 10}), B({9, 0x83, 2}), "Read Holding Registers 1-10",
       "Exception 2 Illegal Data Address", FrameKind::kException},
      {B({9, 6, 0, 0, 0, 1}), B({9, 0x86, 12}), "Write Single Register 1 = 1", "Exception 12",
       FrameKind::kException},
      {B({0, 6, 0, 4, 0, 7}), "", "Broadcast: Write Single Register 5 = 7", "", FrameKind::kReply},
  };
  for (const auto& c : cases) {
    for (bool written : {false, true}) {
      SCOPED_TRACE(std::string(c.requestText) + (written ? " (written)" : " (read)"));
      Recorder r;
      FrameDecoder d(r, Settings(false));
      const std::string request = Rtu(c.request);
      const std::string reply = c.reply.empty() ? "" : Rtu(c.reply);
      if (written) {
        d.Sent(request, 1000, 2000);
        d.Received(reply, 50000);
      } else {
        d.Received(request + reply, 50000);
      }
      const auto frames = r.Frames();
      ASSERT_EQ(frames.size(), reply.empty() ? 1u : 2u);
      EXPECT_EQ(frames[0].Kind, FrameKind::kRequest);
      EXPECT_EQ(frames[0].Dir, written ? Direction::kTx : Direction::kRx);
      EXPECT_EQ(frames[0].Bytes, request);
      EXPECT_EQ(frames[0].Device, static_cast<uint8_t>(c.request[0]));
      EXPECT_EQ(frames[0].Function, static_cast<uint8_t>(c.request[1]));
      EXPECT_EQ(Summary(frames[0]), c.requestText);
      if (reply.empty()) continue;
      const Frame& f = frames[1];
      EXPECT_EQ(f.Kind, c.replyKind);
      EXPECT_EQ(f.Check, FrameCheck::kOk);
      EXPECT_EQ(f.Bytes, reply);
      EXPECT_EQ(f.Function, static_cast<uint8_t>(c.reply[1]));
      EXPECT_EQ(Summary(f), c.replyText);
      // Paired with its request.
      EXPECT_GE(f.ResponseUs, 0);
      EXPECT_EQ(f.RequestStart,
                static_cast<uint8_t>(c.request[2]) * 256 + static_cast<uint8_t>(c.request[3]));
    }
  }
}

TEST(LineDecoder, ExceptionAndFunctionNames) {
  const struct {
    int code;
    const char* name;
  } exceptions[] = {{1, "Illegal Function"},
                    {2, "Illegal Data Address"},
                    {3, "Illegal Data Value"},
                    {4, "Slave Device Failure"},
                    {5, "Acknowledge"},
                    {6, "Slave Device Busy"},
                    {7, ""},
                    {8, "Memory Parity Error"},
                    {9, ""},
                    {10, "Gateway Path Unavailable"},
                    {11, "Gateway Target Device Failed To Respond"},
                    {12, ""},
                    {0, ""}};
  for (const auto& e : exceptions) EXPECT_STREQ(ExceptionName(e.code), e.name) << e.code;
  const struct {
    int function;
    const char* name;
  } functions[] = {{1, "Read Coils"},
                   {2, "Read Discrete Inputs"},
                   {3, "Read Holding Registers"},
                   {4, "Read Input Registers"},
                   {5, "Write Single Coil"},
                   {6, "Write Single Register"},
                   {15, "Write Multiple Coils"},
                   {16, "Write Multiple Registers"},
                   {7, ""},
                   {43, ""},
                   {0x83, ""}};
  for (const auto& f : functions) EXPECT_STREQ(FunctionName(f.function), f.name) << f.function;
}

TEST(LineDecoder, FieldsOfFrames) {
  Recorder r;
  FrameDecoder d(r, Settings(false));
  d.Received(Rtu(B({1, 16, 0, 9, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD})) + Rtu(B({1, 16, 0, 9, 0, 2})) +
                 Rtu(B({2, 15, 0, 0, 0, 10, 2, 0x05, 0x02})) + Rtu(B({3, 1, 0, 0, 0, 10})) +
                 Rtu(B({3, 1, 2, 0x81, 0x02})) + Rtu(B({4, 3, 4, 0, 1, 0xFF, 0xFF})) + Rtu(B({5, 0x84, 3})),
             1000);
  const auto frames = r.Frames();
  ASSERT_EQ(frames.size(), 7u);
  Fields f = DecodeFields(frames[0]);
  EXPECT_EQ(f.Address, 1);
  EXPECT_EQ(f.Function, 16);
  EXPECT_EQ(f.Start, 9);
  EXPECT_EQ(f.Quantity, 2);
  EXPECT_EQ(f.ByteCount, 4);
  EXPECT_EQ(f.Registers, (std::vector<uint16_t>{0x1234, 0xABCD}));
  EXPECT_EQ(f.CheckReceived, f.CheckComputed);
  EXPECT_EQ(f.CheckReceived, CarriedCrc(B({1, 16, 0, 9, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD})));
  f = DecodeFields(frames[1]);
  EXPECT_EQ(f.Start, 9);
  EXPECT_EQ(f.Quantity, 2);
  f = DecodeFields(frames[2]);
  EXPECT_EQ(f.Bits, (std::vector<bool>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
  f = DecodeFields(frames[4]); // paired with "Read Coils 1-10": ten bits
  EXPECT_EQ(f.Quantity, 10);
  EXPECT_EQ(f.Bits, (std::vector<bool>{1, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
  f = DecodeFields(frames[5]); // no request seen: what it carries
  EXPECT_EQ(f.Quantity, 2);
  EXPECT_EQ(f.Registers, (std::vector<uint16_t>{1, 0xFFFF}));
  f = DecodeFields(frames[6]);
  EXPECT_EQ(f.ExceptionCode, 3);
  EXPECT_EQ(Summary(frames[6]), "Exception 3 Illegal Data Value");
}

// Another master's request and its device's reply between Korvane's own, and
// a reply of another device while Korvane waits: each is framed and paired
// with its own request.
TEST(LineDecoder, ForeignTraffic) {
  Recorder r;
  FrameDecoder d(r, Settings(false));
  d.Sent(Rtu(B({1, 3, 0, 0, 0, 1})), 0, 8336);
  d.Received(Rtu(B({7, 3, 2, 0, 9})), 20000); // another device's reply: not ours
  d.Received(Rtu(B({1, 3, 2, 0, 5})), 30000);
  d.Received(Rtu(B({9, 4, 0, 10, 0, 2})) + Rtu(B({9, 4, 4, 0, 1, 0, 2})), 60000);
  d.Sent(Rtu(B({1, 6, 0, 0, 0, 3})), 70000, 78336);
  d.Received(Rtu(B({1, 6, 0, 0, 0, 3})), 90000);
  const auto frames = r.Frames();
  EXPECT_EQ(Shapes(frames),
            (std::vector<std::string>{"tx request/ok/8", "reply/ok/7", "reply/ok/7", "request/ok/8",
                                      "reply/ok/9", "tx request/ok/8", "reply/ok/8"}));
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[1].Device, 7);
  EXPECT_EQ(frames[1].ResponseUs, -1);
  EXPECT_EQ(frames[2].Device, 1);
  EXPECT_GE(frames[2].ResponseUs, 0);
  EXPECT_EQ(frames[4].RequestStart, 10);
  EXPECT_EQ(frames[4].RequestQuantity, 2);
  EXPECT_EQ(Summary(frames[6]), "Reply: register 1 = 3");
  EXPECT_EQ(r.Timeouts(), 0u);
}

// The stream that the split test and the noise tests share: frames of
// several kinds with noise between.
std::string MixedStream() {
  return Rtu(B({1, 3, 0, 0, 0, 2})) + Rtu(B({1, 3, 4, 0, 1, 0, 2})) + B({0, 0}) +
         Rtu(B({2, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4})) + Rtu(B({2, 16, 0, 1, 0, 2})) +
         Rtu(B({3, 43, 14, 1, 0})) + Rtu(B({4, 1, 0, 0, 0, 9})) + Rtu(B({4, 0x81, 1})) +
         Rtu(B({5, 5, 0, 1, 0xFF, 0}));
}
const std::vector<std::string> kMixedShapes = {"request/ok/8",  "reply/ok/9",     "noise/noise/2",
                                               "request/ok/13", "reply/ok/8",     "raw/ok/7",
                                               "request/ok/8",  "exception/ok/5", "request/ok/8"};

TEST(LineDecoder, SplitAtEveryPositionGivesTheSameFrames) {
  const std::string line = MixedStream();
  ASSERT_EQ(Shapes(DecodeAll(line)), kMixedShapes);
  for (size_t k = 1; k < line.size(); ++k) {
    Recorder r;
    FrameDecoder d(r, Settings(false));
    d.Received(line.substr(0, k), 1000);
    d.Received(line.substr(k), 2000);
    d.Flush();
    EXPECT_EQ(Shapes(r.Frames()), kMixedShapes) << "split at " << k;
  }
  Recorder r;
  FrameDecoder d(r, Settings(false));
  for (char c : line) d.Received(std::string(1, c), 1000);
  d.Flush();
  EXPECT_EQ(Shapes(r.Frames()), kMixedShapes) << "byte by byte";
}

TEST(LineDecoder, NoiseBeforeInsideAndAfterFrames) {
  const std::string a = Rtu(B({1, 3, 0, 0, 0, 10}));
  const std::string b = Rtu(B({1, 3, 2, 0, 1}));
  const struct {
    const char* name;
    std::string line;
    std::vector<std::string> frames;
  } cases[] = {
      {"before", B({0, 0, 0}) + a, {"noise/noise/3", "request/ok/8"}},
      {"one byte before", B({0xFF}) + a + b, {"noise/noise/1", "request/ok/8", "reply/ok/7"}},
      {"between", a + B({0x00, 0x20, 0x00}) + b, {"request/ok/8", "noise/noise/3", "reply/ok/7"}},
      {"after", a + B({0, 0, 0, 0}), {"request/ok/8", "noise/noise/4"}},
      // Noise inside a frame spoils it: it and the noise are one entry.
      {"inside", a.substr(0, 4) + B({0, 0}) + a.substr(4) + b, {"noise/noise/10", "reply/ok/7"}},
      // A frame begun at the end of the stream.
      {"cut at the end", a + b.substr(0, 4), {"request/ok/8", "noise/noise/4/cut"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Shapes(DecodeAll(c.line)), c.frames) << c.name;
}

TEST(LineDecoder, LongNoiseIsBoundedAndEveryByteAccounted) {
  std::mt19937 rng(7);
  std::string line;
  for (int i = 0; i < 20000; ++i) line.push_back(static_cast<char>(rng() & 0xFF));
  const std::string good = Rtu(B({1, 3, 0, 0, 0, 10}));
  line += good;
  Recorder r;
  FrameDecoder d(r, Settings(false));
  for (size_t at = 0; at < line.size();) {
    const size_t n = std::min<size_t>(line.size() - at, 1 + rng() % 700);
    d.Received(line.substr(at, n), 1000);
    at += n;
  }
  d.Flush();
  size_t total = 0;
  for (const auto& f : r.Frames()) {
    total += f.Bytes.size();
    EXPECT_LE(f.Bytes.size(), 256u);
    if (f.Check == FrameCheck::kOk) {
      // Whatever was taken as a frame checks by the test's own CRC.
      ASSERT_GE(f.Bytes.size(), 4u);
      const std::string body = f.Bytes.substr(0, f.Bytes.size() - 2);
      EXPECT_EQ(Rtu(body), f.Bytes);
    }
  }
  EXPECT_EQ(total, line.size());
  ASSERT_FALSE(r.Frames().empty());
  EXPECT_EQ(r.Frames().back().Bytes, good);
}

// A frame whose CRC fails is that frame with a CRC error when a frame that
// checks follows it directly, or the stream ends; otherwise it is noise.
TEST(LineDecoder, CrcErrorAndResynchronisation) {
  const std::string body = B({1, 3, 0, 0, 0, 10});
  std::string bad = Rtu(body);
  bad[5] ^= 0x01; // the quantity spoilt: the CRC it carries no longer fits
  const std::string next = Rtu(B({2, 6, 0, 1, 0, 2}));
  {
    const auto frames = DecodeAll(bad + next);
    ASSERT_EQ(Shapes(frames), (std::vector<std::string>{"request/crc/8", "request/ok/8"}));
    std::string spoilt = body;
    spoilt[5] ^= 0x01;
    char text[64];
    std::snprintf(text, sizeof text, "CRC error: received %04X, computed %04X", CarriedCrc(body),
                  CarriedCrc(spoilt));
    EXPECT_EQ(Summary(frames[0]), text);
    const Fields f = DecodeFields(frames[0]);
    EXPECT_EQ(f.CheckReceived, CarriedCrc(body));
    EXPECT_EQ(f.CheckComputed, CarriedCrc(spoilt));
  }
  EXPECT_EQ(Shapes(DecodeAll(bad)), (std::vector<std::string>{"request/crc/8"})) << "at the end";
  // A byte lost: no frame of the right length; noise, then the next frame.
  EXPECT_EQ(Shapes(DecodeAll(bad.substr(0, 3) + bad.substr(4) + next)),
            (std::vector<std::string>{"noise/noise/7", "request/ok/8"}));
  // The summary of a frame that carries 12AB as its CRC.
  Frame f;
  f.Kind = FrameKind::kRequest;
  f.Check = FrameCheck::kCrc;
  f.Bytes = B({1, 3, 0, 0, 0, 10, 0x12, 0xAB});
  char text[64];
  std::snprintf(text, sizeof text, "CRC error: received 12AB, computed %04X", CarriedCrc(body));
  EXPECT_EQ(Summary(f), text);
}

TEST(LineDecoder, RawFunctionByCrcSearch) {
  const std::string raw = Rtu(B({1, 43, 14, 1, 0}));
  const std::string next = Rtu(B({1, 3, 0, 0, 0, 1}));
  auto frames = DecodeAll(raw + next);
  ASSERT_EQ(Shapes(frames), (std::vector<std::string>{"raw/ok/7", "request/ok/8"}));
  EXPECT_EQ(Summary(frames[0]), "Function 43: 3 bytes of data");
  EXPECT_EQ(frames[0].Function, 43);
  // Raw data at the end, and read in pieces.
  Recorder r;
  FrameDecoder d(r, Settings(false));
  d.Received(next + raw.substr(0, 3), 1000);
  d.Received(raw.substr(3), 2000);
  d.Flush();
  EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"request/ok/8", "raw/ok/7"}));
  // No length checks: noise.
  std::string spoilt = raw;
  spoilt[3] ^= 0x40;
  EXPECT_EQ(Shapes(DecodeAll(spoilt + next)), (std::vector<std::string>{"noise/noise/7", "request/ok/8"}));
  // The raw frame is the shortest length that checks.
  const std::string two = Rtu(B({1, 65, 1})) + Rtu(B({1, 65, 2, 3}));
  EXPECT_EQ(Shapes(DecodeAll(two)), (std::vector<std::string>{"raw/ok/5", "raw/ok/6"}));
}

// A silence longer than 3.5 characters ends what came before it: a frame
// begun is cut. Without stamps that resolve it, time never cuts.
TEST(LineDecoder, SilenceBoundary) {
  const std::string partial = B({1, 3, 0x20, 0, 0}); // a request begun; as a reply it wants 37 bytes
  const std::string good = Rtu(B({1, 3, 0, 0, 0, 10}));
  {
    Recorder r;
    FrameDecoder d(r, Settings(true));
    d.Received(partial, 10000);
    d.Received(good, 30000);
    EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"noise/noise/5/cut", "request/ok/8"}));
    ASSERT_EQ(r.Frames().size(), 2u);
    EXPECT_EQ(Summary(r.Frames()[0]), "Cut frame: 5 bytes");
    EXPECT_EQ(r.Frames()[1].Flags & kShortSilence, 0);
  }
  {
    // Just under the silence: the bytes still join.
    Recorder r;
    FrameDecoder d(r, Settings(true));
    d.Received(partial, 10000);
    // Next piece's first byte estimated at 10000 + 1042 + 3646.
    d.Received(good, 10000 + 1042 + 3646 + 7 * 1042);
    d.Flush();
    EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"noise/noise/5", "request/ok/8"}));
  }
  {
    Recorder r;
    FrameDecoder d(r, Settings(false));
    d.Received(partial, 10000);
    d.Received(good, 30000);
    d.Advance(10000000);
    EXPECT_TRUE(r.Frames().empty()) << "time cut the bytes without timing";
    d.Flush();
    EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"noise/noise/5", "request/ok/8"}));
  }
  {
    // Advance notices the silence after a frame begun.
    Recorder r;
    FrameDecoder d(r, Settings(true));
    d.Received(partial, 10000);
    d.Advance(10000 + 1042 + 3646);
    EXPECT_TRUE(r.Frames().empty());
    d.Advance(10000 + 1042 + 3647);
    EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"noise/noise/5/cut"}));
  }
  {
    // A CRC error ended by a silence.
    std::string bad = good;
    bad[4] ^= 0x10;
    Recorder r;
    FrameDecoder d(r, Settings(true));
    d.Received(bad, 10000);
    EXPECT_TRUE(r.Frames().empty());
    d.Advance(20000);
    EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"request/crc/8"}));
  }
}

TEST(LineDecoder, TimesAndPairing) {
  Recorder r;
  FrameDecoder d(r, Settings(true));
  const std::string request = Rtu(B({1, 3, 0, 5, 0, 2}));
  d.Sent(request, 10000, 18336);
  d.Received(Rtu(B({1, 3, 4, 0, 1, 0, 2})), 34000); // 9 bytes read at once
  // Another master's request and its reply, read in one piece.
  d.Received(Rtu(B({2, 4, 0, 0, 0, 1})) + Rtu(B({2, 4, 2, 0, 7})), 100000);
  const auto frames = r.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].TimeUs, 10000u);
  EXPECT_EQ(frames[0].EndUs, 18336u);
  const Frame& reply = frames[1];
  EXPECT_EQ(reply.TimeUs, 34000u - 8 * 1042);
  EXPECT_EQ(reply.EndUs, 34000u + 1042);
  EXPECT_EQ(reply.ResponseUs, static_cast<int64_t>(34000 - 8 * 1042 - 18336));
  EXPECT_EQ(reply.ReplyDurationUs, 9 * 1042);
  EXPECT_EQ(reply.RequestStart, 5);
  EXPECT_EQ(reply.RequestQuantity, 2);
  EXPECT_EQ(reply.Flags, 0);
  // 15 bytes in one piece: the request from 100000 - 14 characters.
  EXPECT_EQ(frames[2].TimeUs, 100000u - 14 * 1042);
  EXPECT_EQ(frames[2].EndUs, 100000u - 6 * 1042);
  EXPECT_EQ(frames[3].TimeUs, 100000u - 6 * 1042);
  EXPECT_EQ(frames[3].ResponseUs, 0);
  EXPECT_EQ(frames[3].Flags, kShortSilence); // no silence between them
  EXPECT_EQ(frames[2].Flags, 0);
  // A later piece never goes before the previous stamp.
  d.Received(Rtu(B({2, 4, 0, 0, 0, 1})), 100001);
  ASSERT_EQ(r.Frames().size(), 5u);
  EXPECT_EQ(r.Frames()[4].TimeUs, 100000u);
}

TEST(LineDecoder, GapInsideAFrame) {
  const std::string f = Rtu(B({1, 3, 0, 0, 0, 1}));
  const struct {
    uint64_t pause; // between the two halves
    bool timed;
    uint8_t flags;
  } cases[] = {{1000, true, 0}, {1600, true, kGapInside}, {3000, true, kGapInside}, {3000, false, 0}};
  for (const auto& c : cases) {
    Recorder r;
    FrameDecoder d(r, Settings(c.timed));
    d.Received(f.substr(0, 4), 10000);
    d.Received(f.substr(4), 10000 + c.pause + 4 * 1042);
    d.Flush();
    ASSERT_EQ(r.Frames().size(), 1u) << c.pause;
    EXPECT_EQ(r.Frames()[0].Flags, c.flags) << c.pause;
  }
}

TEST(LineDecoder, TimeOuts) {
  DecoderSettings s = Settings(false);
  s.ReplyTimeoutUs = 100000;
  const std::string request = Rtu(B({1, 3, 0, 0, 0, 1}));
  const std::string reply = Rtu(B({1, 3, 2, 0, 1}));
  {
    // Noticed by Advance, once.
    Recorder r;
    FrameDecoder d(r, s);
    d.Sent(request, 0, 8336);
    d.Advance(108336);
    EXPECT_EQ(r.Timeouts(), 0u);
    d.Advance(108337);
    d.Advance(500000);
    ASSERT_EQ(r.Timeouts(), 1u);
    EXPECT_EQ(r.Events.back().F.Bytes, request);
    // A late reply is not paired.
    d.Received(reply, 600000);
    ASSERT_EQ(r.Frames().size(), 2u);
    EXPECT_EQ(r.Frames()[1].ResponseUs, -1);
    EXPECT_EQ(r.Timeouts(), 1u);
  }
  {
    // Noticed at the next input: the time-out comes before the late reply.
    Recorder r;
    FrameDecoder d(r, s);
    d.Sent(request, 0, 8336);
    d.Received(reply, 300000);
    ASSERT_EQ(r.Events.size(), 3u);
    EXPECT_TRUE(r.Events[1].Timeout);
    EXPECT_FALSE(r.Events[2].Timeout);
  }
  {
    // The next request on the line before its reply.
    Recorder r;
    FrameDecoder d(r, s);
    d.Received(request, 10000);
    d.Received(Rtu(B({2, 3, 0, 0, 0, 1})), 20000);
    ASSERT_EQ(r.Events.size(), 3u);
    EXPECT_TRUE(r.Events[1].Timeout);
    EXPECT_EQ(r.Events[1].F.Device, 1);
  }
  {
    // Answered in time, and broadcasts: no time-out.
    Recorder r;
    FrameDecoder d(r, s);
    d.Sent(request, 0, 8336);
    d.Received(reply, 50000);
    d.Sent(Rtu(B({0, 6, 0, 0, 0, 1})), 60000, 68336);
    d.Advance(10000000);
    d.Sent(request, 20000000, 20008336);
    d.Received(Rtu(B({1, 0x83, 2})), 20050000); // an exception answers too
    d.Advance(30000000);
    EXPECT_EQ(r.Timeouts(), 0u);
  }
  {
    // A reply read only partly before the deadline holds the time-out back.
    Recorder r;
    FrameDecoder d(r, s);
    d.Sent(request, 0, 8336);
    d.Received(reply.substr(0, 3), 50000);
    d.Advance(200000);
    EXPECT_EQ(r.Timeouts(), 0u);
    d.Received(reply.substr(3), 210000);
    EXPECT_EQ(r.Timeouts(), 0u);
    ASSERT_EQ(r.Frames().size(), 2u);
    EXPECT_GE(r.Frames()[1].ResponseUs, 0);
  }
}

TEST(LineDecoder, Echo) {
  const std::string request = Rtu(B({1, 3, 0, 0, 0, 1}));
  const std::string reply = Rtu(B({1, 3, 2, 0, 1}));
  Recorder r;
  FrameDecoder d(r, Settings(true));
  d.Sent(request, 10000, 18336);
  d.Received(request.substr(0, 5), 15000);
  d.Received(request.substr(5), 18400);
  d.Received(reply, 40000);
  const auto frames = r.Frames();
  ASSERT_EQ(Shapes(frames), (std::vector<std::string>{"tx request/ok/8", "request/ok/8/echo", "reply/ok/7"}));
  EXPECT_EQ(Summary(frames[1]), "Echo: Read Holding Registers 1-1");
  EXPECT_EQ(frames[1].Flags & kShortSilence, 0);
  EXPECT_EQ(frames[1].Device, 1);
  // The reply pairs with the request written.
  EXPECT_EQ(frames[2].ResponseUs, static_cast<int64_t>(40000 - 6 * 1042 - 18336));
  EXPECT_EQ(r.Timeouts(), 0u);

  // Bytes that differ from what was written are no echo; nor is an echo that
  // comes after something else.
  Recorder r2;
  FrameDecoder d2(r2, Settings(false));
  d2.Sent(request, 0, 8336);
  d2.Received(reply, 20000);
  d2.Received(request, 30000);
  EXPECT_EQ(Shapes(r2.Frames()), (std::vector<std::string>{"tx request/ok/8", "reply/ok/7", "request/ok/8"}));
}

// A frame written that is longer than any frame, and its copy read back:
// nothing waits for it without bound, and every byte comes out.
TEST(LineDecoder, OverlongWrittenFrame) {
  for (auto framing : {frame::Framing::kRtu, frame::Framing::kAscii}) {
    Recorder r;
    FrameDecoder d(r, Settings(false, framing));
    const std::string junk(5000, 'x');
    d.Sent(junk, 0, 1000);
    d.Received(junk, 2000);
    d.Flush();
    size_t received = 0;
    for (const auto& f : r.Frames())
      if (f.Dir == Direction::kRx) {
        received += f.Bytes.size();
        EXPECT_EQ(f.Kind, FrameKind::kNoise);
      }
    EXPECT_EQ(received, junk.size());
  }
}

// A write of one coil or register is answered with a copy of itself: the copy
// is the echo only where the line echoes.
TEST(LineDecoder, EchoOrCopyingReply) {
  const std::string read = Rtu(B({1, 3, 0, 0, 0, 1}));
  const std::string readReply = Rtu(B({1, 3, 2, 0, 1}));
  const std::string write = Rtu(B({1, 6, 0, 0, 0, 9}));
  {
    // Stamps that resolve it: the echo comes while the frame is written.
    Recorder r;
    FrameDecoder d(r, Settings(true));
    d.Sent(write, 10000, 18336);
    d.Received(write, 18500);
    d.Received(write, 40000);
    const auto frames = r.Frames();
    ASSERT_EQ(Shapes(frames),
              (std::vector<std::string>{"tx request/ok/8", "request/ok/8/echo", "reply/ok/8"}));
    EXPECT_EQ(frames[2].ResponseUs, static_cast<int64_t>(40000 - 7 * 1042 - 18336));
    // No echo: the copy is the reply.
    d.Sent(write, 100000, 108336);
    d.Received(write, 130000);
    ASSERT_EQ(r.Frames().size(), 5u);
    EXPECT_EQ(Shape(r.Frames()[4]), "reply/ok/8");
  }
  for (bool echoes : {false, true}) {
    // Without such stamps: as the line did with the frames written before.
    SCOPED_TRACE(echoes ? "echoing line" : "line without echo");
    Recorder r;
    FrameDecoder d(r, Settings(false));
    d.Sent(read, 0, 8336);
    if (echoes) d.Received(read, 9000);
    d.Received(readReply, 20000);
    d.Sent(write, 30000, 38336);
    if (echoes) d.Received(write, 39000);
    d.Received(write, 50000);
    d.Advance(10000000);
    const auto frames = r.Frames();
    ASSERT_EQ(frames.size(), echoes ? 6u : 4u);
    EXPECT_EQ(Shape(frames.back()), "reply/ok/8");
    EXPECT_GE(frames.back().ResponseUs, 0);
    if (echoes) {
      EXPECT_EQ(Shape(frames[4]), "request/ok/8/echo");
    }
    EXPECT_EQ(r.Timeouts(), 0u);
  }
}

TEST(LineDecoder, AsciiFrames) {
  const DecoderSettings s = Settings(false, frame::Framing::kAscii);
  const std::string request = Ascii(B({1, 3, 0, 0, 0, 10}));
  const std::string reply = Ascii(B({1, 3, 2, 0, 7}));
  Recorder r;
  FrameDecoder d(r, s);
  d.Received("xy" + request.substr(0, 7), 1000);
  d.Received(request.substr(7) + reply, 2000);
  d.Received(Ascii(B({1, 3, 2, 0, 7}), 1) + Ascii(B({1, 43, 14})) + ":0103" + Ascii(B({2, 0x86, 2})), 3000);
  d.Flush();
  const auto frames = r.Frames();
  ASSERT_EQ(Shapes(frames),
            (std::vector<std::string>{"noise/noise/2", "request/ok/17", "reply/ok/15", "reply/lrc/15",
                                      "raw/ok/11", "noise/noise/5/cut", "exception/ok/11"}));
  EXPECT_EQ(frames[1].Bytes, request);
  EXPECT_EQ(Summary(frames[1]), "Read Holding Registers 1-10");
  EXPECT_EQ(frames[1].Device, 1);
  EXPECT_EQ(frames[1].Function, 3);
  EXPECT_EQ(Summary(frames[2]), "Reply: 1 register");
  EXPECT_GE(frames[2].ResponseUs, 0);
  EXPECT_EQ(DecodeFields(frames[2]).Registers, (std::vector<uint16_t>{7}));
  // LRC of 01 03 02 00 07 is F3; received one more.
  EXPECT_EQ(Summary(frames[3]), "LRC error: received F4, computed F3");
  EXPECT_EQ(Summary(frames[4]), "Function 43: 1 byte of data");
  EXPECT_EQ(Summary(frames[6]), "Exception 2 Illegal Data Address");
  // A text that runs past 513 characters is cut there.
  Recorder r2;
  FrameDecoder d2(r2, s);
  d2.Received(":" + std::string(600, '0') + "\r\n" + request, 1000);
  d2.Flush();
  EXPECT_EQ(Shapes(r2.Frames()),
            (std::vector<std::string>{"noise/noise/513/cut", "noise/noise/90", "request/ok/17"}));
}

TEST(LineDecoder, ResetAndConfigure) {
  Recorder r;
  FrameDecoder d(r, Settings(false));
  const std::string request = Rtu(B({1, 3, 0, 0, 0, 1}));
  d.Received(request.substr(0, 5), 1000);
  d.Reset();
  d.Received(request, 2000);
  EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"request/ok/8"}));
  d.Received(request.substr(0, 4), 3000);
  d.Configure(Settings(false, frame::Framing::kAscii)); // flushes what is pending first
  EXPECT_EQ(Shapes(r.Frames()), (std::vector<std::string>{"request/ok/8", "noise/noise/4/cut"}));
  d.Received(Ascii(B({1, 3, 0, 0, 0, 1})), 4000);
  ASSERT_EQ(r.Frames().size(), 3u);
  EXPECT_EQ(r.Frames()[2].Framing, frame::Framing::kAscii);
}

TEST(LineDecoder, CsvLines) {
  EXPECT_STREQ(kCsvHeader, "time_us,dir,device,function,bytes,check,response_us,summary,hex");
  Recorder r;
  FrameDecoder d(r, Settings(false));
  d.Sent(Rtu(B({1, 3, 0, 0, 0, 1})), 100, 8436);
  d.Received(Rtu(B({1, 3, 2, 0x12, 0xAB})) + B({0, 0x22}), 20000);
  d.Flush();
  const auto frames = r.Frames();
  ASSERT_EQ(frames.size(), 3u);
  std::string out;
  for (const auto& f : frames) AppendCsvLine(out, f);
  const int64_t response = 20000 - 8 * 1042 - 8436;
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "100,tx,1,3,8,ok,,\"Read Holding Registers 1-1\",010300000001%04X\n"
                "%lld,rx,1,3,7,ok,%lld,\"Reply: 1 register\",01030212AB%04X\n"
                "%lld,rx,,,2,noise,,\"Noise: 2 bytes\",0022\n",
                CarriedCrc(B({1, 3, 0, 0, 0, 1})), static_cast<long long>(20000 - 8 * 1042),
                static_cast<long long>(response), CarriedCrc(B({1, 3, 2, 0x12, 0xAB})),
                static_cast<long long>(20000 - 1 * 1042));
  EXPECT_EQ(out, expected);
  // A frame made by hand: its summary comes from its bytes, in quotes.
  Frame f;
  f.Kind = FrameKind::kException;
  f.Bytes = Rtu(B({1, 0x83, 4}));
  f.Device = 1;
  f.Function = 0x83;
  out.clear();
  AppendCsvLine(out, f);
  EXPECT_NE(out.find(",\"Exception 4 Slave Device Failure\","), std::string::npos) << out;
}

} // namespace
