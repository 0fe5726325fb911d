#include "app/core/master_commands.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/core/int_conv.h"
#include "app/core/master_request.h"
#include "app/core/value_entry.h"
#include "modbus/core.h"
#include "modbus/frame_rules.h"
#include "modbus/master.h"
#include "support/master_rig.h"

using namespace korvane;
using frame::Bytes;

namespace {

using test::Rtu;

// A master of device 1, RTU, 9600 baud, polling off, with the real request builder.
struct CommandFixture : ::testing::Test, test::MasterRig {
  GridTexts cells{};

  CommandFixture() : MasterRig(1000) {
    ws->Settings.IsMaster = roMaster;
    ws->Cycle.PollEnabled = 0;
  }
  void Cells(std::initializer_list<const char*> texts) {
    size_t k = 1;
    for (const char* t : texts) cells[k++] = t;
  }
  CommandResult Write() { return CmdMasterWriteClick(*ws, master, ticks, cells); }
  std::string LastFrame() const {
    return sender.frames.empty() ? std::string("<none>") : sender.frames.back();
  }
};

TEST_F(CommandFixture, PollToggleSilencesTheButtons) {
  ws->Cycle.PollEnabled = 1;
  ws->View.RegLength = 1;
  Cells({"5"});
  EXPECT_FALSE(CmdMasterReadClick(*ws, master, ticks).Sent);
  EXPECT_FALSE(Write().Sent);
  EXPECT_TRUE(sender.frames.empty());
  EXPECT_FALSE(CmdPollClick(*ws)); // ChkPoll unchecked
  EXPECT_EQ(ws->Cycle.PollEnabled, 0);
  EXPECT_TRUE(Write().Sent);
  EXPECT_TRUE(CmdMasterReadClick(*ws, master, ticks).Sent);
  EXPECT_TRUE(CmdPollClick(*ws));
  EXPECT_EQ(ws->Cycle.PollEnabled, 1);

  ws->Cycle.PollEnabled = 0; // a slave never sends
  ws->Settings.IsMaster = roSlave;
  const size_t sent = sender.frames.size();
  const CommandResult r = Write();
  EXPECT_FALSE(r.Sent);
  EXPECT_FALSE(r.StatusText.has_value());
  EXPECT_FALSE(CmdMasterReadClick(*ws, master, ticks).StatusText.has_value());
  EXPECT_EQ(sender.frames.size(), sent);
  EXPECT_EQ(ws->Cycle.PollCounter, 1);
}

TEST_F(CommandFixture, CoilViewsArePackedEightToAByte) {
  ws->View.RegType = rtCoils;
  ws->View.RegLength = 10;
  Cells({"1", "0", "1", "1", "0", "0", "0", "0", "1", "1"});
  const CommandResult r = Write();
  EXPECT_EQ(LastFrame(), Bytes({0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x0D, 0x03, 0xA1, 0xA9}));
  EXPECT_EQ(r.StatusText, "Write -");
  EXPECT_FALSE(r.Redraw);
  // 11 bytes of 10 bits at 9600 baud leave in 11.5 ms, then ResponseTime.
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 1000u + 12 + 400);
  EXPECT_EQ(ws->Cycle.PollCounter, 0);

  for (const char* bad : {"2", "", " 1"}) {
    cells[4] = bad;
    EXPECT_FALSE(Write().Sent) << bad;
  }
  EXPECT_EQ(sender.frames.size(), 1u);

  ws->View.RegLength = 1;
  Cells({"1"});
  Write();
  EXPECT_EQ(LastFrame(), Bytes({0x01, 0x05, 0x00, 0x00, 0xFF, 0x00, 0x8C, 0x3A}));

  ws->View.RegLength = 17; // three bytes, the last holding coil 17 alone
  for (int k = 1; k <= 17; ++k) cells[static_cast<size_t>(k)] = k == 17 || k == 8 ? "1" : "0";
  ws->View.StartReg = 101;
  Write();
  EXPECT_EQ(LastFrame(), Rtu({0x01, 0x0F, 0x00, 0x64, 0x00, 0x11, 0x03, 0x80, 0x00, 0x01}));

