#include "app/core/int_conv.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"

#include <gtest/gtest.h>

using namespace korvane;

TEST(Workspace, StartUpDefaults) {
  auto ws = MakeWorkspace();
  EXPECT_EQ(ws->Devices.ActiveSlot, 1);
  EXPECT_EQ(ws->Devices.DeviceAddress, 1);
  for (int s = 1; s <= 5; ++s) EXPECT_EQ(ws->Devices.SlotAddress[s], s);
  EXPECT_EQ(ws->Settings.CommPort, 1);
  EXPECT_EQ(ws->Settings.BaudRate, 9600);
  EXPECT_EQ(ws->Settings.DataBits, db8Bits);
  EXPECT_EQ(ws->Settings.Parity, "N");
  EXPECT_EQ(ws->Settings.StopBits, st1Bit);
  EXPECT_EQ(ws->Settings.IsMaster, roSlave);
  EXPECT_EQ(ws->Settings.RtuMode, fmRtu);
  EXPECT_EQ(ws->Settings.MonitorHex, 1);
  EXPECT_EQ(ws->Settings.PollTime, 5);
  EXPECT_EQ(ws->Settings.ResponseTime, 400);
  EXPECT_EQ(ws->Settings.WriteFunction, 16);
  EXPECT_EQ(ws->Cycle.PollEnabled, 1);
  EXPECT_EQ(ws->View.StartReg, 1);
  EXPECT_EQ(ws->View.RegLength, 100);
  EXPECT_EQ(ws->View.RegType, rtHoldingRegs);
  EXPECT_EQ(ws->View.DisplayType, dtDecimal);
  EXPECT_EQ(ws->View.CurrentPage, 1);
  for (int p = 1; p <= 20; ++p) {
    EXPECT_EQ(ws->View.PageTable[p].PageStart, 1);
    EXPECT_EQ(ws->View.PageTable[p].PageLength, 100);
    EXPECT_EQ(ws->View.PageTable[p].PageRegType, rtHoldingRegs);
    EXPECT_EQ(ws->View.PageTable[p].PageDisplayType, dtDecimal);
  }
  EXPECT_EQ(ws->Monitor.MonitorTxOn, 1);
  EXPECT_EQ(ws->Monitor.MonitorRxOn, 1);
  EXPECT_EQ(ws->Monitor.MonitorStopped, 0);
}

TEST(Workspace, SetDefaultsClearsEveryTableOfEverySlot) {
  auto ws = MakeWorkspace();
  for (int s = 1; s <= 5; ++s) {
    ws->SlotTables(s).CoilTable[4096] = 1;
    ws->SlotTables(s).StatusTable[1] = 1;
    ws->SlotTables(s).InputRegTable[65536] = 7;
    ws->SlotTables(s).HoldingRegTable[1] = 9;
  }
  ws->SetDefaults();
  for (int s = 1; s <= 5; ++s) {
    EXPECT_EQ(ws->SlotTables(s).CoilTable[4096], 0);
    EXPECT_EQ(ws->SlotTables(s).StatusTable[1], 0);
    EXPECT_EQ(ws->SlotTables(s).InputRegTable[65536], 0);
    EXPECT_EQ(ws->SlotTables(s).HoldingRegTable[1], 0);
  }
}

TEST(Workspace, SetDefaultsBringsBackTheGroupsCreatingTheWindowResets) {
  auto ws = MakeWorkspace();
  ws->SelectSlot(3);
  ws->Devices.SlotAddress[2] = 40;
  ws->Settings.BaudRate = 19200;
  ws->Settings.PortActive = 1;
  ws->Settings.SingleRegWrite = 1;
  ws->View.StartReg = 77;
  ws->View.PageTable[5].PageLength = 8;
  ws->Cycle.PollEnabled = 0;
  ws->Cycle.PollCounter = 12;
  ws->Cycle.PollAddress = 300;
  ws->Ui.SelectedCol = 4;
  ws->Ui.FloatHiWord = 9;
  ws->Ui.HelpFilePath = "/x/help";
  ws->Monitor.MonitorText = "kept";
  ws->SetDefaults();
  EXPECT_TRUE(ws->Devices == DeviceAddresses{});
  EXPECT_TRUE(ws->View == ViewState{});
  // The function-6 option is the one setting left as it was.
  EXPECT_EQ(ws->Settings.SingleRegWrite, 1);
  ws->Settings.SingleRegWrite = 0;
  EXPECT_TRUE(ws->Settings == WorkspaceSettings{});
  EXPECT_EQ(ws->Cycle.PollEnabled, 1);
  EXPECT_EQ(ws->Cycle.PollCounter, 0);
  EXPECT_EQ(ws->Cycle.PollAddress, 300);
  EXPECT_EQ(ws->Ui.SelectedCol, 1);
  EXPECT_EQ(ws->Ui.FloatHiWord, 9);
  EXPECT_EQ(ws->Ui.HelpFilePath, "/x/help");
  EXPECT_EQ(ws->Monitor.MonitorText, "kept");
  // The start view is the default page.
  for (int p = 1; p <= kPageCount; ++p) EXPECT_TRUE(ws->View.PageTable[p] == Page{});
  EXPECT_EQ(ws->View.StartReg, Page{}.PageStart);
}

