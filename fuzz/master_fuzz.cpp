// Fuzz target for the master's reply checkers (built twice: RTU and ASCII).
//
// Input: 13 header bytes describing the request, then the received stream.
//   0     device address
//   1     bit 0: the clock moves between chunks; bit 1: device address 256;
//         bit 2: short view (length below 130); bit 3: write address one
//         lower; bit 4: 115200 baud
//   2     table (-1..4)
//   3     bit 0 write, bit 1 single-register write, bits 2..4 active slot
//         (0..6), bits 5..7 move the start
//   4..5  start, 6..7 length, 8..9 write address, 10 write count - 2
//   11    seed of the written values, the chunk sizes and the clock steps
//   12    bit 0: the closing reply is an exception, bits 1..7 its code
//
// Checks:
//   - every status is one of 0..4 or 128 + a byte, and the count of taken
//     bytes never passes 500 at the end of a chunk;
//   - now and then a new request goes out in the middle of the stream;
//   - after a time-out, the request built from the header is well formed,
//     and the reply a Modbus device owes it is reported 1 (or 128 + e) on
//     exactly the chunk that completes it, with the values read stored.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "fuzz_support.h"
#include "modbus/master.h"

#ifndef KORVANE_FUZZ_ASCII
#error "define KORVANE_FUZZ_ASCII as 0 (RTU) or 1 (ASCII)"
#endif