  ws->View.StartReg = 65530; // the view reaches past coil 65536
  EXPECT_FALSE(Write().Sent);
}

TEST_F(CommandFixture, HoldingRegistersSingleWordFormats) {
  ws->View.RegLength = 2;
  Cells({"10", "258"});
  Write();
  EXPECT_EQ(LastFrame(),
            Bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x53, 0xFC}));

  ws->Settings.SingleRegWrite = 1;
  ws->View.RegLength = 1;
  Cells({"10"});
  Write();
  EXPECT_EQ(LastFrame(), Bytes({0x01, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x09, 0xCD}));
  ws->Settings.SingleRegWrite = 0;

  struct Case {
    int32_t type;
    int32_t length;
    std::vector<const char*> texts;
    std::vector<int> values;
  } cases[] = {
      {0, 3, {"", "7", "8"}, {0, 7, 8}}, // empty counts as 0
      {-1, 3, {"-1", "32768", "3"}, {65535, 32768, 3}},
      {1, 2, {"ffff", "1F"}, {65535, 31}},
      {0, 2, {"1", "2", "x"}, {1, 2}}, // cells past the view are not read
  };
  for (const auto& c : cases) {
    cells = GridTexts{};
    for (size_t k = 0; k < c.texts.size(); ++k) cells[k + 1] = c.texts[k];
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    ws->View.RegLength = c.length;
    ws->View.StartReg = 10;
    Write();
    std::string body = Bytes({0x01, 0x10, 0x00, 0x09, 0x00, c.length, 2 * c.length});
    for (int v : c.values) frame::PutWord(body, v);
    frame::AppendCrc(body);
    EXPECT_EQ(LastFrame(), body) << c.type << " " << c.texts[0];
  }

  // A full view of 100 registers goes out whole.
  for (size_t k = 1; k <= 100; ++k) cells[k] = std::to_string(1000 + k);
  ws->View.DisplayType = dtDecimal;
  ws->View.RegLength = 100;
  ws->View.StartReg = 1;
  EXPECT_TRUE(Write().Sent);
  EXPECT_EQ(ws->Cycle.WriteCount, 100);
  EXPECT_EQ(ws->Cycle.WriteValues[1], 1001);
  EXPECT_EQ(ws->Cycle.WriteValues[100], 1100);
}

// A cell that does not convert stops the whole write with the conversion
// message: no value may reach another register than its own.
TEST_F(CommandFixture, RegisterCellThatDoesNotConvertStopsTheWholeWrite) {
  struct Case {
    int32_t type;
    std::vector<const char*> texts;
    const char* refused;
  } cases[] = {
      {0, {"5", "x", "7"}, "x"},
      {0, {"5", "7", "70000"}, "70000"}, // a stored value outside 0..65535
      {0, {"-1", "7", "8"}, "-1"},
      {0, {"5", "-", "8"}, "-"},
      {0, {"5", " 7", "8"}, " 7"},
      {-1, {"1", "-32768", "3"}, "-32768"},
      {-1, {"1", "2", "40000"}, "40000"},
      {1, {"ffff", "10000", "1F"}, "10000"},
      {1, {"ffff", "1F", "G"}, "G"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused);
    cells = GridTexts{};
    for (size_t k = 0; k < c.texts.size(); ++k) cells[k + 1] = c.texts[k];
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    ws->View.RegLength = 3;
    ws->View.StartReg = 10;
    ws->Cycle.WriteValues[1] = -5;
    ws->Cycle.WriteCount = -5;
    ws->Cycle.ReplyDeadline = 77;
    try {
      Write();
      ADD_FAILURE() << "the write went ahead";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(c.refused) + "' is not a valid integer value");
    }
    EXPECT_TRUE(sender.frames.empty());
    EXPECT_EQ(ws->Cycle.WriteValues[1], -5); // the request cycle is left as it was
    EXPECT_EQ(ws->Cycle.WriteCount, -5);
    EXPECT_EQ(ws->Cycle.ReplyDeadline, 77u);
  }
}

