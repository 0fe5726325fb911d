// Fuzz target for the slave's request checkers (built twice: RTU and ASCII).
//
// Input: 14 header bytes, then the received stream.
//   0..4  the five slot addresses
//   5     seed of the chunk sizes and clock steps
//   6     bit 0: the clock moves between chunks (from just below the 32-bit
//         wrap); bits 1..6: largest chunk size; bit 7: chunks up to 600
//   7     function of the closing request (index into 1,2,3,4,5,6,15,16)
//   8..9  its start address, 10..11 its quantity or value
//   12    the slot it addresses (0..4), 13 seed of its data
//
// Checks:
//   - every reply is well formed: CRC (RTU) or ":" hex LRC CR LF (ASCII),
//     address = a slot address, a function that is served, and a length that
//     fits the function;
//   - RTU with the clock standing still: the replies do not depend on how the
//     stream was split into chunks (the stream is fed until its replies pass
//     64 KB);
//   - RTU: every request served is a whole request to a slot, of the length
//     its function and quantity give, with a good CRC, and it stands in the
//     bytes received (no answer to a frame that does not check);
//   - the bytes held never pass their bound;
//   - after the noise and a time-out, a well-formed request is answered
//     exactly once, with the reply and table changes a Modbus slave owes,
//     and nothing is held after it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "fuzz_support.h"
#include "modbus/slave.h"

#ifndef KORVANE_FUZZ_ASCII
#error "define KORVANE_FUZZ_ASCII as 0 (RTU) or 1 (ASCII)"
#endif

