#include "modbus/slave.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/core.h"
#include "modbus/frame_rules.h"
#include "support/recording_sender.h"

using namespace korvane;
using frame::Bytes;

namespace {

using test::RecordingSender;
using test::WithCrc;

// One slave with its own workspace, clock and recording sender.
struct Rig {
  explicit Rig(bool rtu, uint32_t start = 1000) : ticks(start) { ws->Settings.RtuMode = FrameModeOf(rtu); }
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  FakeTickSource ticks;
  RecordingSender sent;
  TSlave slave{*ws, sent, ticks};

  bool IsRtu() const { return ws->Settings.RtuMode == fmRtu; }
  // A request or reply body in the rig's framing.
  std::string Wrap(const std::string& body) const { return IsRtu() ? WithCrc(body) : ConvertToASCII(body); }
  void Feed(const std::string& chunk) {
    const auto n = static_cast<int32_t>(chunk.size());
    if (IsRtu())
      slave.CheckModbusRTU(n, chunk);
    else
      slave.CheckModbusASCII(n, chunk);
  }
  void FeedBody(const std::string& body) { Feed(Wrap(body)); }
  AddressSlot& Slot(int s) { return ws->SlotTables(s); }
};

// ---------------------------------------------------------------------------
// Exact bytes from the wire, with their checksums written out.

TEST(SlaveVectors, KnownRtuAndAsciiExchanges) {
  {
    Rig r(true);
    const int coils[] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    for (int i = 0; i < 10; ++i) SetBit(r.Slot(1).CoilTable, i + 1, coils[i] != 0);
    r.Feed(Bytes({0x01, 0x01, 0x00, 0x00, 0x00, 0x0A, 0xBC, 0x0D}));
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0], Bytes({0x01, 0x01, 0x02, 0x0D, 0x03, 0xFD, 0x6D}));
  }
  {
    Rig r(true);
    r.Slot(1).HoldingRegTable[1] = 42;
    r.Feed(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0], Bytes({0x01, 0x03, 0x04, 0x00, 0x2A, 0x00, 0x00, 0xDB, 0xFB}));
  }
  {
    // Served from slot 2 whatever the grid shows.
    Rig r(true);
    r.ws->Devices.ActiveSlot = 3;
    const std::string req = Bytes({0x02, 0x06, 0x00, 0x04, 0x00, 0x2A, 0x49, 0xE7});
    r.Feed(req);
    EXPECT_EQ(r.Slot(2).HoldingRegTable[5], 42);
    EXPECT_EQ(r.Slot(3).HoldingRegTable[5], 0);
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0], req);
  }
  {
    Rig r(false);
    r.Slot(1).HoldingRegTable[1] = 42;
    r.Feed(":010300000001FB\r\n");
    r.Feed(":010300000001FC\r\n"); // LRC off by one
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0], ":010302002AD0\r\n");
  }
}

// ---------------------------------------------------------------------------
// Every function code in both framings, with the edge cases of the tables.

struct HandlerCase {
  const char* name;
  std::function<void(Workspace&)> setup;
  std::string request; // body without checksum
  std::string reply;   // body without checksum; empty: no reply
  bool write;          // RegsChanged must be set
  std::function<void(Workspace&)> check;
};

std::string ReadAllRegsReply() {
  std::string r = Bytes({1, 3, 0xFE}); // 2 * 65535 = 131070: low eight bits only
  for (int n = 1; n <= 65535; ++n) frame::PutWord(r, n == 1 ? 0x1234 : n == 65535 ? 0xABCD : 0);
  return r;
}