TEST_F(CommandFixture, LoneMinusStopsTheWrite) {
  ws->View.DisplayType = dtSigned;
  ws->View.RegLength = 2;
  Cells({"1", "-"});
  EXPECT_THROW(Write(), ConversionError);
  ws->View.DisplayType = dtDecimal; // the decimal check refuses "-": the write stops too
  EXPECT_THROW(Write(), ConversionError);
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(CommandFixture, TwoRegisterFormatsGoAsOneRequest) {
  struct Case {
    int32_t type;
    int32_t start, length;
    std::vector<const char*> texts;
    int address;
    std::vector<int> values;
  } cases[] = {
      {2, 1, 4, {"", "131073", "", "5"}, 1, {2, 1, 0, 5}},
      {3, 1, 4, {"", "131073", "", ""}, 1, {1, 2, 0, 0}},
      {4, 7, 2, {"", "80000000"}, 7, {0x8000, 0}},
      {5, 7, 2, {"", "1234abcd"}, 7, {0xABCD, 0x1234}},
      {6, 1, 2, {"", "1.5"}, 1, {0x3FC0, 0}},
      {7, 1, 2, {"", "-2"}, 1, {0, 0xC000}},
      {8, 3, 2, {"1.5", "0.1"}, 5, {0x3FC0, 0, 0x3DCC, 0xCCCD}},
      {9, 1, 1, {"1"}, 1, {0, 0x3F80}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    cells = GridTexts{};
    for (size_t k = 0; k < c.texts.size(); ++k) cells[k + 1] = c.texts[k];
    ws->View.DisplayType = static_cast<TDisplayType>(c.type);
    ws->View.StartReg = c.start;
    ws->View.RegLength = c.length;
    const CommandResult r = Write();
    EXPECT_EQ(r.StatusText, "Write -");
    const int n = static_cast<int>(c.values.size());
    std::string body = Bytes({0x01, 0x10, 0x00, c.address - 1, 0x00, n, 2 * n});
    for (int v : c.values) frame::PutWord(body, v);
    frame::AppendCrc(body);
    EXPECT_EQ(LastFrame(), body);
  }
}

TEST_F(CommandFixture, TwoRegisterFormatsThatDoNotConvertSendNothing) {
  ws->View.DisplayType = dtFloat;
  ws->View.RegLength = 4;
  Cells({"", "1", "", "abc"});
  CommandResult r = Write();
  EXPECT_EQ(r.StatusText, "Input not Floating Point");
  EXPECT_FALSE(r.Sent);
  Cells({"", "1", "", "1e39"});
  EXPECT_THROW(Write(), EntryError);

  ws->View.DisplayType = dtLong;
  Cells({"", "1", "x", "2"}); // the first cell of a pair fails the check
  EXPECT_FALSE(Write().Sent);
  Cells({"", "1", "", "-2"});
  EXPECT_FALSE(Write().Sent);
  Cells({"", "1", "", "9999999999"});
  EXPECT_THROW(Write(), ConversionError);

  ws->View.DisplayType = dtRegFloat; // 62 values are 124 registers: more than one request carries
  ws->View.RegLength = 62;
  cells = GridTexts{};
  EXPECT_FALSE(Write().Sent);
  ws->View.RegLength = 61;
  EXPECT_TRUE(Write().Sent);
  EXPECT_EQ(ws->Cycle.WriteCount, 122);
  ws->View.StartReg = 32768; // 32-bit register 32769 is past the table
  ws->View.RegLength = 2;
  EXPECT_FALSE(Write().Sent);
  EXPECT_EQ(sender.frames.size(), 1u);
}

TEST_F(CommandFixture, ReadOnlyTablesAreNotWritten) {
  Cells({"1"});
  ws->View.RegLength = 1;
  for (int type : {1, 2}) {
    ws->View.RegType = static_cast<TRegType>(type);
    EXPECT_FALSE(Write().Sent);
  }
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(CommandFixture, ReadUsesThePollWindow) {
  CommandResult r = CmdMasterReadClick(*ws, master, ticks);
  EXPECT_EQ(LastFrame(), Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x64, 0x44, 0x21}));
  EXPECT_EQ(r.StatusText, "Poll 1");
  EXPECT_FALSE(r.Redraw);                              // polling is off
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 1000u + 9 + 400); // 8 bytes at 9600 8N1: 8.3 ms on the line
  EXPECT_EQ(ws->Cycle.MasterWrite, 0);
  r = CmdMasterReadClick(*ws, master, ticks);
  EXPECT_EQ(r.StatusText, "Poll 2");

  ws->View.RegType = rtCoils; // bits need no window: the whole view in one request
  ws->Cycle.PollAddress = 1234;
  CmdMasterReadClick(*ws, master, ticks);
  EXPECT_EQ(LastFrame(), Bytes({0x01, 0x01, 0x00, 0x00, 0x00, 0x64, 0x3D, 0xE1}));
  EXPECT_EQ(ws->Cycle.PollAddress, 1234);
}

