// Port control over real pseudo-terminal pairs: the banner on activation, a
// slave answering a request from the far end, a master reply in pieces, the
// reply time-out, and how OpenComm maps the settings onto the component.
#include "pty_pair.h"
#include "serial/control/port_control.h"

#include "app/core/status.h"
#include "help/core/startup_probe.h"
#include "modbus/core.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/core/monitor_buffers.h"
#include "support/recording_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

using namespace korvane;
using korvane::test::PtyPair;

namespace {

// Records what port control shows, with the status texts the window would show.
class RecordingView final : public PortView {
public:
  explicit RecordingView(const Workspace& ws) : ws_(ws) {}
  void ShowPortState(bool active) override { calls.push_back(active ? "port Active" : "port InActive"); }
  void StatusDisplay(int32_t code, const std::string& prefix) override {
    const StatusUpdate u = korvane::StatusDisplay(ws_, code, prefix);
    statuses.push_back(u.Text.value_or("(unchanged)"));
    calls.push_back("status");
  }
  void DisplayRegs() override { calls.push_back("redraw"); }
  void ModeDisplay() override { calls.push_back("mode"); }
  void FillAddressSelector() override { calls.push_back("addresses"); }
  void SetPollInterval(int32_t ms) override { calls.push_back("interval " + std::to_string(ms)); }

  std::vector<std::string> calls;
  std::vector<std::string> statuses;

private:
  const Workspace& ws_;
};

using frame::Bytes;
using test::WithCrc;

std::string Hex(const std::string& bytes) {
  std::string s;
  for (char c : bytes) s += RenderByte(static_cast<uint8_t>(c), true);
  return s;
}

// The program's modules around one port control; the line is COM3, the near
// end of a pseudo-terminal pair whose far end the test holds. Received chunks
// are handled on the test thread when it pumps, as on the user-interface thread.
class PortControlTest : public ::testing::Test {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    view = std::make_unique<RecordingView>(*ws);
    serial = std::make_unique<TSerialPort>(invoker, DefaultCommBackend(), ports);
    control = std::make_unique<PortControl>(*ws, *serial, ticks, *view);
    slave = std::make_unique<TSlave>(*ws, *control, ticks);
    master = std::make_unique<TMaster>(*ws, *control, ticks);
    control->AttachEngines(slave.get(), master.get());
    if (line.Ok()) ports.SetPortOverride(3, line.SlavePath());
  }
  void TearDown() override {
    control->CloseComm(ws->CommPort);
    control.reset();
    serial.reset();
  }

  void NeedLine() {
    if (!line.Ok()) GTEST_SKIP() << "no pseudo-terminal can be made here: " << line.Error();
  }
  // Opens COM3 at 9600 8N1 as the configuration dialog does and reads the banner.
  void Activate() {
    control->OpenComm(3, 1024, 1024, 9600, 8, 0, 1);
    control->PortActivate();
    ASSERT_EQ(line.Read(9), "Open Port");
  }
  // Handles received chunks until `done` holds; false after five seconds.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      invoker.WaitAndPump(std::chrono::milliseconds(50));
    }
    return true;
  }

  PtyPair line;
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  QueuedInvoker invoker;
  FakeTickSource ticks{5000};
  std::unique_ptr<Workspace> ws;
  std::unique_ptr<RecordingView> view;
  std::unique_ptr<TSerialPort> serial;
  std::unique_ptr<PortControl> control;
  std::unique_ptr<TSlave> slave;
  std::unique_ptr<TMaster> master;
};

} // namespace

