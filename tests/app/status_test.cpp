#include "app/core/status.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "app/core/int_conv.h"

using namespace korvane;

namespace {

TEST(StatusDisplay, TextForEveryCode) {
  struct Case {
    int32_t code;
    const char* text; // nullptr: the old text stays
  } cases[] = {
      {0, "Poll 3"},
      {1, "Poll 3 Data OK"},
      {2, "Poll 3 Checksum incorrect"},
      {3, "Poll 3 Time Out occurred"},
      {4, "Poll 3 Packet Too Long"},
      {129, "Poll 3 EC1 Illegal Function"},
      {130, "Poll 3 EC2 Illegal Data Address"},
      {131, "Poll 3 EC3 Illegal Data Value"},
      {132, "Poll 3 EC4 Slave Device Failure"},
      {133, "Poll 3 EC5 Acknowlegde"},
      {134, "Poll 3 EC6 Slave Device Busy"},
      {135, "Poll 3 EC7 Negative Acknowledge"},
      {136, "Poll 3 EC8 Memory Parity Error"},
      {5, nullptr},
      {127, nullptr},
      {128, nullptr},
      {137, nullptr},
      {138, nullptr},
      {-1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    for (bool poll : {false, true}) {
      const StatusUpdate u = StatusDisplay(c.code, PollPrefix(3), poll);
      if (c.text)
        EXPECT_EQ(u.Text, c.text);
      else
        EXPECT_FALSE(u.Text.has_value());
      EXPECT_EQ(u.Redraw, poll && (c.code == 0 || c.code == 1));
    }
  }
  // The reply to a write carries a trailing blank in its prefix: two blanks before "Data".
  EXPECT_EQ(StatusDisplay(1, kWriteReplyPrefix, false).Text, "Write -  Data OK");
  auto ws = MakeWorkspace();
  ws->Cycle.PollEnabled = 0;
  EXPECT_FALSE(StatusDisplay(*ws, 1, "x").Redraw);
}

TEST(ModeDisplay, RoleFramingListeningAndAddress) {
  struct Case {
    TRole role;
    TFrameMode mode;
    bool listen;
    const char* text;
    bool clearStatus;
  } cases[] = {
      {roMaster, fmRtu, false, "Master - Binary", false},
      {roMaster, fmAscii, false, "Master - ASCII", false},
      {roSlave, fmRtu, false, "Slave - Binary", true},
      {roSlave, fmAscii, false, "Slave - ASCII", true},
      // Listening, the role plays no part on the line; the status starts empty.
      {roMaster, fmRtu, true, "Listen Only - Binary", true},
      {roMaster, fmAscii, true, "Listen Only - ASCII", true},
      {roSlave, fmRtu, true, "Listen Only - Binary", true},
      {roSlave, fmAscii, true, "Listen Only - ASCII", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto ws = MakeWorkspace();
    ws->Settings.IsMaster = c.role;
    ws->Settings.RtuMode = c.mode;
    ws->Run.ListenOnly = c.listen;
    ws->Devices.SlotAddress = {0, 10, 20, 30, 40, 50};
    ws->SelectSlot(4);
    const ModeView m = ModeDisplay(*ws);
    EXPECT_EQ(m.TxtRTUMode, c.text);
    EXPECT_EQ(m.ClearStatus, c.clearStatus);
    EXPECT_EQ(m.CboAddr, "40");
  }
}

struct RampFixture : ::testing::Test {
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RegTable& Holding(int slot = 1) { return ws->SlotTables(slot).HoldingRegTable; }
};

TEST_F(RampFixture, EachRegisterClimbsByItsOwnStepAndFallsBackToLow) {
  const int32_t expected[][3] = {{5, 6, 7}, {10, 0, 0}, {0, 6, 7}};
  for (const auto& row : expected) {
    EXPECT_TRUE(RampStep(*ws, "0", "10", "5", "3"));
    EXPECT_EQ(Holding()[1], row[0]);
    EXPECT_EQ(Holding()[2], row[1]);
    EXPECT_EQ(Holding()[3], row[2]);
    EXPECT_EQ(Holding()[4], 0);
  }
  EXPECT_EQ(ws->Cycle.RegsChanged, 0);
}

TEST_F(RampFixture, InputRegistersAndTheActiveSlot) {
  ws->View.RegType = rtInputRegs;
  ws->Devices.SlotAddress = {0, 10, 20, 30, 40, 50};
  ws->SelectSlot(3);
  EXPECT_TRUE(RampStep(*ws, "0", "1000", "1", "2"));
  EXPECT_EQ(ws->SlotTables(3).InputRegTable[2], 2);
  EXPECT_EQ(ws->SlotTables(1).InputRegTable[2], 0);
  EXPECT_EQ(ws->SlotTables(3).HoldingRegTable[2], 0);
}

TEST_F(RampFixture, BitTablesAreLeftAloneWithoutRedraw) {
  for (int type : {0, 1}) {
    ws->View.RegType = static_cast<TRegType>(type);
    EXPECT_FALSE(RampStep(*ws, "0", "1000", "1", "100"));
  }
  EXPECT_EQ(ws->Active().CoilTable[1], 0);
  EXPECT_EQ(Holding()[1], 0);
}

TEST_F(RampFixture, StaysInsideTheTable) {
  ws->View.StartReg = 65500;
  Holding()[65499] = 42;
  EXPECT_TRUE(RampStep(*ws, "0", "100000", "1", "100"));
  EXPECT_EQ(Holding()[65499], 42);
  EXPECT_EQ(Holding()[65500], 1);
  EXPECT_EQ(Holding()[65536], 37);

  // A start below 1 skips the numbers below 1; a huge length costs nothing.
  ws->View.StartReg = -2;
  EXPECT_TRUE(RampStep(*ws, "0", "100000", "1", "2147483647"));
  EXPECT_EQ(Holding()[1], 4); // i = 4
  EXPECT_EQ(Holding()[0], 0);
  ws->View.StartReg = 1;
  EXPECT_TRUE(RampStep(*ws, "0", "10", "1", "-5")); // nothing to do, still a redraw
  EXPECT_EQ(Holding()[1], 4);
}

TEST_F(RampFixture, StoresWhateverTheLimitsGive) {
  EXPECT_TRUE(RampStep(*ws, "-7", "100000", "70000", "1"));
  EXPECT_EQ(Holding()[1], 70000);
  EXPECT_TRUE(RampStep(*ws, "-7", "100000", "70000", "1"));
  EXPECT_EQ(Holding()[1], -7);
  Holding()[1] = INT32_MAX; // the sum wraps in 32 bits instead of overflowing
  EXPECT_TRUE(RampStep(*ws, "0", "2147483647", "1", "1"));
  EXPECT_EQ(Holding()[1], INT32_MIN);
}

TEST_F(RampFixture, AnyBadTextChangesNothing) {
  const char* texts[][4] = {
      {"x", "10", "1", "3"}, {"0", "", "1", "3"}, {"0", "10", "1.5", "3"}, {"0", "10", "1", "-"}};
  for (const auto& t : texts) {
    for (int type : {0, 3}) { // converted before the table is looked at
      ws->View.RegType = static_cast<TRegType>(type);
      try {
        RampStep(*ws, t[0], t[1], t[2], t[3]);
        ADD_FAILURE() << "no conversion error";
      } catch (const ConversionError& e) {
        EXPECT_NE(std::string(e.what()).find("is not a valid integer value"), std::string::npos);
      }
    }
  }
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(Holding()[static_cast<size_t>(n)], 0);
}

} // namespace
