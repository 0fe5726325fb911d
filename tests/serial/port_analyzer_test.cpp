// Port control feeding the line analyzer: the decoder's settings and timing
// note at activation, written frames timed at the line's settings, a request
// framed before the slave's reply to it, the 100 ms timer's silences, reply
// time-outs and UART counts, and the analyzer stopped when the port closes or
// goes away. Over the fake backend (its clock stamps reads and writes; handlers
// run when the test pumps) and over a real pseudo-terminal.
#include "pty_pair.h"
#include "serial/control/port_control.h"

#include "app/core/tick.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/core/line_analyzer.h"
#include "serial/platform/fake_backend.h"
#include "support/fake_sysfs.h"
#include "support/recording_sender.h"
#include "support/recording_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace korvane;
using frame::Bytes;
using korvane::test::RecordingView;
using korvane::test::WithCrc;

namespace {

const std::string kPtyNote =
    "Times are those of the reads on a pseudo-terminal: gaps inside frames and silences "
    "between them cannot be measured.";
std::string LatencyNote(int ms) {
  return "The adapter's latency timer (" + std::to_string(ms) +
         " ms) is longer than the gaps in question: gaps inside frames and silences between them cannot be "
         "measured.";
}

class AnalyzerFeedTest : public ::testing::Test {
protected:
  static constexpr uint64_t kOpenUs = 1000000;

  void SetUp() override {
    ports.SetPortOverride(3, "fake/line3");
    control.SetPortInfoRoots({tree.Sys().string(), tree.Dev().string()});
    control.AttachEngines(&slave, &master);
    control.AttachAnalyzer(&analyzer);
    analyzer.Listeners.push_back([this](const line::Frame& f) { frames.push_back(f); });
    backend.SetNowMicros(kOpenUs);
  }
  void TearDown() override { control.CloseComm(ws->Settings.CommPort); }

  // Opens COM `port` with the workspace's settings, as the dialog's "Exit" does.
  void Activate(int32_t port = 3) {
    ws->Settings.CommPort = port;
    control.ApplySettingsAndOpen();
    ASSERT_EQ(ws->Settings.PortActive, 1);
  }
  // `bytes` arrive at `stampUs`: the reader reads them then, and the clock
  // stands at `laterUs` when the owner thread handles the chunk.
  void Arrive(const std::string& bytes, uint64_t stampUs, uint64_t laterUs) {
    backend.SetNowMicros(stampUs);
    backend.Feed(bytes);
    ASSERT_TRUE(invoker.WaitForCall(std::chrono::seconds(2))) << "the reader took no chunk";
    backend.SetNowMicros(laterUs);
    invoker.PumpMessages();
  }
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      invoker.WaitAndPump(std::chrono::milliseconds(20));
    }
    return true;
  }
  // The figures of device `address` (a zero record when it was never seen).
  line::DeviceStatistics Stats(int address) const {
    for (const line::DeviceStatistics& d : analyzer.Statistics().Devices())
      if (d.Device == address) return d;
    return {};
  }

  korvane::test::FakeSysfs tree{"analyzer"};
  FakeBackend backend;
  PortMap ports{tree.ClassTtyDir(), tree.Dev().string()};
  QueuedInvoker invoker;
  FakeTickSource ticks{5000};
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  RecordingView view{*ws};
  LineAnalyzer analyzer;
  std::vector<line::Frame> frames;
  TSerialPort serial{invoker, backend, ports};
  PortControl control{*ws, serial, ticks, view};
  TSlave slave{*ws, control, ticks};
  TMaster master{*ws, control, ticks};
};

} // namespace

