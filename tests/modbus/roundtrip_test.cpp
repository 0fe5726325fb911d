// The master engine talking to the slave engine over an in-process line, in
// both framings: every table and function code, values landing in the right
// slot and registers on the far side.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/master.h"
#include "modbus/slave.h"
#include "support/recording_sender.h"

using namespace korvane;

namespace {

// One direction of the line: frames are held until the test delivers them, as
// the reader thread would, so neither engine is re-entered from its own send.
using LineQueue = test::RecordingSender;

int32_t Pattern(int n) { return (n * 2654435761u >> 7) & 0xFFFF; }
bool BitPattern(int n) { return (n * 7 + n / 5) % 3 == 0; }

class RoundTrip : public ::testing::TestWithParam<bool> {
protected:
  bool rtu = GetParam();
  FakeTickSource ticks{5000};
  std::unique_ptr<Workspace> mws = MakeWorkspace(); // master side
  std::unique_ptr<Workspace> sws = MakeWorkspace(); // slave side
  LineQueue toSlave, toMaster;
  TMaster master{*mws, toSlave, ticks};
  TSlave slave{*sws, toMaster, ticks};

  RoundTrip() {
    mws->Settings.IsMaster = roMaster;
    mws->Settings.RtuMode = sws->Settings.RtuMode = FrameModeOf(rtu);
    // The master shows its slot 2, device 30; the slave serves 30 from slot 3.
    mws->Devices.SlotAddress[2] = 30;
    mws->SelectSlot(2);
    sws->Devices.SlotAddress[3] = 30;
    AddressSlot& s = sws->SlotTables(3);
    for (int n = 1; n <= kRegisters; ++n) {
      s.HoldingRegTable[static_cast<size_t>(n)] = Pattern(n);
      s.InputRegTable[static_cast<size_t>(n)] = Pattern(n + 99991);
      SetBit(s.CoilTable, n, BitPattern(n));
      SetBit(s.StatusTable, n, !BitPattern(n));
    }
  }

  // Sends what MasterPollPLC produced to the slave, and its reply back, each
  // frame in two chunks. Returns the master's status for the last chunk.
  int32_t Exchange() {
    mws->Cycle.ReplyDeadline = ticks.Now() + static_cast<uint32_t>(mws->Settings.ResponseTime);
    EXPECT_EQ(toSlave.frames.size(), 1u);
    for (const auto& f : toSlave.frames)
      for (const auto& part : Halves(f)) {
        const auto n = static_cast<int32_t>(part.size());
        rtu ? slave.CheckModbusRTU(n, part) : slave.CheckModbusASCII(n, part);
      }
    toSlave.frames.clear();
    EXPECT_EQ(toMaster.frames.size(), 1u);
    int32_t status = -1;
    for (const auto& f : toMaster.frames)
      for (const auto& part : Halves(f)) {
        const auto n = static_cast<int32_t>(part.size());
        status = rtu ? master.MasterCheckRTU(n, part) : master.MasterCheckASCII(n, part);
      }
    toMaster.frames.clear();
    return status;
  }
  static std::vector<std::string> Halves(const std::string& f) {
    return {f.substr(0, f.size() / 2), f.substr(f.size() / 2)};
  }

