#include "modbus/master.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/core.h"
#include "modbus/frame_rules.h"
#include "support/recording_sender.h"

using namespace korvane;
using frame::Bytes;

namespace {

using test::FailingSender;
using test::RecordingSender;
using test::WithCrc;

// A master of device 1 in RTU framing with a reply deadline far away.
struct MasterFixture : ::testing::Test {
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RecordingSender sender;
  FakeTickSource ticks{1000};
  TMaster master{*ws, sender, ticks};

  MasterFixture() {
    ws->Settings.IsMaster = roMaster;
    ws->Settings.CommPort = 7;
    ws->Cycle.ReplyDeadline = ticks.Now() + 400;
  }
  // A read of `count` holding registers from register `from`.
  void PollHolding(int32_t from, int32_t count) {
    ws->View.RegType = rtHoldingRegs;
    ws->Cycle.MasterWrite = 0;
    ws->Cycle.PollAddress = from;
    ws->Cycle.PollCount = count;
    master.MasterPollPLC();
    ws->Cycle.ReplyDeadline = ticks.Now() + ws->Settings.ResponseTime;
  }
  int32_t Rtu(const std::string& chunk) {
    return master.MasterCheckRTU(static_cast<int32_t>(chunk.size()), chunk);
  }
  int32_t Ascii(const std::string& chunk) {
    return master.MasterCheckASCII(static_cast<int32_t>(chunk.size()), chunk);
  }
  RegTable& Holding(int slot = 1) { return ws->SlotTables(slot).HoldingRegTable; }
};

using Change = std::function<void(Workspace&)>;

// ---------------------------------------------------------------- poll window

TEST(PollWindow, SuccessiveWindowsWalkTheView) {
  const struct {
    uint8_t rtu;
    int32_t baud;
    int32_t start, length;
    int32_t count;
    std::vector<int32_t> addresses;
  } cases[] = {
      {0, 9600, 1, 100, 64, {65, 1, 65, 1}},
      {1, 2400, 1, 100, 32, {33, 65, 97, 1, 33}},
      {1, 9600, 1, 100, 100, {1, 1, 1}},
      // A rate whose budget overflows 32 bits still reads the whole view.
      {1, 100000000, 1, 100, 100, {1, 1}},
      // Near the top the window is cut at 65535 and then starts over.
      {1, 2400, 65500, 100, 32, {65532, 65500, 65532}},
  };
  for (const auto& c : cases) {
    auto ws = MakeWorkspace();
    ws->Settings.RtuMode = static_cast<TFrameMode>(c.rtu);
    ws->Settings.BaudRate = c.baud;
    ws->View.StartReg = c.start;
    ws->View.RegLength = c.length;
    for (size_t i = 0; i < c.addresses.size(); ++i) {
      ComputePollWindow(*ws);
      EXPECT_EQ(ws->Cycle.PollAddress, c.addresses[i]) << "baud " << c.baud << " tick " << i;
      const int32_t count = c.addresses[i] + c.count >= 65536 ? 65536 - c.addresses[i] : c.count;
      EXPECT_EQ(ws->Cycle.PollCount, count) << "baud " << c.baud << " tick " << i;
    }
  }
}

// ---------------------------------------------------------------- requests

TEST_F(MasterFixture, RequestFramesByteForByte) {
  const struct {
    const char* name;
    Change setup;
    std::string sent;
    int32_t function;
    int32_t replyLength;
  } cases[] = {
      {"holding read", [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100; },
       Bytes({1, 3, 0, 0, 0, 0x64, 0x44, 0x21}), 3, 205},
      {"holding read ASCII",
       [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100, w.Settings.RtuMode = fmAscii; },
       ":01030000006498\r\n", 3, 205},
      {"input read",
       [](Workspace& w) { w.View.RegType = rtInputRegs, w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100; },
       Bytes({1, 4, 0, 0, 0, 0x64, 0xF1, 0xE1}), 4, 205},
      {"two-register reply size",
       [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100, w.Settings.WriteFunction = 6; },
       Bytes({1, 3, 0, 0, 0, 0x64, 0x44, 0x21}), 3, 405},
      {"highest register", [](Workspace& w) { w.Cycle.PollAddress = 65536, w.Cycle.PollCount = 1; },
       Bytes({1, 3, 0xFF, 0xFF, 0, 1, 0x84, 0x2E}), 3, 7},
      {"coil read", [](Workspace& w) { w.View.RegType = rtCoils; }, Bytes({1, 1, 0, 0, 0, 0x64, 0x3D, 0xE1}),
       1, 18},
      {"input status read", [](Workspace& w) { w.View.RegType = rtInputs; },
       Bytes({1, 2, 0, 0, 0, 0x64, 0x79, 0xE1}), 2, 18},
      {"coil on",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 0,
         w.Cycle.WriteValues[1] = 1;
       },
       Bytes({1, 5, 0, 0, 0xFF, 0, 0x8C, 0x3A}), 5, 8},
      {"coil off",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 0,
         w.Cycle.WriteValues[1] = 0;
       },
       Bytes({1, 5, 0, 0, 0, 0, 0xCD, 0xCA}), 5, 8},
      {"coils 15",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1, w.View.RegLength = 10,
         w.Cycle.WriteCount = 2;
         w.Cycle.WriteValues[1] = 0x0D, w.Cycle.WriteValues[2] = 0x03;
       },
       Bytes({1, 0x0F, 0, 0, 0, 0x0A, 2, 0x0D, 3, 0xA1, 0xA9}), 15, 8},
      {"registers 16",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 2,
         w.Cycle.WriteValues[1] = 10, w.Cycle.WriteValues[2] = 258;
       },
       Bytes({1, 0x10, 0, 0, 0, 2, 4, 0, 0x0A, 1, 2, 0x53, 0xFC}), 16, 8},
      {"single register 6",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.Settings.SingleRegWrite = 1, w.Cycle.WriteAddress = 1,
         w.Cycle.WriteCount = 1, w.Cycle.WriteValues[1] = 10;
       },
       Bytes({1, 6, 0, 0, 0, 0x0A, 0x09, 0xCD}), 6, 8},
      {"single register without the option",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 1,
         w.Cycle.WriteValues[1] = 10;
       },
       Bytes({1, 0x10, 0, 0, 0, 1, 2, 0, 0x0A, 0x26, 0x57}), 16, 8},
  };
  for (const auto& c : cases) {
    auto w = MakeWorkspace();
    w->Settings.CommPort = 7;
    sender.frames.clear();
    TMaster m{*w, sender, ticks};
    c.setup(*w);
    m.MasterPollPLC();
    ASSERT_EQ(sender.frames.size(), 1u) << c.name;
    EXPECT_EQ(sender.frames[0], c.sent) << c.name;
    EXPECT_EQ(sender.ports[0], 7) << c.name;
    EXPECT_EQ(m.SentFunction, c.function) << c.name;
    EXPECT_EQ(m.ReplyLength, c.replyLength) << c.name;
    EXPECT_EQ(m.AwaitingReply, 1) << c.name;
    if (w->Settings.RtuMode == fmAscii) {
      EXPECT_EQ(m.MasterAscii, c.sent) << c.name;
    }
  }
}