namespace {

using namespace korvane;
using korvane::fuzz::Rng;
constexpr bool kAscii = KORVANE_FUZZ_ASCII != 0;
constexpr size_t kHeader = 13;

int32_t Feed(TMaster& m, const std::string& chunk) {
  if constexpr (kAscii)
    return m.MasterCheckASCII(static_cast<int32_t>(chunk.size()), chunk);
  else
    return m.MasterCheckRTU(static_cast<int32_t>(chunk.size()), chunk);
}

bool ValidStatus(int32_t s) { return (s >= 0 && s <= 4) || (s >= 128 && s <= 128 + 255); }

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void Configure(Workspace& ws, const uint8_t* h) {
  ws.Settings.RtuMode = FrameModeOf(!kAscii);
  ws.Settings.IsMaster = roMaster;
  ws.Settings.WriteFunction = 16;
  ws.Devices.DeviceAddress = (h[1] & 2) ? 256 : h[0];
  ws.Settings.BaudRate = (h[1] & 16) ? 115200 : 9600;
  ws.View.RegType = static_cast<TRegType>(h[2] % 6 - 1);
  ws.Cycle.MasterWrite = h[3] & 1;
  ws.Settings.SingleRegWrite = (h[3] >> 1) & 1;
  ws.Devices.ActiveSlot = (h[3] >> 2) % 7;
  ws.View.StartReg = Word(h + 4) + (h[3] >> 5) - 3;
  ws.View.RegLength = (h[1] & 4) ? Word(h + 6) % 130 : Word(h + 6);
  ws.Cycle.WriteAddress = Word(h + 8) + 1 - ((h[1] >> 3) & 1);
  ws.Cycle.WriteCount = h[10] - 2;
  Rng values(h[11]);
  for (auto& v : ws.Cycle.WriteValues) v = static_cast<int32_t>(values.Next() % 0x10000);
  ws.Cycle.PollAddress = 0;
  ComputePollWindow(ws);
}

// The reply body (no checksum) a device owes `req`, and the values to expect.
std::string OwedReply(const std::string& req, const uint8_t* h, Rng& data) {
  const auto f = static_cast<uint8_t>(req[1]);
  std::string r = req.substr(0, 2);
  if (h[12] & 1) {
    r[1] = static_cast<char>(f | 0x80);
    r.push_back(static_cast<char>(h[12] >> 1));
    return r;
  }
  const uint32_t q = Word(reinterpret_cast<const uint8_t*>(req.data()) + 4);
  if (f == 1 || f == 2) {
    r.push_back(static_cast<char>((q + 7) / 8));
    for (uint32_t i = 0; i < (q + 7) / 8; ++i) r.push_back(static_cast<char>(data.Next()));
  } else if (f == 3 || f == 4) {
    r.push_back(static_cast<char>(2 * q));
    for (uint32_t i = 0; i < 2 * q; ++i) r.push_back(static_cast<char>(data.Next()));
  } else {
    r = req.substr(0, 6);
  }
  return r;
}

void CheckStored(const Workspace& ws, const std::string& reply) {
  if (ws.Devices.ActiveSlot < 1 || ws.Devices.ActiveSlot > kSlotCount) return;
  const AddressSlot& t = ws.SlotTables(ws.Devices.ActiveSlot);
  const auto f = static_cast<uint8_t>(reply[1]);
  const auto* d = reinterpret_cast<const uint8_t*>(reply.data()) + 3;
  if (f == 1 || f == 2) {
    const BitTable& table = f == 1 ? t.CoilTable : t.StatusTable;
    for (int64_t i = 0; i < ws.View.RegLength; ++i) {
      const int64_t n = ws.View.StartReg + i;
      if (n < 1 || n > 65536) continue;
      const int stored = (table[static_cast<size_t>((n - 1) / 16 + 1)] >> ((n - 1) % 16)) & 1;
      KORVANE_FUZZ_CHECK(stored == ((d[i / 8] >> (i % 8)) & 1));
    }
  } else if (f == 3 || f == 4) {
    const RegTable& table = f == 3 ? t.HoldingRegTable : t.InputRegTable;
    for (int64_t i = 0; i < ws.Cycle.PollCount; ++i) {
      const int64_t n = ws.Cycle.PollAddress + i;
      if (n < 1 || n > 65536) continue;
      KORVANE_FUZZ_CHECK(table[static_cast<size_t>(n)] == d[2 * i] * 256 + d[2 * i + 1]);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<Workspace> ws = MakeWorkspace(); // 2.7 MB: built once
  uint8_t h[kHeader] = {};
  std::copy(data, data + std::min(size, kHeader), h);
  const std::string stream = size > kHeader
                                 ? std::string(reinterpret_cast<const char*>(data) + kHeader, size - kHeader)
                                 : std::string();
  Configure(*ws, h);
  const bool clock_moves = h[1] & 1;
  FakeTickSource ticks(clock_moves ? 0xFFFFF000u : 5000u);
  fuzz::RecordingSender sender;
  TMaster master(*ws, sender, ticks);
  Rng rng(h[11]);

  master.MasterPollPLC();
  ws->Cycle.ReplyDeadline = ticks.Now() + static_cast<uint32_t>(ws->Settings.ResponseTime);
  for (const std::string& chunk : fuzz::Split(stream, rng, 1 + h[11] % 64)) {
    const int32_t status = Feed(master, chunk);
    KORVANE_FUZZ_CHECK(ValidStatus(status));
    KORVANE_FUZZ_CHECK(master.ReplyCount >= 0 && master.ReplyCount <= 500);
    if (clock_moves) ticks.Advance(rng.Next() % 600);
    if (rng.Next() % 8 == 0) {
      master.MasterPollPLC();
      ws->Cycle.ReplyDeadline = ticks.Now() + static_cast<uint32_t>(ws->Settings.ResponseTime);
    }
  }

  // A chunk handled after the deadline ends whatever reply was held.
  ticks.Advance(100000);
  KORVANE_FUZZ_CHECK(Feed(master, std::string()) == kReplyTimeout);
  KORVANE_FUZZ_CHECK(master.ReplyCount == 0);

  sender.frames.clear();
  master.MasterPollPLC();
  if (sender.frames.empty()) return 0;
  KORVANE_FUZZ_CHECK(sender.frames.size() == 1);
  std::string req;
  if constexpr (kAscii) {
    KORVANE_FUZZ_CHECK(fuzz::FromAscii(sender.frames[0], req));
    KORVANE_FUZZ_CHECK(req.size() >= 7 && fuzz::Lrc(req, req.size() - 1) == static_cast<uint8_t>(req.back()));
    req.pop_back();
  } else {
    KORVANE_FUZZ_CHECK(fuzz::CrcOk(sender.frames[0]));
    req = sender.frames[0].substr(0, sender.frames[0].size() - 2);
  }
  KORVANE_FUZZ_CHECK(req.size() >= 6 && static_cast<uint8_t>(req[0]) == ws->Devices.DeviceAddress);
  KORVANE_FUZZ_CHECK(master.AwaitingReply == 1);

  const std::string body = OwedReply(req, h, rng);
  const std::string wire = kAscii ? fuzz::ToAscii(body) : fuzz::WithCrc(body);
  // Replies the checkers cut off as too long are not owed a 1.
  if (wire.size() - (kAscii ? 2 : 0) > 500) return 0;
  ws->Cycle.ReplyDeadline = ticks.Now() + 1000;
  // The chunk that carries the last byte (RTU) or the carriage return (ASCII).
  const size_t end = kAscii ? wire.size() - 2 : wire.size() - 1;
  size_t at = 0;
  for (const std::string& chunk : fuzz::Split(wire, rng, 1 + h[12] % 32)) {
    const bool completes = at <= end && end < at + chunk.size();
    at += chunk.size();
    const int32_t status = Feed(master, chunk);
    if (!completes) {
      KORVANE_FUZZ_CHECK(status == kReplyNone);
    } else if (h[12] & 1) {
      KORVANE_FUZZ_CHECK(status == kReplyException + (h[12] >> 1));
    } else {
      KORVANE_FUZZ_CHECK(status == kReplyOk);
      CheckStored(*ws, body);
    }
  }
  KORVANE_FUZZ_CHECK(master.AwaitingReply == 0);
  return 0;
}
