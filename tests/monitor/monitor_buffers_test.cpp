#include "modbus/frame_rules.h"
#include "monitor/core/monitor_buffers.h"

#include <gtest/gtest.h>

using namespace korvane;
using frame::Bytes;

class MonitorBuffers : public ::testing::Test {
protected:
  std::unique_ptr<Workspace> ws = MakeWorkspace();
};

TEST_F(MonitorBuffers, RenderingOfOneByte) {
  EXPECT_EQ(RenderByte(0x0A, true), "[0A]");
  EXPECT_EQ(RenderByte(0xC5, true), "[C5]");
  EXPECT_EQ(RenderByte(0x0A, false), "\n");
  EXPECT_EQ(RenderByte(0x00, false), std::string(1, '\0'));
  EXPECT_STREQ(RenderingName(true), "Hexadecimal");
  EXPECT_STREQ(RenderingName(false), "Ascii");
}

TEST_F(MonitorBuffers, SentFrameIsRecordedWhetherOrNotThePortIsOpen) {
  ws->Settings.PortActive = 0;
  RecordSent(*ws, Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[01][03][00][00][00][0A][C5][CD]");
  EXPECT_EQ(ws->Monitor.MonitorText, "[01][03][00][00][00][0A][C5][CD]");
}

TEST_F(MonitorBuffers, ExchangeBoundaryOfTheMaster) {
  ws->Settings.IsMaster = roMaster;
  ws->Settings.PortActive = 1;
  RecordSent(*ws, Bytes({1, 3}));
  RecordReceived(*ws, Bytes({1, 3, 2}));
  EXPECT_EQ(ws->Monitor.MonitorRxText, "[01][03][02]");
  RecordSent(*ws, Bytes({1, 4}));
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[01][04]");
  EXPECT_EQ(ws->Monitor.MonitorRxText, ""); // emptied by each request
}

TEST_F(MonitorBuffers, SlaveKeepsTheRequestUntilTheNextOneStarts) {
  ws->Settings.IsMaster = roSlave;
  ws->Settings.PortActive = 1;
  RecordReceived(*ws, "AB");
  RecordSent(*ws, "R");
  EXPECT_EQ(ws->Monitor.MonitorRxText, "[41][42]"); // request stays beside its reply
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[52]");
  RecordReceived(*ws, "C");
  EXPECT_EQ(ws->Monitor.MonitorRxText, "[43]"); // first byte of the next request
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[52]");
}

TEST_F(MonitorBuffers, ReceiveCountOfALongMasterSessionNeverWraps) {
  // The master never restarts the count: after 2^31 received bytes it must
  // stay a positive count, and the receive text must go on growing.
  ws->Settings.IsMaster = roMaster;
  ws->Settings.PortActive = 1;
  RecordSent(*ws, Bytes({1, 3}));
  ws->Monitor.MonitorRxCount = INT32_MAX - 1;
  RecordReceived(*ws, "AB");
  EXPECT_EQ(ws->Monitor.MonitorRxCount, INT32_MAX);
  RecordReceived(*ws, "CD");
  EXPECT_EQ(ws->Monitor.MonitorRxCount, INT32_MAX);
  EXPECT_EQ(ws->Monitor.MonitorRxText, "[41][42][43][44]");
}

TEST_F(MonitorBuffers, SwitchesAndPortStateGateRecording) {
  struct Case {
    uint8_t port, rxOn, txOn, stopped;
    bool rxRecorded, txRecorded;
  } cases[] = {
      {1, 1, 1, 0, true, true},  {0, 1, 1, 0, false, true},  {1, 0, 1, 0, false, true},
      {1, 1, 0, 0, true, false}, {1, 1, 1, 1, false, false},
  };
  for (const auto& c : cases) {
    auto w = MakeWorkspace();
    w->Settings.PortActive = c.port;
    w->Monitor.MonitorRxOn = c.rxOn;
    w->Monitor.MonitorTxOn = c.txOn;
    w->Monitor.MonitorStopped = c.stopped;
    RecordReceived(*w, "x");
    EXPECT_EQ(!w->Monitor.MonitorRxText.empty(), c.rxRecorded);
    RecordSent(*w, "y");
    EXPECT_EQ(!w->Monitor.MonitorTxText.empty(), c.txRecorded);
  }
}

TEST_F(MonitorBuffers, TextsAreCutBackTo900PastAThousand) {
  ws->Settings.PortActive = 1;
  ws->Monitor.MonitorText = std::string(998, 'a');
  RecordSent(*ws, Bytes({0xFF}));
  // 998 + 4 = 1002 > 1000: the last 900 characters remain.
  ASSERT_EQ(ws->Monitor.MonitorText.size(), 900u);
  EXPECT_EQ(ws->Monitor.MonitorText.substr(896), "[FF]");

  ws->Settings.MonitorHex = 0;
  RecordReceived(*ws, std::string(2500, 'z'));
  EXPECT_LE(ws->Monitor.MonitorRxText.size(), 1000u);
  EXPECT_LE(ws->Monitor.MonitorText.size(), 1000u);
  // The transmit text holds one whole frame, however long.
  RecordSent(*ws, std::string(1500, 'q'));
  EXPECT_EQ(ws->Monitor.MonitorTxText.size(), 1500u);
}

TEST_F(MonitorBuffers, RenderingChangeAppliesToLaterBytesOnly) {
  ws->Settings.PortActive = 1;
  ws->Settings.IsMaster = roMaster;
  RecordSent(*ws, "A");
  ws->Settings.MonitorHex = 0;
  RecordReceived(*ws, "B");
  EXPECT_EQ(ws->Monitor.MonitorTxText, "[41]");
  EXPECT_EQ(ws->Monitor.MonitorRxText, "B");
}
