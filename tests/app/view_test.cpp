#include "app/core/view.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "app/core/int_conv.h"

using namespace korvane;

namespace {

struct ViewFixture : ::testing::Test {
  std::unique_ptr<Workspace> ws = MakeWorkspace();
};

TEST_F(ViewFixture, TableSelector) {
  for (int i : {0, 1, 2, 3}) {
    ComboRegTypeChange(*ws, i);
    EXPECT_EQ(ws->View.RegType, i);
  }
  ComboRegTypeChange(*ws, -1);
  ComboRegTypeChange(*ws, 4);
  EXPECT_EQ(ws->View.RegType, rtHoldingRegs);
}

TEST_F(ViewFixture, FormatSelectorKeepsTwoRegisterLengthsEven) {
  ws->View.RegLength = 99;
  ws->Settings.WriteFunction = 3;
  EXPECT_EQ(ComboReadTypeChange(*ws, 3), "100"); // "Decimal Long"
  EXPECT_EQ(ws->View.DisplayType, dtLong);
  EXPECT_EQ(ws->Settings.WriteFunction, 16);
  EXPECT_EQ(ComboReadTypeChange(*ws, 1), "100"); // back to decimal: stays 100
  EXPECT_EQ(ws->View.DisplayType, dtDecimal);
  ws->View.RegLength = 7;
  EXPECT_EQ(ComboReadTypeChange(*ws, 0), "7");
  EXPECT_EQ(ws->View.DisplayType, dtSigned);
  EXPECT_EQ(ComboReadTypeChange(*ws, 8), "8");
  EXPECT_EQ(ws->View.DisplayType, dtFloatReverse);
  EXPECT_EQ(ComboReadTypeChange(*ws, 9), "8"); // not an item: unchanged
  EXPECT_EQ(ComboReadTypeChange(*ws, -1), "8");
  EXPECT_EQ(ws->View.DisplayType, dtFloatReverse);
  // A code a file brought keeps its reading: above the formats it asks for
  // even lengths, below them it does not.
  const struct {
    int32_t code;
    const char* shown;
  } codes[] = {{10, "8"}, {12, "8"}, {-2, "7"}, {9, "8"}, {-1, "7"}};
  for (const auto& c : codes) {
    ws->View.RegLength = 7;
    ws->View.DisplayType = static_cast<TDisplayType>(c.code);
    EXPECT_EQ(ComboReadTypeChange(*ws, 9), c.shown) << c.code;
    EXPECT_EQ(ws->View.DisplayType, static_cast<TDisplayType>(c.code));
  }

  // A length from a file may be any 32-bit number; the next even one must
  // still be a 32-bit number.
  const struct {
    int32_t length;
    const char* shown;
  } lengths[] = {
      {2147483647, "2147483646"}, {2147483645, "2147483646"}, {-3, "-2"}, {-2147483647, "-2147483646"}};
  for (const auto& c : lengths) {
    ws->View.RegLength = c.length;
    EXPECT_EQ(ComboReadTypeChange(*ws, 3), c.shown) << c.length;
    EXPECT_EQ(ws->View.RegLength % 2, 0);
  }
}

TEST_F(ViewFixture, StartAndLengthEdits) {
  struct Case {
    const char* text;
    bool redraw;
    int32_t start;
  } starts[] = {{"", false, 1},   {"0", false, 1},    {"65536", false, 1},
                {"-4", false, 1}, {"0012", true, 12}, {"65535", true, 65535}};
  for (const auto& c : starts) {
    ws->View.StartReg = 1;
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TxtStartRegChange(*ws, c.text), c.redraw);
    EXPECT_EQ(ws->View.StartReg, c.start);
  }
  EXPECT_FALSE(TxtLengthChange(*ws, "0"));
  EXPECT_FALSE(TxtLengthChange(*ws, "101"));
  EXPECT_TRUE(TxtLengthChange(*ws, "7"));
  EXPECT_EQ(ws->View.RegLength, 7);
  ws->View.DisplayType = dtFloat; // "Floating Point"
  EXPECT_FALSE(TxtLengthChange(*ws, "9"));
  EXPECT_EQ(ws->View.RegLength, 7);
  EXPECT_TRUE(TxtLengthChange(*ws, "8"));
  EXPECT_EQ(ws->View.RegLength, 8);

