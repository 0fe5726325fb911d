#include "modbus/slave.h"

#include <algorithm>
#include <cstring>

#include "modbus/core.h"
#include "modbus/frame_rules.h"

namespace korvane {

namespace {

uint8_t At(const std::string& f, size_t offset) { return static_cast<uint8_t>(f[offset]); }

} // namespace

TSlave::TSlave(Workspace& ws, FrameSender& sender, const TickSource& ticks)
    : ws_(ws), sender_(sender), ticks_(ticks) {
  RxFrame.reserve(kMaxRequest + 16);
  RxAscii.reserve(2 * kMaxRequest + 16);
  TxFrame.reserve(kMaxRequest + 16);
}

int TSlave::MatchSlot(uint8_t address) const {
  // Two slots may share an address: the highest-numbered one serves.
  for (int s = kSlotCount; s >= 1; --s)
    if (ws_.Devices.SlotAddress[static_cast<size_t>(s)] == address) return s;
  return 0;
}

size_t TSlave::BodySize() const {
  return RxFrame.size() > checksumSize_ ? RxFrame.size() - checksumSize_ : 0;
}

// How likely noise is answered. A position of random bytes reads as a request
// to a slot when its first byte is a slot address (5/256 with five distinct
// addresses), the next a function served in a request short enough to serve
// (1..6: 6/256; 15 with at most 3936 coils: 1/256 * 3937/65536; 16 with at
// most 246 registers: 1/256 * 247/65536), and the two bytes at the end of the
// length its fields give equal the CRC of the rest (2^-16):
//   5/256 * (6 + 4184/65536)/256 * 2^-16 = 7.06e-9 per byte of noise,
// one answer in about 135 MiB, or 41 hours of unbroken noise at 9600 baud.
// Positions inside a frame passed over, or behind a reading waited for, are
// not looked at, so this is an upper bound.

int32_t TSlave::RxCount() const {
  return FramesRtu(ws_.Settings.RtuMode) ? static_cast<int32_t>(end_ - low_) : asciiCount_;
}

void TSlave::DropHeld() {
  Restart();
  asciiCount_ = 0;
}

void TSlave::Restart() {
  low_ = head_ = end_;
  pendingCount_ = 0;
  inStep_ = true;
  expected_ = Expected{};
}

void TSlave::CheckModbusRTU(int32_t Count, const std::string& Buffer) {
  const size_t n = frame::ChunkSize(Count, Buffer);
  // The whole chunk arrived at one moment; only sending a reply (which may
  // block on a slow line) lets time pass inside the loop, so the tick is read
  // again after each one.
  uint32_t now = ticks_.Now();
  slotAddresses_.fill(0);
  for (int s = 1; s <= kSlotCount; ++s) {
    const int32_t a = ws_.Devices.SlotAddress[static_cast<size_t>(s)];
    if (a >= 0 && a <= 0xFF) slotAddresses_[static_cast<size_t>(a) / 64] |= uint64_t{1} << (a % 64);
  }
  for (size_t i = 0; i < n; ++i)
    if (TakeRtuByte(static_cast<uint8_t>(Buffer[i]), now)) now = ticks_.Now();
}

bool TSlave::ExpectedReply(uint8_t address, uint8_t function, int byteCount) const {
  if (expected_.Address != address) return false;
  if (function == (expected_.Function | frame::kExceptionFlag)) return true;
  if (function != expected_.Function) return false;
  return byteCount < 0 || expected_.ByteCount < 0 || byteCount == expected_.ByteCount;
}

void TSlave::Add(uint64_t pos, uint64_t length, Reading what, bool trusted) {
  if (pos + length < end_) return;              // ended before the last byte: past
  if (pendingCount_ == pending_.size()) return; // cannot happen: two readings per held byte at most
  pending_[pendingCount_++] = Candidate{pos, pos + length, what, trusted};
}

void TSlave::AddReadings(uint64_t at) {
  // In step only the frame at the boundary is followed; out of step every
  // position that may still begin a frame.
  for (const uint64_t offset : kFieldsComplete)
    if (inStep_ ? at == head_ + offset : at >= low_ + offset) AddReadingsAt(at - offset, at);
}

void TSlave::AddReadingsAt(uint64_t p, uint64_t at) {
  // A reading is added as soon as the byte that completes its length fields
  // is in (the function code, a reply's byte count, a request's byte count);
  // the lengths are the frame rules' own.
  const uint8_t* b = held_.data() + (p - base_);
  const auto n = static_cast<size_t>(at - p + 1);
  const auto known = [b, n](int64_t (*length)(const uint8_t*, size_t)) {
    const int64_t l = length(b, n);
    return l > 0 && length(b, n - 1) == 0 ? l : 0; // known with this byte, not before
  };
  const int64_t onWire = known(frame::RequestLengthOnWire);
  const uint8_t a = b[frame::kAddressOffset];
  const uint8_t f = b[frame::kFunctionOffset];
  const bool multiple = f == frame::kWriteMultipleCoils || f == frame::kWriteMultipleRegisters;
  // For 15 and 16 the byte count is in, so the quantity is too.
  const int64_t byQuantity =
      multiple && onWire > 0
          ? frame::RequestLength(f, b[frame::kQuantityOffset] * 256 + b[frame::kQuantityOffset + 1])
          : onWire;
  if (IsSlotAddress(a) && frame::IsSupported(f)) {
    // A request to a slot: as ever its length comes from the quantity; the
    // byte count only tells whether it is waited for.
    if (onWire > 0 && byQuantity <= kMaxRequest + 1)
      Add(p, static_cast<uint64_t>(byQuantity), Reading::kOwnRequest,
          !multiple || ((byQuantity - 9) & 0xFF) == b[frame::kByteCountOffset]);
    return;
  }
  const int64_t reply = known(frame::ReplyLengthOnWire);
  if (onWire > 0 && onWire == reply) { // 5 and 6
    Add(p, static_cast<uint64_t>(onWire), Reading::kRequestOrReply, true);
    return;
  }
  if (onWire > 0) Add(p, static_cast<uint64_t>(onWire), Reading::kRequest, byQuantity == onWire);
  if (reply > 0) {
    const bool counted = f >= frame::kReadCoils && f <= frame::kReadInputRegisters;
    Add(p, static_cast<uint64_t>(reply), Reading::kReply,
        ExpectedReply(a, f, counted ? b[frame::kReplyByteCountOffset] : -1));
  }
}

bool TSlave::HeadBlocks() const {
  // Until its seventh byte a frame may still gain a reading.
  if (end_ - head_ <= frame::kByteCountOffset) return true;
  for (size_t k = 0; k < pendingCount_; ++k)
    if (pending_[k].Pos == head_ && pending_[k].Trusted) return true;
  return false;
}

bool TSlave::TakeCompleted(bool& served) {
  // Of the readings that end with this byte and whose CRC checks, the
  // earliest position wins, and at one position an awaited reply wins over
  // a request of the same length.
  Candidate best;
  bool found = false;
  for (size_t k = 0; k < pendingCount_;) {
    const Candidate c = pending_[k];
    if (c.End != end_) {
      ++k;
      continue;
    }
    pending_[k] = pending_[--pendingCount_];
    if (found && c.Pos > best.Pos) continue;
    if (!frame::CrcChecks(held_.data() + (c.Pos - base_), static_cast<size_t>(c.End - c.Pos))) continue;
    if (!found || c.Pos < best.Pos || (c.What == Reading::kReply && c.Trusted)) best = c;
    found = true;
  }
  if (found) served = TakeFrame(best);
  return found;
}

bool TSlave::TakeRtuByte(uint8_t b, uint32_t now) {
  // Whatever has been held longer than the time-out is dropped; this byte
  // may begin a frame.
  if (end_ > low_ && TickPassed(now, RxDeadline)) Restart();
  if (end_ - base_ == held_.size()) {
    // The live bytes (never more than kHeldBytes) move to the front.
    const auto from = static_cast<size_t>(low_ - base_);
    const auto live = static_cast<size_t>(end_ - low_);
    std::memmove(held_.data(), held_.data() + from, live);
    std::memmove(arrived_.data(), arrived_.data() + from, live * sizeof(uint32_t));
    base_ = low_;
  }
  if (end_ == low_) RxDeadline = now + kRequestTimeout;
  held_[static_cast<size_t>(end_ - base_)] = b;
  arrived_[static_cast<size_t>(end_ - base_)] = now;
  ++end_;
  AddReadings(end_ - 1);

  bool served = false;
  if (TakeCompleted(served)) return served;
  if (inStep_ && !HeadBlocks()) {
    // Nothing trusted is awaited at the boundary: out of step, every held
    // position counts. Their readings are added now, as if followed all
    // along; those that ended before this byte are past.
    inStep_ = false;
    for (uint64_t p = head_ + 1; p + 1 < end_; ++p)
      for (const uint64_t offset : kFieldsComplete)
        if (p + offset < end_) AddReadingsAt(p, p + offset);
    if (TakeCompleted(served)) return served;
  }
  if (!inStep_) {
    // Out of step the held bytes begin at the first position that may still
    // make a frame.
    uint64_t low = end_ - std::min<uint64_t>(end_, frame::kByteCountOffset);
    for (size_t k = 0; k < pendingCount_; ++k) low = std::min(low, pending_[k].Pos);
    if (low > low_) {
      low_ = low;
      RxDeadline = arrived_[static_cast<size_t>(low_ - base_)] + kRequestTimeout;
    }
  }
  return false;
}

bool TSlave::TakeFrame(const Candidate& c) {
  const uint8_t a = HeldAt(c.Pos);
  const uint8_t f = HeldAt(c.Pos + 1);
  const bool ours = c.What == Reading::kOwnRequest;
  if (ours) {
    RxFrame.assign(reinterpret_cast<const char*>(held_.data() + (c.Pos - base_)),
                   static_cast<size_t>(c.End - c.Pos));
    RequestSlot = MatchSlot(a);
  }
  // A request to another device is followed by its reply.
  Expected next;
  if (c.What == Reading::kRequest || (c.What == Reading::kRequestOrReply && !ExpectedReply(a, f, -1))) {
    const int64_t q = HeldAt(c.Pos + 4) * 256 + HeldAt(c.Pos + 5);
    next.Address = a;
    next.Function = f;
    if (f >= frame::kReadCoils && f <= frame::kReadInputRegisters)
      next.ByteCount = static_cast<int>((frame::ReplyLength(f, q) - 5) & 0xFF);
  }
  // The frame ends with the last byte received: nothing is left held.
  Restart();
  expected_ = next;
  if (!ours) return false;
  checksumSize_ = 2;
  Dispatch();
  return true;
}

void TSlave::CheckModbusASCII(int32_t Count, const std::string& Buffer) {
  if (Count < 1) return;
  const size_t n = frame::ChunkSize(Count, Buffer);
  const char* data = Buffer.data();
  uint32_t now = ticks_.Now();
  size_t i = 0;
  while (i < n) {
    if (asciiCount_ == 0) {
      // Waiting for ":"; everything before it (the line feed after a
      // carriage return included) is dropped.
      RxAscii.clear();
      const void* colon = std::memchr(data + i, ':', n - i);
      if (colon == nullptr) break;
      i = static_cast<size_t>(static_cast<const char*>(colon) - data) + 1;
      RxAscii.push_back(':');
      RxDeadline = now + kRequestTimeout;
      asciiCount_ = 1;
      continue;
    }
    // Inside a request every character up to the carriage return is kept as
    // it is; a ":" ends a request cut short and begins the next. The length
    // bound waits for the end of the chunk.
    size_t end = i;
    while (end < n && data[end] != '\r' && data[end] != ':') ++end;
    RxAscii.append(data + i, end - i);
    asciiCount_ = static_cast<int32_t>(
        std::min<int64_t>(int64_t{asciiCount_} + static_cast<int64_t>(end - i), INT32_MAX));
    i = end;
    if (i == n) break;
    asciiCount_ = 0;
    if (data[i] == ':') continue;
    AnalyseASCII();
    now = ticks_.Now();
    ++i;
  }
  if (asciiCount_ > 0 && TickPassed(ticks_.Now(), RxDeadline)) asciiCount_ = 0;
  if (asciiCount_ > kMaxRequest) asciiCount_ = 0;
}

void TSlave::AnalyseASCII() {
  frame::DecodeAscii(RxAscii, RxFrame);
  const size_t count = RxFrame.size();
  if (count == 0) return;
  RequestSlot = MatchSlot(At(RxFrame, 0));
  if (RequestSlot == 0) return;
  if (At(RxFrame, count - 1) != Lrc(RxFrame, count - 1)) return;
  checksumSize_ = 1;
  Dispatch();
}

void TSlave::Dispatch() {
  if (RxFrame.size() < 2) return;
  switch (At(RxFrame, frame::kFunctionOffset)) {
  case frame::kReadCoils:
  case frame::kReadDiscreteInputs:
    ReadStatus();
    break;
  case frame::kReadHoldingRegisters:
  case frame::kReadInputRegisters:
    ReadRegs();
    break;
  case frame::kWriteSingleCoil:
    WriteSingleCoil();
    break;
  case frame::kWriteSingleRegister:
    WriteSingleReg();
    break;
  case frame::kWriteMultipleCoils:
    WriteCoils();
    break;
  case frame::kWriteMultipleRegisters:
    WriteHoldRegs();
    break;
  default:
    break;
  }
}

void TSlave::Send() {
  // Only RtuMode 1 is RTU here; every other value answers in ASCII.
  frame::SendFramed(sender_, ws_.Settings.CommPort,
                    FramesRtu(ws_.Settings.RtuMode) ? frame::Framing::kRtu : frame::Framing::kAscii, TxFrame,
                    TxAscii);
}

bool TSlave::HasHeader() const {
  return BodySize() >= frame::kRequestHeaderSize && RequestSlot >= 1 && RequestSlot <= kSlotCount;
}

void TSlave::ReadStatus() {
  if (!HasHeader()) return;
  const AddressSlot& slot = ws_.SlotTables(RequestSlot);
  const BitTable& table =
      At(RxFrame, frame::kFunctionOffset) == frame::kReadDiscreteInputs ? slot.StatusTable : slot.CoilTable;
  const int64_t start = frame::Word(RxFrame, frame::kStartOffset);
  const int64_t q = frame::Word(RxFrame, frame::kQuantityOffset);
  TxFrame.clear();
  TxFrame.reserve(static_cast<size_t>(3 + frame::BitBytes(q) + 2));
  TxFrame.append(RxFrame, 0, 2);
  frame::PutByte(TxFrame, frame::BitBytes(q)); // low eight bits only
  unsigned acc = 0;
  int bit = 0;
  for (int64_t a = start; a < start + q; ++a) {
    if (GetBitAt(table, a)) acc |= 1u << bit; // out-of-capacity bits read 0
    if (++bit == 8) {
      frame::PutByte(TxFrame, acc);
      acc = 0;
      bit = 0;
    }
  }
  if (bit != 0) frame::PutByte(TxFrame, acc);
  Send();
}

void TSlave::ReadRegs() {
  if (!HasHeader()) return;
  const AddressSlot& slot = ws_.SlotTables(RequestSlot);
  const RegTable& table = At(RxFrame, frame::kFunctionOffset) == frame::kReadInputRegisters
                              ? slot.InputRegTable
                              : slot.HoldingRegTable;
  const int64_t start = frame::Word(RxFrame, frame::kStartOffset);
  const int64_t q = frame::Word(RxFrame, frame::kQuantityOffset);
  TxFrame.assign(RxFrame, 0, 2);
  frame::PutByte(TxFrame, 2 * q); // low eight bits only
  TxFrame.resize(static_cast<size_t>(3 + 2 * q));
  char* out = TxFrame.data() + 3;
  for (int64_t n = start + 1; n <= start + q; ++n) {
    // A stored value outside 0..65535 goes out as its low 16 bits in two's
    // complement (-1 as FF FF); registers above the store read 00 00.
    out = frame::StoreWord(out, n <= kRegisters ? table[static_cast<size_t>(n)] : 0);
  }
  Send();
}

void TSlave::WriteSingleCoil() {
  if (!HasHeader()) return;
  TxFrame.assign(RxFrame, 0, frame::kRequestHeaderSize);
  // Any non-zero value means ON, not only FF 00.
  SetBitAt(ws_.SlotTables(RequestSlot).CoilTable, frame::Word(RxFrame, frame::kStartOffset),
           frame::Word(RxFrame, frame::kQuantityOffset) != 0);
  ws_.Cycle.RegsChanged = 1;
  Send();
}

void TSlave::WriteSingleReg() {
  if (!HasHeader()) return;
  TxFrame.assign(RxFrame, 0, frame::kRequestHeaderSize);
  const int32_t n = frame::Word(RxFrame, frame::kStartOffset) + 1;
  ws_.SlotTables(RequestSlot).HoldingRegTable[static_cast<size_t>(n)] =
      frame::Word(RxFrame, frame::kQuantityOffset);
  ws_.Cycle.RegsChanged = 1;
  Send();
}

void TSlave::WriteCoils() {
  if (!HasHeader()) return;
  const size_t body = BodySize();
  if (body < frame::kWriteDataOffset) return; // no byte-count field
  TxFrame.assign(RxFrame, 0, frame::kRequestHeaderSize);
  BitTable& table = ws_.SlotTables(RequestSlot).CoilTable;
  int64_t coil = frame::Word(RxFrame, frame::kStartOffset);
  int64_t remaining = frame::Word(RxFrame, frame::kQuantityOffset);
  // The byte count is never trusted beyond the data bytes the frame holds:
  // only coils whose bits arrived are written.
  const size_t dataBytes =
      std::min<size_t>(At(RxFrame, frame::kByteCountOffset), body - frame::kWriteDataOffset);
  for (size_t k = 0; k < dataBytes && remaining > 0; ++k) {
    const uint8_t bits = At(RxFrame, frame::kWriteDataOffset + k);
    for (int bit = 0; bit < 8 && remaining > 0; ++bit, ++coil, --remaining)
      SetBitAt(table, coil, (bits >> bit) & 1); // coils above the store are passed over
  }
  ws_.Cycle.RegsChanged = 1;
  Send();
}

void TSlave::WriteHoldRegs() {
  if (!HasHeader()) return;
  const int64_t start = frame::Word(RxFrame, frame::kStartOffset);
  const int64_t q = frame::Word(RxFrame, frame::kQuantityOffset);
  // The values start after the byte-count field, which is not used.
  if (static_cast<int64_t>(BodySize()) < static_cast<int64_t>(frame::kWriteDataOffset) + 2 * q) return;
  TxFrame.assign(RxFrame, 0, frame::kRequestHeaderSize);
  RegTable& table = ws_.SlotTables(RequestSlot).HoldingRegTable;
  size_t pos = frame::kWriteDataOffset;
  for (int64_t n = start + 1; n <= start + q && n <= kRegisters; ++n, pos += 2)
    table[static_cast<size_t>(n)] = frame::Word(RxFrame, pos);
  ws_.Cycle.RegsChanged = 1;
  Send();
}

} // namespace korvane