TEST_F(MasterFixture, EveryFramingCodeButAsciiSendsRtu) {
  ws->Cycle.PollAddress = 1;
  ws->Cycle.PollCount = 100;
  for (int code : {1, 2, 255}) {
    sender.frames.clear();
    ws->Settings.RtuMode = static_cast<TFrameMode>(code);
    master.MasterPollPLC();
    ASSERT_EQ(sender.frames.size(), 1u) << code;
    EXPECT_EQ(sender.frames[0], Bytes({1, 3, 0, 0, 0, 0x64, 0x44, 0x21})) << code;
  }
}

TEST_F(MasterFixture, AFullWriteUsesAllTwoHundredValues) {
  ws->Cycle.MasterWrite = 1;
  ws->Cycle.WriteAddress = 1;
  ws->Cycle.WriteCount = kWriteValues;
  for (int i = 1; i <= kWriteValues; ++i) ws->Cycle.WriteValues[static_cast<size_t>(i)] = i;
  master.MasterPollPLC();
  ASSERT_EQ(sender.frames.size(), 1u);
  const std::string& f = sender.frames[0];
  ASSERT_EQ(f.size(), 7u + 2 * kWriteValues + 2);
  EXPECT_EQ(frame::Word(f, 4), kWriteValues);
  EXPECT_EQ(frame::Word(f, 7 + 2 * (kWriteValues - 1)), kWriteValues);
  EXPECT_EQ(TCore::CRC16(f, static_cast<int32_t>(f.size())), 0); // CRC closes the frame
}

