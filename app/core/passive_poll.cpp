#include "app/core/passive_poll.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace korvane {
namespace {

using line::FrameKind;

// The values that go into one table: `count` of them from protocol address
// `start` (0-based), so entry start + 1 + i takes value i. Entries past 65536
// are never written.
struct Target {
  TRegType Table = rtHoldingRegs;
  int64_t Start = 0;
  size_t Count = 0;
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

bool PassivePoll::StoreReply(const line::Frame& reply, const line::Fields& fields) {
  const int function = reply.Function;
  const int64_t start = reply.RequestStart;
  const auto asked = static_cast<size_t>(reply.RequestQuantity);
  // What the frame itself carries: a read reply its values, a write reply
  // only the address it confirms.
  Target target;
  std::vector<bool> bits;
  std::vector<uint16_t> regs;
  switch (function) {
  case frame::kReadCoils:
  case frame::kReadDiscreteInputs:
    target.Table = function == frame::kReadCoils ? rtCoils : rtInputs;
    bits = fields.Bits;
    target.Count = std::min(asked, bits.size());
    break;
  case frame::kReadHoldingRegisters:
  case frame::kReadInputRegisters:
    target.Table = function == frame::kReadHoldingRegisters ? rtHoldingRegs : rtInputRegs;
    regs = fields.Registers;
    target.Count = std::min(asked, regs.size());
    break;
  case frame::kWriteSingleCoil:
    // Only the two values a device takes; it answers anything else with an exception.
    if (fields.Start != start || (fields.Value != 0xFF00 && fields.Value != 0)) return false;
    target.Table = rtCoils;
    bits = {fields.Value == 0xFF00};
    target.Count = 1;
    break;
  case frame::kWriteSingleRegister:
    if (fields.Start != start || fields.Value < 0) return false;
    target.Table = rtHoldingRegs;
    regs = {static_cast<uint16_t>(fields.Value)};
    target.Count = 1;
    break;
  case frame::kWriteMultipleCoils:
  case frame::kWriteMultipleRegisters: {
    // The values are in the request; the reply confirms its address and quantity.
    if (!haveRequest_ || request_.Device != reply.Device || request_.Function != function ||
        fields.Start != start || fields.Quantity != reply.RequestQuantity)
      return false;
    const line::Fields written = line::DecodeFields(request_);
    if (written.Start != start || written.Quantity != reply.RequestQuantity) return false;
    target.Table = function == frame::kWriteMultipleCoils ? rtCoils : rtHoldingRegs;
    bits = written.Bits;
    regs = written.Registers;
    target.Count = std::min(asked, IsBitTable(target.Table) ? bits.size() : regs.size());
    break;
  }
  default:
    return false;
  }
  target.Start = start;
  target.Count = InTable(target.Start, target.Count);
  if (target.Count == 0) return false;

  bool shown = false;
  for (int s = 1; s <= kSlotCount; ++s) {
    if (ws_.Devices.SlotAddress[static_cast<size_t>(s)] != reply.Device) continue;
    AddressSlot& t = ws_.SlotTables(s);
    switch (target.Table) {
    case rtCoils:
      PutBits(t.CoilTable, target.Start, bits, target.Count);
      break;
    case rtInputs:
      PutBits(t.StatusTable, target.Start, bits, target.Count);
      break;
    case rtInputRegs:
      PutRegisters(t.InputRegTable, target.Start, regs, target.Count);
      break;
    default:
      PutRegisters(t.HoldingRegTable, target.Start, regs, target.Count);
      break;
    }
    ws_.Cycle.RegsChanged = 1;
    if (s == ws_.Devices.ActiveSlot && ws_.View.RegType == target.Table) shown = true;
  }
  return shown;
}

} // namespace korvane
