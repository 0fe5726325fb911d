#include "app/core/master_request.h"

#include "config/core/config_apply.h"

#include <algorithm>

namespace korvane {
namespace {

// Far beyond any real frame, and small enough that a deadline this far ahead
// still reads as ahead to TickPassed.
constexpr uint64_t kMaxWireMs = 0x3FFFFFFF;

} // namespace

CharacterFormat LineFormat(const Workspace& ws) {
  CharacterFormat f;
  f.DataBits = ws.Settings.DataBits == db7Bits ? 7 : 8;
  f.ParityBit = ParityCode(ws.Settings.Parity) != pcNone;
  f.StopBits = StopBitsArgument(ws.Settings.StopBits) == st2Bits ? 2 : 1;
  return f;
}

uint32_t RequestWireMs(const Workspace& ws, size_t characters) {
  const uint64_t us = TransmissionMicros(characters, ws.Settings.BaudRate, LineFormat(ws));
  return static_cast<uint32_t>(std::min<uint64_t>(us / 1000 + (us % 1000 != 0 ? 1 : 0), kMaxWireMs));
}

void SendMasterRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  master.MasterPollPLC();
  // The write returns once the kernel holds the bytes; the device can only
  // answer after the last of them has left at the line's rate.
  ws.Cycle.ReplyDeadline = ticks.Now() + RequestWireMs(ws, master.SentCharacters()) +
                           static_cast<uint32_t>(ws.Settings.ResponseTime);
}

StatusUpdate SendWriteRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  ws.Cycle.MasterWrite = 1;
  SendMasterRequest(ws, master, ticks);
  return StatusDisplay(ws, kStatusNone, kWriteSentPrefix);
}

} // namespace korvane