TEST_F(CommandFixture, PollTimerWalksTheWindowsInAscii) {
  ws->Cycle.PollEnabled = 1;
  ws->Settings.RtuMode = fmAscii;
  const int32_t starts[] = {65, 1, 65};
  for (int i = 0; i < 3; ++i) {
    ticks.Advance(5000);
    const CommandResult r = Timer1Step(*ws, master, ticks, nullptr);
    EXPECT_TRUE(r.Sent);
    EXPECT_TRUE(r.Redraw);
    EXPECT_EQ(r.StatusText, "Poll " + IntToStr(i + 1));
    EXPECT_EQ(ws->Cycle.PollAddress, starts[i]);
    EXPECT_EQ(ws->Cycle.PollCount, 64);
    EXPECT_EQ(ws->Cycle.ReplyDeadline, ticks.Now() + 18 + 400); // 17 characters at 9600 8N1: 17.7 ms
    std::string req = Bytes({0x01, 0x03, 0x00, starts[i] - 1, 0x00, 64});
    EXPECT_EQ(LastFrame(), ConvertToASCII(req));
  }
  ws->Cycle.PollEnabled = 0;
  EXPECT_FALSE(Timer1Step(*ws, master, ticks, nullptr).Sent);
  EXPECT_EQ(ws->Cycle.PollCounter, 3);
  EXPECT_EQ(sender.frames.size(), 3u);
}