const std::vector<HandlerCase>& HandlerCases() {
  static const std::vector<HandlerCase> cases = {
      {"coils", [](Workspace& w) {
         SetBit(w.SlotTables(1).CoilTable, 4, true);
         SetBit(w.SlotTables(1).CoilTable, 5, true);
       },
       Bytes({1, 1, 0, 3, 0, 3}), Bytes({1, 1, 1, 0x03}), false, nullptr},
      {"inputs come from the status table",
       [](Workspace& w) {
         SetBit(w.SlotTables(1).StatusTable, 1, true);
         SetBit(w.SlotTables(1).CoilTable, 2, true);
       },
       Bytes({1, 2, 0, 0, 0, 2}), Bytes({1, 2, 1, 0x01}), false, nullptr},
      {"holding registers",
       [](Workspace& w) {
         w.SlotTables(1).HoldingRegTable[1] = 0x1234;
         w.SlotTables(1).InputRegTable[1] = 0x5678;
       },
       Bytes({1, 3, 0, 0, 0, 1}), Bytes({1, 3, 2, 0x12, 0x34}), false, nullptr},
      {"input registers",
       [](Workspace& w) {
         w.SlotTables(1).HoldingRegTable[1] = 0x1234;
         w.SlotTables(1).InputRegTable[1] = 0x5678;
       },
       Bytes({1, 4, 0, 0, 0, 1}), Bytes({1, 4, 2, 0x56, 0x78}), false, nullptr},
      {"quantity 0", nullptr, Bytes({1, 3, 0, 9, 0, 0}), Bytes({1, 3, 0}), false, nullptr},
      {"stored values outside 16 bits",
       [](Workspace& w) {
         auto& t = w.SlotTables(1).HoldingRegTable;
         t[1] = -1, t[2] = -300, t[3] = 70000;
       },
       Bytes({1, 3, 0, 0, 0, 3}), Bytes({1, 3, 6, 0xFF, 0xFF, 0xFE, 0xD4, 0x11, 0x70}), false, nullptr},
      {"coils at the top read 0 past the store",
       [](Workspace& w) {
         for (int n : {65531, 65533, 65536}) SetBit(w.SlotTables(1).CoilTable, n, true);
       },
       Bytes({1, 1, 0xFF, 0xFA, 0, 10}), Bytes({1, 1, 2, 0b100101, 0}), false, nullptr},
      {"registers at the top read 00 00 past the store",
       [](Workspace& w) {
         w.SlotTables(1).HoldingRegTable[65535] = 0x0102;
         w.SlotTables(1).HoldingRegTable[65536] = 0x0304;
       },
       Bytes({1, 3, 0xFF, 0xFE, 0, 4}), Bytes({1, 3, 8, 1, 2, 3, 4, 0, 0, 0, 0}), false, nullptr},
      {"a read of 65535 registers is answered in full",
       [](Workspace& w) {
         w.SlotTables(1).HoldingRegTable[1] = 0x1234;
         w.SlotTables(1).HoldingRegTable[65535] = 0xABCD;
       },
       Bytes({1, 3, 0, 0, 0xFF, 0xFF}), ReadAllRegsReply(), false, nullptr},
      {"single coil: any non-zero value is ON", nullptr, Bytes({1, 5, 0, 16, 0, 1}), Bytes({1, 5, 0, 16, 0, 1}),
       true,
       [](Workspace& w) {
         EXPECT_TRUE(GetBit(w.SlotTables(1).CoilTable, 17));
         EXPECT_FALSE(GetBit(w.SlotTables(1).CoilTable, 16));
         EXPECT_FALSE(GetBit(w.SlotTables(1).CoilTable, 18));
       }},
      {"single coil: 0 is OFF, neighbours kept",
       [](Workspace& w) { w.SlotTables(1).CoilTable[2] = 0xFFFF; },
       Bytes({1, 5, 0, 16, 0, 0}), Bytes({1, 5, 0, 16, 0, 0}), true,
       [](Workspace& w) { EXPECT_EQ(w.SlotTables(1).CoilTable[2], 0xFFFE); }},
      {"single register", nullptr, Bytes({1, 6, 0, 10, 0xBE, 0xEF}), Bytes({1, 6, 0, 10, 0xBE, 0xEF}), true,
       [](Workspace& w) {
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[11], 0xBEEF);
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[10], 0);
       }},
      {"coils: spare bits of the last byte change nothing",
       [](Workspace& w) { SetBit(w.SlotTables(1).CoilTable, 11, true); },
       Bytes({1, 15, 0, 0, 0, 10, 2, 0xFF, 0x03}), Bytes({1, 15, 0, 0, 0, 10}), true,
       [](Workspace& w) {
         for (int n = 1; n <= 10; ++n) EXPECT_TRUE(GetBit(w.SlotTables(1).CoilTable, n)) << n;
         EXPECT_TRUE(GetBit(w.SlotTables(1).CoilTable, 11));
         EXPECT_FALSE(GetBit(w.SlotTables(1).CoilTable, 12));
       }},
      {"coils: clearing keeps the other bits of the word",
       [](Workspace& w) { w.SlotTables(1).CoilTable[1] = 0xFFFF; },
       Bytes({1, 15, 0, 2, 0, 3, 1, 0b010}), Bytes({1, 15, 0, 2, 0, 3}), true,
       [](Workspace& w) { EXPECT_EQ(w.SlotTables(1).CoilTable[1], 0xFFFF & ~0b10100); }},
      {"coils across the top of the store", nullptr, Bytes({1, 15, 0xFF, 0xFE, 0, 4, 1, 0x0F}),
       Bytes({1, 15, 0xFF, 0xFE, 0, 4}), true,
       [](Workspace& w) {
         EXPECT_EQ(w.SlotTables(1).CoilTable[4096], 0xC000);
         EXPECT_EQ(w.SlotTables(1).CoilTable[1], 0); // nothing wrapped round
       }},
      {"holding registers", nullptr, Bytes({1, 16, 0, 9, 0, 2, 4, 0x00, 0x01, 0xFF, 0xFF}),
       Bytes({1, 16, 0, 9, 0, 2}), true,
       [](Workspace& w) {
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[10], 1);
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[11], 65535);
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[12], 0);
       }},
      {"holding registers across the top of the store", nullptr,
       Bytes({1, 16, 0xFF, 0xFF, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}), Bytes({1, 16, 0xFF, 0xFF, 0, 2}), true,
       [](Workspace& w) {
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[65536], 0x1234);
         EXPECT_EQ(w.SlotTables(1).HoldingRegTable[1], 0);
       }},
      {"two slots share an address: the higher one serves",
       [](Workspace& w) { w.Devices.SlotAddress[2] = w.Devices.SlotAddress[4] = 7; }, Bytes({7, 6, 0, 0, 0, 99}),
       Bytes({7, 6, 0, 0, 0, 99}), true,
       [](Workspace& w) {
         EXPECT_EQ(w.SlotTables(4).HoldingRegTable[1], 99);
         EXPECT_EQ(w.SlotTables(2).HoldingRegTable[1], 0);
       }},
      {"no handler for function 7", nullptr, Bytes({1, 7, 0, 0, 0, 1}), "", false, nullptr},
      {"address of no slot", nullptr, Bytes({9, 6, 0, 0, 0, 1}), "", false,
       [](Workspace& w) {
         for (int s = 1; s <= kSlotCount; ++s) EXPECT_EQ(w.SlotTables(s).HoldingRegTable[1], 0);
       }},
  };
  return cases;
}

