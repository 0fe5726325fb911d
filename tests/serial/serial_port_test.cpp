// The serial component over the recording fake backend: properties and their
// rules, the device-control record, the order of device calls, events; and
// the reader thread alone over an owner of its own.
#include "event_log.h"
#include "serial/com_thread.h"
#include "serial/line_check.h"
#include "serial/platform/fake_backend.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace korvane;
using korvane::test::EventLog;
using korvane::test::MessageOf;

namespace {

class FakePortTest : public ::testing::Test {
protected:
  FakePortTest() {
    ports.SetPortOverride(1, "fake/line1");
    ports.SetPortOverride(2, "fake/line2");
    port.SetPort(spCOM1);
    log.Attach(port);
  }

  DCB LastState() const {
    auto states = backend.States();
    return states.empty() ? DCB{} : states.back();
  }

  FakeBackend backend;
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  DirectInvoker invoker;
  EventLog log; // before the port: its reader may raise events until the port is gone
  TSerialPort port{invoker, backend, ports};
};

} // namespace

TEST(SerialNames, PortNamesAreExactAndCaseSensitive) {
  const std::pair<const char*, int> cases[] = {
      {"COM1", 1},  {"COM9", 9},   {"COM10", 10}, {"COM99", 99}, {"com1", 0},  {"Com1", 0}, {"COM01", 0},
      {"COM0", 0},  {"COM100", 0}, {"COM1 ", 0},  {" COM1", 0},  {"COM", 0},   {"", 0},     {"COMA", 0},
      {"COM-1", 0}, {"COM+1", 0},  {"COM5x", 0},  {"LPT1", 0},   {"COM999", 0}};
  for (const auto& [name, number] : cases) EXPECT_EQ(PortFromName(name), number) << '"' << name << '"';
  EXPECT_EQ(PortName(spNone), "");
  EXPECT_EQ(PortName(spCOM7), "COM7");
  EXPECT_EQ(PortName(spCOM99), "COM99");
  EXPECT_EQ(PortName(static_cast<TCommPort>(100)), "");
  for (int n = 1; n <= 99; ++n) EXPECT_EQ(PortFromName(PortName(static_cast<TCommPort>(n))), n);
}

TEST(SerialNames, BaudTableRoundTripsAndAnythingElseIsCustom) {
  const int32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,
                           14400, 19200, 38400, 57600, 115200, 128000, 256000};
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(BaudRateFromValue(rates[i]), i);
    EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(i), 777), rates[i]);
  }
  for (int32_t other : {0, -9600, 1000, 12345, 230400, 9601}) EXPECT_EQ(BaudRateFromValue(other), brCustom);
  EXPECT_EQ(BaudRateValue(brCustom, 777), 777);
}

TEST_F(FakePortTest, DefaultsAndTimerResolution) {
  DirectInvoker inv;
  FakeBackend b;
  {
    TSerialPort p(inv, b, ports);
    EXPECT_EQ(b.TimePeriodDepth(), 1);
    EXPECT_EQ(p.Port(), spCOM2);
    EXPECT_EQ(p.BaudRate(), br004800);
    EXPECT_EQ(p.DataWidth(), dw8Bits);
    EXPECT_EQ(p.StopBits(), sb1Bit);
    EXPECT_EQ(p.Parity(), pbNone);
    EXPECT_TRUE(p.EnableDTROnOpen());
    EXPECT_TRUE(p.EnableRTSOnOpen());
    EXPECT_EQ(p.HwFlowControl(), hfNONE);
    EXPECT_EQ(p.SwFlowControl(), sfNONE);
    EXPECT_EQ(p.ReadIntervalTimeout(), -1);
    EXPECT_EQ(p.WriteTotalTimeoutMultiplier(), 100);
    EXPECT_EQ(p.WriteTotalTimeoutConstant(), 1000);
    EXPECT_EQ(p.InputBuffer(), 4096u);
    EXPECT_EQ(p.OutputBuffer(), 4096u);
    EXPECT_EQ(p.Priority(), tpNormal);
    EXPECT_EQ(p.Delay(), 50u);
    EXPECT_EQ(p.CustomBaudRate(), 0);
    EXPECT_EQ(p.ConnectedPort(), spNone);
    EXPECT_TRUE(p.LineStatus().Empty());
  }
  EXPECT_EQ(b.TimePeriodDepth(), 0);
}

