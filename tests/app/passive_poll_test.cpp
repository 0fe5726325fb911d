// The passive poll: exchanges of other devices, framed by the real frame
// decoder from the bytes a listener reads, put into the tables of the slots
// with the replying device's address.
#include "app/core/passive_poll.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "modbus/core.h"
#include "modbus/line_decoder.h"
#include "support/recording_sender.h"

using namespace korvane;
using test::Rtu;

namespace {

struct Collect final : line::FrameSink {
  void OnFrame(const line::Frame& f) override { frames.push_back(f); }
  std::vector<line::Frame> frames;
};

// The pieces as a listener reads them, 5 ms apart at 115200 baud, framed by the decoder.
std::vector<line::Frame> Framed(const std::vector<std::string>& pieces, bool ascii = false) {
  Collect sink;
  line::DecoderSettings s;
  s.Baud = 115200;
  s.Framing = ascii ? frame::Framing::kAscii : frame::Framing::kRtu;
  line::FrameDecoder decoder(sink, s);
  uint64_t t = 10000;
  for (const std::string& p : pieces) {
    decoder.Received(ascii ? ConvertToASCII(p.substr(0, p.size() - 2)) : p, t);
    t += 5000;
  }
  decoder.Flush();
  return sink.frames;
}

// One table entry after the exchange: slot, table, number (from 1), value.
struct Entry {
  int slot;
  TRegType table;
  int64_t number;
  int32_t value;
};

int32_t Value(const Workspace& ws, const Entry& e) {
  const AddressSlot& t = ws.SlotTables(e.slot);
  switch (e.table) {
  case rtCoils:
    return GetBit(t.CoilTable, e.number) ? 1 : 0;
  case rtInputs:
    return GetBit(t.StatusTable, e.number) ? 1 : 0;
  case rtInputRegs:
    return t.InputRegTable[static_cast<size_t>(e.number)];
  default:
    return t.HoldingRegTable[static_cast<size_t>(e.number)];
  }
}

struct Case {
  const char* name;
  std::vector<std::string> pieces; // request, reply, ... as read from the line
  const char* status;              // the last status text, up to ", reply in"; nullptr: none
  std::vector<Entry> entries;      // values after the exchange (slot 2 and 4 have address 7)
  bool redraw;                     // slot 2, holding registers, is shown
  bool ascii = false;
};

TEST(PassivePoll, EachReplyFillsItsTableInEverySlotOfItsDevice) {
  const Case cases[] = {
      {"holding registers",
       {Rtu({7, 3, 0, 10, 0, 2}), Rtu({7, 3, 4, 0x12, 0x34, 0xFF, 0xFF})},
       "Seen: device 7 Read Holding Registers 11-12",
       {{2, rtHoldingRegs, 11, 0x1234},
        {2, rtHoldingRegs, 12, 0xFFFF},
        {4, rtHoldingRegs, 11, 0x1234},
        {4, rtHoldingRegs, 12, 0xFFFF},
        {2, rtHoldingRegs, 13, 0},
        {1, rtHoldingRegs, 11, 0},
        {2, rtInputRegs, 11, 0}},
       true},
      {"input registers",
       {Rtu({7, 4, 0, 0, 0, 1}), Rtu({7, 4, 2, 0x00, 0x2A})},
       "Seen: device 7 Read Input Registers 1",
       {{2, rtInputRegs, 1, 42}, {4, rtInputRegs, 1, 42}, {2, rtHoldingRegs, 1, 0}},
       false},
      {"coils",
       {Rtu({7, 1, 0, 3, 0, 10}), Rtu({7, 1, 2, 0b10100101, 0b11})},
       "Seen: device 7 Read Coils 4-13",
       {{2, rtCoils, 4, 1},
        {2, rtCoils, 5, 0},
        {2, rtCoils, 6, 1},
        {2, rtCoils, 11, 1},
        {2, rtCoils, 12, 1},
        {2, rtCoils, 13, 1},
        {4, rtCoils, 13, 1},
        {2, rtCoils, 14, 0},
        {2, rtInputs, 4, 0}},
       false},
      {"discrete inputs",
       {Rtu({7, 2, 0, 0, 0, 3}), Rtu({7, 2, 1, 0b11111101})},
       "Seen: device 7 Read Discrete Inputs 1-3",
       // Bits past the quantity asked for are not stored.
       {{2, rtInputs, 1, 1},
        {2, rtInputs, 2, 0},
        {2, rtInputs, 3, 1},
        {2, rtInputs, 4, 0},
        {2, rtCoils, 1, 0}},
       false},
      {"a single coil, on and off",
       {Rtu({7, 5, 0, 20, 0xFF, 0}), Rtu({7, 5, 0, 20, 0xFF, 0}), Rtu({7, 5, 0, 21, 0xFF, 0}),
        Rtu({7, 5, 0, 21, 0xFF, 0}), Rtu({7, 5, 0, 20, 0, 0}), Rtu({7, 5, 0, 20, 0, 0})},
       "Seen: device 7 Write Single Coil 21",
       {{2, rtCoils, 21, 0}, {2, rtCoils, 22, 1}, {4, rtCoils, 22, 1}},
       false},
      {"a single register",
       {Rtu({7, 6, 0, 1, 0xAB, 0xCD}), Rtu({7, 6, 0, 1, 0xAB, 0xCD})},
       "Seen: device 7 Write Single Register 2",
       {{2, rtHoldingRegs, 2, 0xABCD}, {4, rtHoldingRegs, 2, 0xABCD}, {2, rtHoldingRegs, 1, 0}},
       true},
      {"multiple coils, from the request",
       {Rtu({7, 15, 0, 0, 0, 10, 2, 0b00001111, 0b10}), Rtu({7, 15, 0, 0, 0, 10})},
       "Seen: device 7 Write Multiple Coils 1-10",
       {{2, rtCoils, 1, 1}, {2, rtCoils, 4, 1}, {2, rtCoils, 5, 0}, {2, rtCoils, 10, 1}, {4, rtCoils, 10, 1}},
       false},
      {"multiple registers, from the request",
       {Rtu({7, 16, 0, 99, 0, 2, 4, 0, 5, 0, 6}), Rtu({7, 16, 0, 99, 0, 2})},
       "Seen: device 7 Write Multiple Registers 100-101",
       {{2, rtHoldingRegs, 100, 5}, {2, rtHoldingRegs, 101, 6}, {4, rtHoldingRegs, 101, 6}},
       true},
      {"a write without its reply stores nothing",
       {Rtu({7, 16, 0, 99, 0, 2, 4, 0, 5, 0, 6})},
       nullptr,
       {{2, rtHoldingRegs, 100, 0}},
       false},
      {"an exception stores nothing",
       {Rtu({7, 3, 0, 0, 0, 2}), Rtu({7, 0x83, 2})},
       "Seen: device 7 Read Holding Registers 1-2, exception 2 Illegal Data Address",
       {{2, rtHoldingRegs, 1, 0}},
       false},
      {"a reply with a bad CRC",
       {Rtu({7, 3, 0, 0, 0, 1}), Rtu({7, 3, 2, 0, 9}).substr(0, 5) + "\x01\x02"},
       nullptr,
       {{2, rtHoldingRegs, 1, 0}},
       false},
      {"a reply without its request", {Rtu({7, 3, 2, 0, 9})}, nullptr, {{2, rtHoldingRegs, 1, 0}}, false},
      {"a reply carrying more than was asked",
       {Rtu({7, 3, 0, 0, 0, 1}), Rtu({7, 3, 4, 0, 9, 0, 8})},
       "Seen: device 7 Read Holding Registers 1",
       {{2, rtHoldingRegs, 1, 9}, {2, rtHoldingRegs, 2, 0}},
       true},
      {"a device without a slot",
       {Rtu({9, 3, 0, 0, 0, 1}), Rtu({9, 3, 2, 0, 9})},
       "Seen: device 9 Read Holding Registers 1",
       {{1, rtHoldingRegs, 1, 0}, {2, rtHoldingRegs, 1, 0}, {3, rtHoldingRegs, 1, 0}},
       false},
      {"never past register 65536",
       {Rtu({7, 3, 0xFF, 0xFE, 0, 4}), Rtu({7, 3, 8, 0, 1, 0, 2, 0, 3, 0, 4})},
       "Seen: device 7 Read Holding Registers 65535-65538",
       {{2, rtHoldingRegs, 65535, 1}, {2, rtHoldingRegs, 65536, 2}, {3, rtHoldingRegs, 1, 0}},
       true},
      {"never past coil 65536",
       {Rtu({7, 1, 0xFF, 0xFC, 0, 16}), Rtu({7, 1, 2, 0xFF, 0xFF})},
       "Seen: device 7 Read Coils 65533-65548",
       {{2, rtCoils, 65533, 1}, {2, rtCoils, 65536, 1}},
       false},
      {"ASCII",
       {Rtu({7, 3, 0, 4, 0, 1}), Rtu({7, 3, 2, 0x01, 0x02})},
       "Seen: device 7 Read Holding Registers 5",
       {{2, rtHoldingRegs, 5, 0x0102}, {4, rtHoldingRegs, 5, 0x0102}},
       true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto ws = MakeWorkspace();
    ws->Devices.SlotAddress = {0, 1, 7, 3, 7, 5};
    ws->SelectSlot(2);
    ws->View.RegType = rtHoldingRegs;
    PassivePoll poll(*ws);
    std::optional<std::string> status;
    bool redraw = false;
    for (const line::Frame& f : Framed(c.pieces, c.ascii)) {
      const SeenExchange seen = poll.OnFrame(f);
      if (seen.StatusText) status = seen.StatusText;
      redraw = redraw || seen.Redraw;
    }
    if (c.status == nullptr) {
      EXPECT_FALSE(status.has_value()) << *status;
    } else {
      ASSERT_TRUE(status.has_value());
      EXPECT_EQ(status->substr(0, std::string(c.status).size()), c.status);
      // The reply time follows, after a normal reply only.
      const std::string rest = status->substr(std::string(c.status).size());
      const bool exception = std::string(c.status).find("exception") != std::string::npos;
      EXPECT_TRUE(exception ? rest.empty()
                            : std::regex_match(rest, std::regex(", reply in [0-9]+\\.[0-9] ms")))
          << *status;
    }
    for (const Entry& e : c.entries)
      EXPECT_EQ(Value(*ws, e), e.value) << "slot " << e.slot << " table " << e.table << " entry " << e.number;
    EXPECT_EQ(redraw, c.redraw);
    // A store marks the tables changed for the next tick of the poll timer.
    bool stored = false;
    for (const Entry& e : c.entries) stored = stored || e.value != 0;
    EXPECT_EQ(ws->Cycle.RegsChanged, stored ? 1 : 0);
    // What lies behind slot 2's last register (slot 3's first words) is untouched.
    EXPECT_EQ(ws->SlotTables(3).CoilTable[0], 0);
    EXPECT_EQ(ws->SlotTables(3).CoilTable[1], 0);
  }
}

// What the status line says, from the frame alone.
TEST(PassivePoll, SeenTextNamesDeviceFunctionNumbersAndReplyTime) {
  struct TextCase {
    int device, function, start, quantity;
    int64_t responseUs;
    bool timed;
    line::FrameKind kind;
    int exception;
    const char* text;
  } cases[] = {
      {7, 3, 0, 10, 4200, true, line::FrameKind::kReply, -1,
       "Seen: device 7 Read Holding Registers 1-10, reply in 4.2 ms"},
      {7, 3, 0, 10, 4200, false, line::FrameKind::kReply, -1, "Seen: device 7 Read Holding Registers 1-10"},
      {7, 3, 0, 10, -1, true, line::FrameKind::kReply, -1, "Seen: device 7 Read Holding Registers 1-10"},
      {247, 5, 16, 1, 960, true, line::FrameKind::kReply, -1,
       "Seen: device 247 Write Single Coil 17, reply in 1.0 ms"},
      {1, 0x81, 0, 8, 1000, true, line::FrameKind::kException, 2,
       "Seen: device 1 Read Coils 1-8, exception 2 Illegal Data Address"},
      {1, 0xC1, 0, 1, 1000, true, line::FrameKind::kException, 1,
       "Seen: device 1 Function 65 1, exception 1 Illegal Function"},
  };
  for (const TextCase& c : cases) {
    line::Frame f;
    f.Device = static_cast<int16_t>(c.device);
    f.Function = static_cast<int16_t>(c.function);
    f.RequestStart = c.start;
    f.RequestQuantity = c.quantity;
    f.ResponseUs = c.responseUs;
    f.Kind = c.kind;
    line::Fields fields;
    fields.ExceptionCode = c.exception;
    EXPECT_EQ(SeenText(f, fields, c.timed), c.text);
  }
}

} // namespace