// Whatever cannot be carried faithfully is not sent, and the request cycle is
// left as it was.
TEST_F(MasterFixture, UnsendableRequestsSendNothing) {
  const struct {
    const char* name;
    Change setup;
  } cases[] = {
      {"coil read from 0", [](Workspace& w) { w.View.RegType = rtCoils, w.View.StartReg = 0; }},
      {"input read from -5", [](Workspace& w) { w.View.RegType = rtInputs, w.View.StartReg = -5; }},
      {"coil read past 65536", [](Workspace& w) { w.View.RegType = rtCoils, w.View.StartReg = 65537; }},
      {"coil read of a negative length",
       [](Workspace& w) { w.View.RegType = rtCoils, w.View.RegLength = -1; }},
      {"holding read from 0", [](Workspace& w) { w.Cycle.PollAddress = 0, w.Cycle.PollCount = 10; }},
      {"holding read past 65536", [](Workspace& w) { w.Cycle.PollAddress = 65537, w.Cycle.PollCount = 1; }},
      {"holding read of -1", [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = -1; }},
      {"holding read of 65536", [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 65536; }},
      {"device 256",
       [](Workspace& w) { w.Devices.DeviceAddress = 256, w.Cycle.PollAddress = 1, w.Cycle.PollCount = 1; }},
      {"coil write at 0",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 0; }},
      {"coils write at 0",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 0, w.Cycle.WriteCount = 2;
       }},
      {"register write at 0",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 0, w.Cycle.WriteCount = 1; }},
      {"register write past 65536",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 65537, w.Cycle.WriteCount = 1; }},
      {"register write of none",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 0; }},
      {"single register option, none",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.Settings.SingleRegWrite = 1, w.Cycle.WriteAddress = 1,
         w.Cycle.WriteCount = 0;
       }},
      {"register write of 201",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 201; }},
      {"coils write of 201 bytes",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1,
         w.Cycle.WriteCount = 201;
       }},
      {"coils write of -1 bytes",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = -1;
       }},
  };
  for (const auto& c : cases) {
    auto w = MakeWorkspace();
    sender.frames.clear();
    TMaster m{*w, sender, ticks};
    m.MasterFrame = "half";
    m.SentFunction = 3;
    m.ReplyLength = 9;
    c.setup(*w);
    m.MasterPollPLC();
    EXPECT_TRUE(sender.frames.empty()) << c.name;
    EXPECT_EQ(m.AwaitingReply, 0) << c.name;
    EXPECT_EQ(m.MasterFrame, "half") << c.name;
    EXPECT_EQ(m.SentFunction, 3) << c.name;
    EXPECT_EQ(m.ReplyLength, 9) << c.name;
  }
}

TEST_F(MasterFixture, WritingAReadOnlyTableSendsNothingButAwaitsAReply) {
  for (int32_t type : {1, 2}) {
    ws->Cycle.MasterWrite = 1;
    ws->View.RegType = static_cast<TRegType>(type);
    ws->Cycle.WriteAddress = 1;
    ws->Cycle.WriteCount = 1;
    master.AwaitingReply = 0;
    master.MasterPollPLC();
    EXPECT_TRUE(sender.frames.empty());
    EXPECT_EQ(master.AwaitingReply, 1); // the reply timer reports the missing reply
  }
}

// What each request hands to the sender is counted, so the caller can allow
// for its time on the line; a call that sends nothing counts 0.
TEST_F(MasterFixture, SentCharactersCountWhatLeft) {
  const struct {
    const char* name;
    Change setup;
    size_t characters;
  } cases[] = {
      {"RTU read", [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100; }, 8},
      {"ASCII read",
       [](Workspace& w) { w.Settings.RtuMode = fmAscii, w.Cycle.PollAddress = 1, w.Cycle.PollCount = 100; },
       17},
      {"RTU write of 100",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 100; },
       209},
      {"ASCII write of 100",
       [](Workspace& w) {
         w.Settings.RtuMode = fmAscii, w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1,
         w.Cycle.WriteCount = 100;
       },
       1 + 2 * 208 + 2},
      {"unsendable", [](Workspace& w) { w.Cycle.PollAddress = 0, w.Cycle.PollCount = 1; }, 0},
      {"read-only table",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.View.RegType = rtInputRegs, w.Cycle.WriteCount = 1; },
       0},
  };
  for (const auto& c : cases) {
    auto w = MakeWorkspace();
    sender.frames.clear();
    TMaster m{*w, sender, ticks};
    m.SentCharacters = 99; // left from an earlier request
    c.setup(*w);
    m.MasterPollPLC();
    EXPECT_EQ(m.SentCharacters, c.characters) << c.name;
    EXPECT_EQ(m.SentCharacters, sender.frames.empty() ? 0 : sender.frames.back().size()) << c.name;
  }
}