TEST_F(AnalyzerFeedTest, TheDecoderFollowsTheWorkspaceAndTheNoteTheDevice) {
  struct Case {
    const char* what;
    TRole role;
    TFrameMode mode;
    int32_t baud;
    TDataBitsCode bits;
    const char* parity;
    TStopBitsCode stop;
    int32_t responseMs;
    int32_t port;        // 3: a plain device; 33: the usb-serial adapter
    bool pty;            // the driver reports a pseudo-terminal
    const char* latency; // the adapter's latency timer
    frame::Framing framing;
    CharacterFormat format;
    std::string note;
  };
  using frame::Framing;
  const Case cases[] = {
      {"slave RTU",
       roSlave,
       fmRtu,
       9600,
       db8Bits,
       "N",
       st1Bit,
       400,
       3,
       false,
       "1",
       Framing::kRtu,
       {8, false, 1},
       ""},
      {"slave, framing code 2",
       roSlave,
       static_cast<TFrameMode>(2),
       19200,
       db7Bits,
       "E",
       st2Bits,
       1000,
       3,
       false,
       "1",
       Framing::kAscii,
       {7, true, 2},
       ""},
      {"master, framing code 2",
       roMaster,
       static_cast<TFrameMode>(2),
       19200,
       db8Bits,
       "O",
       st1Bit,
       2000,
       3,
       false,
       "1",
       Framing::kRtu,
       {8, true, 1},
       ""},
      {"master ASCII",
       roMaster,
       fmAscii,
       9600,
       db7Bits,
       "N",
       st2Bits,
       400,
       3,
       false,
       "1",
       Framing::kAscii,
       {7, false, 2},
       ""},
      {"pseudo-terminal",
       roSlave,
       fmRtu,
       9600,
       db8Bits,
       "N",
       st1Bit,
       400,
       3,
       true,
       "1",
       Framing::kRtu,
       {8, false, 1},
       kPtyNote},
      // 1.5 characters: 1563 us at 9600 8N1, 130 us at 115200, 12.5 ms at 1200.
      {"16 ms timer at 9600",
       roSlave,
       fmRtu,
       9600,
       db8Bits,
       "N",
       st1Bit,
       400,
       33,
       false,
       "16",
       Framing::kRtu,
       {8, false, 1},
       LatencyNote(16)},
      {"1 ms timer at 9600",
       roSlave,
       fmRtu,
       9600,
       db8Bits,
       "N",
       st1Bit,
       400,
       33,
       false,
       "1",
       Framing::kRtu,
       {8, false, 1},
       ""},
      {"1 ms timer at 115200",
       roSlave,
       fmRtu,
       115200,
       db8Bits,
       "N",
       st1Bit,
       400,
       33,
       false,
       "1",
       Framing::kRtu,
       {8, false, 1},
       LatencyNote(1)},
      {"12 ms timer at 1200",
       roSlave,
       fmRtu,
       1200,
       db8Bits,
       "N",
       st1Bit,
       400,
       33,
       false,
       "12",
       Framing::kRtu,
       {8, false, 1},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control.CloseComm(ws->Settings.CommPort);
    EXPECT_FALSE(analyzer.Running());
    ws->Settings.IsMaster = c.role;
    ws->Settings.RtuMode = c.mode;
    ws->Settings.BaudRate = c.baud;
    ws->Settings.DataBits = c.bits;
    ws->Settings.Parity = c.parity;
    ws->Settings.StopBits = c.stop;
    ws->Settings.ResponseTime = c.responseMs;
    backend.SetReadBack(true, 0, c.pty);
    tree.SetLatency(c.latency);
    ASSERT_NO_FATAL_FAILURE(Activate(c.port));
    ASSERT_TRUE(analyzer.Running());
    const line::DecoderSettings& s = analyzer.Settings();
    EXPECT_EQ(s.Framing, c.framing);
    EXPECT_EQ(s.Baud, c.baud);
    EXPECT_EQ(s.Format.DataBits, c.format.DataBits);
    EXPECT_EQ(s.Format.ParityBit, c.format.ParityBit);
    EXPECT_EQ(s.Format.StopBits, c.format.StopBits);
    EXPECT_EQ(s.ReplyTimeoutUs, static_cast<uint64_t>(c.responseMs) * 1000);
    EXPECT_EQ(analyzer.TimingNote(), c.note);
    EXPECT_EQ(s.TimingResolved, c.note.empty());
  }
}

TEST_F(AnalyzerFeedTest, WrittenFramesAreTimedAtTheLineSettingsFromTheOpen) {
  struct Case {
    int32_t baud;
    TDataBitsCode bits;
    const char* parity;
    TStopBitsCode stop;
    uint64_t bannerUs, requestUs; // 9 and 8 characters on the line
  };
  const Case cases[] = {
      {9600, db8Bits, "N", st1Bit, 9375, 8334},   // 10 bits a character
      {19200, db7Bits, "E", st2Bits, 5157, 4584}, // 11 bits a character
  };
  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    control.CloseComm(ws->Settings.CommPort);
    frames.clear();
    ws->Settings.BaudRate = c.baud;
    ws->Settings.DataBits = c.bits;
    ws->Settings.Parity = c.parity;
    ws->Settings.StopBits = c.stop;
    const uint64_t openUs = kOpenUs * (c.bits == db8Bits ? 2 : 3);
    backend.SetNowMicros(openUs);
    ASSERT_NO_FATAL_FAILURE(Activate());
    EXPECT_EQ(serial.OpenedAtUs(), openUs);
    // The banner is on the line: the first frame written, from the open.
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Dir, line::Direction::kTx);
    EXPECT_EQ(frames[0].Bytes, "Open Port");
    EXPECT_EQ(frames[0].TimeUs, 0u);
    EXPECT_EQ(frames[0].EndUs, c.bannerUs);

    backend.SetNowMicros(openUs + 250000);
    control.SendCommStr(3, request);
    ASSERT_EQ(frames.size(), 2u);
    const line::Frame& f = frames[1];
    EXPECT_EQ(f.Dir, line::Direction::kTx);
    EXPECT_EQ(f.Bytes, request);
    EXPECT_EQ(f.Kind, line::FrameKind::kRequest);
    EXPECT_EQ(f.Check, line::FrameCheck::kOk);
    EXPECT_EQ(f.Device, 1);
    EXPECT_EQ(f.Function, 3);
    EXPECT_EQ(f.TimeUs, 250000u);
    EXPECT_EQ(f.EndUs, 250000u + c.requestUs);
  }
  // A write that fails puts nothing on the line.
  backend.SetFailWrites(true);
  EXPECT_THROW(control.SendCommStr(3, request), SerialError);
  EXPECT_EQ(frames.size(), 2u);
}