namespace {

using namespace korvane;
using korvane::fuzz::Rng;
constexpr bool kAscii = KORVANE_FUZZ_ASCII != 0;
constexpr size_t kHeader = 14;
constexpr size_t kReplyBudget = 64 * 1024;
constexpr std::array<uint8_t, 8> kFunctions = {1, 2, 3, 4, 5, 6, 15, 16};

bool IsSlotAddress(const Workspace& ws, uint8_t a) {
  for (int s = 1; s <= kSlotCount; ++s)
    if (ws.Devices.SlotAddress[static_cast<size_t>(s)] == a) return true;
  return false;
}

int ServingSlot(const Workspace& ws, uint8_t a) {
  for (int s = kSlotCount; s >= 1; --s)
    if (ws.Devices.SlotAddress[static_cast<size_t>(s)] == a) return s;
  return 0;
}

// Reply bytes without checksum, or a failed check.
std::string ReplyBody(const std::string& frame) {
  if constexpr (kAscii) {
    std::string bytes;
    KORVANE_FUZZ_CHECK(fuzz::FromAscii(frame, bytes));
    KORVANE_FUZZ_CHECK(!bytes.empty());
    KORVANE_FUZZ_CHECK(fuzz::Lrc(bytes, bytes.size() - 1) == static_cast<uint8_t>(bytes.back()));
    bytes.pop_back();
    return bytes;
  } else {
    KORVANE_FUZZ_CHECK(fuzz::CrcOk(frame));
    return frame.substr(0, frame.size() - 2);
  }
}

void CheckReplyShape(const Workspace& ws, const std::string& frame) {
  const std::string b = ReplyBody(frame);
  KORVANE_FUZZ_CHECK(b.size() >= 3);
  KORVANE_FUZZ_CHECK(IsSlotAddress(ws, static_cast<uint8_t>(b[0])));
  const auto f = static_cast<uint8_t>(b[1]);
  KORVANE_FUZZ_CHECK(std::find(kFunctions.begin(), kFunctions.end(), f) != kFunctions.end());
  if (f <= 4) {
    // The byte-count field carries the low eight bits of the data length.
    KORVANE_FUZZ_CHECK(static_cast<uint8_t>(b[2]) == static_cast<uint8_t>(b.size() - 3));
  } else {
    KORVANE_FUZZ_CHECK(b.size() == 6);
  }
}

std::string Encode(const std::string& body) { return kAscii ? fuzz::ToAscii(body) : fuzz::WithCrc(body); }

void Feed(TSlave& slave, const std::string& chunk) {
  if constexpr (kAscii)
    slave.CheckModbusASCII(static_cast<int32_t>(chunk.size()), chunk);
  else
    slave.CheckModbusRTU(static_cast<int32_t>(chunk.size()), chunk);
}

// Keeps every reply and the request it answers.
class Sender final : public FrameSender {
public:
  void SendCommStr(int, const std::string& frame) override {
    frames.push_back(frame);
    if (slave != nullptr) served.push_back(slave->RxFrame);
  }
  const TSlave* slave = nullptr;
  std::vector<std::string> frames;
  std::vector<std::string> served;
};

// A request to a slot as a Modbus slave would frame it: its whole length by
// function and quantity, its CRC.
void CheckServedRequest(const Workspace& ws, const std::string& r, const std::string& stream) {
  KORVANE_FUZZ_CHECK(r.size() >= 8);
  KORVANE_FUZZ_CHECK(IsSlotAddress(ws, static_cast<uint8_t>(r[0])));
  const auto f = static_cast<uint8_t>(r[1]);
  const uint32_t q = static_cast<uint8_t>(r[4]) * 256u + static_cast<uint8_t>(r[5]);
  const size_t length = f == 15 ? 9 + (q + 7) / 8 : f == 16 ? 9 + 2 * q : 8;
  KORVANE_FUZZ_CHECK(std::find(kFunctions.begin(), kFunctions.end(), f) != kFunctions.end());
  KORVANE_FUZZ_CHECK(r.size() == length);
  KORVANE_FUZZ_CHECK(fuzz::CrcOk(r));
  KORVANE_FUZZ_CHECK(stream.find(r) != std::string::npos);
}

struct Rig {
  std::unique_ptr<Workspace> ws = MakeWorkspace();
  FakeTickSource ticks;
  Sender sender;
  void Reset(const uint8_t* hdr) {
    if (ws->Cycle.RegsChanged) ws->Store.Clear(); // the same input always meets the same tables
    ws->Cycle.RegsChanged = 0;
    for (int s = 1; s <= kSlotCount; ++s) ws->Devices.SlotAddress[static_cast<size_t>(s)] = hdr[s - 1];
    ws->Settings.RtuMode = FrameModeOf(!kAscii);
    sender.frames.clear();
    sender.served.clear();
    sender.slave = nullptr;
  }
};

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// A request any Modbus slave serves; checks the one reply and the tables.
void ClosingRequest(Rig& rig, TSlave& slave, const uint8_t* hdr, Rng& split) {
  Workspace& ws = *rig.ws;
  const uint8_t f = kFunctions[hdr[7] % kFunctions.size()];
  const uint8_t address =
      static_cast<uint8_t>(ws.Devices.SlotAddress[static_cast<size_t>(hdr[12] % kSlotCount + 1)]);
  const int slot = ServingSlot(ws, address);
  AddressSlot& t = ws.SlotTables(slot);
  const uint32_t raw_q = Word(hdr + 10);
  uint32_t q = 0;
  switch (f) {
  case 1:
  case 2:
    q = 1 + raw_q % 2000;
    break;
  case 3:
  case 4:
    q = 1 + raw_q % 125;
    break;
  // The largest quantities of the protocol; in ASCII a request of more than
  // 500 characters is abandoned, which caps 15 at 1928 coils, 16 at 120.
  case 15:
    q = 1 + raw_q % (kAscii ? 1928 : 1968);
    break;
  case 16:
    q = 1 + raw_q % (kAscii ? 120 : 123);
    break;
  default:
    q = raw_q; // value of 5 and 6
  }
  uint32_t start = Word(hdr + 8);
  if (f != 5 && f != 6) start = std::min(start, 65536 - q);
  if (f == 5) q = (raw_q & 1) ? 0xFF00 : 0x0000;

  std::string req;
  req.push_back(static_cast<char>(address));
  req.push_back(static_cast<char>(f));
  req.push_back(static_cast<char>(start >> 8));
  req.push_back(static_cast<char>(start & 0xFF));
  req.push_back(static_cast<char>(q >> 8));
  req.push_back(static_cast<char>(q & 0xFF));
  Rng data(hdr[13]);
  std::vector<uint16_t> values;
  if (f == 15) {
    req.push_back(static_cast<char>((q + 7) / 8));
    for (uint32_t i = 0; i < (q + 7) / 8; ++i) req.push_back(static_cast<char>(data.Next()));
  } else if (f == 16) {
    req.push_back(static_cast<char>(2 * q));
    for (uint32_t i = 0; i < q; ++i) {
      values.push_back(static_cast<uint16_t>(data.Next()));
      req.push_back(static_cast<char>(values.back() >> 8));
      req.push_back(static_cast<char>(values.back() & 0xFF));
    }
  }

  // What the reply must be, from the tables as they are before the request.
  std::string expect = req.substr(0, 6);
  auto bit = [](const BitTable& table, uint32_t n) {
    return (table[(n - 1) / 16 + 1] >> ((n - 1) % 16)) & 1;
  };
  if (f == 1 || f == 2) {
    const BitTable& table = f == 1 ? t.CoilTable : t.StatusTable;
    expect = req.substr(0, 2);
    expect.push_back(static_cast<char>((q + 7) / 8));
    for (uint32_t i = 0; i < q; i += 8) {
      unsigned acc = 0;
      for (uint32_t k = 0; k < 8 && i + k < q; ++k) acc |= bit(table, start + 1 + i + k) << k;
      expect.push_back(static_cast<char>(acc));
    }
  } else if (f == 3 || f == 4) {
    const RegTable& table = f == 3 ? t.HoldingRegTable : t.InputRegTable;
    expect = req.substr(0, 2);
    expect.push_back(static_cast<char>(2 * q));
    for (uint32_t i = 0; i < q; ++i) {
      const auto v = static_cast<uint16_t>(table[start + 1 + i]);
      expect.push_back(static_cast<char>(v >> 8));
      expect.push_back(static_cast<char>(v & 0xFF));
    }
  }

  rig.sender.frames.clear();
  for (const std::string& chunk : fuzz::Split(Encode(req), split, 16)) Feed(slave, chunk);
  KORVANE_FUZZ_CHECK(rig.sender.frames.size() == 1);
  KORVANE_FUZZ_CHECK(rig.sender.frames[0] == Encode(expect));

  if (f == 5) KORVANE_FUZZ_CHECK(bit(t.CoilTable, start + 1) == (q != 0 ? 1 : 0));
  if (f == 6 && start + 1 <= kRegisters)
    KORVANE_FUZZ_CHECK(t.HoldingRegTable[start + 1] == static_cast<int32_t>(q));
  if (f == 15)
    for (uint32_t i = 0; i < q; ++i)
      KORVANE_FUZZ_CHECK(bit(t.CoilTable, start + 1 + i) ==
                         ((static_cast<uint8_t>(req[7 + i / 8]) >> (i % 8)) & 1u));
  if (f == 16)
    for (uint32_t i = 0; i < q; ++i) KORVANE_FUZZ_CHECK(t.HoldingRegTable[start + 1 + i] == values[i]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig a, b; // 2.7 MB each: built once
  uint8_t hdr[kHeader] = {};
  std::copy(data, data + std::min(size, kHeader), hdr);
  const std::string stream = size > kHeader
                                 ? std::string(reinterpret_cast<const char*>(data) + kHeader, size - kHeader)
                                 : std::string();
  const bool clock_moves = hdr[6] & 1;
  const size_t max_chunk = (hdr[6] & 0x80) ? 600 : 1 + ((hdr[6] >> 1) & 0x3F);

  a.Reset(hdr);
  a.ticks.Set(clock_moves ? 0xFFFFFFFFu - hdr[5] * 1000u : 1000u);
  TSlave slave(*a.ws, a.sender, a.ticks);
  a.sender.slave = &slave;
  Rng rng(hdr[5]);
  // A read of 65535 registers takes a 17-character request and gives a
  // 262 KB reply: once the replies pass the budget, the rest of the stream is
  // left unfed, so no input costs more than a few such replies.
  size_t fed = 0, reply_bytes = 0;
  for (const std::string& chunk : fuzz::Split(stream, rng, max_chunk)) {
    if (reply_bytes > kReplyBudget) break;
    const size_t before = a.sender.frames.size();
    Feed(slave, chunk);
    fed += chunk.size();
    KORVANE_FUZZ_CHECK(slave.RxCount() >= 0 && static_cast<size_t>(slave.RxCount()) <= TSlave::kHeldBytes);
    if (clock_moves) a.ticks.Advance(rng.Next() % 4000);
    for (size_t i = before; i < a.sender.frames.size(); ++i) reply_bytes += a.sender.frames[i].size();
  }
  for (const std::string& reply : a.sender.frames) CheckReplyShape(*a.ws, reply);
  if (!kAscii)
    for (const std::string& request : a.sender.served) CheckServedRequest(*a.ws, request, stream);

  if (!kAscii && !clock_moves) {
    // The same stream in one chunk, on a twin workspace.
    b.Reset(hdr);
    b.ticks.Set(1000u);
    TSlave twin(*b.ws, b.sender, b.ticks);
    Feed(twin, stream.substr(0, fed));
    KORVANE_FUZZ_CHECK(twin.RxCount() == slave.RxCount());
    KORVANE_FUZZ_CHECK(b.sender.frames == a.sender.frames);
  }

  // A time-out ends whatever is held: the first byte after the deadline
  // (RTU) begins afresh; in ASCII the request's ":" always does.
  a.ticks.Advance(TSlave::kRequestTimeout + 1);
  ClosingRequest(a, slave, hdr, rng);
  KORVANE_FUZZ_CHECK(slave.RxCount() == 0);
  return 0;
}