class SlaveHandlers : public ::testing::TestWithParam<bool> {};

TEST_P(SlaveHandlers, EveryFunctionCode) {
  for (const auto& c : HandlerCases()) {
    SCOPED_TRACE(c.name);
    Rig r(GetParam());
    r.ws->Settings.CommPort = 7;
    if (c.setup) c.setup(*r.ws);
    r.FeedBody(c.request);
    if (c.reply.empty()) {
      EXPECT_TRUE(r.sent.frames.empty());
    } else { // reply expected
      ASSERT_EQ(r.sent.frames.size(), 1u);
      EXPECT_TRUE(r.sent.frames[0] == r.Wrap(c.reply)); // no dump of 131 kB on failure
      EXPECT_EQ(r.sent.ports[0], 7);
    }
    EXPECT_EQ(r.ws->Cycle.RegsChanged, c.write ? 1 : 0);
    if (!c.reply.empty()) {
      EXPECT_EQ(r.slave.RxCount(), 0);
    }
    if (c.check) c.check(*r.ws);
  }
}

INSTANTIATE_TEST_SUITE_P(Framing, SlaveHandlers, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Rtu" : "Ascii"; });

// ---------------------------------------------------------------------------
// Chunk boundaries change nothing.

struct Outcome {
  std::vector<std::string> replies;
  std::vector<int32_t> regs; // holding registers 1..40 of slots 1..5
};

Outcome FeedInPieces(bool rtu, const std::string& stream, const std::vector<size_t>& cuts) {
  Rig r(rtu);
  size_t from = 0;
  for (size_t to : cuts) {
    r.Feed(stream.substr(from, to - from));
    from = to;
  }
  r.Feed(stream.substr(from));
  Outcome o{r.sent.frames, {}};
  for (int s = 1; s <= kSlotCount; ++s)
    for (int n = 1; n <= 40; ++n) o.regs.push_back(r.Slot(s).HoldingRegTable[static_cast<size_t>(n)]);
  return o;
}

TEST_P(SlaveHandlers, ChunkBoundariesChangeNothing) {
  const bool rtu = GetParam();
  Rig wrap(rtu);
  std::string stream;
  if (rtu)
    stream += Bytes({0xAA, 0x03, 0x00}); // noise, then a false start at "03" dropped at its bad function code
  else
    stream += "\n junk ";
  stream += wrap.Wrap(Bytes({1, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2, 0, 3}));
  stream += wrap.Wrap(Bytes({3, 6, 0, 5, 0x12, 0x34}));
  stream += rtu ? std::string(Bytes({1, 7})) : wrap.Wrap(Bytes({1, 7, 0, 0})); // no handler
  stream += wrap.Wrap(Bytes({5, 3, 0, 0, 0, 2}));
  stream += wrap.Wrap(Bytes({2, 15, 0, 0, 0, 9, 2, 0xFF, 1}));
  stream += wrap.Wrap(Bytes({2, 1, 0, 0, 0, 12}));
  stream += wrap.Wrap(Bytes({4, 16, 0, 30, 0, 1, 2, 0xCA, 0xFE}));
  stream += wrap.Wrap(Bytes({1, 3, 0, 0, 0, 3}));

  const Outcome whole = FeedInPieces(rtu, stream, {});
  ASSERT_EQ(whole.replies.size(), 7u);
  EXPECT_EQ(whole.replies.back(), wrap.Wrap(Bytes({1, 3, 6, 0, 1, 0, 2, 0, 3})));
  EXPECT_EQ(whole.replies[4], wrap.Wrap(Bytes({2, 1, 2, 0xFF, 0x01})));

  std::vector<size_t> each;
  for (size_t i = 1; i < stream.size(); ++i) each.push_back(i);
  const Outcome bytewise = FeedInPieces(rtu, stream, each);
  EXPECT_EQ(bytewise.replies, whole.replies);
  EXPECT_EQ(bytewise.regs, whole.regs);

  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<size_t> step(1, 13);
    std::vector<size_t> cuts;
    for (size_t at = step(gen); at < stream.size(); at += step(gen)) cuts.push_back(at);
    const Outcome split = FeedInPieces(rtu, stream, cuts);
    EXPECT_EQ(split.replies, whole.replies) << "seed " << seed;
    EXPECT_EQ(split.regs, whole.regs) << "seed " << seed;
  }
}

// ---------------------------------------------------------------------------
// RTU framing rules.

TEST(SlaveRtu, AFramingCodeOtherThanRtuAnswersInAscii) {
  // Only the RTU code itself answers in RTU: a request taken by the RTU
  // checker under any other code is answered as ASCII.
  Rig r(true);
  r.ws->Settings.RtuMode = static_cast<TFrameMode>(2);
  r.Slot(1).HoldingRegTable[1] = 42;
  const std::string request = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B});
  r.slave.CheckModbusRTU(static_cast<int32_t>(request.size()), request);
  ASSERT_EQ(r.sent.frames.size(), 1u);
  EXPECT_EQ(r.sent.frames[0], ConvertToASCII(Bytes({0x01, 0x03, 0x04, 0x00, 0x2A, 0x00, 0x00})));
}