TEST(DeviceControl, FlagWords) {
  struct Case {
    bool dtr, rts;
    THwFlowControl hw;
    TSwFlowControl sw;
    uint32_t flags;
  };
  const Case cases[] = {
      {true, true, hfNONE, sfNONE, 0x1011},      {false, false, hfNONE, sfNONE, 0x0001},
      {true, false, hfNONE, sfNONE, 0x0011},     {false, true, hfNONE, sfNONE, 0x1001},
      {false, false, hfRTS, sfNONE, 0x1001},     {true, true, hfRTS, sfNONE, 0x1011},
      {false, false, hfRTSCTS, sfNONE, 0x2005},  {true, true, hfRTSCTS, sfNONE, 0x3015},
      {false, false, hfNONE, sfXONXOFF, 0x0301}, {true, true, hfRTSCTS, sfXONXOFF, 0x3315},
  };
  for (const Case& c : cases) {
    LineSettings s;
    s.EnableDTROnOpen = c.dtr;
    s.EnableRTSOnOpen = c.rts;
    s.HwFlowControl = c.hw;
    s.SwFlowControl = c.sw;
    EXPECT_EQ(BuildDeviceControl(s).Flags, c.flags) << c.dtr << c.rts << int(c.hw) << int(c.sw);
  }
  LineSettings s;
  s.EnableRTSOnOpen = true;
  s.HwFlowControl = hfRTSCTS;
  EXPECT_EQ(RtsControl(BuildDeviceControl(s).Flags), 3u); // toggle
}

TEST_F(FakePortTest, OpenProgramsTheDeviceAndDropsLinesOnRequest) {
  port.SetBaudRate(br009600);
  port.Open();
  EXPECT_EQ(backend.Opened(), std::vector<std::string>{"fake/line1"});
  const DCB d = LastState();
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.Flags, 0x0001u | 0x0010u | 0x1000u);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.XonLim + d.XoffLim + d.ErrorChar + d.EofChar + d.EvtChar, 0);
  const COMMTIMEOUTS t = backend.Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(backend.BufferSizes().size(), 1u);

  // Changing each line while open reprograms the device at once; equal values do not.
  const size_t before = backend.States().size();
  port.SetEnableDTROnOpen(true);
  EXPECT_EQ(backend.States().size(), before);
  port.SetEnableDTROnOpen(false);
  port.SetEnableRTSOnOpen(false);
  EXPECT_EQ(backend.States().size(), before + 2);
  EXPECT_EQ(LastState().Flags, 0x0001u);

  port.SetInputBuffer(1024);
  EXPECT_EQ(backend.BufferSizes().back(), std::make_pair(1024u, 4096u));
  port.SetReadIntervalTimeout(5); // stored only
  EXPECT_EQ(backend.Timeouts().ReadIntervalTimeout, 0xFFFFFFFFu);

  port.Close();
  EXPECT_EQ(backend.Purges(), 1);
  EXPECT_EQ(backend.Closes(), 1);
  EXPECT_EQ(port.ConnectedPort(), spNone);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM1", "disconnect COM1"}));
}

TEST_F(FakePortTest, DataWidthAndStopBitsCombination) {
  struct Case {
    TDataWidth start_width;
    TStopBits start_stop;
    bool set_width; // else set stop bits
    int value;
    bool refused;
  };
  const Case cases[] = {
      {dw8Bits, sb2Bits, true, dw5Bits, true},    {dw8Bits, sb1Bit, false, sb1_5Bits, true},
      {dw5Bits, sb1_5Bits, true, dw6Bits, true},  {dw5Bits, sb1_5Bits, true, dw8Bits, true},
      {dw5Bits, sb1Bit, false, sb2Bits, true},    {dw7Bits, sb1Bit, false, sb1_5Bits, true},
      {dw5Bits, sb1Bit, false, sb1_5Bits, false}, {dw8Bits, sb1Bit, false, sb2Bits, false},
      {dw8Bits, sb1Bit, true, dw5Bits, false},    {dw5Bits, sb1_5Bits, true, dw5Bits, false},
      {dw6Bits, sb2Bits, true, dw7Bits, false},
  };
  for (const Case& c : cases) {
    TSerialPort p(invoker, backend, ports);
    p.SetStopBits(sb1Bit);
    p.SetDataWidth(c.start_width);
    p.SetStopBits(c.start_stop);
    ASSERT_EQ(p.DataWidth(), c.start_width);
    ASSERT_EQ(p.StopBits(), c.start_stop);
    const std::string msg = MessageOf([&] {
      if (c.set_width)
        p.SetDataWidth(static_cast<TDataWidth>(c.value));
      else
        p.SetStopBits(static_cast<TStopBits>(c.value));
    });
    EXPECT_EQ(msg, c.refused ? "Invalid data-width and stop-bits combination." : "(no error)")
        << c.start_width << "/" << c.start_stop << " set " << (c.set_width ? "width " : "stop ") << c.value;
    const int now = c.set_width ? int(p.DataWidth()) : int(p.StopBits());
    const int before = c.set_width ? int(c.start_width) : int(c.start_stop);
    EXPECT_EQ(now, c.refused ? before : c.value);
  }
}