  for (const char* bad : {"abc", "-", "1.5", " 3", "99999999999"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TxtStartRegChange(*ws, bad), ConversionError);
    EXPECT_THROW(TxtLengthChange(*ws, bad), ConversionError);
  }
  EXPECT_EQ(ws->View.StartReg, 65535);
  EXPECT_EQ(ws->View.RegLength, 8);
  try {
    TxtLengthChange(*ws, "x1");
    ADD_FAILURE() << "no conversion error";
  } catch (const ConversionError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
}

TEST_F(ViewFixture, AddressSelector) {
  ws->Devices.SlotAddress = {0, 10, 20, 30, 40, 50};
  EXPECT_TRUE(CboAddrChange(*ws, 2));
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);
  EXPECT_FALSE(CboAddrChange(*ws, -1)); // text typed that is no item
  EXPECT_FALSE(CboAddrChange(*ws, 5));
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);
}

TEST_F(ViewFixture, BlocksStayWithinTheTable) {
  struct Case {
    bool next;
    int32_t start, length, expected;
  } cases[] = {{true, 1, 100, 101},       {true, 65500, 100, 65437}, {true, 65436, 100, 65536 - 100 + 1},
               {true, 65435, 100, 65535}, {false, 100, 100, 1},      {false, 250, 100, 150},
               {true, 65535, 1, 65536}};
  for (const auto& c : cases) {
    ws->View.StartReg = c.start;
    ws->View.RegLength = c.length;
    const std::string text = c.next ? NextBlock(*ws) : PrevBlock(*ws);
    EXPECT_EQ(ws->View.StartReg, c.expected) << c.start;
    EXPECT_EQ(text, IntToStr(c.expected));
  }
}

TEST_F(ViewFixture, PagesMoveWithinOneToTwentyAndLoadTheView) {
  ws->View.PageTable[2] = Page{500, 10, rtCoils, dtHex};
  ws->View.StartReg = 77; // the shown view is not saved by moving
  ViewControls v = NextPage(*ws);
  EXPECT_EQ(ws->View.CurrentPage, 2);
  EXPECT_EQ(ws->View.StartReg, 500);
  EXPECT_EQ(ws->View.RegLength, 10);
  EXPECT_EQ(ws->View.RegType, rtCoils);
  EXPECT_EQ(ws->View.DisplayType, dtHex);
  EXPECT_EQ(v.TxtStartReg, "500");
  EXPECT_EQ(v.TxtPage, "2");
  EXPECT_EQ(v.ComboRegType, "Coils 0xxxx");
  EXPECT_EQ(ws->View.PageTable[1].PageStart, 1);

  v = PrevPage(*ws);
  v = PrevPage(*ws);
  EXPECT_EQ(ws->View.CurrentPage, 1);
  EXPECT_EQ(v.TxtPage, "1");
  EXPECT_EQ(ws->View.StartReg, 1);
  ws->View.CurrentPage = 20;
  NextPage(*ws);
  EXPECT_EQ(ws->View.CurrentPage, 20);
}

TEST_F(ViewFixture, SavePageTakesTheEditsAsTyped) {
  ws->View.RegType = rtInputRegs;
  ws->View.DisplayType = dtFloat;
  ViewControls v = SavePage(*ws, "0", "7"); // values the edit handlers would refuse
  EXPECT_EQ(ws->View.PageTable[1].PageStart, 0);
  EXPECT_EQ(ws->View.PageTable[1].PageLength, 7);
  EXPECT_EQ(ws->View.PageTable[1].PageRegType, rtInputRegs);
  EXPECT_EQ(ws->View.PageTable[1].PageDisplayType, dtFloat);
  EXPECT_EQ(ws->View.CurrentPage, 2);
  EXPECT_EQ(v.TxtPage, "2");
  EXPECT_EQ(ws->View.RegType, rtHoldingRegs); // page 2 still holds the start view

  ws->View.CurrentPage = 20;
  ws->View.RegType = rtInputs;
  v = SavePage(*ws, "300", "40");
  EXPECT_EQ(ws->View.CurrentPage, 20); // saved and shown again
  EXPECT_EQ(ws->View.StartReg, 300);
  EXPECT_EQ(ws->View.RegLength, 40);
  EXPECT_EQ(ws->View.RegType, rtInputs);
  EXPECT_EQ(v.TxtStartReg, "300");
}

TEST_F(ViewFixture, SavePageStopsAtTheFirstBadText) {
  ws->View.CurrentPage = 5;
  EXPECT_THROW(SavePage(*ws, "123", "ten"), ConversionError);
  EXPECT_EQ(ws->View.PageTable[5].PageStart, 123); // stored before the failure
  EXPECT_EQ(ws->View.PageTable[5].PageLength, 100);
  EXPECT_EQ(ws->View.CurrentPage, 5);
  EXPECT_THROW(SavePage(*ws, "", "10"), ConversionError);
  EXPECT_EQ(ws->View.PageTable[5].PageStart, 123);
  EXPECT_EQ(ws->View.PageTable[5].PageLength, 100);
  EXPECT_EQ(ws->View.CurrentPage, 5);
}

} // namespace
