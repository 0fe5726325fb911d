// Port control over real pseudo-terminal pairs: the banner on activation, a
// slave answering a request from the far end, a master reply in pieces, the
// reply time-out, and how OpenComm maps the settings onto the component.
#include "pty_pair.h"
#include "serial/control/port_control.h"
#include "tcp_peer.h"

#include "app/core/master_request.h"
#include "app/core/request_builder.h"
#include "app/core/status.h"
#include "app/core/tick.h"
#include "help/core/help_hook.h"
#include "help/core/startup_probe.h"
#include "modbus/core.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/core/monitor_buffers.h"
#include "serial/platform/fake_backend.h"
#include "support/fake_sysfs.h"
#include "support/files.h"
#include "support/recording_sender.h"
#include "support/recording_view.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace korvane;
using korvane::test::PtyPair;
using korvane::test::RecordingView;
using korvane::test::TcpConnection;
using korvane::test::TcpListener;

namespace {

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
    const TickSource& clock = realTime ? SystemTicks() : static_cast<const TickSource&>(ticks);
    control = std::make_unique<PortControl>(*ws, *serial, clock, *view);
    slave = std::make_unique<TSlave>(*ws, *control, clock);
    master = std::make_unique<TMaster>(*ws, *control, clock);
    control->AttachEngines(slave.get(), master.get());
    if (line.Ok()) ports.SetPortOverride(3, line.SlavePath());
  }
  void TearDown() override {
    control->CloseComm(ws->Settings.CommPort);
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

  // The steady clock in place of the fake one, for exchanges timed by a peer.
  bool realTime = false;
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
  EXPECT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(serial->ConnectedPort(), spCOM3);
  EXPECT_TRUE(serial->EnableDTROnOpen());
  EXPECT_EQ(view->calls, std::vector<std::string>{"port Active"});
  EXPECT_EQ(ws->Monitor.MonitorText, "[01][03]") << "the banner is not shown by the monitors";

  // An ASCII frame longer than 300 characters leaves whole.
  const std::string ascii = ":" + std::string(400, 'A') + "\r\n";
  control->SendCommStr(3, ascii);
  EXPECT_EQ(line.Read(ascii.size()), ascii);

  control->CloseComm(3);
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(serial->ConnectedPort(), spNone);
  EXPECT_FALSE(serial->EnableDTROnOpen());
  EXPECT_FALSE(serial->EnableRTSOnOpen());
  EXPECT_EQ(view->calls.back(), "port InActive");

  // Inactive: closing again changes nothing, not even the label.
  const size_t calls = view->calls.size();
  control->CloseComm(3);
  EXPECT_EQ(view->calls.size(), calls);
  EXPECT_EQ(ws->Settings.PortActive, 0);

  // And nothing reaches the line any more.
  control->SendCommStr(3, Bytes({0x05}));
  EXPECT_EQ(line.Read(1, 100), "");
}

TEST_F(PortControlTest, SlaveAnswersARequestFromTheFarEnd) {
  NeedLine();
  ws->Settings.IsMaster = roSlave;
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
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollEnabled = 1;
  ws->View.RegType = rtHoldingRegs;
  ws->Cycle.MasterWrite = 0;
  ws->Cycle.PollCounter = 1;
  ws->Cycle.PollAddress = 1;
  ws->Cycle.PollCount = 2;
  Activate();

  master->MasterPollPLC();
  ws->Cycle.ReplyDeadline = ticks.Now() + static_cast<uint32_t>(ws->Settings.ResponseTime);
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
  ws->Cycle.MasterWrite = 1;
  control->Serial1PortReceive(*serial, reply.substr(0, 1));
  EXPECT_EQ(view->statuses, std::vector<std::string>{"Write - "});
  EXPECT_EQ(view->calls, std::vector<std::string>{"status"});
}

