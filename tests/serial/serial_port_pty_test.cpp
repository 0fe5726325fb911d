// The serial component on real pseudo-terminal pairs through the POSIX
// backend: bytes both ways, events in order, open failures, device loss, and
// line settings as the kernel holds them.
#include "event_log.h"
#include "pty_pair.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

using namespace korvane;
using korvane::test::EventLog;
using korvane::test::MessageOf;
using korvane::test::ProbeLine;
using korvane::test::PtyPair;

namespace {

// Two lines mapped to COM5 and COM6. Handlers run on the test thread
// (QueuedInvoker), as they run on the user-interface thread in the program.
class PtyTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!line5.Ok() || !line6.Ok()) GTEST_SKIP() << "no pseudo-terminal can be made here: " << line5.Error();
    ports.SetPortOverride(5, line5.SlavePath());
    ports.SetPortOverride(6, line6.SlavePath());
    port = std::make_unique<TSerialPort>(invoker, DefaultCommBackend(), ports);
    port->SetPort(spCOM5);
    port->SetBaudRate(br009600);
    log.Attach(*port);
  }

  PtyPair line5, line6;
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  QueuedInvoker invoker;
  EventLog log; // before the port: it outlives the port's events
  std::unique_ptr<TSerialPort> port;
};

} // namespace

TEST_F(PtyTest, ChunksArriveWholeAndInOrderWithNulBytes) {
  port->Open();
  // First a chunk of NULs and other bytes, delivered before the next is written.
  const std::string first("\x00\x01\x00\xff\x00", 5);
  ASSERT_TRUE(line5.Write(first));
  ASSERT_TRUE(log.WaitForBytes(first.size(), &invoker));
  EXPECT_EQ(log.Chunks().front(), first) << "one waiting chunk is delivered as one, exact length";

  // Then a long stream in pieces: everything arrives, in order, no chunk empty.
  std::string stream;
  for (int i = 0; i < 3000; ++i) stream.push_back(static_cast<char>((i * 7) % 256));
  for (size_t at = 0; at < stream.size(); at += 250) ASSERT_TRUE(line5.Write(stream.substr(at, 250)));
  ASSERT_TRUE(log.WaitForBytes(first.size() + stream.size(), &invoker));
  EXPECT_EQ(log.Received(), first + stream);
  for (const auto& chunk : log.Chunks()) EXPECT_FALSE(chunk.empty());
  for (auto id : log.Threads()) EXPECT_EQ(id, std::this_thread::get_id()) << "handlers on the owner thread";
}

TEST_F(PtyTest, APseudoTerminalIsKnownAsOneAndKeepsNoUartCounters) {
  port->Open();
  EXPECT_TRUE(port->IsPseudoTerminal()) << "the default backend hands the driver's read-back on";
  UartCounters counts{1, 2, 3, 4, 5};
  EXPECT_FALSE(port->UartErrors(counts)) << "a pseudo-terminal has no UART counters to report";

  // Stamps are on the component's clock: after the open and the write, not
  // later than the handler that gets them.
  std::vector<std::pair<uint64_t, uint64_t>> stamps; // stamp, handler's now
  port->OnReceive = [&](TSerialPort& sender, const std::string&) {
    stamps.emplace_back(sender.ReceivedStampUs(), sender.NowMicros());
  };
  const uint64_t before = port->NowMicros();
  EXPECT_GE(before, port->OpenedAtUs());
  ASSERT_TRUE(line5.Write("x"));
  ASSERT_TRUE(log.WaitUntil([&] { return !stamps.empty(); }, &invoker));
  EXPECT_GE(stamps[0].first, before);
  EXPECT_LE(stamps[0].first, stamps[0].second);
}