// A request that could not be sent is not awaited: the request cycle is as
// before the call, so the reply timer reports no time-out on top of the error.
TEST_F(MasterFixture, AFailedSendLeavesTheRequestCycleAsItWas) {
  const struct {
    const char* name;
    Change setup;
  } cases[] = {
      {"RTU read", [](Workspace& w) { w.Cycle.PollAddress = 1, w.Cycle.PollCount = 2; }},
      {"ASCII read",
       [](Workspace& w) { w.Settings.RtuMode = fmAscii, w.Cycle.PollAddress = 1, w.Cycle.PollCount = 2; }},
      {"coil write",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.View.RegType = rtCoils, w.Cycle.WriteAddress = 1; }},
      {"register write",
       [](Workspace& w) { w.Cycle.MasterWrite = 1, w.Cycle.WriteAddress = 1, w.Cycle.WriteCount = 3; }},
  };
  for (const auto& c : cases) {
    for (uint8_t awaiting : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + (awaiting != 0 ? ", a reply awaited" : ""));
      auto w = MakeWorkspace();
      FailingSender failing;
      TMaster m{*w, failing, ticks};
      m.AwaitingReply = awaiting;
      m.SentFunction = 4;
      m.ReplyLength = 9;
      m.SentCharacters = 8;
      c.setup(*w);
      EXPECT_THROW(m.MasterPollPLC(), std::runtime_error);
      EXPECT_EQ(failing.calls, 1);
      EXPECT_EQ(m.AwaitingReply, awaiting);
      EXPECT_EQ(m.SentFunction, 4);
      EXPECT_EQ(m.ReplyLength, 9);
      EXPECT_EQ(m.SentCharacters, 0u);
    }
  }
}

// ---------------------------------------------------------------- RTU replies

TEST_F(MasterFixture, RtuRepliesAndTheirStatus) {
  const auto reply = Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60});
  std::string badCrc = reply;
  badCrc.back() = static_cast<char>(0x61);
  const struct {
    const char* name;
    Change request;
    std::string received;
    int32_t status;
    std::vector<std::pair<int, int32_t>> holding; // register, value (slot 1)
  } cases[] = {
      {"two registers", nullptr, reply, 1, {{1, 10}, {2, 258}, {3, -7}}},
      {"noise before the reply", nullptr, Bytes({0xFF, 0}) + reply, 1, {{1, 10}, {2, 258}}},
      {"wrong function, then the reply", nullptr, Bytes({1, 4}) + reply, 1, {{1, 10}, {2, 258}}},
      {"bad CRC stores nothing", nullptr, badCrc, 2, {{1, -7}, {2, -7}}},
      {"another device", nullptr, Bytes({2, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60}), 0, {{1, -7}, {2, -7}}},
      {"exception to a long read",
       [](Workspace& w) { w.Cycle.PollCount = 100; },
       Bytes({1, 0x83, 2, 0xC0, 0xF1}),
       130,
       {{1, -7}}},
      // An exception code of 0 is still no good data.
      {"exception 0", nullptr, Bytes({1, 0x83, 0, 0x41, 0x30}), 128, {{1, -7}}},
      {"write echo stores nothing",
       [](Workspace& w) {
         w.Cycle.MasterWrite = 1, w.Settings.SingleRegWrite = 1, w.Cycle.WriteAddress = 1,
         w.Cycle.WriteCount = 1, w.Cycle.WriteValues[1] = 10;
       },
       Bytes({1, 6, 0, 0, 0, 0x0A, 0x09, 0xCD}),
       1,
       {{1, -7}}},
      {"window elsewhere",
       [](Workspace& w) { w.Cycle.PollAddress = 7; },
       WithCrc(Bytes({1, 3, 4, 0, 5, 0, 6})),
       1,
       {{6, -7}, {7, 5}, {8, 6}, {9, -7}}},
  };
  for (const auto& c : cases) {
    auto w = MakeWorkspace();
    TMaster m{*w, sender, ticks};
    for (int n = 1; n <= 10; ++n) w->SlotTables(1).HoldingRegTable[static_cast<size_t>(n)] = -7;
    w->View.RegType = rtHoldingRegs;
    w->Cycle.PollAddress = 1;
    w->Cycle.PollCount = 2;
    if (c.request) c.request(*w);
    m.MasterPollPLC();
    w->Cycle.ReplyDeadline = ticks.Now() + 400;
    EXPECT_EQ(m.MasterCheckRTU(static_cast<int32_t>(c.received.size()), c.received), c.status) << c.name;
    for (auto [n, v] : c.holding)
      EXPECT_EQ(w->SlotTables(1).HoldingRegTable[static_cast<size_t>(n)], v) << c.name;
    EXPECT_EQ(m.ReplyCount, 0) << c.name;
    EXPECT_EQ(m.AwaitingReply, c.status == 0 ? 1 : 0) << c.name;
  }
}