TEST_F(FakePortTest, CustomRate) {
  port.SetCustomBaudRate(9600);
  port.SetBaudRate(brCustom);
  EXPECT_EQ(port.BaudRate(), br009600);

  port.SetCustomBaudRate(0);
  port.SetBaudRate(brCustom);
  EXPECT_EQ(port.BaudRate(), brCustom);
  port.Open();
  EXPECT_EQ(LastState().BaudRate, 0u); // the device is given what the settings say

  // While the rate reads brCustom a new custom rate is taken over and applied.
  port.SetCustomBaudRate(12345);
  EXPECT_EQ(port.BaudRate(), brCustom);
  EXPECT_EQ(LastState().BaudRate, 12345u);
  port.SetCustomBaudRate(19200);
  EXPECT_EQ(port.BaudRate(), br019200);
  // Now the rate reads a table entry: a new custom rate is only stored.
  port.SetCustomBaudRate(777);
  EXPECT_EQ(LastState().BaudRate, 19200u);
  EXPECT_EQ(port.BaudRateValue(brCustom), 777);
}

TEST_F(FakePortTest, ParityOutsideTheTableKeepsTheCode) {
  port.SetParity(pbMark);
  port.SetParity(static_cast<TParityBits>(9));
  EXPECT_EQ(port.Parity(), pbMark);
  EXPECT_EQ(port.DeviceControl().Parity, 3);
}

TEST_F(FakePortTest, RefusedSettings) {
  backend.SetRefuseState(true);
  EXPECT_EQ(MessageOf([&] { port.Open(); }), "Cannot connect to COM1.");
  EXPECT_EQ(port.ConnectedPort(), spNone);
  EXPECT_EQ(backend.OpenHandles(), 0); // the device was released
  EXPECT_TRUE(log.Entries().empty());

  backend.SetRefuseState(false);
  port.Open();
  backend.SetRefuseState(true);
  EXPECT_EQ(MessageOf([&] { port.SetParity(pbEven); }), "Cannot connect to COM1.");
  EXPECT_EQ(port.Parity(), pbEven); // the property keeps the new value
  EXPECT_EQ(port.ConnectedPort(), spCOM1);
  EXPECT_EQ(LastState().Parity, 0); // the device its former settings
}