TEST_F(PtyTest, WritesReachTheFarEnd) {
  std::vector<std::string> sent;
  port->OnSend = [&](TSerialPort&, const std::string& b) { sent.push_back(b); };
  port->Open();
  EXPECT_EQ(port->SendString("Open Port"), 9u);
  EXPECT_EQ(line5.Read(9), "Open Port");
  EXPECT_EQ(port->SendString(std::string("AB\0CD", 5)), 2u);
  const std::string frame("\x01\x03\x00\x00\x00\x0a\xc5\xcd", 8);
  EXPECT_EQ(port->SendBuffer(frame.data(), 8), 8u);
  EXPECT_EQ(line5.Read(10), "AB" + frame);
  EXPECT_EQ(sent, (std::vector<std::string>{"Open Port", "AB", ""}));
}

TEST_F(PtyTest, NotOpenErrors) {
  EXPECT_EQ(MessageOf([&] { port->SendString("x"); }), "COM5 is not open.");
  port->Open();
  const char byte = 1;
  EXPECT_EQ(MessageOf([&] { port->SendBuffer(&byte, 0); }), "COM5 is not open.");
  EXPECT_EQ(line5.Read(1, 50), "") << "nothing was written";
}

TEST_F(PtyTest, OpeningAnotherPortClosesTheFirstBeforeConnecting) {
  port->Open();
  port->SetPort(spCOM6);
  EXPECT_EQ(port->ConnectedPort(), spCOM5) << "setting Port does not move the open device";
  port->Open();
  EXPECT_EQ(port->ConnectedPort(), spCOM6);
  port->Open(); // the same port again: nothing happens
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM5", "disconnect COM5", "connect COM6"}));
  // The new device carries the traffic; the old one is released.
  ASSERT_TRUE(line6.Write("six"));
  ASSERT_TRUE(log.WaitForBytes(3, &invoker));
  EXPECT_EQ(log.Received(), "six");
  port->SendString("out");
  EXPECT_EQ(line6.Read(3), "out");
}

TEST_F(PtyTest, CloseWithoutTrafficDisconnectsOnceAndTheDeviceOpensAgain) {
  port->Open();
  port->Close();
  EXPECT_EQ(port->ConnectedPort(), spNone);
  port->Close();
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM5", "disconnect COM5"}));
  // Released whole: the exclusive mark is gone and the device opens again.
  port->Open();
  EXPECT_EQ(port->ConnectedPort(), spCOM5);
  port->SendString("again");
  EXPECT_EQ(line5.Read(5), "again");
}

TEST_F(PtyTest, OpenFailuresAreTheConnectErrorAndRaiseNoEvent) {
  struct Case {
    int com;
    const char* device; // nullptr: no mapping at all
  };
  const Case cases[] = {{7, "/nonexistent/ttyXYZ"}, {8, "/dev/null"}, {98, nullptr}};
  for (const Case& c : cases) {
    if (c.device != nullptr) ports.SetPortOverride(c.com, c.device);
    port->SetPort(static_cast<TCommPort>(c.com));
    EXPECT_EQ(MessageOf([&] { port->Open(); }), "Cannot connect to COM" + std::to_string(c.com) + ".");
    EXPECT_EQ(port->ConnectedPort(), spNone);
    EXPECT_FALSE(port->LastOpenError().empty());
    if (c.device != nullptr) {
      EXPECT_NE(port->LastOpenError().find(c.device), std::string::npos);
    }
  }
  port->Close();
  EXPECT_TRUE(log.Entries().empty());
}