TEST_F(AnalyzerFeedTest, ARequestIsFramedBeforeTheSlavesReplyToIt) {
  ws->SlotTables(1).HoldingRegTable[1] = 0x1234;
  ws->SlotTables(1).HoldingRegTable[2] = 0x5678;
  ASSERT_NO_FATAL_FAILURE(Activate());
  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
  const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78}));
  // Read 100 ms after the open; the slave answers from its checker 5 ms later.
  ASSERT_NO_FATAL_FAILURE(Arrive(request, kOpenUs + 100000, kOpenUs + 105000));
  ASSERT_EQ(backend.Written(), "Open Port" + reply);

  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].Dir, line::Direction::kRx);
  EXPECT_EQ(frames[1].Bytes, request);
  EXPECT_EQ(frames[1].Kind, line::FrameKind::kRequest);
  // The last byte was read at 100000 and ends a character (1042 us) later.
  EXPECT_EQ(frames[1].EndUs, 100000u + 1042);
  EXPECT_EQ(frames[2].Dir, line::Direction::kTx);
  EXPECT_EQ(frames[2].Bytes, reply);
  EXPECT_EQ(frames[2].Kind, line::FrameKind::kReply);
  EXPECT_EQ(frames[2].TimeUs, 105000u);
  EXPECT_EQ(frames[2].ResponseUs, 105000 - (100000 + 1042)) << "the reply is paired with the request";
  EXPECT_EQ(analyzer.Size(), 3u);
}

TEST_F(AnalyzerFeedTest, AChunkWhoseReplyCannotBeWrittenIsStillFramed) {
  ASSERT_NO_FATAL_FAILURE(Activate());
  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
  // The slave's reply fails to go out: the error leaves the handler, and the
  // request is framed all the same; the next chunk is framed after it.
  backend.SetFailWrites(true);
  ASSERT_NO_FATAL_FAILURE(Arrive(request, kOpenUs + 100000, kOpenUs + 105000));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].Bytes, request);
  EXPECT_EQ(frames[1].Dir, line::Direction::kRx);
  backend.SetFailWrites(false);
  ASSERT_NO_FATAL_FAILURE(Arrive(request, kOpenUs + 200000, kOpenUs + 201000));
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[2].Bytes, request);
  EXPECT_EQ(frames[3].Dir, line::Direction::kTx);
  EXPECT_EQ(frames[3].TimeUs, 201000u) << "the reply written, and framed after its request";
}