TEST(SlaveRtu, ACrcMismatchHoldsNothingBack) {
  const std::string good = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD});
  const std::string bad = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCE});
  for (const uint32_t pause : {0u, 1u, 2000u, 2999u, 3001u}) {
    SCOPED_TRACE(pause);
    Rig r(true, 5000);
    r.Feed(bad);
    EXPECT_TRUE(r.sent.frames.empty());
    r.ticks.Advance(pause);
    // Every byte but the last leaves the good request unanswered; the last
    // one brings the reply.
    r.Feed(good.substr(0, 7));
    EXPECT_TRUE(r.sent.frames.empty());
    r.Feed(good.substr(7));
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0].substr(0, 3), Bytes({1, 3, 20}));
    EXPECT_EQ(r.slave.RxCount(), 0);
  }
}

TEST(SlaveRtu, TimeOutAcrossTheTickWrap) {
  const std::string req = WithCrc(Bytes({1, 3, 0, 0, 0, 1}));
  const struct {
    size_t firstPart;
    uint32_t pause;
    bool answered;
  } cases[] = {
      {4, 2999, true},
      {4, 3001, false},
      {1, 3001, false},
      {7, 2999, true},
      // A byte that comes after the time-out is looked at as the start of a
      // frame, the last one of a request too.
      {7, 3001, false},
      {7, 500000, false},
  };
  for (uint32_t start : {0xFFFFFF00u, 0xFFFFF448u, 1000u}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << "start " << start << " part " << c.firstPart << " pause " << c.pause);
      Rig r(true, start);
      r.Feed(req.substr(0, c.firstPart));
      r.ticks.Advance(c.pause);
      r.Feed(req.substr(c.firstPart));
      EXPECT_EQ(r.sent.frames.size(), c.answered ? 1u : 0u);
      r.Feed(req); // the checker is free again either way
      EXPECT_EQ(r.sent.frames.size(), c.answered ? 2u : 1u);
    }
  }
}

TEST(SlaveRtu, AFunctionWithoutHandlerIsPassedOverToTheNextFrame) {
  Rig r(true);
  r.ws->Devices.SlotAddress = {0, 1, 7, 7, 7, 7};
  // "01 07" is no request that is served; the request for address 7 whose
  // first byte is that 07 checks, so it is served.
  const std::string forSeven = WithCrc(Bytes({0x07, 0x03, 0x00, 0x00, 0x00, 0x01}));
  r.Feed(Bytes({0x01}) + forSeven);
  ASSERT_EQ(r.sent.frames.size(), 1u);
  EXPECT_EQ(r.sent.frames[0], WithCrc(Bytes({7, 3, 2, 0, 0})));
  EXPECT_EQ(r.slave.RxCount(), 0);
  // A whole function 7 request to slot 1 gets no reply; the next frame does.
  r.Feed(WithCrc(Bytes({0x01, 0x07})) + forSeven);
  EXPECT_EQ(r.sent.frames.size(), 2u);
}

std::string WriteRegsBody(int q) {
  std::string b = Bytes({1, 16, 0, 0});
  frame::PutWord(b, q);
  frame::PutByte(b, 2 * q);
  for (int i = 1; i <= q; ++i) frame::PutWord(b, 1000 + i);
  return b;
}

TEST(SlaveRtu, FiveHundredByteBound) {
  for (int q : {246, 247}) {
    SCOPED_TRACE(q);
    Rig r(true);
    r.FeedBody(WriteRegsBody(q));
    const bool answered = q == 246; // 501 bytes fit, 503 do not
    EXPECT_EQ(r.sent.frames.size(), answered ? 1u : 0u);
    EXPECT_EQ(r.Slot(1).HoldingRegTable[static_cast<size_t>(q)], answered ? 1000 + q : 0);
    EXPECT_EQ(r.ws->Cycle.RegsChanged, answered ? 1 : 0);
  }
}

TEST(SlaveRtu, CoilByteCountNeverReadsPastTheFrame) {
  const struct {
    std::string body;
    int32_t word1; // coils 1..16 after the write (all ON before)
  } cases[] = {
      {Bytes({1, 15, 0, 0, 0, 8, 200, 0x00}), 0xFF00}, // byte count promises 200 bytes
      {Bytes({1, 15, 0, 0, 0, 8, 0, 0x00}), 0xFFFF},   // byte count 0: no data taken, still answered
      {Bytes({1, 15, 0, 0, 0, 0, 0}), 0xFFFF},         // quantity 0
  };
  for (const auto& c : cases) {
    Rig r(true);
    r.Slot(1).CoilTable[1] = 0xFFFF;
    r.FeedBody(c.body);
    ASSERT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.sent.frames[0], WithCrc(c.body.substr(0, 6)));
    EXPECT_EQ(r.Slot(1).CoilTable[1], c.word1);
  }
}

TEST(SlaveRtu, CountBoundsTheBytesTaken) {
  Rig r(true);
  const std::string req = WithCrc(Bytes({1, 6, 0, 0, 0, 5}));
  r.slave.CheckModbusRTU(4, req); // only the first four
  r.slave.CheckModbusRTU(1000, req.substr(4));
  r.slave.CheckModbusRTU(-3, req);
  ASSERT_EQ(r.sent.frames.size(), 1u);
  EXPECT_EQ(r.sent.frames[0], req);
  EXPECT_EQ(r.slave.RxCount(), 0);
}

// ---------------------------------------------------------------------------
// ASCII framing rules.