namespace {

// Whether a lock of `path` can be taken now (as a locking tool would try it).
bool CanLock(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

} // namespace

TEST_F(PtyTest, APortHeldByAnotherProgramIsRefusedAlsoAsRoot) {
  // Root passes the exclusive mark, so each holder here is one the lock keeps
  // off: a program that locks the device, and another component (another
  // Korvane) with the port open.
  for (const bool byComponent : {false, true}) {
    SCOPED_TRACE(byComponent ? "another component" : "a locking program");
    int held = -1;
    std::unique_ptr<TSerialPort> other;
    if (byComponent) {
      other = std::make_unique<TSerialPort>(invoker, DefaultCommBackend(), ports);
      other->SetPort(spCOM5);
      other->SetBaudRate(br009600);
      other->Open();
      ASSERT_EQ(other->ConnectedPort(), spCOM5);
      EXPECT_FALSE(CanLock(line5.SlavePath())) << "an open port is locked";
    } else {
      held = ::open(line5.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(held, 0) << std::strerror(errno);
      ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    }
    std::string message, reason;
    try {
      port->Open();
    } catch (const SerialError& e) {
      message = e.what();
      reason = e.Reason();
    }
    EXPECT_EQ(message, "Cannot connect to COM5.");
    EXPECT_EQ(reason, line5.SlavePath() + ": in use by another program");
    EXPECT_EQ(port->ConnectedPort(), spNone);
    if (other) {
      // The refused open left the holder's line alone: it still carries traffic.
      EXPECT_EQ(other->SendString("still"), 5u);
      EXPECT_EQ(line5.Read(5), "still");
      other->Close();
      other.reset();
    } else {
      ::close(held);
    }
    EXPECT_TRUE(CanLock(line5.SlavePath())) << "the holder's close released it";
    // Released: the port opens, holds the lock while open, and gives it back on close.
    port->Open();
    EXPECT_EQ(port->ConnectedPort(), spCOM5);
    EXPECT_FALSE(CanLock(line5.SlavePath()));
    port->Close();
    EXPECT_TRUE(CanLock(line5.SlavePath()));
  }
}

TEST_F(PtyTest, LostDeviceEndsTheReaderWithOneDisconnect) {
  port->Open();
  line5.CloseMaster();
  ASSERT_TRUE(log.WaitForEntry("disconnect COM5", &invoker));
  ASSERT_TRUE(log.WaitUntil([&] { return port->ConnectedPort() == spNone; }, &invoker));
  EXPECT_EQ(MessageOf([&] { port->SendString("x"); }), "COM5 is not open.");
  port->Close(); // returns at once: the reader has ended
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM5", "disconnect COM5"}));
}

TEST_F(PtyTest, LineSettingsReachTheKernel) {
  struct Case {
    TBaudRate rate;
    int32_t custom;
    TDataWidth width;
    TParityBits parity;
    TStopBits stop;
    THwFlowControl hw;
    TSwFlowControl sw;
    uint32_t expect_rate;
  };
  const Case cases[] = {
      {brCustom, 12345, dw8Bits, pbNone, sb1Bit, hfNONE, sfNONE, 12345},
      {br009600, 0, dw7Bits, pbEven, sb2Bits, hfNONE, sfNONE, 9600},
      {br014400, 0, dw8Bits, pbOdd, sb1Bit, hfRTSCTS, sfNONE, 14400},
      {br115200, 0, dw6Bits, pbMark, sb1Bit, hfNONE, sfXONXOFF, 115200},
      {br256000, 0, dw5Bits, pbSpace, sb1_5Bits, hfNONE, sfNONE, 256000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect_rate);
    port->Close();
    port->SetCustomBaudRate(c.custom);
    port->SetBaudRate(c.rate);
    port->SetStopBits(sb1Bit);
    port->SetDataWidth(c.width);
    port->SetStopBits(c.stop);
    port->SetParity(c.parity);
    port->SetHwFlowControl(c.hw);
    port->SetSwFlowControl(c.sw);
    // RTS on open with hfRTSCTS is the RTS toggle, which asks for RS-485 mode
    // (refused here, see below): the handshake alone is kernel RTS/CTS.
    port->SetEnableRTSOnOpen(c.hw != hfRTSCTS);
    port->Open();
    // A pseudo-terminal reads back 8 bits without parity whatever it was
    // given: that is not reported as a difference.
    EXPECT_EQ(port->SettingsDifference(), "");
    const auto probe = ProbeLine(line5.MasterFd());
    ASSERT_TRUE(probe.ok);
    EXPECT_EQ(probe.output_rate, c.expect_rate);
    EXPECT_EQ(probe.input_rate, c.expect_rate);
    // Data bits and the parity switch are not checked here: a pseudo-terminal
    // always reads 8 data bits without parity (the record is checked over the
    // fake backend).
    EXPECT_EQ(probe.odd, c.parity == pbOdd || c.parity == pbMark);
    EXPECT_EQ(probe.mark_space, c.parity == pbMark || c.parity == pbSpace);
    EXPECT_EQ(probe.two_stop, c.stop != sb1Bit);
    EXPECT_EQ(probe.rts_cts, c.hw == hfRTSCTS);
    EXPECT_EQ(probe.xon_out, c.sw == sfXONXOFF);
    EXPECT_EQ(probe.xon_in, c.sw == sfXONXOFF);
    EXPECT_TRUE(probe.raw);
  }
  // A change while open reaches the device at once.
  port->SetBaudRate(br057600);
  EXPECT_EQ(ProbeLine(line5.MasterFd()).output_rate, 57600u);
  EXPECT_FALSE(ProbeLine(line5.MasterFd()).other_rate) << "a classic rate keeps its classic code";
}

TEST_F(PtyTest, Rs485ModeIsRefusedClearlyAndNothingStaysOpen) {
  struct Case {
    const char* what;
    Rs485Settings option;
    THwFlowControl hw;
  };
  const Case cases[] = {{"the option", {true, 1, 2}, hfNONE}, {"RTS toggle", {}, hfRTSCTS}};
  port->SetCustomBaudRate(12345); // a rate a fresh pseudo-terminal does not have
  port->SetBaudRate(brCustom);
  const auto before = ProbeLine(line5.MasterFd());
  ASSERT_TRUE(before.ok);
  ASSERT_NE(before.output_rate, 12345u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port->SetRs485(c.option);
    port->SetHwFlowControl(c.hw);
    EXPECT_EQ(MessageOf([&] { port->Open(); }), "Cannot connect to COM5.");
    EXPECT_EQ(port->ConnectedPort(), spNone);
    EXPECT_NE(port->LastOpenError().find(line5.SlavePath()), std::string::npos) << port->LastOpenError();
    EXPECT_NE(port->LastOpenError().find("no RS-485 mode"), std::string::npos) << port->LastOpenError();
    EXPECT_TRUE(log.Entries().empty());
    // The line was refused before it was programmed: not half-configured.
    EXPECT_EQ(ProbeLine(line5.MasterFd()).output_rate, before.output_rate);
  }
  // Without the mode the same device opens at once: it was released.
  port->SetRs485({});
  port->SetHwFlowControl(hfNONE);
  port->Open();
  EXPECT_EQ(port->ConnectedPort(), spCOM5);
  EXPECT_EQ(port->SendString("ok"), 2u);
  EXPECT_EQ(line5.Read(2), "ok");
}

TEST_F(PtyTest, CloseRunsTheReadersPendingHandlerWithoutDeadlock) {
  port->Open();
  ASSERT_TRUE(line5.Write("pending"));
  // The reader now waits for this thread to run OnReceive; Close must pump it.
  ASSERT_TRUE(invoker.WaitForCall(std::chrono::seconds(5)));
  port->Close();
  EXPECT_EQ(port->ConnectedPort(), spNone);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM5", "receive", "disconnect COM5"}));
  EXPECT_EQ(log.Received(), "pending");
}

TEST_F(PtyTest, DestroyingAnOpenPortWaitsForTheReaderAndRaisesNothing) {
  port->Open();
  ASSERT_TRUE(line5.Write("pending"));
  ASSERT_TRUE(invoker.WaitForCall(std::chrono::seconds(5)));
  port.reset(); // the reader is blocked in a synchronised call at this moment
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"connect COM5"}));
  // The device was released: a new component opens it again.
  TSerialPort again(invoker, DefaultCommBackend(), ports);
  again.SetPort(spCOM5);
  again.Open();
  EXPECT_EQ(again.ConnectedPort(), spCOM5);
}
