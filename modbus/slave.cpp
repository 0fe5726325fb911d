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

void TSlave::CheckModbusRTU(int32_t Count, const std::string& Buffer) {
  const size_t n = frame::ChunkSize(Count, Buffer);
  // The whole chunk arrived at one moment; only sending a reply (which may
  // block on a slow line) lets time pass inside the loop, so the tick is read
  // again after each one.
  uint32_t now = ticks_.Now();
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint8_t>(Buffer[i]);
    bool taken = false;
    if (RxCount == frame::kTakenNone) {
      RxFrame.clear();
      const int s = MatchSlot(b);
      if (s > 0) {
        RxFrame.push_back(static_cast<char>(b));
        RequestSlot = s;
        RxDeadline = now + kRequestTimeout;
        taken = true;
      }
    }
    if (RxCount == frame::kTakenAddress) {
      if (frame::IsSupported(b)) {
        RxFrame.push_back(static_cast<char>(b));
        taken = true;
      } else {
        // The rejected byte is not looked at again as an address.
        RxCount = frame::kTakenNone;
      }
    }
    if (RxCount >= frame::kTakenFunction && RxCount < frame::kTakenRequestHeader) {
      RxFrame.push_back(static_cast<char>(b));
      taken = true;
    }
    if (RxCount == frame::kTakenRequestHeader && RxFrame.size() >= frame::kRequestHeaderSize) {
      // The length comes from the quantity, not the byte-count field of 15 and 16.
      RxLength = static_cast<int32_t>(frame::RequestLength(At(RxFrame, frame::kFunctionOffset),
                                                           frame::Word(RxFrame, frame::kQuantityOffset)));
    }
    if (RxCount >= frame::kTakenRequestHeader && RxCount < frame::LastBytePosition(RxLength)) {
      RxFrame.push_back(static_cast<char>(b));
      taken = true;
    }
    if (RxCount == frame::LastBytePosition(RxLength) && RxFrame.size() == static_cast<size_t>(RxLength) - 1) {
      RxFrame.push_back(static_cast<char>(b));
      const int32_t c = TCore::CRC16(RxFrame, RxLength - 2);
      if (At(RxFrame, static_cast<size_t>(RxLength) - 2) == c / 256 &&
          At(RxFrame, static_cast<size_t>(RxLength) - 1) == c % 256) {
        checksumSize_ = 2;
        Dispatch();
        now = ticks_.Now();
        RxCount = frame::kTakenNone;
        taken = false;
      }
      // On a mismatch the counter stays on the last position: every further
      // byte is swallowed (the same check would fail again on the same bytes,
      // so neither the frame nor the work grows) until the request times out.
    }
    if (taken) ++RxCount;
    if (RxCount > frame::kTakenNone && TickPassed(now, RxDeadline)) RxCount = frame::kTakenNone;
    if (RxCount > kMaxRequest) RxCount = frame::kTakenNone;
  }
}

void TSlave::CheckModbusASCII(int32_t Count, const std::string& Buffer) {
  if (Count < 1) return;
  const size_t n = frame::ChunkSize(Count, Buffer);
  const char* data = Buffer.data();
  uint32_t now = ticks_.Now();
  size_t i = 0;
  while (i < n) {
    if (RxCount == frame::kTakenNone) {
      // Waiting for ":"; everything before it (the line feed after a
      // carriage return included) is dropped.
      RxAscii.clear();
      const void* colon = std::memchr(data + i, ':', n - i);
      if (colon == nullptr) break;
      i = static_cast<size_t>(static_cast<const char*>(colon) - data) + 1;
      RxAscii.push_back(':');
      RxDeadline = now + kRequestTimeout;
      RxCount = 1;
      continue;
    }
    // Inside a request every character up to the carriage return is kept
    // as it is (a ":" too); the length bound waits for the end of the chunk.
    const void* cr = std::memchr(data + i, '\r', n - i);
    const size_t end = cr == nullptr ? n : static_cast<size_t>(static_cast<const char*>(cr) - data);
    RxAscii.append(data + i, end - i);
    RxCount =
        static_cast<int32_t>(std::min<int64_t>(int64_t{RxCount} + static_cast<int64_t>(end - i), INT32_MAX));
    i = end;
    if (cr != nullptr) {
      AnalyseASCII();
      now = ticks_.Now();
      RxCount = frame::kTakenNone;
      ++i;
    }
  }
  if (RxCount > frame::kTakenNone && TickPassed(ticks_.Now(), RxDeadline)) RxCount = frame::kTakenNone;
  if (RxCount > kMaxRequest) RxCount = frame::kTakenNone;
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