struct BitCase {
  int64_t coil;
  size_t word;
  int bit;
};

TEST(BitTables, NumberingAcrossWordBoundaries) {
  const BitCase cases[] = {{1, 1, 0}, {16, 1, 15}, {17, 2, 0}, {32, 2, 15}, {65536, 4096, 15}};
  for (const auto& c : cases) {
    BitTable t{};
    SetBit(t, c.coil, true);
    EXPECT_EQ(t[c.word], 1 << c.bit) << "coil " << c.coil;
    EXPECT_TRUE(GetBit(t, c.coil));
    EXPECT_TRUE(GetBitAt(t, c.coil - 1));
  }
}

TEST(BitTables, SettingOneCoilLeavesItsNeighbours) {
  BitTable t{};
  for (int n = 1; n <= 32; ++n) SetBit(t, n, n % 3 == 0);
  SetBit(t, 17, true);
  for (int n = 1; n <= 32; ++n) EXPECT_EQ(GetBit(t, n), n == 17 || n % 3 == 0) << n;
  SetBit(t, 17, false);
  EXPECT_FALSE(GetBit(t, 17));
  EXPECT_TRUE(GetBit(t, 18));
}

TEST(BitTables, OutsideTheTableReadsZeroAndIsNeverWritten) {
  BitTable t{};
  t.fill(0);
  SetBit(t, 0, true);
  SetBit(t, 65537, true);
  SetBit(t, -5, true);
  for (int32_t w : t) EXPECT_EQ(w, 0);
  t.fill(0xFFFF);
  EXPECT_FALSE(GetBit(t, 0));
  EXPECT_FALSE(GetBit(t, 65537));
}

TEST(Workspace, SelectingASlotFollowsItsAddress) {
  auto ws = MakeWorkspace();
  for (int s = 1; s <= 5; ++s) ws->Devices.SlotAddress[s] = 10 * s;
  ws->SelectSlot(3);
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);
  ws->SelectSlot(6); // not an item: nothing changes
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
}

TEST(IntConv, DecimalTextsAndTheConversionError) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {{"0", true, 0},
               {"65535", true, 65535},
               {"-1", true, -1},
               {"+7", true, 7},
               {"2147483647", true, 2147483647},
               {"-2147483648", true, INT32_MIN},
               {"2147483648", false, 0},
               {"", false, 0},
               {"-", false, 0},
               {"--1", false, 0},
               {"1-2", false, 0},
               {" 1", false, 0},
               {"1 ", false, 0},
               {"0x10", false, 0},
               {"abc", false, 0}};
  for (const auto& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value);
      EXPECT_EQ(StrToInt(c.text), c.value);
    } else {
      try {
        StrToInt(c.text);
        ADD_FAILURE() << "no error for " << c.text;
      } catch (const ConversionError& e) {
        EXPECT_EQ(std::string(e.what()), std::string("'") + c.text + "' is not a valid integer value");
      }
    }
  }
}

TEST(Ticks, DeadlinesAreWrapSafe) {
  EXPECT_TRUE(TickPassed(1001, 1000));
  EXPECT_FALSE(TickPassed(1000, 1000));
  EXPECT_FALSE(TickPassed(999, 1000));
  // A deadline set just before the counter wraps passes just after it.
  EXPECT_TRUE(TickPassed(5, 0xFFFFFFF0u));
  EXPECT_FALSE(TickPassed(0xFFFFFFF0u, 5));
  FakeTickSource clock(0xFFFFFF00u);
  const uint32_t deadline = clock.Now() + 400;
  clock.Advance(400);
  EXPECT_FALSE(TickPassed(clock.Now(), deadline));
  clock.Advance(1);
  EXPECT_TRUE(TickPassed(clock.Now(), deadline));
}