TEST_F(AnalyzerFeedTest, TheTimerFramesSilencesCountsTimeOutsAndReadsTheUartCounters) {
  backend.SetErrorCounts(true, {2, 0, 7, 0, 1});
  ASSERT_NO_FATAL_FAILURE(Activate());
  EXPECT_TRUE(analyzer.UartErrors().Reported);
  EXPECT_EQ(analyzer.UartErrors().Framing, 0u) << "counted from the open";

  // A request broken off: framed once the silence after it is long enough
  // (3.5 characters after its last character at 9600: 3646 + 1042 us).
  const uint64_t t = kOpenUs + 100000;
  ASSERT_NO_FATAL_FAILURE(Arrive(Bytes({0x01, 0x03, 0x00}), t, t));
  EXPECT_EQ(frames.size(), 1u);
  backend.SetNowMicros(t + 2000);
  control.Timer2Timer();
  EXPECT_EQ(frames.size(), 1u) << "no silence yet";
  backend.SetNowMicros(t + 10000);
  control.Timer2Timer();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].Bytes, Bytes({0x01, 0x03, 0x00}));
  EXPECT_EQ(frames[1].Kind, line::FrameKind::kNoise);

  // A request to a device nobody answers times out after ResponseTime (400 ms).
  const uint64_t r = kOpenUs + 200000;
  ASSERT_NO_FATAL_FAILURE(Arrive(WithCrc(Bytes({0x63, 0x03, 0x00, 0x00, 0x00, 0x01})), r, r));
  backend.SetErrorCounts(true, {5, 1, 7, 0, 3});
  backend.SetNowMicros(r + 300000);
  control.Timer2Timer();
  EXPECT_EQ(Stats(0x63).Requests, 1u);
  EXPECT_EQ(Stats(0x63).Timeouts, 0u);
  const UartErrorCounts& u = analyzer.UartErrors();
  EXPECT_TRUE(u.Reported);
  EXPECT_EQ(u.Framing, 3u);
  EXPECT_EQ(u.Parity, 1u);
  EXPECT_EQ(u.Overrun, 0u);
  EXPECT_EQ(u.BufferOverrun, 2u);
  backend.SetNowMicros(r + 500000);
  control.Timer2Timer();
  EXPECT_EQ(Stats(0x63).Timeouts, 1u);

  // Closed, the timer leaves the analyzer alone.
  control.CloseComm(3);
  const uint64_t generation = analyzer.Generation();
  control.Timer2Timer();
  EXPECT_EQ(analyzer.Generation(), generation);
}

TEST_F(AnalyzerFeedTest, ClosingOrLosingThePortStopsTheAnalyzerAfterFramingWhatIsPending) {
  ASSERT_NO_FATAL_FAILURE(Activate());
  ASSERT_NO_FATAL_FAILURE(Arrive(Bytes({0x01, 0x03}), kOpenUs + 1000, kOpenUs + 1000));
  EXPECT_EQ(frames.size(), 1u);
  // A chunk the reader holds when the port closes is handed over while it
  // stops: it reaches the analyzer too.
  backend.Feed(Bytes({0x00}));
  ASSERT_TRUE(invoker.WaitForCall(std::chrono::seconds(2)));
  control.CloseComm(3);
  EXPECT_FALSE(analyzer.Running());
  ASSERT_EQ(frames.size(), 2u) << "the bytes held are framed at the close";
  EXPECT_EQ(frames[1].Bytes, Bytes({0x01, 0x03, 0x00}));

  // A device that vanishes: what it left is framed and the analyzer stops.
  ASSERT_NO_FATAL_FAILURE(Activate());
  ASSERT_TRUE(analyzer.Running());
  backend.VanishAfter(Bytes({0x02, 0x03, 0x00}));
  ASSERT_TRUE(PumpUntil([&] { return ws->Settings.PortActive == 0; }));
  EXPECT_FALSE(analyzer.Running());
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames.back().Bytes, Bytes({0x02, 0x03, 0x00}));
}

TEST(AnalyzerOnAPseudoTerminal, TheNoteSaysSoAndNoUartCountsAreReported) {
  korvane::test::PtyPair line;
  if (!line.Ok()) GTEST_SKIP() << "no pseudo-terminal can be made here: " << line.Error();
  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  ports.SetPortOverride(4, line.SlavePath());
  QueuedInvoker invoker;
  FakeTickSource ticks{5000};
  auto ws = MakeWorkspace();
  RecordingView view{*ws};
  LineAnalyzer analyzer;
  TSerialPort serial{invoker, DefaultCommBackend(), ports};
  PortControl control{*ws, serial, ticks, view};
  control.AttachAnalyzer(&analyzer);
  ws->Settings.CommPort = 4;
  control.ApplySettingsAndOpen();
  ASSERT_EQ(line.Read(9), "Open Port");
  EXPECT_EQ(analyzer.TimingNote(), kPtyNote);
  EXPECT_FALSE(analyzer.Settings().TimingResolved);
  control.Timer2Timer();
  EXPECT_FALSE(analyzer.UartErrors().Reported) << "a pseudo-terminal keeps no UART counters";
  // Its reads are stamped on the component's clock, from the open.
  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
  ASSERT_TRUE(line.Write(request));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (analyzer.Size() < 2 && std::chrono::steady_clock::now() < end)
    invoker.WaitAndPump(std::chrono::milliseconds(20));
  ASSERT_EQ(analyzer.Size(), 2u);
  EXPECT_EQ(analyzer.At(1).Bytes, request);
  EXPECT_LE(analyzer.At(1).EndUs, serial.NowMicros() - serial.OpenedAtUs() + 1042);
  control.CloseComm(4);
}
