#include "app/core/value_entry.h"

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/frame_rules.h"
#include "modbus/master.h"
#include "support/master_rig.h"

using namespace korvane;
using frame::Bytes;

namespace {

using test::Rtu;

// The real master behind the request builder: what reaches the line is checked byte for byte.
struct EntryFixture : ::testing::Test, test::MasterRig {
  EntryFixture() : MasterRig(5000) {}

  EntryResult Enter(int col, int row, const std::string& text) {
    return StringGrid1SelectCell(*ws, master, ticks, col, row, text);
  }
  RegTable& Holding() { return ws->Active().HoldingRegTable; }
  // Sum of every register of every slot and table: "nothing changed" in one number.
  int64_t StoreSum() const {
    int64_t s = 0;
    for (int slot = 1; slot <= kSlotCount; ++slot) {
      const AddressSlot& t = ws->SlotTables(slot);
      s = std::accumulate(t.HoldingRegTable.begin(), t.HoldingRegTable.end(), s);
      s = std::accumulate(t.InputRegTable.begin(), t.InputRegTable.end(), s);
      s = std::accumulate(t.CoilTable.begin(), t.CoilTable.end(), s);
      s = std::accumulate(t.StatusTable.begin(), t.StatusTable.end(), s);
    }
    return s;
  }
};

TEST_F(EntryFixture, SlaveRegistersByFormat) {
  struct Case {
    int32_t type;
    int col, row;
    const char* text;
    std::vector<std::pair<int, int32_t>> stored; // register, value; empty: refused
  } cases[] = {
      {0, 1, 1, "65535", {{1, 65535}}},
      {0, 1, 1, "65536", {}},
      {0, 1, 1, "-1", {}},
      {0, 1, 1, "+5", {}},
      {0, 1, 1, " 5", {}},
      {-1, 1, 1, "-1", {{1, 65535}}},
      {-1, 1, 1, "32768", {{1, 32768}}},
      {-1, 1, 1, "-32767", {{1, 32769}}},
      {-1, 1, 1, "-32768", {}},
      {-1, 2, 3, "7", {{23, 7}}},
      {1, 1, 1, "ffff", {{1, 65535}}},
      {1, 1, 1, "10000", {}},
      {1, 1, 1, "100000000", {{1, 0}}}, // nine digits wrap to 0
      {1, 1, 1, "xyz", {}},
      {2, 1, 2, "131073", {{1, 2}, {2, 1}}},
      {3, 1, 2, "131073", {{1, 1}, {2, 2}}},
      {2, 1, 3, "131073", {}}, // odd cell
      {4, 1, 2, "FFFFFFFF", {{1, 65535}, {2, 65535}}},
      {4, 1, 2, "80000000", {{1, 32768}, {2, 0}}},
      {5, 1, 2, "80000000", {{1, 0}, {2, 32768}}},
      {5, 1, 2, "1234ABCD", {{1, 0xABCD}, {2, 0x1234}}},
      {6, 1, 2, "1.5", {{1, 0x3FC0}, {2, 0}}},
      {7, 1, 2, "1.5", {{1, 0}, {2, 0x3FC0}}},
      {6, 1, 1, "1.5", {}},
      {6, 1, 4, "-2", {{3, 0xC000}, {4, 0}}},
      {8, 1, 1, "1.5", {{1, 0x3FC0}, {2, 0}}},
      {8, 1, 3, "1.5", {{5, 0x3FC0}, {6, 0}}},
      {9, 1, 3, "0.1", {{5, 0xCCCD}, {6, 0x3DCC}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " format " + std::to_string(c.type));
    ws->SetDefaults();
    Holding()[1] = 99; // so that a stored 0 shows
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    const int64_t before = StoreSum();
    const EntryResult r = Enter(c.col, c.row, c.text);
    if (c.stored.empty()) {
      EXPECT_EQ(StoreSum(), before);
      EXPECT_FALSE(r.CellText.has_value());
    } else {
      int64_t expectedSum = before - 99;
      bool touches1 = false;
      for (auto [reg, value] : c.stored) {
        EXPECT_EQ(Holding()[static_cast<size_t>(reg)], value) << reg;
        expectedSum += value;
        touches1 |= reg == 1;
      }
      if (!touches1) expectedSum += 99;
      EXPECT_EQ(StoreSum(), expectedSum); // nothing else changed
      EXPECT_EQ(r.CellText, c.text);
    }
    EXPECT_FALSE(r.StatusText.has_value());
    EXPECT_FALSE(r.Sent);
  }
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(EntryFixture, InputRegistersAsSlave) {
  ws->View.RegType = rtInputRegs;
  EXPECT_EQ(Enter(1, 5, "12").CellText, "12");
  EXPECT_EQ(ws->Active().InputRegTable[5], 12);
  EXPECT_EQ(Holding()[5], 0);
}

TEST_F(EntryFixture, ConversionErrorsStopBeforeAnythingChanges) {
  struct Case {
    int32_t type;
    const char* text;
  } cases[] = {{-1, "-"},         {-1, "--1"},       {-1, "1-2"},      {-1, "99999999999"},
               {0, "2147483648"}, {2, "4294967295"}, {3, "2147483648"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    for (int row : {1, 2}) {
      try {
        Enter(1, row, c.text);
        ADD_FAILURE() << "no conversion error";
      } catch (const ConversionError& e) {
        EXPECT_EQ(std::string(e.what()), "'" + std::string(c.text) + "' is not a valid integer value");
      }
    }
  }
  EXPECT_EQ(StoreSum(), 0);
}

TEST_F(EntryFixture, FloatingPointFeedback) {
  ws->View.DisplayType = dtFloat;
  for (const char* text : {"abc", "1.5 ", "-", "1e", "1,5"}) {
    SCOPED_TRACE(text);
    const EntryResult r = Enter(1, 2, text);
    EXPECT_EQ(r.StatusText, "Input not Floating Point");
    EXPECT_FALSE(r.CellText.has_value());
  }
  EXPECT_EQ(StoreSum(), 0);
  for (const char* text : {"3.5e38", "-1e39", "1e400", "123456789012345678901234567890123456789012"}) {
    SCOPED_TRACE(text);
    try {
      Enter(1, 2, text);
      ADD_FAILURE() << "no overflow";
    } catch (const EntryError& e) {
      EXPECT_STREQ(e.what(), "Floating point overflow");
    }
  }
  EXPECT_EQ(StoreSum(), 0);
}

TEST(FloatSyntax, AcceptedAndRefusedTexts) {
  struct Case {
    const char* text;
    bool ok;
    float value;
  } cases[] = {
      {"1.5", true, 1.5f},
      {"  1.5", true, 1.5f},
      {"+1", true, 1.0f},
      {"-.5", true, -0.5f},
      {".", true, 0.0f},
      {"-.", true, -0.0f},
      {"1.", true, 1.0f},
      {"1e3", true, 1000.0f},
      {"1E+3", true, 1000.0f},
      {"25e-1", true, 2.5f},
      {"0e99999", true, 0.0f},
      {"1e-50", true, 0.0f},
      {"3.4028235e38", true, 3.4028235e38f},
      {"3.40282356e38", true, 3.4028235e38f},
      {"0.1", true, 0.1f},
      {"1e-40", true, 1e-40f},
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"1.5 ", false, 0},
      {"e3", false, 0},
      {"1e", false, 0},
      {"1e+", false, 0},
      {"1,5", false, 0},
      {"\t1", false, 0},
      {"1..2", false, 0},
      {"0x10", false, 0},
      {"inf", false, 0},
      {"nan", false, 0},
      {"--1", false, 0},
      {"1e5.0", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<float> f = ParseFloatText(c.text);
    ASSERT_EQ(f.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*f, c.value);
    }
  }
}

// A typed number is rounded once, straight to single precision: rounding it to
// double first can land on a tie that then rounds the other way.
TEST(FloatText, RoundsOnceToSinglePrecision) {
  const struct {
    const char* text;
    uint32_t bits;
  } cases[] = {
      {"1.00000005960464478", 0x3F800001},        // just above the midpoint of 1 and its successor
      {"1.00000005960464477", 0x3F800000},        // just below it
      {"1.000000059604644775390625", 0x3F800000}, // the midpoint itself: to even
      {"1.0000001788139343", 0x3F800001},         // just below the midpoint of its two neighbours
      {"16777217.000000001", 0x4B800001},         // above 2^24 + 1: up to 2^24 + 2
      {"3.4028235677973366e38", 0x7F7FFFFF},      // just below the overflow point
      {"7.006492321624087e-46", 0x00000001},      // just above half the smallest subnormal
      {"7.00649232162408536e-46", 0x00000001},    // closer above it still
      {"7e-46", 0x00000000},                      // below it: zero
      {"-1.00000005960464478", 0xBF800001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<float> f = ParseFloatText(c.text);
    ASSERT_TRUE(f.has_value());
    uint32_t bits;
    std::memcpy(&bits, &*f, sizeof bits);
    EXPECT_EQ(bits, c.bits);
  }
  EXPECT_THROW(ParseFloatText("3.4028235677973367e38"), EntryError);
}

TEST_F(EntryFixture, TypedFloatReachesTheRegistersRoundedOnce) {
  ws->View.DisplayType = dtFloat;
  Enter(1, 2, "1.00000005960464478");
  EXPECT_EQ(Holding()[1], 0x3F80);
  EXPECT_EQ(Holding()[2], 0x0001);
}

TEST_F(EntryFixture, SubnormalEntryStoresItsExactPattern) {
  ws->View.DisplayType = dtFloat;
  Enter(1, 2, "1e-40");
  float expected = 1e-40f;
  uint32_t bits;
  std::memcpy(&bits, &expected, sizeof bits);
  EXPECT_EQ(Holding()[1], static_cast<int32_t>(bits >> 16));
  EXPECT_EQ(Holding()[2], static_cast<int32_t>(bits & 0xFFFF));
}

TEST_F(EntryFixture, TargetsBeyondTheTableAreNeverWritten) {
  ws->View.DisplayType = dtRegFloat;
  ws->View.StartReg = 32768;
  EXPECT_EQ(Enter(1, 1, "1").CellText, "1"); // registers 65535 and 65536
  EXPECT_EQ(Holding()[65535], 0x3F80);
  const int64_t sum = StoreSum();
  Enter(1, 2, "2"); // registers 65537 and 65538 do not exist
  EXPECT_EQ(StoreSum(), sum);

  ws->View.DisplayType = dtDecimal;
  ws->View.StartReg = 65530;
  Enter(1, 8, "5"); // register 65537
  EXPECT_EQ(StoreSum(), sum);
  ws->View.StartReg = -3;
  Enter(1, 4, "5"); // register 0
  EXPECT_EQ(StoreSum(), sum);

  ws->Settings.IsMaster = roMaster; // a master does not send a write that reaches past the table
  ws->View.DisplayType = dtRegFloat;
  ws->View.StartReg = 32768;
  EXPECT_FALSE(Enter(1, 2, "2").Sent);
  ws->View.RegType = rtCoils;
  ws->View.StartReg = 65530;
  EXPECT_FALSE(Enter(1, 8, "1").Sent); // coil 65537
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(EntryFixture, SlaveBits) {
  ws->View.RegType = rtCoils;
  ws->Active().CoilTable[1] = 0xFFFF;
  ws->Active().CoilTable[2] = 0x8000;
  EXPECT_EQ(Enter(1, 17, "1").CellText, "1"); // coil 17
  EXPECT_EQ(ws->Active().CoilTable[2], 0x8001);
  EXPECT_EQ(ws->Active().CoilTable[1], 0xFFFF);
  EXPECT_EQ(Enter(1, 16, "0").CellText, "0"); // coil 16
  EXPECT_EQ(ws->Active().CoilTable[1], 0x7FFF);
  for (const char* text : {"2", "", "01", " 1", "1 "})
    EXPECT_FALSE(Enter(1, 17, text).CellText.has_value()) << text;
  EXPECT_EQ(ws->Active().CoilTable[2], 0x8001);

  ws->View.RegType = rtInputs;
  Enter(1, 1, "1");
  EXPECT_EQ(ws->Active().StatusTable[1], 1);
  EXPECT_EQ(ws->Active().CoilTable[1], 0x7FFF);
}

TEST_F(EntryFixture, MasterWithPollingOffOnlyFillsTheCell) {
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollEnabled = 0;
  ws->View.RegType = rtCoils;
  EXPECT_EQ(Enter(1, 1, "").CellText, ""); // blanks the cell
  EXPECT_EQ(Enter(1, 2, "7").CellText, "7");
  ws->View.RegType = rtHoldingRegs;
  EXPECT_FALSE(Enter(1, 1, "").CellText.has_value());
  EXPECT_FALSE(Enter(1, 1, "70000").CellText.has_value());
  EXPECT_EQ(Enter(1, 1, "12").CellText, "12");
  ws->View.RegType = rtInputRegs;
  EXPECT_EQ(Enter(1, 1, "12").CellText, "12");
  EXPECT_EQ(StoreSum(), 0);
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(EntryFixture, MasterWithPollingOnSendsAtOnce) {
  ws->Settings.IsMaster = roMaster;
  ws->View.RegType = rtCoils;
  EntryResult r = Enter(1, 1, "1");
  EXPECT_TRUE(r.Sent);
  EXPECT_FALSE(r.CellText.has_value());
  EXPECT_EQ(r.StatusText, "Write -");
  EXPECT_TRUE(r.Redraw);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 5000u + 9 + 400); // 8 bytes at 9600 8N1: 8.3 ms on the line
  EXPECT_EQ(ws->Cycle.MasterWrite, 1);
  EXPECT_EQ(ws->Cycle.WriteCount, 0);
  EXPECT_EQ(ws->Cycle.WriteAddress, 1);
  ASSERT_EQ(sender.frames.size(), 1u);
  EXPECT_EQ(sender.frames[0], Bytes({0x01, 0x05, 0x00, 0x00, 0xFF, 0x00, 0x8C, 0x3A}));

  ticks.Advance(100);
  ws->View.RegType = rtHoldingRegs;
  ws->Settings.SingleRegWrite = 1;
  r = Enter(1, 1, "10");
  EXPECT_TRUE(r.Sent);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 5100u + 9 + 400);
  EXPECT_EQ(sender.frames.back(), Bytes({0x01, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x09, 0xCD}));

  ws->View.DisplayType = dtFloat; // a pair is one function 16 request of two registers
  r = Enter(1, 4, "1.5");
  EXPECT_EQ(sender.frames.back(), Rtu({0x01, 0x10, 0x00, 0x02, 0x00, 0x02, 0x04, 0x3F, 0xC0, 0x00, 0x00}));
  EXPECT_EQ(StoreSum(), 0); // the next poll shows the device's values

  // Nothing for discrete inputs, input registers or other texts.
  const size_t sent = sender.frames.size();
  ws->View.RegType = rtCoils;
  EXPECT_FALSE(Enter(1, 1, "").Sent);
  EXPECT_FALSE(Enter(1, 1, "2").Sent);
  ws->View.RegType = rtInputs;
  EXPECT_FALSE(Enter(1, 1, "1").Sent);
  ws->View.RegType = rtInputRegs;
  ws->View.DisplayType = dtDecimal;
  const EntryResult none = Enter(1, 1, "5");
  EXPECT_FALSE(none.Sent);
  EXPECT_FALSE(none.CellText.has_value());
  EXPECT_FALSE(none.StatusText.has_value());
  EXPECT_EQ(sender.frames.size(), sent);
}

TEST_F(EntryFixture, RewriteAndSelectionMoves) {
  ws->Ui.SelectedCol = 2;
  ws->Ui.SelectedRow = 3;
  EntryResult r = CmdWriteClick(*ws, master, ticks, "44");
  EXPECT_EQ(r.Col, 2);
  EXPECT_EQ(r.Row, 3);
  EXPECT_EQ(Holding()[23], 44);

  // Walking down with the arrow keys applies the same input to each cell.
  for (int row = 4; row <= 6; ++row) Enter(2, row, "9");
  EXPECT_EQ(ws->Ui.SelectedRow, 6);
  EXPECT_EQ(Holding()[24] + Holding()[25] + Holding()[26], 27);

  // Fixed header cells are no data cells.
  EXPECT_EQ(Enter(0, 3, "1").Col, 0);
  EXPECT_EQ(Enter(3, 0, "1").Col, 0);
  EXPECT_EQ(ws->Ui.SelectedCol, 2);
  ws->Ui.SelectedCol = 0;
  EXPECT_FALSE(CmdWriteClick(*ws, master, ticks, "1").CellText.has_value());
  EXPECT_EQ(StoreSum(), 44 + 27);
}

} // namespace