TEST_F(PortControlTest, ActivationWritesTheBannerFirstAndCloseUndoesIt) {
  NeedLine();
  // A frame sent before activation goes nowhere but is still recorded.
  control->SendCommStr(3, Bytes({0x01, 0x03}));
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[01][03]");
  EXPECT_EQ(ws->Monitor.MonitorText, "[01][03]");

  Activate();
  EXPECT_EQ(ws->PortActive, 1);
  EXPECT_EQ(serial->ConnectedPort(), spCOM3);
  EXPECT_TRUE(serial->EnableDTROnOpen());
  EXPECT_EQ(view->calls, std::vector<std::string>{"port Active"});
  EXPECT_EQ(ws->Monitor.MonitorText, "[01][03]") << "the banner is not shown by the monitors";

  // An ASCII frame longer than 300 characters leaves whole.
  const std::string ascii = ":" + std::string(400, 'A') + "\r\n";
  control->SendCommStr(3, ascii);
  EXPECT_EQ(line.Read(ascii.size()), ascii);

  control->CloseComm(3);
  EXPECT_EQ(ws->PortActive, 0);
  EXPECT_EQ(serial->ConnectedPort(), spNone);
  EXPECT_FALSE(serial->EnableDTROnOpen());
  EXPECT_FALSE(serial->EnableRTSOnOpen());
  EXPECT_EQ(view->calls.back(), "port InActive");

  // Inactive: closing again changes nothing, not even the label.
  const size_t calls = view->calls.size();
  control->CloseComm(3);
  EXPECT_EQ(view->calls.size(), calls);
  EXPECT_EQ(ws->PortActive, 0);

  // And nothing reaches the line any more.
  control->SendCommStr(3, Bytes({0x05}));
  EXPECT_EQ(line.Read(1, 100), "");
}

TEST_F(PortControlTest, SlaveAnswersARequestFromTheFarEnd) {
  NeedLine();
  ws->IsMaster = 0;
  ws->SlotTables(1).HoldingRegTable[1] = 0x1234;
  ws->SlotTables(1).HoldingRegTable[2] = 0x5678;
  Activate();

  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
  ASSERT_TRUE(line.Write(request));
  const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78}));
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    got += line.Read(reply.size() - got.size(), 0);
    return got.size() >= reply.size();
  }));
  EXPECT_EQ(got, reply);
  // Both sides recorded: the request stays on the receive side after the reply.
  EXPECT_EQ(ws->Monitor.MonitorRxText, Hex(request));
  EXPECT_EQ(ws->Monitor.MonitorTxText, Hex(reply));
  EXPECT_TRUE(view->statuses.empty()) << "the slave shows no status";
}

TEST_F(PortControlTest, MasterReplyInThreePiecesGivesThreeStatusUpdates) {
  NeedLine();
  ws->IsMaster = 1;
  ws->PollEnabled = 1;
  ws->RegType = 3;
  ws->MasterWrite = 0;
  ws->PollCounter = 1;
  ws->PollAddress = 1;
  ws->PollCount = 2;
  Activate();

  master->MasterPollPLC();
  ws->ReplyDeadline = ticks.Now() + static_cast<uint32_t>(ws->ResponseTime);
  EXPECT_EQ(line.Read(8), WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02})));

  const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x00}));
  const std::string pieces[] = {reply.substr(0, 2), reply.substr(2, 4), reply.substr(6)};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(line.Write(pieces[i]));
    ASSERT_TRUE(PumpUntil([&] { return view->statuses.size() == i + 1; })) << "piece " << i;
  }
  EXPECT_EQ(view->statuses, (std::vector<std::string>{"Poll 1", "Poll 1", "Poll 1 Data OK"}));
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 10);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[2], 256);
  EXPECT_EQ(master->AwaitingReply, 0);
  EXPECT_EQ(view->calls.back(), "redraw") << "a good poll reply redraws the grid";
  EXPECT_EQ(ws->Monitor.MonitorRxText, Hex(reply));

  // A write's reply carries the write prefix and does not redraw.
  view->calls.clear();
  view->statuses.clear();
  ws->MasterWrite = 1;
  control->Serial1PortReceive(*serial, reply.substr(0, 1));
  EXPECT_EQ(view->statuses, std::vector<std::string>{"Write - "});
  EXPECT_EQ(view->calls, std::vector<std::string>{"status"});
}

