#include "app/core/display.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

using namespace korvane;

namespace {

struct DisplayFixture : ::testing::Test {
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RegTable& Holding() { return ws->Active().HoldingRegTable; }
  std::string Cell(int col, int row) {
    const GridView g = DisplayRegs(*ws);
    const CellText& c = g.At(col, row);
    return c ? *c : std::string("<unchanged>");
  }
};

TEST_F(DisplayFixture, GeometryRunsDownTheColumns) {
  for (int n = 1; n <= 100; ++n) Holding()[static_cast<size_t>(n)] = n * 3;
  const GridView g = DisplayRegs(*ws);
  EXPECT_EQ(g.Corner, "REGISTER");
  EXPECT_EQ(g.ColHeader[1], "+0");
  EXPECT_EQ(g.ColHeader[5], "+80");
  EXPECT_EQ(g.RowHeader[1], "1");
  EXPECT_EQ(g.RowHeader[20], "20");
  EXPECT_EQ(*g.At(1, 1), "3");    // register 1
  EXPECT_EQ(*g.At(1, 20), "60");  // register 20
  EXPECT_EQ(*g.At(2, 1), "63");   // register 21
  EXPECT_EQ(*g.At(5, 1), "243");  // register 81
  EXPECT_EQ(*g.At(5, 20), "300"); // register 100

  ws->View.RegLength = 7;
  ws->View.StartReg = 11;
  const GridView h = DisplayRegs(*ws);
  EXPECT_EQ(h.RowHeader[1], "11");
  EXPECT_EQ(*h.At(1, 7), "51");
  EXPECT_EQ(*h.At(1, 8), "");
  EXPECT_EQ(*h.At(2, 1), "");
}

TEST_F(DisplayFixture, EveryFormatOnKnownRegisters) {
  struct Case {
    int32_t type;
    int32_t r1, r2;
    const char* cell1; // CellOffset 1: register 1 (formats 8, 9: registers 1 and 2)
    const char* cell2; // CellOffset 2: register 2, or the pair 1-2
  } cases[] = {
      {-1, 65535, 32768, "-1", "32768"},
      {-1, 32769, 0, "-32767", "0"},
      {0, 65535, 255, "65535", "255"},
      {1, 65535, 255, "FFFF", "00FF"},
      {2, 1, 2, "", "65538"},
      {3, 1, 2, "", "131073"},
      {4, 1, 2, "", "00010002"},
      {5, 1, 2, "", "00020001"},
      {2, 65535, 65535, "", "4294967295"},
      {6, 0x4248, 0, "", "5.00000E+001"},
      {7, 0x4248, 0, "", "5.88936E-039"}, // H = 0, L = 0x4248: a tiny value
      {6, 0, 0, "", "0.000"},
      {6, 0x7F80, 0, "", "NAN"},
      {7, 0, 0x7FC0, "", "NAN"},
      {6, 0x8000, 0, "", "-5.87747E-039"},
      {6, 0xBA83, 0x126F, "", "-1.00000E-003"},
      {8, 0x3FC0, 0, "1.50000E+000", "0.000"},
      {9, 0, 0x3FC0, "1.50000E+000", "0.000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    Holding()[1] = c.r1;
    Holding()[2] = c.r2;
    EXPECT_EQ(Cell(1, 1), c.cell1);
    EXPECT_EQ(Cell(1, 2), c.cell2);
  }
}

TEST_F(DisplayFixture, ThirtyTwoBitRegisterFormatsReadTwoRegistersPerCell) {
  ws->View.DisplayType = dtRegFloat;
  Holding()[3] = 0x4248; // cell (1, 2) is 32-bit register 2: registers 3 and 4
  EXPECT_EQ(Cell(1, 2), "5.00000E+001");
  ws->View.StartReg = 32768; // cell 1: registers 65535, 65536; cell 2 would need 65537
  Holding()[65535] = 0x3F80;
  EXPECT_EQ(Cell(1, 1), "1.00000E+000");
  EXPECT_EQ(Cell(1, 2), "");
}

TEST_F(DisplayFixture, CellsOutsideTheTablesStayEmpty) {
  ws->View.StartReg = 65500;
  Holding()[65536] = 7;
  EXPECT_EQ(Cell(2, 17), "7"); // offset 37: register 65536
  EXPECT_EQ(Cell(2, 18), "");  // 65537
  EXPECT_EQ(Cell(5, 20), "");

  ws->View.RegType = rtCoils;
  SetBit(ws->Active().CoilTable, 65535, true);
  SetBit(ws->Active().CoilTable, 65536, true);
  EXPECT_EQ(Cell(2, 16), "1"); // coil 65535
  EXPECT_EQ(Cell(2, 17), "");  // coil 65536 is never shown
  ws->View.RegType = rtInputs;
  SetBit(ws->Active().StatusTable, 65536, true);
  EXPECT_EQ(Cell(2, 17), "1"); // input 65536 is
  EXPECT_EQ(Cell(2, 18), "");

  // A start below 1 (from a page or a file): numbers below 1 draw nothing.
  ws->View.RegType = rtHoldingRegs;
  ws->View.StartReg = -1;
  Holding()[1] = 9;
  const GridView g = DisplayRegs(*ws);
  EXPECT_EQ(g.RowHeader[1], "-1");
  EXPECT_EQ(*g.At(1, 2), ""); // register 0
  EXPECT_EQ(*g.At(1, 3), "9");
  ws->View.DisplayType = dtLong;
  ws->View.StartReg = 0;
  EXPECT_EQ(Cell(1, 2), ""); // the pair 0, 1
}

TEST_F(DisplayFixture, UnknownTableOrFormatLeavesCellsAlone) {
  ws->View.RegType = static_cast<TRegType>(4);
  const GridView g = DisplayRegs(*ws);
  EXPECT_EQ(g.RowHeader[3], "3");
  for (int k = 1; k <= kGridCells; ++k) EXPECT_FALSE(g.Cell[static_cast<size_t>(k)].has_value());

  ws->View.RegType = rtHoldingRegs;
  ws->View.DisplayType = static_cast<TDisplayType>(10);
  ws->View.RegLength = 10;
  EXPECT_EQ(Cell(1, 1), "<unchanged>");
  EXPECT_EQ(Cell(1, 11), ""); // past the length: emptied whatever the format
}

TEST_F(DisplayFixture, BitTablesShowOneOrZero) {
  ws->View.RegType = rtCoils;
  ws->View.RegLength = 20;
  ws->Active().CoilTable[2] = 1; // coil 17
  EXPECT_EQ(Cell(1, 16), "0");
  EXPECT_EQ(Cell(1, 17), "1");
  EXPECT_EQ(Cell(2, 1), "");
}

TEST(FloatConversions, EncodeGivesTheSingleWords) {
  auto ws = MakeWorkspace();
  struct Case {
    float value;
    int32_t hi, lo;
  } cases[] = {{1.0f, 0x3F80, 0},
               {-2.0f, 0xC000, 0},
               {0.1f, 0x3DCC, 0xCCCD},
               {1.5f, 0x3FC0, 0},
               {0.0f, 0, 0},
               {-0.0f, 0, 0},
               {3.4028235e38f, 0x7F7F, 0xFFFF},
               {1e-40f, 0x0001, 0x16C2}, // subnormal: its exact pattern
               {-1.17549435e-38f, 0x8080, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ConvertToIEEE754(*ws, c.value);
    EXPECT_EQ(ws->Ui.FloatHiWord, c.hi);
    EXPECT_EQ(ws->Ui.FloatLoWord, c.lo);
  }
}

TEST(FloatConversions, DecodeIsTheExactValueForEveryNormalExponent) {
  auto ws = MakeWorkspace();
  for (uint32_t e = 1; e <= 254; ++e) {
    for (uint32_t frac : {0u, 1u, 0x400000u, 0x7FFFFFu, 0x123457u}) {
      for (uint32_t sign : {0u, 1u}) {
        const uint32_t bits = (sign << 31) | (e << 23) | frac;
        float expected;
        std::memcpy(&expected, &bits, sizeof expected);
        const float got =
            IntegerToIEEE754(*ws, static_cast<int32_t>(bits >> 16), static_cast<int32_t>(bits & 0xFFFF));
        ASSERT_EQ(got, expected) << std::hex << bits;
        ASSERT_EQ(ws->Ui.FloatDecodeStatus, "");
        ConvertToIEEE754(*ws, got); // and back
        ASSERT_EQ(static_cast<uint32_t>(ws->Ui.FloatHiWord), bits >> 16);
        ASSERT_EQ(static_cast<uint32_t>(ws->Ui.FloatLoWord), bits & 0xFFFF);
      }
    }
  }
}

TEST(FloatConversions, ExponentZeroAndNan) {
  auto ws = MakeWorkspace();
  EXPECT_EQ(IntegerToIEEE754(*ws, 0x8000, 0), -std::ldexp(1.0f, -127));
  EXPECT_EQ(IntegerToIEEE754(*ws, 0x7FFF, 0xFFFF), 0.0f);
  EXPECT_EQ(ws->Ui.FloatDecodeStatus, "NAN");
  EXPECT_EQ(IntegerToIEEE754(*ws, 0x3F80, 0), 1.0f); // a good pattern clears it again
  EXPECT_EQ(ws->Ui.FloatDecodeStatus, "");
  EXPECT_EQ(FloatText(*ws, 0xFF80, 0), "NAN");
  EXPECT_EQ(FloatText(*ws, 0, 0), "0.000");
  EXPECT_EQ(FloatText(*ws, 0, 2), "5.87747E-039"); // E = 0 keeps its leading 1, rounded to a subnormal
}

TEST(FloatText, ScientificNotation) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {{1.5f, "1.50000E+000"},          {-0.001f, "-1.00000E-003"},  {1e20f, "1.00000E+020"},
               {3.4028235e38f, "3.40282E+038"}, {123456.7f, "1.23457E+005"}, {9.999994f, "9.99999E+000"},
               {9.999999f, "1.00000E+001"}};
  for (const auto& c : cases) EXPECT_EQ(FormatScientific(c.value), c.text);
}

TEST(FloatText, DecimalSeparatorFollowsTheLocaleAtCallTime) {
  // Build a locale with a comma separator in a private folder, so the test
  // does not depend on the locales installed on the machine.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("korvane-locale-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cmd =
      "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0 && !std::filesystem::exists(dir / "de_DE.UTF-8")) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "localedef cannot build de_DE here";
  }
  ::setenv("LOCPATH", dir.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  const std::string comma = FormatScientific(1.5f);
  std::setlocale(LC_NUMERIC, "C");
  ::unsetenv("LOCPATH");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(comma, "1,50000E+000");
  EXPECT_EQ(FormatScientific(1.5f), "1.50000E+000");
}

TEST(ViewControlsText, NamesAndPositions) {
  auto ws = MakeWorkspace();
  ws->View.StartReg = 65437;
  ws->View.RegLength = 8;
  ws->View.CurrentPage = 20;
  ws->View.RegType = rtInputs;
  ws->View.DisplayType = dtFloatReverse;
  ViewControls v = DisplayRegTypes(*ws);
  EXPECT_EQ(v.TxtStartReg, "65437");
  EXPECT_EQ(v.TxtLength, "8");
  EXPECT_EQ(v.TxtPage, "20");
  EXPECT_EQ(v.ComboRegType, "Status 1xxxx");
  EXPECT_EQ(v.ComboRegTypeIndex, 1);
  EXPECT_EQ(v.ComboReadType, "Floating Point Reverse");
  EXPECT_EQ(v.ComboReadTypeIndex, 8);

  ws->View.DisplayType = dtRegFloatReverse; // a name, but no selector item
  v = DisplayRegTypes(*ws);
  EXPECT_EQ(v.ComboReadType, "32Bit Reg Floating Point Reverse");
  EXPECT_FALSE(v.ComboReadTypeIndex.has_value());

  ws->View.RegType = static_cast<TRegType>(4);
  ws->View.DisplayType = static_cast<TDisplayType>(-2);
  v = DisplayRegTypes(*ws);
  EXPECT_FALSE(v.ComboRegType.has_value());
  EXPECT_FALSE(v.ComboReadType.has_value());
}

} // namespace