TEST(SlaveAscii, ShortOrDamagedRequests) {
  const struct {
    const char* name;
    std::string text;
    bool answered;
    int32_t reg1;  // holding register 1 afterwards (0 before)
    int32_t coils; // coil word 1 afterwards (0xFFFF before)
  } cases[] = {
      {"empty", ":\r\n", false, 0, 0xFFFF},
      {"address only", ConvertToASCII(Bytes({1})), false, 0, 0xFFFF},
      {"read one byte short", ConvertToASCII(Bytes({1, 3, 0, 0, 0})), false, 0, 0xFFFF},
      {"single write one byte short", ConvertToASCII(Bytes({1, 6, 0, 0, 9})), false, 0, 0xFFFF},
      {"register values missing", ConvertToASCII(Bytes({1, 16, 0, 0, 0, 2, 4, 0, 5})), false, 0, 0xFFFF},
      {"coils without byte count", ConvertToASCII(Bytes({1, 15, 0, 0, 0, 8})), false, 0, 0xFFFF},
      {"coil bits partly present", ConvertToASCII(Bytes({1, 15, 0, 0, 0, 16, 2, 0x0F})), true, 0, 0xFF0F},
      {"lower-case digits fail the LRC", ":010600000009f0\r\n", false, 0, 0xFFFF},
      {"odd last character ignored", ":010600000009F00\r\n", true, 9, 0xFFFF},
      {"extra bytes after the fields", ConvertToASCII(Bytes({1, 6, 0, 0, 0, 9, 0x55})), true, 9, 0xFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r(false);
    r.Slot(1).CoilTable[1] = 0xFFFF;
    r.Feed(c.text);
    EXPECT_EQ(r.sent.frames.size(), c.answered ? 1u : 0u);
    EXPECT_EQ(r.Slot(1).HoldingRegTable[1], c.reg1);
    EXPECT_EQ(r.Slot(1).CoilTable[1], c.coils);
    EXPECT_EQ(r.slave.RxCount(), 0);
  }
}

TEST(SlaveAscii, TimeOutAndLengthBoundAreCheckedAtTheEndOfAChunk) {
  const std::string req = ":010600000009F0\r\n";
  const std::string big = ConvertToASCII(WriteRegsBody(247)); // 1005 characters before CR
  const struct {
    const char* name;
    uint32_t start;
    std::vector<std::string> chunks;
    uint32_t pause; // before the second chunk
    bool answered;
  } cases[] = {
      {"late chunk that completes", 0xFFFFFF00u, {":0106", "00000009F0\r\n"}, 3001, true},
      {"late chunk that does not complete", 0xFFFFFF00u, {":0106", "0000", "0009F0\r\n"}, 3001, false},
      {"in time across the wrap", 0xFFFFFF00u, {":0106", "0000", "0009F0\r\n"}, 2999, true},
      {"over 500 characters inside one chunk", 0, {big}, 0, true},
      {"over 500 characters held between chunks", 0, {big.substr(0, 501), big.substr(501)}, 0, false},
      {"500 characters held between chunks", 0, {big.substr(0, 500), big.substr(500)}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r(false, c.start);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      if (i == 1) r.ticks.Advance(c.pause);
      r.Feed(c.chunks[i]);
    }
    EXPECT_EQ(r.sent.frames.size(), c.answered ? 1u : 0u);
    r.Feed(req); // free again for the next request
    EXPECT_EQ(r.sent.frames.size(), c.answered ? 2u : 1u);
  }
}

TEST(SlaveAscii, AColonBeginsANewRequest) {
  const std::string good = ":010300000001FB\r\n";
  const struct {
    const char* name;
    std::string stream;
    size_t replies;
  } cases[] = {
      {"a request cut short", ":0103000" + good, 1},
      {"a request cut short before its LRC", ":01030000000" + good + ":0106" + good, 2},
      {"colons alone", ":::" + good, 1},
      {"another device's request and a request cut short", ":090300000001F3\r\n:01" + good, 1},
      {"a request whose carriage return was lost", ":010300000001FB\n" + good, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t cut = 0; cut < c.stream.size(); ++cut) {
      Rig r(false);
      r.Feed(c.stream.substr(0, cut));
      r.Feed(c.stream.substr(cut));
      ASSERT_EQ(r.sent.frames.size(), c.replies) << "split after " << cut;
      EXPECT_EQ(r.sent.frames.back(), ConvertToASCII(Bytes({1, 3, 2, 0, 0})));
      EXPECT_EQ(r.slave.RxCount(), 0);
    }
  }
}

TEST(SlaveAscii, RequestInPiecesIsAnsweredOnce) {
  Rig r(false);
  for (const char* piece : {":01", "0300", "000001", "FB", "\r", "\n"}) r.Feed(piece);
  r.slave.CheckModbusASCII(0, ":010300000001FB\r\n"); // Count 0 takes nothing
  ASSERT_EQ(r.sent.frames.size(), 1u);
  EXPECT_EQ(r.sent.frames[0], ConvertToASCII(Bytes({1, 3, 2, 0, 0})));
}

} // namespace

// ---------------------------------------------------------------------------
// A shared bus: the requests to the slots among other devices' requests and
// replies, noise and damaged frames.