TEST_F(PortControlTest, MissingReplyIsReportedOnceAfterTheDeadline) {
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollCounter = 7;
  ws->Settings.ResponseTime = 400;
  // Deadlines across the wrap of the tick counter behave the same.
  for (uint32_t start : {5000u, 0xFFFFFF00u}) {
    view->statuses.clear();
    ticks.Set(start);
    master->AwaitingReply = 1;
    ws->Cycle.ReplyDeadline = start + 400;
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

TEST_F(PortControlTest, AFailedSendIsNotAlsoATimeOut) {
  NeedLine();
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollCounter = 3;
  ws->View.RegType = rtHoldingRegs;
  ws->Cycle.PollAddress = 1;
  ws->Cycle.PollCount = 2;
  Activate();
  RequestBuilderFor<TMaster> requests{*master};
  // The device goes away; the reader has not reported it yet, so the port
  // still counts as active and the write itself fails.
  line.CloseMaster();
  EXPECT_THROW(SendMasterRequest(*ws, requests, ticks), SerialError);
  EXPECT_EQ(master->AwaitingReply, 0);
  for (int i = 0; i < 10; ++i) {
    ticks.Advance(100);
    control->Timer2Timer();
  }
  EXPECT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 0; })) << "the lost device was not noticed";
  ticks.Advance(1000);
  control->Timer2Timer();
  EXPECT_TRUE(view->statuses.empty()) << "a time-out was reported for a request that never left";
}

// On a real line a write returns once the kernel holds the bytes, and the last
// of them reaches the device only after they have all left at the line's rate.
// A pseudo-terminal moves them at once, so the peer waits that long, as the
// line would make it, and then answers at once.
class PortControlRealTimeTest : public PortControlTest {
protected:
  PortControlRealTimeTest() { realTime = true; }
};

TEST_F(PortControlRealTimeTest, ADeviceAnsweringAtOnceAtALowRateIsNotTimedOut) {
  NeedLine();
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollEnabled = 0;
  ws->Settings.BaudRate = 4800;
  ws->Settings.ResponseTime = 400;
  control->OpenComm(3, 1024, 1024, 4800, 8, 0, 1);
  control->PortActivate();
  ASSERT_EQ(line.Read(9), "Open Port");

  // Function 16 for 100 registers: 209 bytes, 435.4 ms at 4800 8N1.
  ws->View.RegType = rtHoldingRegs;
  ws->Cycle.WriteAddress = 1;
  ws->Cycle.WriteCount = 100;
  for (int i = 1; i <= 100; ++i) ws->Cycle.WriteValues[static_cast<size_t>(i)] = i;
  constexpr size_t kRequestBytes = 209;
  constexpr auto kOnTheWire = std::chrono::microseconds(kRequestBytes * 10 * 1000000 / 4800);
  const std::string reply = WithCrc(Bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x64}));
  std::string request;
  std::thread device([&] {
    request = line.Read(kRequestBytes, 3000);
    if (request.size() != kRequestBytes) return;
    std::this_thread::sleep_for(kOnTheWire);
    line.Write(reply);
  });
  RequestBuilderFor<TMaster> requests{*master};
  SendWriteRequest(*ws, requests, SystemTicks());
  // The reply timer runs as often as the window's 100 ms timer, or more.
  const bool ended = PumpUntil([&] {
    control->Timer2Timer();
    return master->AwaitingReply == 0;
  });
  device.join();
  EXPECT_TRUE(ended) << "neither reply nor time-out";
  EXPECT_EQ(request.size(), kRequestBytes);
  ASSERT_FALSE(view->statuses.empty());
  for (const std::string& status : view->statuses)
    EXPECT_EQ(status.find("Time Out"), std::string::npos) << status;
  EXPECT_EQ(view->statuses.back().rfind("Write -", 0), 0u) << view->statuses.back();
  EXPECT_NE(view->statuses.back().find("Data OK"), std::string::npos) << view->statuses.back();
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
    EXPECT_EQ(ws->Settings.PortActive, 0);
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
    EXPECT_EQ(ws->Settings.PortActive, 0);
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
    EXPECT_EQ(ws->Settings.PortActive, 0);
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
  ws->Settings.CommPort = 3;
  ws->Settings.BaudRate = 19200;
  ws->Settings.Parity = "O";
  ws->Settings.StopBits = static_cast<TStopBitsCode>(3); // not 1 or 2: the component keeps its stop bits
  ws->Settings.PollTime = 2;
  ws->Devices.SlotAddress[2] = 30;
  ws->Devices.ActiveSlot = 2;
  control->ApplySettingsAndOpen();
  EXPECT_EQ(line.Read(9), "Open Port");
  EXPECT_EQ(serial->BaudRate(), br019200);
  EXPECT_EQ(serial->Parity(), pbOdd);
  EXPECT_EQ(serial->StopBits(), sb1Bit);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);
  EXPECT_EQ(view->calls,
            (std::vector<std::string>{"port Active", "interval 2000", "mode", "redraw", "addresses"}));
}