// A device can only answer once the whole request has reached it: the reply
// time-out counts from the moment the last character has left at the line's
// rate, data bits, parity and stop bits, not from the write's return.
TEST_F(CommandFixture, TheReplyDeadlineCountsFromTheEndOfTheRequestOnTheWire) {
  const struct {
    const char* name;
    int32_t baud, dataBits;
    const char* parity;
    int32_t stopBits;
    uint8_t rtu;
    bool write; // "Write" of the 100-register view, else "Read"
    uint32_t wireMs;
  } cases[] = {
      // 209 bytes of a function 16 request for 100 registers.
      {"8N1 4800 write", 4800, 8, "N", 1, 1, true, 436},
      {"8E1 4800 write", 4800, 8, "E", 1, 1, true, 479},
      {"8O2 4800 write", 4800, 8, "O", 2, 1, true, 523},
      {"8N1 300 write", 300, 8, "N", 1, 1, true, 6967},
      {"8N2 19200 read", 19200, 8, "N", 2, 1, false, 5},
      // ASCII: ":" + 416 digits + CR LF for the write, 17 characters for a read.
      {"7E2 ascii 9600 write", 9600, 7, "E", 2, 0, true, 481},
      {"7N1 ascii 9600 write", 9600, 7, "N", 1, 0, true, 393},
      {"7O1 ascii 2400 read", 2400, 7, "O", 1, 0, false, 71},
      // Settings a register file may hold count as the port is opened with them:
      // parity "M" as none, 5 data bits as 8, 3 stop bits as 1.
      {"8M1 4800 write", 4800, 8, "M", 1, 1, true, 436},
      {"5N3 4800 write", 4800, 5, "N", 3, 1, true, 436},
      {"rate 0", 0, 8, "N", 1, 1, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ws->Settings.BaudRate = c.baud;
    ws->Settings.DataBits = static_cast<TDataBitsCode>(c.dataBits);
    ws->Settings.Parity = c.parity;
    ws->Settings.StopBits = static_cast<TStopBitsCode>(c.stopBits);
    ws->Settings.RtuMode = static_cast<TFrameMode>(c.rtu);
    ws->View.RegLength = 100;
    ticks.Advance(1000);
    const CommandResult r = c.write ? Write() : CmdMasterReadClick(*ws, master, ticks);
    ASSERT_TRUE(r.Sent);
    EXPECT_EQ(ws->Cycle.ReplyDeadline, ticks.Now() + c.wireMs + 400);
    EXPECT_EQ(RequestWireMs(*ws, LastFrame().size()), c.wireMs);
  }
}

// A request whose send fails is reported by that error alone: the master
// awaits no reply for it and the deadline is left as it was.
TEST_F(CommandFixture, AFailedSendStartsNoReplyTimeOut) {
  test::FailingSender failing;
  TMaster failingEngine{*ws, failing, ticks};
  RequestBuilderFor<TMaster> failingMaster{failingEngine};
  ws->Cycle.ReplyDeadline = 777;
  ws->View.RegLength = 2;
  Cells({"10", "258"});
  EXPECT_THROW(CmdMasterReadClick(*ws, failingMaster, ticks), std::runtime_error);
  EXPECT_EQ(failingEngine.AwaitingReply, 0);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 777u);
  EXPECT_EQ(ws->Cycle.PollCounter, 0);
  EXPECT_THROW(CmdMasterWriteClick(*ws, failingMaster, ticks, cells), std::runtime_error);
  EXPECT_EQ(failingEngine.AwaitingReply, 0);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 777u);
  EXPECT_EQ(failing.calls, 2);

  // A request already awaited stays awaited, with its own deadline.
  failingEngine.AwaitingReply = 1;
  EXPECT_THROW(CmdMasterReadClick(*ws, failingMaster, ticks), std::runtime_error);
  EXPECT_EQ(failingEngine.AwaitingReply, 1);
  EXPECT_EQ(ws->Cycle.ReplyDeadline, 777u);
}

TEST_F(CommandFixture, PollTimerInSlaveMode) {
  ws->Settings.IsMaster = roSlave;
  ws->Cycle.PollEnabled = 1;
  EXPECT_FALSE(Timer1Step(*ws, master, ticks, nullptr).Redraw);
  ws->Cycle.RegsChanged = 1; // a master wrote into the store: shown at this tick
  EXPECT_TRUE(Timer1Step(*ws, master, ticks, nullptr).Redraw);
  EXPECT_EQ(ws->Cycle.RegsChanged, 0);

  const RampTexts ramp{"0", "1000", "1", "3"};
  EXPECT_TRUE(Timer1Step(*ws, master, ticks, &ramp).Redraw);
  EXPECT_EQ(ws->Active().HoldingRegTable[3], 3);
  ws->View.RegType = rtCoils; // coils shown: the ramp does nothing and wants no redraw
  EXPECT_FALSE(Timer1Step(*ws, master, ticks, &ramp).Redraw);

  const RampTexts bad{"0", "1000", "x", "3"};
  ws->View.RegType = rtHoldingRegs;
  ws->Cycle.RegsChanged = 1;
  EXPECT_THROW(Timer1Step(*ws, master, ticks, &bad), ConversionError);
  EXPECT_EQ(ws->Cycle.RegsChanged, 1); // left for the next tick
  EXPECT_EQ(ws->Active().HoldingRegTable[3], 3);
  EXPECT_TRUE(sender.frames.empty());
}