namespace bus {

// A piece of line traffic: a request to a slot, owed a reply as soon as its
// last byte is in, or bytes that are owed nothing.
struct Piece {
  std::string bytes;
  bool answered;
};
Piece Ask(const std::string& body) { return {WithCrc(body), true}; }
Piece Pass(const std::string& bytes) { return {bytes, false}; }
std::string Frame(std::initializer_list<int> body) { return test::Rtu(body); }
// `f` with one byte changed.
std::string Damaged(std::string f, size_t at, int flip) {
  f[at] = static_cast<char>(f[at] ^ flip);
  return f;
}
// `f` with `noise` put in before byte `at`.
std::string WithNoise(std::string f, size_t at, const std::string& noise) { return f.insert(at, noise); }
// A frame that carries the whole of another frame in its data.
std::string Carrying(const std::string& head, const std::string& inner) { return WithCrc(head + inner); }

struct Case {
  const char* name;
  std::vector<Piece> pieces;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"requests between other devices' requests and replies",
       {Pass(Frame({9, 3, 0, 0, 0, 2})), Pass(Frame({9, 3, 4, 0, 1, 0, 2})), Ask(Bytes({1, 3, 0, 0, 0, 2})),
        Pass(Frame({0x11, 6, 0, 1, 0, 3})), Pass(Frame({0x11, 6, 0, 1, 0, 3})),
        Ask(Bytes({2, 6, 0, 4, 0, 0x2A})), Pass(Frame({9, 1, 0, 0, 0, 3})), Pass(Frame({9, 0x81, 2})),
        Pass(Frame({0x20, 16, 0, 0, 0, 1, 2, 0, 5})), Pass(Frame({0x20, 16, 0, 0, 0, 1})),
        Ask(Bytes({2, 3, 0, 4, 0, 1}))}},
      {"other devices' frames made of slot addresses and function codes",
       {Pass(Carrying(Bytes({9, 16, 0, 0, 0, 4, 8}), Frame({1, 6, 0, 0, 0, 7}))),
        Pass(Frame({9, 16, 0, 0, 0, 4})), Pass(Frame({0x30, 3, 1, 3, 0, 1})), Pass(Frame({0x30, 3, 2, 2, 6})),
        Pass(Carrying(Bytes({0x30, 15, 0, 0, 0, 0x40, 8}), Frame({3, 5, 0, 1, 0xFF, 0}))),
        Pass(Frame({0x30, 15, 0, 0, 0, 0x40})), Ask(Bytes({1, 3, 0, 0, 0, 1})),
        Ask(Bytes({3, 1, 0, 0, 0, 8}))}},
      {"a reply to function 3 whose data is a request to a slot",
       {Pass(Frame({9, 3, 0, 0, 0, 4})), Pass(Carrying(Bytes({9, 3, 8}), Frame({1, 6, 0, 0, 0, 7}))),
        Ask(Bytes({1, 3, 0, 0, 0, 1})), Pass(Frame({9, 4, 0, 0, 0, 5})),
        Pass(Carrying(Bytes({9, 4, 10}), WithCrc(Bytes({2, 16, 0, 0, 0, 0, 0})))),
        Ask(Bytes({2, 3, 0, 0, 0, 1}))}},
      {"an exception reply whose code is a slot address",
       {Pass(Frame({9, 3, 0, 1, 0, 1})), Pass(Frame({9, 0x83, 1})), Ask(Bytes({1, 4, 0, 0, 0, 1}))}},
      {"noise before a request",
       {Pass(Bytes({0xFF, 0x00, 0x55, 0xAA, 0x13, 0x37})), Ask(Bytes({1, 3, 0, 0, 0, 2}))}},
      {"noise that reads as the start of a long frame, then requests",
       {Pass(Bytes({0x42, 0x03, 0xF0})), Ask(Bytes({1, 3, 0, 0, 0, 2})),
        Pass(Bytes({0x42, 0x10, 0, 0, 0, 0x7B})), Ask(Bytes({1, 3, 0, 0, 0, 2})),
        Pass(Bytes({0x03, 0x0F, 0, 0, 0x0F, 0})), Ask(Bytes({3, 6, 0, 1, 0, 2}))}},
      {"noise inside a request, then the request again",
       {Pass(WithNoise(Frame({1, 3, 0, 0, 0, 2}), 3, Bytes({0x77}))), Ask(Bytes({1, 3, 0, 0, 0, 2}))}},
      {"noise inside another device's write, then a request",
       {Pass(WithNoise(Frame({9, 16, 0, 0, 0, 2, 4, 1, 3, 0, 0}), 8, Bytes({0xA5, 0x5A}))),
        Ask(Bytes({1, 3, 0, 0, 0, 2}))}},
      {"noise after a request",
       {Ask(Bytes({3, 3, 0, 0, 0, 1})), Pass(Bytes({0x00, 0x00, 0xFF, 0x03})),
        Ask(Bytes({3, 3, 0, 0, 0, 1}))}},
      {"a request with its CRC damaged, at once a good one",
       {Pass(Damaged(Frame({1, 3, 0, 0, 0, 10}), 7, 0x03)), Ask(Bytes({1, 3, 0, 0, 0, 10}))}},
      {"a request with its quantity damaged, at once a good one",
       {Pass(Damaged(Frame({1, 3, 0, 0, 0, 10}), 5, 0x40)), Ask(Bytes({1, 3, 0, 0, 0, 10}))}},
      {"a read whose function code became 16, at once a good one",
       {Pass(Damaged(Frame({1, 3, 0, 0, 0, 10}), 1, 0x13)), Ask(Bytes({1, 3, 0, 0, 0, 10}))}},
      {"a read whose address became another device's, at once a good one",
       {Pass(Damaged(Frame({1, 3, 0, 0, 0, 10}), 0, 0x08)), Ask(Bytes({1, 3, 0, 0, 0, 10}))}},
      {"a write with a value damaged, at once a good one",
       {Pass(Damaged(Frame({4, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2, 0, 3}), 9, 0x01)),
        Ask(Bytes({4, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2, 0, 3})), Ask(Bytes({4, 3, 0, 0, 0, 3}))}},
      {"requests cut short, then whole ones",
       {Pass(Frame({1, 3, 0, 0, 0, 10}).substr(0, 5)), Ask(Bytes({1, 3, 0, 0, 0, 10})),
        Pass(Frame({5, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2, 0, 3}).substr(0, 9)),
        Ask(Bytes({5, 16, 0, 0, 0, 3, 6, 0, 1, 0, 2, 0, 3}))}},
      {"functions without a handler",
       {Pass(Frame({1, 7})), Pass(Frame({2, 0x2B, 0x0E, 1, 0})), Pass(Frame({9, 8, 0, 0, 0x12, 0x34})),
        Ask(Bytes({2, 1, 0, 0, 0, 9}))}},
      {"a slot's write whose byte count disagrees with its quantity",
       {Ask(Bytes({1, 15, 0, 0, 0, 8, 200, 0x5A})), Pass(Frame({9, 3, 0, 0, 0, 1})),
        Ask(Bytes({1, 1, 0, 0, 0, 8}))}},
  };
  return cases;
}