TEST_F(PortControlTest, ADeviceThatVanishesShowsThePortInactive) {
  NeedLine();
  std::vector<std::string> told;
  control->OnPortGone = [&](const std::string& text) { told.push_back(text); };
  Activate();
  ASSERT_EQ(ws->Settings.PortActive, 1);
  line.CloseMaster(); // the far end goes away, as an unplugged adapter would
  ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 0; })) << "the lost device was not noticed";
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

namespace {

// Port control over the fake backend, with COM33 the USB adapter of a fake
// sysfs tree and the diagnostic log written to a file of the test's own.
class PortDetailTest : public ::testing::Test {
protected:
  void SetUp() override {
    log = (tree.Sys().parent_path() / "HHDebug.txt").string();
    HelpEnv().LogFile = std::make_unique<TDLogFile>(log, true, false, false, false);
    control.SetPortInfoRoots({tree.Sys().string(), tree.Dev().string()});
  }
  void TearDown() override {
    control.CloseComm(33);
    HelpEnv().LogFile.reset();
  }
  void Activate(int32_t baud) {
    control.OpenComm(33, 1024, 1024, baud, 8, 0, 1);
    control.PortActivate();
  }

  korvane::test::FakeSysfs tree{"detail"};
  std::string log;
  FakeBackend backend;
  PortMap ports{tree.ClassTtyDir(), tree.Dev().string()};
  DirectInvoker invoker;
  FakeTickSource ticks{5000};
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RecordingView view{*ws};
  TSerialPort serial{invoker, backend, ports};
  PortControl control{*ws, serial, ticks, view};
};

} // namespace

