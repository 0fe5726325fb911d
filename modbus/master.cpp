#include "modbus/master.h"

#include "modbus/core.h"
#include "modbus/frame_rules.h"

#include <algorithm>

namespace korvane {
namespace {

constexpr int32_t kMaxReplyCount = 500;
constexpr uint32_t kAsciiReplyWindowMs = 3000;

bool FitsWord(int64_t v) { return v >= 0 && v <= 0xFFFF; }
bool FitsByte(int64_t v) { return v >= 0 && v <= 0xFF; }

} // namespace

void ComputePollWindow(Workspace& ws) {
  // 64-bit throughout: BaudRate, StartReg and RegLength may come from a file
  // with any value.
  const int64_t length = ws.View.RegLength;
  const int64_t start = ws.View.StartReg;
  int64_t n = 2 * length;
  const bool rtu = FramesRtuUnlessAscii(ws.Settings.RtuMode);
  if (!rtu) n = 2 * n;
  const int64_t limit = static_cast<int64_t>(ws.Settings.BaudRate) * 256 / 9600;
  if (limit < n) n = limit;
  int64_t count = rtu ? n / 2 : n / 4;
  int64_t address = ws.Cycle.PollAddress;
  if (count >= length) {
    count = length;
    address = start;
  } else {
    if (address < start) address = start;
    address += count;
    if (address >= 65536) address = start;
    // Strictly greater: a window may start exactly one past the view.
    if (address > start + length) address = start;
    if (address + count >= 65536) count = 65536 - address;
  }
  ws.Cycle.PollCount = static_cast<int32_t>(count);
  ws.Cycle.PollAddress = static_cast<int32_t>(address);
}

TMaster::TMaster(Workspace& ws, FrameSender& sender, const TickSource& ticks)
    : ws_(ws), sender_(sender), ticks_(ticks) {
  // Room for the longest reply the checkers keep, so assembling never grows them.
  MasterFrame.reserve(2 * kMaxReplyCount);
  MasterRxAscii.reserve(2 * kMaxReplyCount);
  MasterAscii.reserve(2 * kMaxReplyCount);
}

void TMaster::FinishAndSend() {
  if (ReplyCount > 0) replyOverwritten_ = true;
  // Every RtuMode but 0 is RTU here.
  SentCharacters = frame::SendFramed(sender_, ws_.Settings.CommPort,
                                     FramesRtuUnlessAscii(ws_.Settings.RtuMode) ? frame::Framing::kRtu
                                                                                : frame::Framing::kAscii,
                                     MasterFrame, MasterAscii);
}

void TMaster::MasterPollPLC() {
  using frame::PutByte;
  using frame::PutRequestHeader;
  using frame::PutWord;
  const Workspace& w = ws_;
  SentCharacters = 0;
  // Nothing is sent that would carry a field other than the one meant: a
  // device address that is no byte, a start below 1 or above 65536, a
  // quantity that is no 16-bit number, more values than WriteValues holds.
  if (!FitsByte(w.Devices.DeviceAddress)) return;
  const auto value = [&w](int32_t i) { return w.Cycle.WriteValues[static_cast<size_t>(i)]; };

  int32_t function = 0;
  int64_t replyLength = 0;
  if (w.Cycle.MasterWrite != 0) {
    const int64_t address = static_cast<int64_t>(w.Cycle.WriteAddress) - 1;
    if (w.View.RegType == rtCoils) {
      if (!FitsWord(address)) return;
      if (w.Cycle.WriteCount != 0) {
        // Multiple coils: WriteValues holds the states packed eight to a byte.
        if (w.Cycle.WriteCount < 0 || w.Cycle.WriteCount > kWriteValues || !FitsWord(w.View.RegLength))
          return;
        function = frame::kWriteMultipleCoils;
        PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address, w.View.RegLength);
        PutByte(MasterFrame, w.Cycle.WriteCount);
        for (int32_t i = 1; i <= w.Cycle.WriteCount; ++i) PutByte(MasterFrame, value(i));
      } else {
        function = frame::kWriteSingleCoil;
        PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address,
                         value(1) != 0 ? 0xFF00 : 0x0000);
      }
    } else if (w.View.RegType != rtHoldingRegs) {
      // Discrete inputs and input registers cannot be written: nothing goes
      // out, and the reply timer reports the missing reply.
      if (ReplyCount > 0) replyOverwritten_ = true;
      MasterFrame.clear();
      AwaitingReply = 1;
      return;
    } else {
      if (!FitsWord(address)) return;
      if (w.Settings.SingleRegWrite != 0 && w.Cycle.WriteCount == 1) {
        function = frame::kWriteSingleRegister;
        PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address, value(1));
      } else {
        if (w.Cycle.WriteCount < 1 || w.Cycle.WriteCount > kWriteValues) return;
        function = frame::kWriteMultipleRegisters;
        PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address, w.Cycle.WriteCount);
        PutByte(MasterFrame, 2 * w.Cycle.WriteCount);
        for (int32_t i = 1; i <= w.Cycle.WriteCount; ++i) PutWord(MasterFrame, value(i));
      }
    }
    replyLength = frame::ReplyLength(function, 0);
  } else if (IsBitTable(w.View.RegType)) {
    // Bits: the whole view in one request, no poll window.
    const int64_t address = static_cast<int64_t>(w.View.StartReg) - 1;
    if (!FitsWord(address) || !FitsWord(w.View.RegLength)) return;
    function = w.View.RegType == rtCoils ? frame::kReadCoils : frame::kReadDiscreteInputs;
    PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address, w.View.RegLength);
    replyLength = frame::ReplyLength(function, w.View.RegLength);
  } else if (IsRegisterTable(w.View.RegType)) {
    const int64_t address = static_cast<int64_t>(w.Cycle.PollAddress) - 1;
    if (!FitsWord(address) || !FitsWord(w.Cycle.PollCount)) return;
    function = w.View.RegType == rtHoldingRegs ? frame::kReadHoldingRegisters : frame::kReadInputRegisters;
    PutRequestHeader(MasterFrame, w.Devices.DeviceAddress, function, address, w.Cycle.PollCount);
    // Two bytes a register while WriteFunction is 16 (its only value); four otherwise.
    const int64_t wordsPerRegister = w.Settings.WriteFunction == frame::kWriteMultipleRegisters ? 1 : 2;
    replyLength = frame::ReplyLength(function, wordsPerRegister * w.Cycle.PollCount);
  } else {
    if (ReplyCount > 0) replyOverwritten_ = true;
    MasterFrame.clear();
    AwaitingReply = 1;
    return;
  }

  // The request's bookkeeping is complete before the frame leaves, so a
  // reply that comes back at once finds it in place. A send that throws put
  // no whole request on the line: the cycle is left as it was, so no time-out
  // is reported for it on top of the error.
  const int32_t sentFunction = SentFunction;
  const int32_t sentReplyLength = ReplyLength;
  const uint8_t awaiting = AwaitingReply;
  SentFunction = function;
  ReplyLength = static_cast<int32_t>(replyLength);
  AwaitingReply = 1;
  try {
    FinishAndSend();
  } catch (...) {
    SentFunction = sentFunction;
    ReplyLength = sentReplyLength;
    AwaitingReply = awaiting;
    SentCharacters = 0;
    throw;
  }
}