// What a slave sends, and after how many bytes of the stream.
struct Heard {
  std::vector<std::string> replies;
  std::vector<size_t> after;
};

Heard FeedByteByByte(const std::string& stream) {
  Rig r(true);
  Heard h;
  for (size_t i = 0; i < stream.size(); ++i) {
    r.Feed(stream.substr(i, 1));
    while (h.after.size() < r.sent.frames.size()) h.after.push_back(i + 1);
  }
  h.replies = r.sent.frames;
  return h;
}

} // namespace bus

TEST(SlaveBus, OnlyTheRequestsToTheSlotsAreAnsweredEachAtItsLastByte) {
  for (const auto& c : bus::Cases()) {
    SCOPED_TRACE(c.name);
    // The replies owed: those of the requests alone, in turn, on a quiet line.
    Rig quiet(true);
    std::string stream;
    std::vector<size_t> ends;
    for (const auto& p : c.pieces) {
      stream += p.bytes;
      if (!p.answered) continue;
      quiet.Feed(p.bytes);
      ends.push_back(stream.size());
    }
    ASSERT_EQ(quiet.sent.frames.size(), ends.size());

    const bus::Heard heard = bus::FeedByteByByte(stream);
    EXPECT_EQ(heard.replies, quiet.sent.frames);
    EXPECT_EQ(heard.after, ends);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
      Rig r(true);
      r.Feed(stream.substr(0, cut));
      r.Feed(stream.substr(cut));
      EXPECT_EQ(r.sent.frames, heard.replies) << "split after " << cut << " bytes";
    }
  }
}

TEST(SlaveBus, RandomNoiseBeforeARequestDoesNotLoseIt) {
  const std::string ask = WithCrc(Bytes({2, 3, 0, 5, 0, 3}));
  const std::string foreign = test::Rtu({9, 3, 2, 0x12, 0x34}); // ends a frame: the line is in step
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> length(1, 40);
    std::string noise(length(gen), '\0');
    for (char& b : noise) b = static_cast<char>(byte(gen));
    const bus::Heard heard = bus::FeedByteByByte(foreign + noise + ask);
    ASSERT_EQ(heard.replies.size(), 1u) << "seed " << seed;
    EXPECT_EQ(heard.after[0], foreign.size() + noise.size() + ask.size()) << "seed " << seed;
  }
}

TEST(SlaveBus, AfterQuietTheFirstRequestIsAnswered) {
  const std::string ask = WithCrc(Bytes({1, 3, 0, 0, 0, 1}));
  {
    // A noise burst, 3.5 s of quiet, a request.
    Rig r(true);
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string burst(64, '\0');
    for (char& b : burst) b = static_cast<char>(byte(gen));
    r.Feed(burst);
    r.ticks.Advance(3500);
    r.Feed(ask);
    EXPECT_EQ(r.sent.frames.size(), 1u);
  }
  {
    // Another device's write cut short: its length fields agree, so the
    // bytes within its length are taken for its data, a request among them
    // too. After the time-out the next request is answered.
    Rig r(true);
    r.Feed(Bytes({9, 16, 0, 0, 0, 0x40, 0x80, 1, 2, 3}));
    r.Feed(ask);
    EXPECT_TRUE(r.sent.frames.empty());
    r.ticks.Advance(TSlave::kRequestTimeout + 1);
    r.Feed(ask);
    EXPECT_EQ(r.sent.frames.size(), 1u);
    EXPECT_EQ(r.slave.RxCount(), 0);
  }
}

TEST(SlaveBus, HeldBytesStayBounded) {
  // Noise made of the longest readings there are: a slot's function 16 of
  // 246 registers whose byte count agrees, over and over.
  Rig r(true);
  const std::string head = Bytes({1, 16, 0, 0, 0, 246, 236});
  std::string stream;
  while (stream.size() < 20000) stream += head;
  for (size_t at = 0; at < stream.size(); at += 13) {
    r.Feed(stream.substr(at, 13));
    ASSERT_LE(static_cast<size_t>(r.slave.RxCount()), TSlave::kHeldBytes);
  }
  EXPECT_TRUE(r.sent.frames.empty());
  r.ticks.Advance(TSlave::kRequestTimeout + 1);
  r.Feed(WithCrc(Bytes({1, 3, 0, 0, 0, 1})));
  EXPECT_EQ(r.sent.frames.size(), 1u);
}