TEST_F(MasterFixture, ReplySplitAnywhereInThreeChunks) {
  const auto reply = Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60});
  for (size_t i = 1; i < reply.size(); ++i)
    for (size_t j = i + 1; j < reply.size(); ++j) {
      Holding()[1] = Holding()[2] = 0;
      PollHolding(1, 2);
      EXPECT_EQ(Rtu(reply.substr(0, i)), 0);
      EXPECT_EQ(Rtu(reply.substr(i, j - i)), 0);
      EXPECT_EQ(master.AwaitingReply, 1);
      EXPECT_EQ(Rtu(reply.substr(j)), 1) << i << "," << j;
      EXPECT_EQ(Holding()[1], 10);
      EXPECT_EQ(Holding()[2], 258);
    }
}

TEST_F(MasterFixture, CoilReplySetsAndClearsBits) {
  ws->View.RegType = rtCoils;
  ws->View.RegLength = 10;
  ws->SlotTables(1).CoilTable[1] = 0xFFFF & ~0x0303; // coils 11..16 set, must stay
  master.MasterPollPLC();
  EXPECT_EQ(Rtu(Bytes({1, 1, 2, 0x0D, 3, 0xFD, 0x6D})), 1);
  // Coils 1, 3, 4, 9, 10 on; 2, 5..8 off; 11..16 untouched.
  EXPECT_EQ(ws->SlotTables(1).CoilTable[1], 0x030D | 0xFC00);
}

TEST_F(MasterFixture, BitsPastTheLastCoilAreDroppedAndTheRestStored) {
  ws->View.RegType = rtInputs;
  ws->View.StartReg = 65530;
  ws->View.RegLength = 10;
  master.MasterPollPLC();
  EXPECT_EQ(Rtu(WithCrc(Bytes({1, 2, 2, 0xFF, 0xFF}))), 1);
  for (int n = 65530; n <= 65536; ++n) EXPECT_TRUE(GetBit(ws->SlotTables(1).StatusTable, n)) << n;
  EXPECT_FALSE(GetBit(ws->SlotTables(1).StatusTable, 65529));
  EXPECT_EQ(ws->SlotTables(1).StatusTable[1], 0); // nothing wrapped to the start
}

TEST_F(MasterFixture, ValuesGoToTheActiveSlot) {
  ws->Devices.SlotAddress[3] = 30;
  ws->SelectSlot(3);
  PollHolding(1, 2);
  EXPECT_EQ(Rtu(WithCrc(Bytes({30, 3, 4, 0, 0x0A, 1, 2}))), 1);
  EXPECT_EQ(Holding(3)[2], 258);
  EXPECT_EQ(Holding(1)[2], 0);
}

TEST_F(MasterFixture, LateChunksReportTimeOut) {
  PollHolding(1, 2);
  ticks.Advance(401);
  EXPECT_EQ(Rtu(Bytes({0x55})), 3); // noise alone
  // A reply completed after the deadline is stored, but reported late.
  PollHolding(1, 2);
  EXPECT_EQ(Rtu(Bytes({1, 3, 4, 0})), 0);
  ticks.Advance(401);
  EXPECT_EQ(Rtu(Bytes({0x0A, 1, 2, 0x5A, 0x60})), 3);
  EXPECT_EQ(Holding()[2], 258);
  // A half reply past the deadline is dropped: the next reply starts clean.
  PollHolding(1, 2);
  ticks.Advance(401);
  EXPECT_EQ(Rtu(Bytes({1, 3, 4})), 3);
  EXPECT_EQ(master.ReplyCount, 0);
}

TEST_F(MasterFixture, DeadlineAcrossTheTickWrap) {
  ticks.Set(0xFFFFFF00u);
  PollHolding(1, 2); // deadline 0x90 after the wrap
  ticks.Set(0x10);
  EXPECT_EQ(Rtu(Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60})), 1);
  ticks.Set(0x91);
  EXPECT_EQ(Rtu(Bytes({0})), 3);
}

TEST_F(MasterFixture, OverlongReplyGivesFour) {
  ws->View.RegType = rtCoils;
  ws->View.RegLength = 4000; // reply of 505 bytes, more than the bound
  master.MasterPollPLC();
  ASSERT_EQ(master.ReplyLength, 505);
  const std::string head = Bytes({1, 1, 0xF4});
  EXPECT_EQ(Rtu(head + std::string(497, '\0')), 0);
  EXPECT_EQ(Rtu(std::string(1, '\0')), 4);
  EXPECT_EQ(master.ReplyCount, 0);
}