TEST_F(PortDetailTest, WhatTheDriverChangedAndTheLatencyTimerAreLoggedAndShown) {
  backend.SetReadBack(true, 115200);
  Activate(256000);
  ASSERT_EQ(ws->Settings.PortActive, 1);
  const std::string changed = "COM33: the driver took 115200 baud instead of 256000";
  const std::string advice =
      LatencyAdvice(DescribePort(ports, 33, {tree.Sys().string(), tree.Dev().string()}));
  ASSERT_FALSE(advice.empty());
  EXPECT_EQ(view.details, std::vector<std::string>{changed + "; " + advice});
  const std::string text = korvane::test::ReadFile(log);
  EXPECT_NE(text.find(changed + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("COM33 (" + (tree.Dev() / "ttyUSB0").string() + "): " + advice), std::string::npos)
      << text;

  // A clean open with a fast adapter clears the detail and logs nothing more.
  control.CloseComm(33);
  tree.SetLatency("1\n");
  Activate(115200);
  EXPECT_EQ(view.details.back(), "");
  EXPECT_EQ(korvane::test::ReadFile(log), text);
}

TEST_F(PortDetailTest, TheRs485OptionReachesTheDriverAndARefusalIsExplained) {
  ws->Run.Rs485 = true;
  ws->Run.Rs485DelayBeforeMs = 3;
  ws->Run.Rs485DelayAfterMs = 4;
  tree.SetLatency("1\n");
  Activate(9600);
  ASSERT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(backend.Rs485States().back(), (Rs485Settings{true, 3, 4}));
  EXPECT_EQ(RtsControl(backend.States().back().Flags), 3u);
  control.CloseComm(33);

  backend.SetRs485Error(ENOTTY);
  std::string reason;
  try {
    Activate(9600);
    ADD_FAILURE() << "opened without RS-485 mode";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot connect to COM33.");
    reason = e.Reason();
  }
  EXPECT_EQ(ws->Settings.PortActive, 0);
  // The reason travels with the error (the message box's detail, the second
  // line when headless) and is logged after it.
  EXPECT_EQ(reason.rfind((tree.Dev() / "ttyUSB0").string() + ": this device has no RS-485 mode", 0), 0u)
      << reason;
  EXPECT_NE(korvane::test::ReadFile(log).find("Cannot connect to COM33. " + reason + "\n"),
            std::string::npos);

  // Without the option the same adapter opens.
  ws->Run.Rs485 = false;
  Activate(9600);
  EXPECT_EQ(ws->Settings.PortActive, 1);
}

// Listening, the port opens with DTR and RTS low and without the banner, and
// a frame handed to port control goes nowhere: not to the line, not to the
// monitors. Not listening, the same open raises both and writes the banner.
TEST_F(PortDetailTest, ListeningOpensWithTheLinesLowAndWritesNothing) {
  tree.SetLatency("1\n");
  for (const bool listen : {false, true}) {
    SCOPED_TRACE(listen ? "listening" : "not listening");
    ws->Run.ListenOnly = listen;
    const size_t states = backend.States().size();
    const std::string written = backend.Written();
    Activate(9600);
    ASSERT_EQ(ws->Settings.PortActive, 1);
    const std::vector<DCB> all = backend.States();
    ASSERT_GT(all.size(), states);
    for (size_t i = states; i < all.size(); ++i) {
      EXPECT_EQ(DtrControl(all[i].Flags), listen ? 0u : 1u) << "state " << i;
      EXPECT_EQ(RtsControl(all[i].Flags), listen ? 0u : 1u) << "state " << i;
    }
    EXPECT_EQ(backend.Written(), written + (listen ? "" : PortControl::kOpenBanner));

    const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
    const std::string before = backend.Written();
    ws->Monitor.MonitorTxText.clear();
    if (listen) {
      try {
        control.SendCommStr(1, request);
        ADD_FAILURE() << "a frame was taken while listening";
      } catch (const SerialError& e) {
        EXPECT_EQ(std::string(e.what()), kListenOnlyText);
      }
      EXPECT_EQ(backend.Written(), before);
      EXPECT_EQ(ws->Monitor.MonitorTxText, "");
    } else {
      control.SendCommStr(1, request);
      EXPECT_EQ(backend.Written(), before + request);
      EXPECT_EQ(ws->Monitor.MonitorTxText, Hex(request));
    }
    control.CloseComm(33);
  }
}

// Listening, a request for one of Korvane's slots gets no answer and a reply
// to the master's last request gives it no status and stores nothing; both
// are still recorded for the monitors.
TEST_F(PortControlTest, ListeningNeitherEngineSeesTheBytes) {
  NeedLine();
  ws->Settings.IsMaster = roMaster;
  ws->Cycle.PollAddress = 1;
  ws->Cycle.PollCount = 2;
  Activate();
  // The request goes out before listening begins; its reply comes after.
  master->MasterPollPLC();
  ws->Cycle.ReplyDeadline = ticks.Now() + 1000;
  ASSERT_EQ(line.Read(8), WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02})));
  ws->Run.ListenOnly = true;

  const std::string cases[] = {
      WithCrc(Bytes({0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x00})), // the master's reply
      WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02})),       // a request for slot 1
  };
  for (const std::string& bytes : cases) {
    ws->Monitor.MonitorRxText.clear();
    ASSERT_TRUE(line.Write(bytes));
    ASSERT_TRUE(PumpUntil([&] { return ws->Monitor.MonitorRxText.size() >= Hex(bytes).size(); }));
    EXPECT_EQ(ws->Monitor.MonitorRxText, Hex(bytes));
    ws->Settings.IsMaster = roSlave; // the request is for a slave
  }
  // The far end has everything Korvane would have written by now: nothing.
  EXPECT_EQ(line.Read(1, 100), "");
  EXPECT_TRUE(view->statuses.empty());
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 0) << "the master's checker stored the reply";
}