  AddressSlot& Mine() { return mws->SlotTables(2); }
  AddressSlot& Theirs() { return sws->SlotTables(3); }
};

TEST_P(RoundTrip, RegisterReadsWalkTheViewIntoTheActiveSlot) {
  for (int32_t type : {2, 3}) {
    mws->View.RegType = static_cast<TRegType>(type);
    mws->View.StartReg = 1000;
    mws->View.RegLength = 100;
    mws->Cycle.MasterWrite = 0;
    for (int tick = 0; tick < 3; ++tick) { // ASCII needs two windows of 64
      ComputePollWindow(*mws);
      master.MasterPollPLC();
      EXPECT_EQ(master.SentFunction, type == 3 ? 3 : 4);
      ASSERT_EQ(Exchange(), 1) << "type " << type << " tick " << tick;
    }
    const RegTable& mine = type == 3 ? Mine().HoldingRegTable : Mine().InputRegTable;
    const RegTable& theirs = type == 3 ? Theirs().HoldingRegTable : Theirs().InputRegTable;
    for (int n = 1000; n < 1100; ++n)
      ASSERT_EQ(mine[static_cast<size_t>(n)], theirs[static_cast<size_t>(n)]) << n;
    EXPECT_EQ(mine[999], 0);
  }
  for (int s : {1, 3, 4, 5}) EXPECT_EQ(mws->SlotTables(s).HoldingRegTable[1000], 0) << s;
}

TEST_P(RoundTrip, BitReadsCoverTheViewAndNoMore) {
  for (int32_t type : {0, 1}) {
    mws->View.RegType = static_cast<TRegType>(type);
    mws->View.StartReg = 1000;
    mws->View.RegLength = 37; // a partly filled last byte
    mws->Cycle.MasterWrite = 0;
    master.MasterPollPLC();
    EXPECT_EQ(master.SentFunction, type + 1);
    ASSERT_EQ(Exchange(), 1) << "type " << type;
    const BitTable& mine = type == 0 ? Mine().CoilTable : Mine().StatusTable;
    const BitTable& theirs = type == 0 ? Theirs().CoilTable : Theirs().StatusTable;
    for (int n = 1000; n < 1037; ++n) ASSERT_EQ(GetBit(mine, n), GetBit(theirs, n)) << n;
    EXPECT_FALSE(GetBit(mine, 999));
    EXPECT_FALSE(GetBit(mine, 1037));
  }
}

TEST_P(RoundTrip, WritesLandOnTheSlave) {
  mws->Cycle.MasterWrite = 1;

  // 5: single coil on, then off.
  mws->View.RegType = rtCoils;
  mws->Cycle.WriteCount = 0;
  mws->Cycle.WriteAddress = 1234;
  for (int32_t v : {1, 0}) {
    mws->Cycle.WriteValues[1] = v;
    master.MasterPollPLC();
    EXPECT_EQ(master.SentFunction, 5);
    ASSERT_EQ(Exchange(), 1);
    EXPECT_EQ(GetBit(Theirs().CoilTable, 1234), v == 1);
    EXPECT_EQ(GetBit(Theirs().CoilTable, 1233), BitPattern(1233));
    EXPECT_EQ(GetBit(Theirs().CoilTable, 1235), BitPattern(1235));
  }

  // 15: ten coils packed 0D 03 from coil 17.
  mws->View.RegLength = 10;
  mws->Cycle.WriteAddress = 17;
  mws->Cycle.WriteCount = 2;
  mws->Cycle.WriteValues[1] = 0x0D;
  mws->Cycle.WriteValues[2] = 0x03;
  master.MasterPollPLC();
  EXPECT_EQ(master.SentFunction, 15);
  ASSERT_EQ(Exchange(), 1);
  const bool coils[] = {true, false, true, true, false, false, false, false, true, true};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(GetBit(Theirs().CoilTable, 17 + i), coils[i]) << 17 + i;
  EXPECT_EQ(GetBit(Theirs().CoilTable, 16), BitPattern(16));
  EXPECT_EQ(GetBit(Theirs().CoilTable, 27), BitPattern(27));

  // 6: one register at the top of the range.
  mws->View.RegType = rtHoldingRegs;
  mws->Settings.SingleRegWrite = 1;
  mws->Cycle.WriteAddress = 65536;
  mws->Cycle.WriteCount = 1;
  mws->Cycle.WriteValues[1] = 0xBEEF;
  master.MasterPollPLC();
  EXPECT_EQ(master.SentFunction, 6);
  ASSERT_EQ(Exchange(), 1);
  EXPECT_EQ(Theirs().HoldingRegTable[65536], 0xBEEF);

  // 16: three registers.
  mws->Settings.SingleRegWrite = 0;
  mws->Cycle.WriteAddress = 500;
  mws->Cycle.WriteCount = 3;
  mws->Cycle.WriteValues[1] = 1;
  mws->Cycle.WriteValues[2] = 0x8000;
  mws->Cycle.WriteValues[3] = 65535;
  master.MasterPollPLC();
  EXPECT_EQ(master.SentFunction, 16);
  ASSERT_EQ(Exchange(), 1);
  EXPECT_EQ(Theirs().HoldingRegTable[499], Pattern(499));
  EXPECT_EQ(Theirs().HoldingRegTable[500], 1);
  EXPECT_EQ(Theirs().HoldingRegTable[501], 0x8000);
  EXPECT_EQ(Theirs().HoldingRegTable[502], 65535);
  EXPECT_EQ(Theirs().HoldingRegTable[503], Pattern(503));

  // The master's own store is never changed by a write.
  EXPECT_EQ(Mine().HoldingRegTable[500], 0);
  EXPECT_FALSE(GetBit(Mine().CoilTable, 17));
}

std::string FramingName(const ::testing::TestParamInfo<bool>& p) { return p.param ? "Rtu" : "Ascii"; }
INSTANTIATE_TEST_SUITE_P(Framing, RoundTrip, ::testing::Values(true, false), FramingName);

} // namespace