TEST_F(FakePortTest, OpenFailureKeepsTheReason) {
  backend.SetOpenError(EACCES);
  EXPECT_EQ(MessageOf([&] { port.Open(); }), "Cannot connect to COM1.");
  EXPECT_NE(port.LastOpenError().find("fake/line1"), std::string::npos);
  EXPECT_NE(port.LastOpenError().find("ermission"), std::string::npos) << port.LastOpenError();
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(FakePortTest, TheConnectErrorSaysWhyTheOpenFailed) {
  struct Case {
    int error;     // errno of the open; 0: it opens, the settings are refused
    const char* a; // the reason holds both texts
    const char* b;
  };
  const Case cases[] = {
      {EACCES, "permission denied", "add your user to the dialout group"},
      {EPERM, "permission denied", "add your user to the dialout group"},
      {EBUSY, "in use by another program", "in use"},
      {ENOENT, "no such device", "no such"},
      {ENODEV, "no such device", "no such"},
      {ENXIO, "no such device", "no such"},
      {0, "the driver refused the line settings", "driver"},
      {EIO, std::strerror(EIO), "fake/line1: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a);
    backend.SetOpenError(c.error);
    backend.SetRefuseState(c.error == 0);
    std::string message, reason = "(no error)";
    try {
      port.Open();
    } catch (const SerialError& e) {
      message = e.what();
      reason = e.Reason();
    }
    EXPECT_EQ(message, "Cannot connect to COM1.") << "the message stays as it is";
    EXPECT_EQ(reason, port.LastOpenError());
    EXPECT_EQ(reason.rfind("fake/line1: ", 0), 0u) << reason;
    EXPECT_NE(reason.find(c.a), std::string::npos) << reason;
    EXPECT_NE(reason.find(c.b), std::string::npos) << reason;
  }
  // A port that maps to no device says so too.
  port.SetPort(spCOM3);
  try {
    port.Open();
    ADD_FAILURE() << "COM3 maps to nothing and must not open";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.Reason()), "COM3: no such device (the port maps to no device)");
  }
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(FakePortTest, TheLastBytesBeforeAHangUpAreDelivered) {
  // The far end writes, then goes: the wait and the count report the loss
  // while the bytes still wait. A rest longer than one read comes whole.
  std::string longRest;
  for (int i = 0; i < 10000; ++i) longRest.push_back(static_cast<char>(i % 251));
  const std::string cases[] = {std::string("last\0words", 10), longRest};
  for (const std::string& rest : cases) {
    SCOPED_TRACE(rest.size());
    EventLog events;
    events.Attach(port);
    port.Open();
    backend.VanishAfter(rest);
    ASSERT_TRUE(events.WaitForEntry("disconnect COM1"));
    EXPECT_EQ(events.Entries(), (std::vector<std::string>{"connect COM1", "receive", "disconnect COM1"}));
    EXPECT_EQ(events.Received(), rest);
    ASSERT_TRUE(events.WaitUntil([&] { return port.ConnectedPort() == spNone; }));
    port.Close();
    log.Attach(port);
  }
}

TEST_F(FakePortTest, WriteErrors) {
  const char bytes[] = {1, 2};
  EXPECT_EQ(MessageOf([&] { port.SendString("x"); }), "COM1 is not open.");
  EXPECT_EQ(MessageOf([&] { port.SendBuffer(bytes, 2); }), "COM1 is not open.");
  port.Open();
  EXPECT_EQ(MessageOf([&] { port.SendBuffer(bytes, 0); }), "COM1 is not open.");

  std::vector<std::string> sent;
  port.OnSend = [&](TSerialPort&, const std::string& b) { sent.push_back(b); };
  EXPECT_EQ(port.SendString(std::string("AB\0CD", 5)), 2u);
  EXPECT_EQ(port.SendString(""), 0u);
  EXPECT_EQ(port.SendBuffer(bytes, 2), 2u);
  EXPECT_EQ(sent, (std::vector<std::string>{"AB", "", ""}));
  EXPECT_EQ(backend.Written(), std::string("AB\x01\x02", 4));

  port.OnSend = [](TSerialPort&, const std::string&) { throw std::runtime_error("handler"); };
  EXPECT_EQ(MessageOf([&] { port.SendString("Z"); }), "COM1 is not open.");
  port.OnSend = nullptr;
  backend.SetFailWrites(true);
  EXPECT_EQ(MessageOf([&] { port.SendString("Z"); }), "COM1 is not open.");
  // The port name in the message is the chosen port.
  port.SetPort(spCOM2);
  EXPECT_EQ(MessageOf([&] { port.SendString("Z"); }), "COM2 is not open.");
}

TEST_F(FakePortTest, LineStatusChangesAreReported) {
  backend.SetModemStatus(kMsCtsOn);
  port.Open();
  ASSERT_TRUE(log.WaitForEntry("lines 1"));
  EXPECT_EQ(port.LineStatus().Bits, 1u);
  backend.SetModemStatus(kMsDsrOn | kMsRingOn | kMsRlsdOn);
  ASSERT_TRUE(log.WaitForEntry("lines 14"));
  port.Close();
  EXPECT_EQ(log.Entries(),
            (std::vector<std::string>{"connect COM1", "lines 1", "lines 14", "disconnect COM1"}));
}

TEST_F(FakePortTest, HandlerErrorsAreDroppedAndTheLoopGoesOn) {
  int calls = 0;
  port.OnReceive = [&](TSerialPort&, const std::string& chunk) {
    // `calls` dies with this test body: touch it before the log lets the body end.
    const bool first = ++calls == 1;
    log.Add("receive " + chunk);
    if (first) throw std::runtime_error("first chunk refused");
  };
  port.Open();
  backend.Feed("one");
  ASSERT_TRUE(log.WaitForEntry("receive one"));
  backend.Feed("two");
  ASSERT_TRUE(log.WaitForEntry("receive two"));
}

TEST_F(FakePortTest, StopDuringAHandlerDeliversNothingMore) {
  // Handlers run on this thread: the reader waits with its first chunk until
  // Close pumps, and more bytes are waiting by then.
  QueuedInvoker queued;
  EventLog events;
  TSerialPort p(queued, backend, ports);
  p.SetPort(spCOM1);
  events.Attach(p);
  p.Open();
  backend.Feed("first");
  ASSERT_TRUE(queued.WaitForCall(std::chrono::seconds(5)));
  backend.Feed("late");
  p.Close();
  EXPECT_EQ(p.ConnectedPort(), spNone);
  EXPECT_EQ(events.Entries(), (std::vector<std::string>{"connect COM1", "receive", "disconnect COM1"}));
  EXPECT_EQ(events.Received(), "first");
  // Handlers ran on the owner thread only.
  for (auto id : events.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(FakePortTest, VanishedDeviceEndsTheReader) {
  port.Open();
  backend.Vanish();
  ASSERT_TRUE(log.WaitForEntry("disconnect COM1"));
  ASSERT_TRUE(log.WaitUntil([&] { return port.ConnectedPort() == spNone; }));
  EXPECT_EQ(backend.Closes(), 1);
  EXPECT_EQ(MessageOf([&] { port.SendString("x"); }), "COM1 is not open.");
  port.Close();
  // Open again after the loss reaches the device anew.
  port.Open();
  EXPECT_EQ(port.ConnectedPort(), spCOM1);
  EXPECT_EQ(log.Count("disconnect COM1"), 1u);
  EXPECT_EQ(log.Count("connect COM1"), 2u);
}

TEST_F(FakePortTest, PriorityReachesTheRunningReader) {
  port.SetPriority(tpLowest);
  port.Open();
  ASSERT_TRUE(log.WaitUntil([&] { return !backend.Priorities().empty(); }));
  port.SetPriority(tpHighest);
  port.Close();
  EXPECT_EQ(backend.Priorities(), (std::vector<int>{-2, 2}));
}

TEST_F(FakePortTest, OpenWithSpNoneWhileClosedDoesNothing) {
  port.SetPort(spNone);
  port.Open();
  EXPECT_TRUE(backend.Opened().empty());
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(FakePortTest, Rs485ModeFollowsTheOptionAndTheRtsToggle) {
  struct Case {
    const char* what;
    Rs485Settings option;
    THwFlowControl hw;
    Rs485Settings asked; // what the driver is asked for at the open
  };
  const Case cases[] = {
      {"the option with delays", {true, 2, 5}, hfNONE, {true, 2, 5}},
      {"RTS toggle alone", {}, hfRTSCTS, {true, 0, 0}},
      {"neither", {}, hfNONE, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBackend device;
    TSerialPort line{invoker, device, ports};
    line.SetPort(spCOM1);
    line.SetHwFlowControl(c.hw);
    line.SetRs485(c.option);
    line.Open();
    ASSERT_EQ(line.ConnectedPort(), spCOM1);
    const auto states = device.Rs485States();
    if (!c.asked.Enabled) {
      EXPECT_TRUE(states.empty()) << "a device is not asked about a mode nobody wants";
      EXPECT_EQ(RtsControl(device.States().back().Flags), 1u);
      continue;
    }
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0], c.asked);
    EXPECT_TRUE(device.Rs485On());
    EXPECT_EQ(RtsControl(device.States().back().Flags), 3u) << "RS-485 mode is the RTS toggle";
    // Switched off while open: the driver is told, the line keeps working.
    line.SetHwFlowControl(hfNONE);
    line.SetRs485({});
    EXPECT_FALSE(device.Rs485On());
    EXPECT_FALSE(device.Rs485States().back().Enabled);
    EXPECT_EQ(line.ConnectedPort(), spCOM1);
  }
}

TEST_F(FakePortTest, ADeviceWithoutRs485ModeOpensNothing) {
  for (const int error : {ENOTTY, EINVAL, EPERM}) {
    SCOPED_TRACE(error);
    backend.SetRs485Error(error);
    port.SetRs485({true, 0, 0});
    EXPECT_EQ(MessageOf([&] { port.Open(); }), "Cannot connect to COM1.");
    EXPECT_EQ(port.ConnectedPort(), spNone);
    EXPECT_EQ(backend.OpenHandles(), 0) << "the device is released, not left half-configured";
    EXPECT_NE(port.LastOpenError().find("fake/line1"), std::string::npos) << port.LastOpenError();
    EXPECT_NE(port.LastOpenError().find("RS-485"), std::string::npos) << port.LastOpenError();
    EXPECT_TRUE(log.Entries().empty());
  }
  // The line itself is asked for nothing before the mode is had.
  EXPECT_TRUE(backend.States().empty());
  // Without the option the same device opens.
  port.SetRs485({});
  port.Open();
  EXPECT_EQ(port.ConnectedPort(), spCOM1);
  // Asked for while open, the refusal is the connect error and the port stays as it was.
  EXPECT_EQ(MessageOf([&] { port.SetRs485({true, 1, 1}); }), "Cannot connect to COM1.");
  EXPECT_EQ(port.ConnectedPort(), spCOM1);
  EXPECT_EQ(RtsControl(LastState().Flags), 1u);
}

TEST_F(FakePortTest, SettingsTheDriverDidNotTakeAreReported) {
  struct Case {
    const char* what;
    uint32_t max_rate;
    bool pseudo_terminal;
    int32_t rate;
    TDataWidth width;
    TParityBits parity;
    Rs485Settings rs485;
    std::string expect;
  };
  const Case cases[] = {
      {"taken as given", 0, false, 19200, dw7Bits, pbEven, {}, ""},
      {"a rate the UART cannot make",
       115200,
       false,
       250000,
       dw8Bits,
       pbNone,
       {},
       "the driver took 115200 baud instead of 250000"},
      {"a pseudo-terminal's fixed framing", 0, true, 9600, dw7Bits, pbOdd, {}, ""},
      {"a pseudo-terminal keeps its rate",
       4800,
       true,
       9600,
       dw7Bits,
       pbOdd,
       {},
       "the driver took 4800 baud instead of 9600"},
      {"RS-485 delays cut to the driver's limit",
       0,
       false,
       9600,
       dw8Bits,
       pbNone,
       {true, 250, 3},
       "the driver took RTS delay before send 100 ms instead of 250"},
      {"both",
       115200,
       false,
       230400,
       dw8Bits,
       pbNone,
       {true, 1, 400},
       "the driver took 115200 baud instead of 230400, RTS delay after send 100 ms instead of 400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port.Close();
    backend.SetReadBack(true, c.max_rate, c.pseudo_terminal);
    backend.SetRs485DelayLimit(100);
    port.SetCustomBaudRate(c.rate);
    port.SetBaudRate(brCustom);
    port.SetDataWidth(c.width);
    port.SetParity(c.parity);
    port.SetRs485(c.rs485);
    port.Open();
    EXPECT_EQ(port.SettingsDifference(), c.expect);
  }
  // A change while open is read back as well.
  port.SetRs485({});
  backend.SetReadBack(true, 0, false);
  port.SetCustomBaudRate(9600);
  EXPECT_EQ(port.SettingsDifference(), "");
  // A driver that cannot tell reports nothing.
  backend.SetReadBack(false);
  port.SetCustomBaudRate(4000000);
  EXPECT_EQ(port.SettingsDifference(), "");
}

// ---- Times and UART counters ----------------------------------------------

TEST(SerialStamps, EachChunkCarriesTheClockOfItsReadToTheOwner) {
  FakeBackend backend;
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  ports.SetPortOverride(1, "fake/line1");
  QueuedInvoker invoker; // the test thread is the owner: chunks wait until it pumps
  TSerialPort port(invoker, backend, ports);
  port.SetPort(spCOM1);
  std::vector<std::pair<std::string, uint64_t>> got;
  port.OnReceive = [&](TSerialPort& sender, const std::string& chunk) {
    got.emplace_back(chunk, sender.ReceivedStampUs());
  };
  backend.SetNowMicros(1000);
  port.Open();
  EXPECT_EQ(port.OpenedAtUs(), 1000u);
  EXPECT_EQ(port.NowMicros(), 1000u);

  // Each read takes 7 us on the fake clock: the stamp is taken after it
  // returns, and the clock moving on before the owner hears of the chunk
  // changes nothing.
  backend.SetReadTakesMicros(7);
  const std::pair<std::string, uint64_t> cases[] = {
      {"abc", 5000}, {"d", 5001}, {std::string("\0\xff", 2), 90000}};
  for (const auto& [bytes, at] : cases) {
    SCOPED_TRACE(at);
    backend.SetNowMicros(at);
    backend.Feed(bytes);
    ASSERT_TRUE(invoker.WaitForCall(std::chrono::seconds(2))) << "the reader took no chunk";
    backend.SetNowMicros(at + 100000);
    const size_t before = got.size();
    for (int i = 0; i < 200 && got.size() == before; ++i) invoker.WaitAndPump(std::chrono::milliseconds(10));
    ASSERT_EQ(got.size(), before + 1);
    EXPECT_EQ(got.back().first, bytes);
    EXPECT_EQ(got.back().second, at + 7);
  }
  // The open stamp stays that of the open.
  EXPECT_EQ(port.OpenedAtUs(), 1000u);
  backend.SetNowMicros(2000000);
  port.Close();
  backend.SetNowMicros(3000000);
  port.Open();
  EXPECT_EQ(port.OpenedAtUs(), 3000000u);
}

TEST_F(FakePortTest, UartErrorsCountFromTheOpen) {
  struct Case {
    const char* what;
    UartCounters atOpen, later, expect;
  };
  const Case cases[] = {
      {"no errors since", {5, 1, 2, 0, 9}, {5, 1, 2, 0, 9}, {0, 0, 0, 0, 0}},
      {"each counter apart", {5, 1, 2, 0, 9}, {8, 2, 4, 1, 10}, {3, 1, 2, 1, 1}},
      {"across the counters' wrap", {0xFFFFFFFEu, 0, 0, 0, 0xFFFFFFFFu}, {1, 0, 0, 0, 4}, {3, 0, 0, 0, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port.Close();
    UartCounters counts{77, 77, 77, 77, 77};
    EXPECT_FALSE(port.UartErrors(counts)) << "a closed port reports nothing";
    backend.SetErrorCounts(true, c.atOpen);
    port.Open();
    ASSERT_TRUE(port.UartErrors(counts));
    EXPECT_EQ(counts, UartCounters{});
    backend.SetErrorCounts(true, c.later);
    ASSERT_TRUE(port.UartErrors(counts));
    EXPECT_EQ(counts, c.expect);
  }
  // A driver without counters reports none, at open or later.
  port.Close();
  backend.SetErrorCounts(false);
  port.Open();
  backend.SetErrorCounts(true, {1, 2, 3, 4, 5});
  UartCounters counts;
  EXPECT_FALSE(port.UartErrors(counts)) << "no baseline, no differences";
}

TEST(LineCheck, EachDifferenceIsNamed) {
  struct Case {
    LineReadBack got;
    std::string expect;
  };
  const LineReadBack asked{9600, 7, 2, 2, false};
  const Case cases[] = {
      {{9600, 7, 2, 2, false}, ""},
      {{9600, 8, 2, 2, false}, "the driver took 8 data bits instead of 7"},
      {{9600, 7, 0, 2, false}, "the driver took no parity instead of even parity"},
      {{9600, 7, 2, 0, false}, "the driver took 1 stop bit instead of 2 stop bits"},
      {{9600, 8, 0, 2, true}, ""},
      {{38400, 8, 4, 1, false},
       "the driver took 38400 baud instead of 9600, 8 data bits instead of 7, space parity instead of even "
       "parity"},
      // The driver holds one "more than one stop bit" switch: 1.5 and 2 are told apart by the data bits.
      {{9600, 8, 2, 1, true}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeLineDifference(asked, c.got), c.expect);
}

// ---- The reader thread alone, over an owner that records what it is asked ----

namespace {

class RecordingOwner final : public ComThreadOwner {
public:
  explicit RecordingOwner(FakeBackend& backend) : backend_(backend) {}

  CommBackend& ReaderBackend() override { return backend_; }
  uint64_t BeginOpen() override {
    Add("begin");
    return ++opens_;
  }
  std::string PortNameToOpen() const override { return name; }
  std::string DeviceOf(TCommPort port) const override { return port == spCOM1 ? "fake/line1" : ""; }
  bool ConfigureDevice(CommHandle, std::string& reason) override {
    Add("configure");
    if (!refuse.empty()) reason = refuse;
    return refuse.empty();
  }
  void OpenSucceeded(TCommPort port) override { Add("opened " + PortName(port)); }
  void OpenFailed(const std::string& reason) override { Add("failed " + reason); }
  void RaiseConnect(TCommPort port) override { Add("connect " + PortName(port)); }
  void ReaderBegins() override {
    Add("reader begins");
    std::lock_guard<std::mutex> lock(mutex_);
    readerThread_ = std::this_thread::get_id();
  }
  TThreadPriority ReaderPriority() const override { return tpHighest; }
  uint32_t ReaderDelay() const override { return 5; }
  void CheckLines(CommHandle handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lineChecks_ += handle != kInvalidHandle ? 1 : 0;
  }
  void RaiseLinkChange(const LinkStatus&) override { Add("link"); }
  void RaiseReceive(std::string chunk, uint64_t stamp_us) override {
    Add("receive " + chunk + " at " + std::to_string(stamp_us));
  }
  void RaiseDisconnect(TCommPort port) override { Add("disconnect " + PortName(port)); }
  std::mutex& HandleMutex() override { return handleMutex_; }
  void ReaderEnded(uint64_t open, std::atomic<bool>& ended) override {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back("ended " + std::to_string(open));
    ended.store(true);
    changed_.notify_all();
  }

  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
    changed_.notify_all();
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  int LineChecks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lineChecks_;
  }
  std::thread::id ReaderThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readerThread_;
  }
  // Waits at most two seconds for `entry`; whether it came.
  bool WaitFor(const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(2), [&] {
      return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    });
  }

  std::string name = "COM1";
  std::string refuse; // ConfigureDevice's refusal; empty: it takes the settings

private:
  FakeBackend& backend_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
  uint64_t opens_ = 6;
  int lineChecks_ = 0;
  std::thread::id readerThread_;
  std::mutex handleMutex_;
};

} // namespace

TEST(ComThreadOwnerTest, AFailedOpenTellsTheOwnerWhyAndEndsAtOnce) {
  struct Case {
    std::string name;
    int openError;
    std::string refuse;
    std::vector<std::string> expect;
  };
  const Case cases[] = {
      {"COM3", 0, "", {"begin", "failed COM3: no such device (the port maps to no device)"}},
      {"", 0, "", {"begin", "failed no port: no such device (the port maps to no device)"}},
      {"COM1", EBUSY, "", {"begin", "failed fake/line1: in use by another program"}},
      {"COM1",
       EACCES,
       "",
       {"begin",
        "failed fake/line1: permission denied; add your user to the dialout group (then log in again)"}},
      {"COM1",
       0,
       "the driver refused the line settings",
       {"begin", "configure", "failed fake/line1: the driver refused the line settings"}},
  };
  for (const Case& c : cases) {
    FakeBackend backend;
    backend.SetOpenError(c.openError);
    RecordingOwner owner(backend);
    owner.name = c.name;
    owner.refuse = c.refuse;
    TComThread reader(owner);
    EXPECT_TRUE(reader.Ended()) << c.name;
    EXPECT_EQ(reader.Handle(), kInvalidHandle) << c.name;
    EXPECT_EQ(owner.Entries(), c.expect) << c.name;
    EXPECT_EQ(backend.OpenHandles(), 0) << "a refused device is closed again: " << c.name;
  }
}

TEST(ComThreadOwnerTest, TheReaderReachesItsOwnerOnlyThroughTheInterface) {
  FakeBackend backend;
  RecordingOwner owner(backend);
  {
    TComThread reader(owner);
    ASSERT_FALSE(reader.Ended());
    EXPECT_NE(reader.Handle(), kInvalidHandle);
    EXPECT_EQ(owner.Entries(), (std::vector<std::string>{"begin", "configure", "opened COM1"}));
    reader.Start();
    ASSERT_TRUE(owner.WaitFor("reader begins"));
    EXPECT_NE(owner.ReaderThread(), std::this_thread::get_id())
        << "the loop's first call is on its own thread";
    backend.Feed("abc");
    ASSERT_TRUE(owner.WaitFor("receive abc at 0"));
    EXPECT_GT(owner.LineChecks(), 0) << "each pass checks the modem lines of the open handle";
    EXPECT_EQ(backend.Priorities(), (std::vector<int>{ThreadPriorityValue(tpHighest)}));
    reader.Terminate();
    ASSERT_TRUE(owner.WaitFor("ended 7")) << "the reader ends with the number BeginOpen gave";
    EXPECT_TRUE(reader.Ended());
    EXPECT_EQ(reader.Handle(), kInvalidHandle);
  }
  EXPECT_EQ(owner.Entries(),
            (std::vector<std::string>{"begin", "configure", "opened COM1", "connect COM1", "reader begins",
                                      "receive abc at 0", "disconnect COM1", "ended 7"}));
  EXPECT_EQ(backend.Purges(), 1);
  EXPECT_EQ(backend.Closes(), 1);
  EXPECT_EQ(backend.OpenHandles(), 0);
}

TEST(ComThreadOwnerTest, AVanishingDeviceHandsOverWhatItLeftThenEnds) {
  FakeBackend backend;
  RecordingOwner owner(backend);
  TComThread reader(owner);
  ASSERT_FALSE(reader.Ended());
  reader.Start();
  // The last bytes are stamped too, after the read that drained them.
  backend.SetNowMicros(500);
  backend.SetReadTakesMicros(3);
  backend.VanishAfter("last");
  ASSERT_TRUE(owner.WaitFor("ended 7"));
  EXPECT_EQ(owner.Entries(),
            (std::vector<std::string>{"begin", "configure", "opened COM1", "connect COM1", "reader begins",
                                      "receive last at 503", "disconnect COM1", "ended 7"}));
  EXPECT_EQ(backend.OpenHandles(), 0);
}

TEST(ComThreadOwnerTest, WhatWaitsIsOneChunkAndOnlyAFullFirstReadAsksTheCount) {
  // Sizes around the first read's piece (4096 bytes): below it the bytes are
  // read at once without asking how many wait; a piece that fills up is
  // followed by the count and the rest, still one chunk.
  struct Case {
    size_t size;
    int countQueries;
    int reads; // that returned bytes
  };
  const Case cases[] = {{1, 0, 1}, {4095, 0, 1}, {4096, 1, 1}, {4097, 1, 2}, {10000, 1, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    FakeBackend backend;
    RecordingOwner owner(backend);
    TComThread reader(owner);
    ASSERT_FALSE(reader.Ended());
    reader.Start();
    std::string bytes;
    for (size_t i = 0; i < c.size; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
    backend.Feed(bytes);
    ASSERT_TRUE(owner.WaitFor("receive " + bytes + " at 0"));
    EXPECT_EQ(backend.ReadsWithBytes(), c.reads);
    EXPECT_EQ(backend.CountQueries(), c.countQueries);
    reader.Terminate();
    ASSERT_TRUE(owner.WaitFor("ended 7"));
  }
}

namespace {

// Runs every call at once (on the reader) and notes where each reader began
// and ended.
class PlacementInvoker final : public EventInvoker {
public:
  void RunOnOwnerThread(const std::function<void()>& call) override { call(); }
  void PumpMessages() override {}
  void ReaderBegins() override { Note("begins"); }
  void ReaderEnds() override { Note("ends"); }

  std::vector<std::pair<std::string, std::thread::id>> Notes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_;
  }

private:
  void Note(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    notes_.emplace_back(what, std::this_thread::get_id());
  }
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::thread::id>> notes_;
};

} // namespace

TEST(SerialPlacement, TheInvokerHearsEachReaderBeginAndEndOnThatReader) {
  FakeBackend backend;
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  ports.SetPortOverride(1, "fake/line1");
  PlacementInvoker invoker;
  TSerialPort port(invoker, backend, ports);
  port.SetPort(spCOM1);
  EventLog events;
  events.Attach(port);
  std::vector<std::pair<std::string, std::thread::id>> expect;
  for (const char* bytes : {"one", "two"}) {
    port.Open();
    backend.Feed(bytes);
    ASSERT_TRUE(events.WaitUntil([&] { return events.Received().find(bytes) != std::string::npos; }));
    port.Close();
    // The handler ran at once on the reader: its thread is the reader's.
    const std::thread::id reader = events.Threads().back();
    EXPECT_NE(reader, std::this_thread::get_id());
    expect.emplace_back("begins", reader);
    expect.emplace_back("ends", reader);
    EXPECT_EQ(invoker.Notes(), expect) << "ends is heard before Close returns";
  }
}