// Listening, the exchanges of other devices that the analyzer frames fill the
// tables of the slots at the replying device's address and are said on the
// status line; the shown table is redrawn. Not listening, the same traffic
// changes nothing.
TEST_F(PortControlTest, ListeningTheRepliesSeenFillTheTables) {
  NeedLine();
  LineAnalyzer analyzer;
  control->AttachAnalyzer(&analyzer);
  ws->Devices.SlotAddress = {0, 1, 7, 3, 7, 5};
  ws->SelectSlot(4);
  const std::string exchange = WithCrc(Bytes({0x07, 0x03, 0x00, 0x09, 0x00, 0x02})) +
                               WithCrc(Bytes({0x07, 0x03, 0x04, 0x00, 0x2A, 0xBE, 0xEF}));
  for (const bool listen : {false, true}) {
    SCOPED_TRACE(listen ? "listening" : "not listening");
    ws->Run.ListenOnly = listen;
    control->OpenComm(3, 1024, 1024, 9600, 8, 0, 1);
    control->PortActivate();
    if (!listen) {
      ASSERT_EQ(line.Read(9), "Open Port");
    }
    const uint64_t framed = analyzer.Total();
    ASSERT_TRUE(line.Write(exchange));
    ASSERT_TRUE(PumpUntil([&] { return analyzer.Total() >= framed + 2; }));
    for (const int slot : {2, 4}) {
      EXPECT_EQ(ws->SlotTables(slot).HoldingRegTable[10], listen ? 42 : 0) << slot;
      EXPECT_EQ(ws->SlotTables(slot).HoldingRegTable[11], listen ? 0xBEEF : 0) << slot;
    }
    EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[10], 0);
    if (listen) {
      ASSERT_EQ(view->seen.size(), 1u);
      EXPECT_EQ(view->seen[0].rfind("Seen: device 7 Read Holding Registers 10-11", 0), 0u) << view->seen[0];
      EXPECT_EQ(view->calls.back(), "redraw") << "the shown table took the values";
    } else {
      EXPECT_TRUE(view->seen.empty());
    }
    control->CloseComm(3);
  }
}