TEST_F(MasterFixture, ANewRequestContinuesAHalfReply) {
  PollHolding(1, 2);
  EXPECT_EQ(Rtu(Bytes({1, 3, 4})), 0);
  PollHolding(1, 2);
  EXPECT_EQ(master.ReplyCount, 3);
  // The old reply's tail now lands behind the new request's bytes. Such a mix
  // passes the CRC whenever the tail starts with 00, yet it is no reply.
  EXPECT_EQ(Rtu(Bytes({0, 0x0A, 1, 2, 0x5A, 0x60})), 2);
  EXPECT_EQ(Holding()[1], 0);
  EXPECT_EQ(Holding()[2], 0);
  EXPECT_EQ(master.AwaitingReply, 0);
  // The next reply is taken normally.
  PollHolding(1, 2);
  EXPECT_EQ(Rtu(Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60})), 1);
  EXPECT_EQ(Holding()[2], 258);
}

TEST_F(MasterFixture, AStaleLongReplyDoesNotBlockAShorterOne) {
  PollHolding(1, 100);
  EXPECT_EQ(Rtu(Bytes({1, 3, 200}) + std::string(150, '\x11')), 0);
  PollHolding(1, 2); // expects 9 bytes while 153 are held
  EXPECT_EQ(Rtu(Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60})), 1);
  EXPECT_EQ(Holding()[2], 258);
}

TEST_F(MasterFixture, CountBeyondTheBufferIsNotRead) {
  PollHolding(1, 2);
  const auto part = Bytes({1, 3, 4, 0});
  EXPECT_EQ(master.MasterCheckRTU(1000, part), 0);
  EXPECT_EQ(master.ReplyCount, 4);
  EXPECT_EQ(master.MasterCheckRTU(-1, part), 0);
  EXPECT_EQ(master.ReplyCount, 4);
}

// ------------------------------------------ echoing adapters, other devices

// What an adapter that echoes, another device or the line puts around the
// awaited reply, split into two chunks at every byte.
struct AroundCase {
  const char* name;
  bool rtu;
  Change request; // on a read of holding registers 1 and 2
  // The bytes received, from the request as it went out.
  std::function<std::string(const std::string& sent)> received;
  int32_t status;
  std::vector<std::pair<int, int32_t>> holding; // register, value (slot 1)
};

const std::string kReadReply = Bytes({1, 3, 4, 0, 0x0A, 1, 2, 0x5A, 0x60});
const std::string kReadReplyText = ":010304000A0102EB\r\n";

Change WriteRegisters(bool single) {
  return [single](Workspace& w) {
    w.Cycle.MasterWrite = 1, w.Settings.SingleRegWrite = single ? 1 : 0, w.Cycle.WriteAddress = 1;
    w.Cycle.WriteCount = single ? 1 : 2, w.Cycle.WriteValues[1] = 10, w.Cycle.WriteValues[2] = 258;
  };
}