void TMaster::StoreReply(int32_t f, size_t dataEnd) {
  if (ws_.Devices.ActiveSlot < 1 || ws_.Devices.ActiveSlot > kSlotCount) return;
  AddressSlot& slot = ws_.Active();
  const auto* data = reinterpret_cast<const uint8_t*>(MasterFrame.data());
  dataEnd = std::min(dataEnd, MasterFrame.size());
  const size_t first = frame::kReplyDataOffset;
  const int64_t avail = dataEnd > first ? static_cast<int64_t>(dataEnd - first) : 0;

  if (f == frame::kReadCoils || f == frame::kReadDiscreteInputs) {
    BitTable& table = f == frame::kReadCoils ? slot.CoilTable : slot.StatusTable;
    // Only the bits the reply carries; coils past 65536 are not stored.
    const int64_t count = std::min<int64_t>(std::max<int64_t>(ws_.View.RegLength, 0), avail * 8);
    const int64_t start = ws_.View.StartReg;
    for (int64_t i = 0; i < count; ++i) {
      const bool on = (data[first + static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
      SetBit(table, start + i, on);
    }
  } else if (f == frame::kReadHoldingRegisters || f == frame::kReadInputRegisters) {
    RegTable& table = f == frame::kReadHoldingRegisters ? slot.HoldingRegTable : slot.InputRegTable;
    const int64_t count = std::min<int64_t>(std::max<int64_t>(ws_.Cycle.PollCount, 0), avail / 2);
    const int64_t start = ws_.Cycle.PollAddress;
    for (int64_t i = 0; i < count; ++i) {
      const int64_t n = start + i;
      if (n < 1 || n > kRegisters) continue;
      const size_t at = first + static_cast<size_t>(2 * i);
      table[static_cast<size_t>(n)] = data[at] * 256 + data[at + 1];
    }
  }
  // Write replies (5, 6, 15, 16) store nothing: the status reports them.
}

void TMaster::EndReply() {
  ReplyCount = 0;
  ReplyException = 0;
  replyOverwritten_ = false;
}

int32_t TMaster::MasterCheckRTU(int32_t Count, const std::string& Buffer) {
  int32_t status = kReplyNone;
  const size_t n = frame::ChunkSize(Count, Buffer);
  const auto* bytes = reinterpret_cast<const uint8_t*>(Buffer.data());
  for (size_t k = 0; k < n; ++k) {
    const int32_t b = bytes[k];
    bool taken = false;
    // A request sent while a longer reply was half received can leave the
    // count at or past the new reply's length; nothing would ever complete
    // it, so that reply is abandoned and this byte may start the next one.
    if (ReplyCount > frame::kTakenAddress && ReplyCount >= ReplyLength) EndReply();

    if (ReplyCount == frame::kTakenNone) {
      MasterFrame.clear();
      replyOverwritten_ = false;
      if (b == ws_.Devices.DeviceAddress) {
        MasterFrame.push_back(static_cast<char>(b));
        taken = true;
      }
    }
    if (ReplyCount == frame::kTakenAddress) {
      if (b == SentFunction) {
        MasterFrame.push_back(static_cast<char>(b));
        taken = true;
      } else if (b == SentFunction + frame::kExceptionFlag) {
        ReplyException = b;
        MasterFrame.push_back(static_cast<char>(b));
        ReplyLength = static_cast<int32_t>(frame::kExceptionReplyLength);
        taken = true;
      } else {
        // Abandoned; the byte is not looked at again as an address.
        ReplyCount = frame::kTakenNone;
      }
    }
    if (ReplyCount > frame::kTakenAddress && ReplyCount < ReplyLength) {
      MasterFrame.push_back(static_cast<char>(b));
      taken = true;
      if (ReplyCount == frame::kTakenFunction && ReplyException > 0) ReplyException = b;
    }
    if (ReplyCount > frame::kTakenAddress && ReplyCount == frame::LastBytePosition(ReplyLength)) {
      AwaitingReply = 0;
      const auto length = static_cast<size_t>(ReplyLength);
      // The request's own bytes followed by the reply's tail can pass the
      // CRC (the request's CRC zeroes the register), so such a mix is never
      // taken as data.
      if (replyOverwritten_ || MasterFrame.size() < length) {
        status = kReplyChecksum;
      } else {
        const int32_t c = TCore::CRC16(MasterFrame, ReplyLength - 2);
        const auto hi = static_cast<uint8_t>(MasterFrame[length - 2]);
        const auto lo = static_cast<uint8_t>(MasterFrame[length - 1]);
        const auto function = static_cast<uint8_t>(MasterFrame[frame::kFunctionOffset]);
        if (hi != c / 256 || lo != c % 256) {
          status = kReplyChecksum;
        } else if (function & frame::kExceptionFlag) {
          // Decided by the function byte, so an exception code of 0 is still
          // an exception and never reads as good data.
          status = ExceptionStatus(static_cast<uint8_t>(MasterFrame[frame::kExceptionCodeOffset]));
        } else {
          status = kReplyOk;
          StoreReply(SentFunction, length - 2);
        }
      }
      EndReply();
      taken = false;
    }
    if (taken) ++ReplyCount;
    if (ReplyCount > kMaxReplyCount) {
      EndReply();
      status = kReplyTooLong;
    }
  }
  if (TickPassed(ticks_.Now(), ws_.Cycle.ReplyDeadline)) {
    EndReply();
    status = kReplyTimeout;
  }
  return status;
}

int32_t TMaster::MasterCheckASCII(int32_t Count, const std::string& Buffer) {
  int32_t status = kReplyNone;
  const size_t n = frame::ChunkSize(Count, Buffer);
  const uint32_t now = ticks_.Now();
  for (size_t k = 0; k < n; ++k) {
    const char c = Buffer[k];
    bool taken = false;
    if (ReplyCount == frame::kTakenNone) {
      MasterRxAscii.clear();
      if (c == ':') {
        MasterRxAscii.push_back(':');
        ws_.Cycle.ReplyDeadline = now + kAsciiReplyWindowMs;
        taken = true;
      }
    }
    if (ReplyCount > 0) {
      if (c != '\r') {
        MasterRxAscii.push_back(c);
        taken = true;
      } else {
        AwaitingReply = 0;
        status = AnalyseAscii();
        ReplyCount = frame::kTakenNone;
        taken = false;
      }
    }
    if (taken) ++ReplyCount;
  }
  if (TickPassed(now, ws_.Cycle.ReplyDeadline)) {
    ReplyCount = 0;
    status = kReplyTimeout;
  }
  if (ReplyCount > kMaxReplyCount) {
    ReplyCount = 0;
    status = kReplyTooLong;
  }
  return status;
}

int32_t TMaster::AnalyseAscii() {
  frame::DecodeAscii(MasterRxAscii, MasterFrame);
  const size_t count = MasterFrame.size();
  const auto* bytes = reinterpret_cast<const uint8_t*>(MasterFrame.data());
  if (count == 0 || bytes[0] != ws_.Devices.DeviceAddress) return kReplyNone;
  if (bytes[count - 1] != Lrc(MasterFrame, count - 1)) return kReplyChecksum;
  // Address and LRC alone carry no function code: nothing to report.
  if (count < 3) return kReplyNone;
  SentFunction = bytes[frame::kFunctionOffset];
  // The reply's own code decides the table; the LRC is not data.
  StoreReply(SentFunction, count - 1);
  if (SentFunction > frame::kExceptionFlag) return ExceptionStatus(bytes[frame::kExceptionCodeOffset]);
  return kReplyOk;
}

} // namespace korvane