TEST_F(PortControlTest, MissingReplyIsReportedOnceAfterTheDeadline) {
  ws->IsMaster = 1;
  ws->PollCounter = 7;
  ws->ResponseTime = 400;
  // Deadlines across the wrap of the tick counter behave the same.
  for (uint32_t start : {5000u, 0xFFFFFF00u}) {
    view->statuses.clear();
    ticks.Set(start);
    master->AwaitingReply = 1;
    ws->ReplyDeadline = start + 400;
    ticks.Advance(400);
    control->Timer2Timer();
    EXPECT_TRUE(view->statuses.empty()) << "not before the deadline has passed";
    ticks.Advance(1);
    control->Timer2Timer();
    ticks.Advance(100);
    control->Timer2Timer();
    EXPECT_EQ(view->statuses, std::vector<std::string>{"Poll 7 Time Out occurred"});
    EXPECT_EQ(master->AwaitingReply, 0);
  }
}

struct OpenCommCase {
  int32_t baud, dataBits, parityCode, stopBits;
  TBaudRate wantBaud;
  TDataWidth wantWidth;
  TParityBits wantParity;
  TStopBits wantStop;
};

TEST_F(PortControlTest, OpenCommMapsTheSettingsWithoutOpening) {
  // Each row starts from 7 data bits, mark parity and two stop bits, so a
  // setting that must stay as it was can be seen.
  const OpenCommCase cases[] = {
      {9600, 8, 1, 1, br009600, dw8Bits, pbEven, sb1Bit},
      {19200, 7, 2, 2, br019200, dw7Bits, pbOdd, sb2Bits},
      {1000, 5, 0, 0, brCustom, dw7Bits, pbNone, sb2Bits},
      {115200, 9, 9, 3, br115200, dw7Bits, pbMark, sb2Bits},
      {2400, 8, 4, 1, br002400, dw8Bits, pbSpace, sb1Bit},
  };
  for (const OpenCommCase& c : cases) {
    serial->SetDataWidth(dw7Bits);
    serial->SetParity(pbMark);
    serial->SetStopBits(sb2Bits);
    control->OpenComm(4, 1024, 1024, c.baud, c.dataBits, c.parityCode, c.stopBits);
    SCOPED_TRACE(c.baud);
    EXPECT_EQ(serial->Port(), spCOM4);
    EXPECT_EQ(serial->BaudRate(), c.wantBaud);
    EXPECT_EQ(serial->DataWidth(), c.wantWidth);
    EXPECT_EQ(serial->Parity(), c.wantParity);
    EXPECT_EQ(serial->StopBits(), c.wantStop);
    EXPECT_EQ(serial->InputBuffer(), 1024u);
    EXPECT_EQ(serial->OutputBuffer(), 1024u);
    EXPECT_EQ(serial->ConnectedPort(), spNone);
    EXPECT_EQ(ws->PortActive, 0);
  }
  // A custom rate reaches the device as the component's CustomBaudRate: 0.
  EXPECT_EQ(serial->CustomBaudRate(), 0);
  EXPECT_TRUE(view->calls.empty());
}

TEST_F(PortControlTest, APortThatCannotOpenLeavesEverythingInactive) {
  // COM9 maps to nothing; 300 names no port at all and must not wrap onto COM44.
  ports.SetPortOverride(44, line.Ok() ? line.SlavePath() : "/dev/null");
  for (int32_t port : {9, 300}) {
    control->OpenComm(port, 1024, 1024, 9600, 8, 0, 1);
    try {
      control->PortActivate();
      ADD_FAILURE() << "COM" << port << " opened";
    } catch (const SerialError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot connect to COM" + std::to_string(port) + ".");
    }
    EXPECT_EQ(ws->PortActive, 0);
    EXPECT_EQ(serial->ConnectedPort(), spNone);
  }
  EXPECT_TRUE(view->calls.empty()) << "the label keeps InActive";
}