TEST_F(PortControlTest, ListenerPortIsActiveOnlyWhileAClientIsThere) {
  ports.SetPortOverride(3, "tcp-listen:127.0.0.1:0");
  ws->Settings.IsMaster = roSlave;
  ws->SlotTables(1).HoldingRegTable[1] = 0x1234;
  control->OpenComm(3, 1024, 1024, 9600, 8, 0, 1);
  control->PortActivate();
  EXPECT_EQ(ws->Settings.PortActive, 0) << "open, but nobody to answer yet";
  EXPECT_EQ(serial->ConnectedPort(), spCOM3);
  EXPECT_EQ(view->calls, std::vector<std::string>{"link"});
  std::smatch m;
  ASSERT_EQ(view->links.size(), 1u);
  ASSERT_TRUE(std::regex_match(view->links[0], m,
                               std::regex(R"(COM3: listening on 127\.0\.0\.1:(\d+), waiting for a client)")))
      << view->links[0];
  const auto listenPort = static_cast<uint16_t>(std::stoi(m[1]));

  for (int client = 1; client <= 2; ++client) {
    SCOPED_TRACE(client);
    TcpConnection peer = TcpConnection::To(listenPort);
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 1; }));
    EXPECT_EQ(view->calls.back(), "port Active");
    EXPECT_TRUE(
        std::regex_match(view->links.back(), std::regex(R"(COM3: client 127\.0\.0\.1:\d+ connected)")))
        << view->links.back();
    // The first bytes the client gets are the reply: no banner goes to a master.
    ASSERT_TRUE(peer.Write(WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}))));
    const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x02, 0x12, 0x34}));
    std::string got;
    ASSERT_TRUE(PumpUntil([&] {
      got += peer.Read(reply.size() - got.size(), std::chrono::milliseconds(0));
      return got.size() >= reply.size();
    }));
    EXPECT_EQ(got, reply);

    // The first client leaves in the middle of its next request; the second
    // one's request must not be read as the rest of it.
    if (client == 1) {
      ASSERT_TRUE(peer.Write(Bytes({0x01, 0x03, 0x00})));
    }
    peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 0; }));
    EXPECT_EQ(view->calls.back(), "port InActive");
    EXPECT_NE(view->links.back().find("waiting for the next client"), std::string::npos)
        << view->links.back();
    EXPECT_EQ(serial->ConnectedPort(), spCOM3) << "still listening";
  }

  // Closing a port that waits for a client closes it all the same.
  control->CloseComm(3);
  EXPECT_EQ(serial->ConnectedPort(), spNone);
  EXPECT_FALSE(TcpConnection::To(listenPort).Ok());
}

TEST_F(PortControlTest, ClientPortGoesInactiveWhileItsLinkIsDown) {
  TcpListener server;
  ASSERT_TRUE(server.Ok());
  const std::string where = "127.0.0.1:" + std::to_string(server.Port());
  ports.SetPortOverride(3, "tcp:" + where);
  ws->Settings.IsMaster = roMaster;
  ws->View.RegType = rtHoldingRegs;
  ws->Cycle.MasterWrite = 0;
  ws->Cycle.PollAddress = 1;
  ws->Cycle.PollCount = 2;
  control->OpenComm(3, 1024, 1024, 9600, 8, 0, 1);
  control->PortActivate();
  TcpConnection gateway = server.Accept();
  ASSERT_TRUE(gateway.Ok());
  EXPECT_EQ(gateway.Read(9), "Open Port") << "the banner goes down the line, as on a serial port";
  EXPECT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(view->calls, (std::vector<std::string>{"link", "port Active"}));
  EXPECT_EQ(view->links, std::vector<std::string>{"COM3: connected to " + where});

  gateway.Close();
  ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 0; }));
  EXPECT_EQ(view->calls.back(), "port InActive");
  EXPECT_EQ(view->links.back(), "COM3: connection to " + where + " lost; retrying in 1 s");
  // A poll while the link is down is recorded and goes nowhere; nothing throws.
  master->MasterPollPLC();
  EXPECT_EQ(ws->Monitor.MonitorTxText, Hex(WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}))));

  // The reader waits for this thread on each event: keep pumping meanwhile.
  TcpConnection again;
  ASSERT_TRUE(PumpUntil([&] {
    again = server.Accept(std::chrono::milliseconds(0));
    return again.Ok();
  }));
  ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 1; }));
  EXPECT_EQ(view->calls.back(), "port Active");
  EXPECT_EQ(view->links.back(), "COM3: connected to " + where);
  // The next request is the first thing the gateway gets.
  master->MasterPollPLC();
  EXPECT_EQ(again.Read(8), WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02})));

  control->CloseComm(3);
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(serial->ConnectedPort(), spNone);
  EXPECT_TRUE(again.ClosedByPeer());
}
