#include "app/core/passive_poll.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace korvane {
namespace {

using line::FrameKind;

// The values that go into one table: `Count` of them from protocol address
// `Start` (0-based), so entry Start + 1 + i takes value i, from `Bits` or
// `Registers` as the table is.
struct Target {
  TRegType Table = rtHoldingRegs;
  int64_t Start = 0;
  size_t Count = 0;
  std::vector<bool> Bits;
  std::vector<uint16_t> Registers;
};

size_t InTable(int64_t start, size_t count) {
  const int64_t room = static_cast<int64_t>(kRegisters) - start;
  return room <= 0 ? 0 : std::min(count, static_cast<size_t>(room));
}

void PutBits(BitTable& t, int64_t start, const std::vector<bool>& bits, size_t count) {
  for (size_t i = 0; i < count; ++i) SetBitAt(t, start + static_cast<int64_t>(i), bits[i]);
}

void PutRegisters(RegTable& t, int64_t start, const std::vector<uint16_t>& regs, size_t count) {
  for (size_t i = 0; i < count; ++i) t[static_cast<size_t>(start + 1) + i] = regs[i];
}

std::string Numbers(int64_t start, int64_t quantity) {
  std::string s = std::to_string(start + 1);
  if (quantity > 1) s += "-" + std::to_string(start + quantity);
  return s;
}

} // namespace

std::string SeenText(const line::Frame& reply, const line::Fields& fields, bool timed) {
  const int function = reply.Function & 0x7F;
  std::string s = "Seen: device " + std::to_string(reply.Device) + " ";
  const char* name = line::FunctionName(function);
  s += *name != '\0' ? std::string(name) : "Function " + std::to_string(function);
  if (reply.RequestStart >= 0 && reply.RequestQuantity >= 0)
    s += " " + Numbers(reply.RequestStart, function == 5 || function == 6 ? 1 : reply.RequestQuantity);
  if (reply.Kind == FrameKind::kException) {
    s += ", exception " + std::to_string(fields.ExceptionCode);
    const char* words = line::ExceptionName(fields.ExceptionCode);
    if (*words != '\0') s += std::string(" ") + words;
  } else if (timed && reply.ResponseUs >= 0) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", static_cast<double>(reply.ResponseUs) / 1000.0);
    s += std::string(", reply in ") + ms + " ms";
  }
  return s;
}

SeenExchange PassivePoll::OnFrame(const line::Frame& frame, bool timed) {
  SeenExchange out;
  if (frame.Check != line::FrameCheck::kOk) return out;
  if (frame.Kind == FrameKind::kRequest) {
    request_ = frame;
    haveRequest_ = true;
    return out;
  }
  // Only a reply the analyzer paired with its request says what it answers.
  if ((frame.Kind != FrameKind::kReply && frame.Kind != FrameKind::kException) || frame.RequestStart < 0 ||
      frame.RequestQuantity < 0)
    return out;
  const line::Fields fields = line::DecodeFields(frame);
  out.StatusText = SeenText(frame, fields, timed);
  if (frame.Kind == FrameKind::kReply) out.Redraw = StoreReply(frame, fields);
  return out;
}

namespace {

// What `reply` answers or confirms: the table, the first address and the
// values, from the reply or, for 15 and 16, from `request` (the last request
// seen; null when none).
std::optional<Target> TargetOf(const line::Frame& reply, const line::Fields& fields,
                               const line::Frame* request) {
  const int function = reply.Function;
  const int64_t start = reply.RequestStart;
  const auto asked = static_cast<size_t>(reply.RequestQuantity);
  Target t;
  t.Start = start;
  switch (function) {
  case frame::kReadCoils:
  case frame::kReadDiscreteInputs:
    t.Table = function == frame::kReadCoils ? rtCoils : rtInputs;
    t.Bits = fields.Bits;
    t.Count = std::min(asked, t.Bits.size());
    return t;
  case frame::kReadHoldingRegisters:
  case frame::kReadInputRegisters:
    t.Table = function == frame::kReadHoldingRegisters ? rtHoldingRegs : rtInputRegs;
    t.Registers = fields.Registers;
    t.Count = std::min(asked, t.Registers.size());
    return t;
  case frame::kWriteSingleCoil:
    // Only the two values a device takes; it answers anything else with an exception.
    if (fields.Start != start || (fields.Value != 0xFF00 && fields.Value != 0)) return std::nullopt;
    t.Table = rtCoils;
    t.Bits = {fields.Value == 0xFF00};
    t.Count = 1;
    return t;
  case frame::kWriteSingleRegister:
    if (fields.Start != start || fields.Value < 0) return std::nullopt;
    t.Table = rtHoldingRegs;
    t.Registers = {static_cast<uint16_t>(fields.Value)};
    t.Count = 1;
    return t;
  case frame::kWriteMultipleCoils:
  case frame::kWriteMultipleRegisters: {
    // The values are in the request; the reply confirms its address and quantity.
    if (request == nullptr || request->Device != reply.Device || request->Function != function ||
        fields.Start != start || fields.Quantity != reply.RequestQuantity)
      return std::nullopt;
    const line::Fields written = line::DecodeFields(*request);
    if (written.Start != start || written.Quantity != reply.RequestQuantity) return std::nullopt;
    t.Table = function == frame::kWriteMultipleCoils ? rtCoils : rtHoldingRegs;
    t.Bits = written.Bits;
    t.Registers = written.Registers;
    t.Count = std::min(asked, IsBitTable(t.Table) ? t.Bits.size() : t.Registers.size());
    return t;
  }
  default:
    return std::nullopt;
  }
}

} // namespace

bool PassivePoll::StoreReply(const line::Frame& reply, const line::Fields& fields) {
  const std::optional<Target> target = TargetOf(reply, fields, haveRequest_ ? &request_ : nullptr);
  if (!target) return false;
  const Target& t = *target;
  const size_t count = InTable(t.Start, t.Count);
  if (count == 0) return false;
  bool shown = false;
  for (int s = 1; s <= kSlotCount; ++s) {
    if (ws_.Devices.SlotAddress[static_cast<size_t>(s)] != reply.Device) continue;
    AddressSlot& slot = ws_.SlotTables(s);
    switch (t.Table) {
    case rtCoils:
      PutBits(slot.CoilTable, t.Start, t.Bits, count);
      break;
    case rtInputs:
      PutBits(slot.StatusTable, t.Start, t.Bits, count);
      break;
    case rtInputRegs:
      PutRegisters(slot.InputRegTable, t.Start, t.Registers, count);
      break;
    default:
      PutRegisters(slot.HoldingRegTable, t.Start, t.Registers, count);
      break;
    }
    ws_.Cycle.RegsChanged = 1;
    if (s == ws_.Devices.ActiveSlot && ws_.View.RegType == t.Table) shown = true;
  }
  return shown;
}

} // namespace korvane