TEST_F(MasterFixture, TheReplyIsFoundBehindAnEchoAndOtherDevicesFrames) {
  using S = const std::string&;
  const AroundCase cases[] = {
      {"echo, then the reply",
       true,
       nullptr,
       [](S sent) { return sent + kReadReply; },
       1,
       {{1, 10}, {2, 258}}},
      {"echo, then an exception",
       true,
       nullptr,
       [](S sent) {
         return sent + Bytes({1, 0x83, 2, 0xC0, 0xF1});
       },
       130,
       {{1, -7}}},
      {"echo of a coil read, then the reply",
       true,
       [](Workspace& w) { w.View.RegType = rtCoils, w.View.RegLength = 10; },
       [](S sent) {
         return sent + Bytes({1, 1, 2, 0x0D, 3, 0xFD, 0x6D});
       },
       1,
       {{1, -7}}},
      {"echo of a register write, then the reply",
       true,
       WriteRegisters(false),
       [](S sent) {
         return sent + WithCrc(Bytes({1, 16, 0, 0, 0, 2}));
       },
       1,
       {{1, -7}}},
      {"a single write's reply, which repeats the request",
       true,
       WriteRegisters(true),
       [](S sent) { return sent; },
       1,
       {{1, -7}}},
      {"echo, another device's reply, the reply",
       true,
       nullptr,
       [](S sent) {
         return sent + WithCrc(Bytes({2, 3, 2, 0, 5})) + kReadReply;
       },
       1,
       {{1, 10}, {2, 258}}},
      {"another device's reply holding the address and function",
       true,
       nullptr,
       [](S) {
         return WithCrc(Bytes({2, 3, 6, 1, 3, 4, 0, 0x0A, 1})) + kReadReply;
       },
       1,
       {{1, 10}, {2, 258}}},
      {"another device's exception",
       true,
       nullptr,
       [](S) {
         return WithCrc(Bytes({2, 0x83, 1})) + kReadReply;
       },
       1,
       {{1, 10}, {2, 258}}},
      {"another device's write",
       true,
       nullptr,
       [](S) {
         return WithCrc(Bytes({7, 16, 0, 1, 0, 1, 2, 1, 3})) + kReadReply;
       },
       1,
       {{1, 10}, {2, 258}}},
      {"a stray byte that reads as the start of a long frame",
       true,
       WriteRegisters(true),
       [](S sent) { return Bytes({0}) + sent; },
       1,
       {{1, -7}}},
      {"noise, then the reply",
       true,
       nullptr,
       [](S) {
         return Bytes({0x00, 0xFF, 0x01, 0x7E}) + kReadReply;
       },
       1,
       {{1, 10}, {2, 258}}},
      {"ASCII: echo, then the reply",
       false,
       nullptr,
       [](S sent) { return sent + kReadReplyText; },
       1,
       {{1, 10}, {2, 258}}},
      {"ASCII: echo of a register write, then the reply",
       false,
       WriteRegisters(false),
       [](S sent) {
         return sent + ConvertToASCII(Bytes({1, 16, 0, 0, 0, 2}));
       },
       1,
       {{1, -7}}},
      {"ASCII: a single write's reply, which repeats the request",
       false,
       WriteRegisters(true),
       [](S sent) { return sent; },
       1,
       {{1, -7}}},
      {"ASCII: another device's reply",
       false,
       nullptr,
       [](S) { return ":020304000A0102EA\r\n" + kReadReplyText; },
       1,
       {{1, 10}, {2, 258}}},
      {"ASCII: a reply cut short",
       false,
       nullptr,
       [](S) { return ":010304000A" + kReadReplyText; },
       1,
       {{1, 10}, {2, 258}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string received;
    for (size_t cut = 0;; ++cut) {
      auto w = MakeWorkspace();
      RecordingSender out;
      TMaster m{*w, out, ticks};
      w->Settings.RtuMode = c.rtu ? fmRtu : fmAscii;
      for (int n = 1; n <= 10; ++n) w->SlotTables(1).HoldingRegTable[static_cast<size_t>(n)] = -7;
      w->View.RegType = rtHoldingRegs;
      w->Cycle.PollAddress = 1;
      w->Cycle.PollCount = 2;
      if (c.request) c.request(*w);
      m.MasterPollPLC();
      ASSERT_EQ(out.frames.size(), 1u);
      w->Cycle.ReplyDeadline = ticks.Now() + 400;
      received = c.received(out.frames[0]);
      if (cut >= received.size()) break;
      const auto feed = [&](const std::string& chunk) {
        const auto n = static_cast<int32_t>(chunk.size());
        return c.rtu ? m.MasterCheckRTU(n, chunk) : m.MasterCheckASCII(n, chunk);
      };
      // The reply ends what is received: its status comes with the chunk
      // that holds its last byte (RTU) or its carriage return (ASCII).
      const bool firstEnds = cut > received.size() - (c.rtu ? 1 : 2);
      EXPECT_EQ(feed(received.substr(0, cut)), firstEnds ? c.status : kReplyNone) << "cut " << cut;
      EXPECT_EQ(feed(received.substr(cut)), firstEnds ? kReplyNone : c.status) << "cut " << cut;
      for (auto [n, v] : c.holding) EXPECT_EQ(w->SlotTables(1).HoldingRegTable[static_cast<size_t>(n)], v);
      EXPECT_EQ(m.AwaitingReply, 0);
      EXPECT_EQ(m.ReplyCount, 0);
    }
  }
}

TEST_F(MasterFixture, AnotherDevicesReplyLeavesTheReplyAwaited) {
  for (const bool rtu : {true, false}) {
    SCOPED_TRACE(rtu ? "RTU" : "ASCII");
    ws->Settings.RtuMode = rtu ? fmRtu : fmAscii;
    PollHolding(1, 2);
    const std::string other =
        rtu ? WithCrc(Bytes({2, 3, 4, 0, 0x0A, 1, 2})) : std::string(":020304000A0102EA\r\n");
    EXPECT_EQ(rtu ? Rtu(other) : Ascii(other), kReplyNone);
    EXPECT_EQ(master.AwaitingReply, 1);
    EXPECT_EQ(Holding()[1], 0);
    ticks.Advance(401);
    EXPECT_EQ(rtu ? Rtu("") : Ascii("x"), kReplyTimeout);
  }
}

// ---------------------------------------------------------------- ASCII replies

struct AsciiMaster : MasterFixture {
  AsciiMaster() { ws->Settings.RtuMode = fmAscii; }
};

TEST_F(AsciiMaster, RepliesAndTheirStatus) {
  const struct {
    const char* name;
    std::string received;
    int32_t pollCount;
    int32_t status;
    std::vector<std::pair<int, int32_t>> holding; // register, value; PollAddress is 7
    uint8_t awaiting = 0;                         // the carriage return of the device's frame ends the wait
  } cases[] = {
      {"two registers", ":010304000A0102EB\r\n", 2, 1, {{6, -7}, {7, 10}, {8, 258}, {9, -7}}},
      {"exception", ":0183027A\r\n", 2, 130, {{7, -7}}},
      {"bad LRC", ":010304000A0102EC\r\n", 2, 2, {{7, -7}, {8, -7}}},
      {"another device", ":020304000A0102EA\r\n", 2, 0, {{7, -7}}, 1}, // not the reply: still awaited
      // A short reply stores what it carries and leaves the rest.
      {"short reply", ":010304000A0102EB\r\n", 4, 1, {{7, 10}, {8, 258}, {9, -7}, {10, -7}}},
      {"odd last character ignored", ":010304000A0102EB5\r\n", 2, 1, {{7, 10}, {8, 258}}},
      {"address and LRC only", ":01FF\r\n", 2, 0, {{7, -7}}},
      {"noise, then a reply", "xx\n:010304000A0102EB\r\n", 2, 1, {{7, 10}}},
  };
  for (const auto& c : cases) {
    for (int n = 1; n <= 12; ++n) Holding()[static_cast<size_t>(n)] = -7;
    PollHolding(7, c.pollCount);
    EXPECT_EQ(Ascii(c.received), c.status) << c.name;
    for (auto [n, v] : c.holding) EXPECT_EQ(Holding()[static_cast<size_t>(n)], v) << c.name;
    EXPECT_EQ(master.AwaitingReply, c.awaiting) << c.name;
    EXPECT_EQ(master.ReplyCount, 0) << c.name;
  }
}

TEST_F(AsciiMaster, TheReplysOwnFunctionPicksTheTable) {
  ws->View.RegLength = 20;
  PollHolding(1, 2);
  // A coil reply carrying one byte of the twenty bits asked for.
  std::string body = Bytes({1, 1, 1, 0x81});
  std::string text = ConvertToASCII(body);
  ws->SlotTables(1).CoilTable[1] = 0x7E00; // coils 10..15 set beforehand
  EXPECT_EQ(Ascii(text), 1);
  EXPECT_EQ(master.SentFunction, 1);
  EXPECT_EQ(ws->SlotTables(1).CoilTable[1], 0x7E81);
  EXPECT_EQ(Holding()[1], 0);
}

TEST_F(AsciiMaster, ColonMovesTheDeadline) {
  PollHolding(1, 2); // deadline: now + 400
  ticks.Advance(500);
  const uint32_t colonAt = ticks.Now();
  EXPECT_EQ(Ascii(":0103"), 0);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, colonAt + 3000);
  ticks.Set(colonAt + 3000);
  EXPECT_EQ(Ascii("04000A0102EB\r\n"), 1);
  EXPECT_EQ(Holding()[2], 258);

  // One millisecond later the same reply is late: stored, reported 3.
  Holding()[2] = 0;
  PollHolding(1, 2);
  EXPECT_EQ(Ascii(":0103"), 0);
  ticks.Advance(3001);
  EXPECT_EQ(Ascii("04000A0102EB\r\n"), 3);
  EXPECT_EQ(Holding()[2], 258);

  // A late chunk without a reply in it.
  ticks.Advance(3001);
  EXPECT_EQ(Ascii("zz"), 3);
}

TEST_F(AsciiMaster, SplitReplyAndOverlongText) {
  PollHolding(1, 2);
  EXPECT_EQ(Ascii(":01030"), 0);
  EXPECT_EQ(Ascii("4000A01"), 0);
  EXPECT_EQ(Ascii("02EB\r\n"), 1);
  EXPECT_EQ(Holding()[1], 10);

  EXPECT_EQ(Ascii(":" + std::string(499, '0')), 0);
  EXPECT_EQ(master.ReplyCount, 500);
  EXPECT_EQ(Ascii("0"), 4);
  EXPECT_EQ(master.ReplyCount, 0);
}

} // namespace