TEST_F(PortControlTest, AFailedOpenSaysWhyAndLogsIt) {
  NeedLine();
  // The diagnostic log of this test, switched on, lines without time.
  char tmpl[] = "/tmp/korvane-portlog-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string logPath = std::string(tmpl) + "/HHDebug.txt";
  std::unique_ptr<TDLogFile> saved = std::move(HelpEnv().LogFile);
  HelpEnv().LogFile = std::make_unique<TDLogFile>(logPath, true, false, false, false);

  // COM3's line is held (locked) by another program.
  const int held = ::open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  ports.SetPortOverride(8, std::string(tmpl) + "/no-such-tty");
  struct Case {
    int32_t port;
    std::string reason;
  };
  const Case cases[] = {
      {3, line.SlavePath() + ": in use by another program"},
      {8, std::string(tmpl) + "/no-such-tty: no such device"},
      {9, "COM9: no such device (the port maps to no device)"},
      {300, "COM300: no such device (the ports are COM1 to COM99)"},
  };
  std::string expectedLog;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    control->OpenComm(c.port, 1024, 1024, 9600, 8, 0, 1);
    const std::string message = "Cannot connect to COM" + std::to_string(c.port) + ".";
    try {
      control->PortActivate();
      ADD_FAILURE() << "opened";
    } catch (const SerialError& e) {
      EXPECT_EQ(std::string(e.what()), message);
      EXPECT_EQ(e.Reason(), c.reason);
    }
    EXPECT_EQ(ws->PortActive, 0);
    expectedLog += message + " " + c.reason + "\n";
  }
  ::close(held);
  HelpEnv().LogFile = std::move(saved);
  std::stringstream logged;
  logged << std::ifstream(logPath).rdbuf();
  EXPECT_EQ(logged.str(), expectedLog);
  std::system(("rm -rf '" + std::string(tmpl) + "'").c_str());
}

TEST_F(PortControlTest, ApplySettingsAndOpenUsesTheWorkspaceSettings) {
  NeedLine();
  ws->CommPort = 3;
  ws->BaudRate = 19200;
  ws->Parity = "O";
  ws->StopBits = 3; // not 1 or 2: the component keeps its stop bits
  ws->PollTime = 2;
  ws->SlotAddress[2] = 30;
  ws->ActiveSlot = 2;
  control->ApplySettingsAndOpen();
  EXPECT_EQ(line.Read(9), "Open Port");
  EXPECT_EQ(serial->BaudRate(), br019200);
  EXPECT_EQ(serial->Parity(), pbOdd);
  EXPECT_EQ(serial->StopBits(), sb1Bit);
  EXPECT_EQ(ws->DeviceAddress, 30);
  EXPECT_EQ(view->calls,
            (std::vector<std::string>{"port Active", "interval 2000", "mode", "redraw", "addresses"}));
}

TEST_F(PortControlTest, ADeviceThatVanishesShowsThePortInactive) {
  NeedLine();
  std::vector<std::string> told;
  control->OnPortGone = [&](const std::string& text) { told.push_back(text); };
  Activate();
  ASSERT_EQ(ws->PortActive, 1);
  line.CloseMaster(); // the far end goes away, as an unplugged adapter would
  ASSERT_TRUE(PumpUntil([&] { return ws->PortActive == 0; })) << "the lost device was not noticed";
  EXPECT_EQ(view->calls.back(), "port InActive");
  EXPECT_EQ(told, std::vector<std::string>{"COM3 has gone away; the port is closed."});
  // The reader resets the connected port after its OnDisconnect has run.
  EXPECT_TRUE(PumpUntil([&] { return serial->ConnectedPort() == spNone; }));
  // Closing afterwards finds nothing to do.
  const size_t calls = view->calls.size();
  control->CloseComm(3);
  EXPECT_EQ(view->calls.size(), calls);
  EXPECT_EQ(told.size(), 1u) << "a port the user closes is not gone";
}