// Every way the master would send, once listening and once not: listening,
// nothing reaches the line, no reply is awaited and the status line says so.
TEST_F(CommandFixture, ListeningEveryCommandSendsNothingAndSaysSo) {
  struct Case {
    const char* what;
    TRegType table;
    TDisplayType format;
    uint8_t poll;
    std::vector<const char*> cells; // the view, or the typed input for value entry
    bool entry;                     // value entry into cell (1, 1) instead of a command
  } cases[] = {
      {"Read", rtHoldingRegs, dtDecimal, 0, {}, false},
      {"Write coils", rtCoils, dtDecimal, 0, {"1", "0"}, false},
      {"Write registers", rtHoldingRegs, dtDecimal, 0, {"7", "8"}, false},
      {"Write a float", rtHoldingRegs, dtFloat, 0, {"", "1.5"}, false},
      {"poll timer", rtInputRegs, dtDecimal, 1, {}, false},
      {"coil entry", rtCoils, dtDecimal, 1, {"1"}, true},
      {"register entry", rtHoldingRegs, dtDecimal, 1, {"42"}, true},
  };
  for (const Case& c : cases) {
    for (const bool listen : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (listen ? " listening" : ""));
      ws->Run.ListenOnly = listen;
      ws->View.RegType = c.table;
      ws->View.DisplayType = c.format;
      ws->View.RegLength = 2;
      ws->Cycle.PollEnabled = c.poll;
      engine.AwaitingReply = 0;
      cells = GridTexts{};
      for (size_t k = 0; k < c.cells.size(); ++k) cells[k + 1] = c.cells[k];
      const size_t before = sender.frames.size();
      std::optional<std::string> status;
      bool sent = false;
      if (c.entry) {
        const EntryResult r = ApplyEntry(*ws, master, ticks, 1, 1, c.cells[0]);
        status = r.StatusText;
        sent = r.Sent;
      } else {
        const CommandResult r = c.poll == 1                     ? Timer1Step(*ws, master, ticks, nullptr)
                                : std::string(c.what) == "Read" ? CmdMasterReadClick(*ws, master, ticks)
                                                                : Write();
        status = r.StatusText;
        sent = r.Sent;
      }
      EXPECT_EQ(sent, !listen);
      EXPECT_EQ(sender.frames.size(), before + (listen ? 0 : 1));
      EXPECT_EQ(engine.AwaitingReply, listen ? 0 : 1);
      if (listen)
        EXPECT_EQ(status, kListenOnlyText);
      else
        EXPECT_NE(status, kListenOnlyText);
    }
  }
}

// A listening master redraws for values it saw, at the next tick, as a slave does.
TEST_F(CommandFixture, ListeningMasterRedrawsWhatItSaw) {
  ws->Run.ListenOnly = true;
  for (const uint8_t poll : {uint8_t{0}, uint8_t{1}}) {
    ws->Cycle.PollEnabled = poll;
    EXPECT_FALSE(Timer1Step(*ws, master, ticks, nullptr).Redraw);
    ws->Cycle.RegsChanged = 1;
    EXPECT_TRUE(Timer1Step(*ws, master, ticks, nullptr).Redraw);
    EXPECT_EQ(ws->Cycle.RegsChanged, 0);
  }
  ws->Run.ListenOnly = false; // a master that sends redraws after its replies instead
  ws->Cycle.PollEnabled = 0;
  ws->Cycle.RegsChanged = 1;
  EXPECT_FALSE(Timer1Step(*ws, master, ticks, nullptr).Redraw);
  EXPECT_TRUE(sender.frames.empty());
}

} // namespace