// ---------------------------------------------------------------------------
// Noise answered as if it were a request.

namespace noise {

// Modbus CRC bit by bit, apart from the engine's table: true when the last
// two of the `n` bytes at `b` (low byte first) are the CRC of the others.
bool Checks(const uint8_t* b, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i + 2 < n; ++i) {
    crc ^= b[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return b[n - 2] == (crc & 0xFF) && b[n - 1] == (crc >> 8);
}

bool IsSlot(int a) { return a >= 1 && a <= kSlotCount; } // the default addresses 1..5

// The chance per byte that noise drawn evenly from `alphabet` holds a request
// to a slot that checks: P(address) * P(a served function, its length within
// the bound) * 2^-16.
double ChancePerByte(const std::vector<uint8_t>& alphabet) {
  const double n = static_cast<double>(alphabet.size());
  double address = 0;
  double function = 0;
  for (uint8_t a : alphabet) address += IsSlot(a) ? 1 : 0;
  for (uint8_t f : alphabet) {
    if (!frame::IsSupported(f)) continue;
    double fits = 0;
    for (uint8_t hi : alphabet)
      for (uint8_t lo : alphabet)
        fits += frame::RequestLength(f, hi * 256 + lo) <= TSlave::kMaxRequest + 1 ? 1 : 0;
    function += fits / (n * n);
  }
  return address / n * (function / n) / 65536.0;
}

// The largest count k for which P(X > k) of a Poisson count X of mean m is
// still at least `tail`, plus one: a count above it is that unlikely.
int PoissonBound(double m, double tail) {
  double p = std::exp(-m);
  double below = p; // P(X <= k)
  int k = 0;
  while (1.0 - below >= tail) {
    ++k;
    p *= m / k;
    below += p;
  }
  return k;
}

// The requests to a slot that check, wherever they begin in `s`.
std::vector<std::string> RequestsIn(const std::string& s) {
  std::vector<std::string> found;
  const auto* b = reinterpret_cast<const uint8_t*>(s.data());
  for (size_t p = 0; p + 8 <= s.size(); ++p) {
    if (!IsSlot(b[p]) || !frame::IsSupported(b[p + 1])) continue;
    const int64_t length = frame::RequestLength(b[p + 1], b[p + 4] * 256 + b[p + 5]);
    if (length > TSlave::kMaxRequest + 1 || p + static_cast<size_t>(length) > s.size()) continue;
    if (Checks(b + p, static_cast<size_t>(length))) found.push_back(s.substr(p, static_cast<size_t>(length)));
  }
  return found;
}

// Keeps the request each reply answers.
class ServedRequests final : public FrameSender {
public:
  void SendCommStr(int, const std::string&) override { served.push_back(slave->RxFrame); }
  const TSlave* slave = nullptr;
  std::vector<std::string> served;
};

} // namespace noise

TEST(SlaveNoise, AnswersToRandomNoiseStayWithinTheirChance) {
  std::vector<uint8_t> everyByte(256);
  for (int v = 0; v < 256; ++v) everyByte[static_cast<size_t>(v)] = static_cast<uint8_t>(v);
  std::vector<uint8_t> small(16); // addresses and function codes come often
  for (int v = 0; v < 16; ++v) small[static_cast<size_t>(v)] = static_cast<uint8_t>(v);
  const struct {
    const char* name;
    const std::vector<uint8_t>& alphabet;
    size_t bytes;
  } runs[] = {{"every byte value", everyByte, 6u << 20}, {"values 0 to 15", small, 2u << 20}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.name);
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<size_t> pick(0, run.alphabet.size() - 1);
    std::string stream(run.bytes, '\0');
    for (char& b : stream) b = static_cast<char>(run.alphabet[pick(gen)]);

    std::unique_ptr<Workspace> ws = MakeWorkspace();
    ws->Settings.RtuMode = fmRtu;
    FakeTickSource ticks(1000);
    noise::ServedRequests sender;
    TSlave slave(*ws, sender, ticks);
    sender.slave = &slave;
    std::uniform_int_distribution<size_t> chunk(1, 64);
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(chunk(gen), stream.size() - at);
      slave.CheckModbusRTU(static_cast<int32_t>(n), stream.substr(at, n));
      at += n;
    }

    // Every request served is one that stands in the noise, in order.
    const std::vector<std::string> inNoise = noise::RequestsIn(stream);
    size_t next = 0;
    for (const std::string& request : sender.served) {
      while (next < inNoise.size() && inNoise[next] != request) ++next;
      ASSERT_LT(next, inNoise.size()) << "served a request that is not in the noise";
      ++next;
    }
    const double expected = noise::ChancePerByte(run.alphabet) * static_cast<double>(run.bytes);
    const int bound = noise::PoissonBound(expected, 1e-6);
    EXPECT_LE(static_cast<int>(inNoise.size()), bound) << "expected " << expected;
    EXPECT_LE(static_cast<int>(sender.served.size()), bound) << "expected " << expected;
    std::printf("%s: %zu bytes, %.3g requests expected, %zu in the noise, %zu answered (bound %d)\n",
                run.name, run.bytes, expected, inNoise.size(), sender.served.size(), bound);
  }
}
