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
  rx_.reserve(2 * kMaxReplyCount + 16);
  sentRequest_.reserve(2 * kMaxReplyCount);
}

void TMaster::FinishAndSend() {
  if (ReplyCount > 0) replyOverwritten_ = true;
  echoPossible_ = false;
  // Every RtuMode but 0 is RTU here.
  const bool rtu = FramesRtuUnlessAscii(ws_.Settings.RtuMode);
  SentCharacters =
      frame::SendFramed(sender_, ws_.Settings.CommPort, rtu ? frame::Framing::kRtu : frame::Framing::kAscii,
                        MasterFrame, MasterAscii);
  // Only what comes before anything else can be the echo of this request.
  if (rtu) sentRequest_ = MasterFrame;
  echoPossible_ = rtu ? rx_.empty() : ReplyCount == 0;
  echoMatched_ = 0;
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
      echoPossible_ = false;
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
    echoPossible_ = false;
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
  rx_.clear();
  ReplyCount = 0;
  ReplyException = 0;
  replyOverwritten_ = false;
  echoPossible_ = false;
}

bool TMaster::HeldReplyChecks() const {
  if (rx_.size() < 2 || static_cast<uint8_t>(rx_[0]) != ws_.Devices.DeviceAddress) return false;
  const auto f = static_cast<uint8_t>(rx_[1]);
  const int64_t length = f == SentFunction                           ? ReplyLength
                         : f == SentFunction + frame::kExceptionFlag ? frame::kExceptionReplyLength
                                                                     : 0;
  return length > 2 && rx_.size() == static_cast<size_t>(length) && !replyOverwritten_ &&
         frame::CrcChecks(reinterpret_cast<const uint8_t*>(rx_.data()), rx_.size());
}

TMaster::Settled TMaster::SettleEcho() {
  const size_t comparable = std::min(rx_.size(), sentRequest_.size());
  while (echoMatched_ < comparable && rx_[echoMatched_] == sentRequest_[echoMatched_]) ++echoMatched_;
  // A byte that differs ends the echo; bytes that make the awaited reply are
  // the reply, even where they repeat the request (the reply to 5 and 6 does).
  if (echoMatched_ < comparable || HeldReplyChecks()) {
    echoPossible_ = false;
    return Settled::kGoOn;
  }
  if (echoMatched_ < sentRequest_.size()) return Settled::kWait; // may still be the echo
  rx_.erase(0, sentRequest_.size());                             // the echo: the reply follows
  echoPossible_ = false;
  return Settled::kAgain;
}

TMaster::Settled TMaster::SettleReply(int32_t& status) {
  // The awaited reply, counted against the length its request expects.
  const auto* b = reinterpret_cast<const uint8_t*>(rx_.data());
  const size_t size = rx_.size();
  ReplyCount = frame::kTakenAddress;
  if (size < 2) return Settled::kWait;
  const int32_t f = b[frame::kFunctionOffset];
  if (f == SentFunction + frame::kExceptionFlag) {
    ReplyLength = static_cast<int32_t>(frame::kExceptionReplyLength);
    ReplyException = size > frame::kExceptionCodeOffset ? b[frame::kExceptionCodeOffset] : f;
  } else if (f != SentFunction || ReplyLength <= frame::kTakenFunction) {
    // Abandoned; the function byte is not looked at again as an address.
    rx_.erase(0, 2);
    return Settled::kAgain;
  }
  const auto length = static_cast<size_t>(ReplyLength);
  ReplyCount = static_cast<int32_t>(std::min(size, length));
  if (size < length) return Settled::kWait;
  AwaitingReply = 0;
  MasterFrame.assign(rx_, 0, length);
  // The request's own bytes followed by the reply's tail can pass the CRC
  // (the request's CRC zeroes the register), so a reply that a new request
  // cut into is never taken as data.
  if (replyOverwritten_ || !frame::CrcChecks(b, length)) {
    status = kReplyChecksum;
  } else if (f & frame::kExceptionFlag) {
    // Decided by the function byte, so an exception code of 0 is still an
    // exception and never reads as good data.
    status = ExceptionStatus(b[frame::kExceptionCodeOffset]);
  } else {
    status = kReplyOk;
    StoreReply(SentFunction, length - 2);
  }
  rx_.erase(0, length);
  ReplyCount = frame::kTakenNone;
  ReplyException = 0;
  replyOverwritten_ = false;
  return Settled::kAgain;
}

TMaster::Settled TMaster::SettleOther() {
  // Another device's frame is passed over by its length once its CRC checks;
  // bytes that make no frame are passed over one by one.
  const auto* b = reinterpret_cast<const uint8_t*>(rx_.data());
  const size_t size = rx_.size();
  const frame::FrameMatch m = frame::MatchFrame(b, size, true);
  if (m.What == frame::Match::kRequest || m.What == frame::Match::kReply) {
    rx_.erase(0, static_cast<size_t>(m.Length));
    return Settled::kAgain;
  }
  if (m.What == frame::Match::kNone) {
    rx_.erase(0, 1);
    return Settled::kAgain;
  }
  // Still open; the awaited reply may have come whole behind noise.
  const struct {
    int64_t length;
    int32_t function;
  } awaited[] = {{ReplyLength, SentFunction},
                 {frame::kExceptionReplyLength, SentFunction + frame::kExceptionFlag}};
  for (const auto& r : awaited) {
    if (r.length <= frame::kTakenFunction || static_cast<size_t>(r.length) >= size) continue;
    const size_t at = size - static_cast<size_t>(r.length);
    if (b[at] == ws_.Devices.DeviceAddress && b[at + 1] == r.function &&
        frame::CrcChecks(b + at, static_cast<size_t>(r.length))) {
      rx_.erase(0, at);
      return Settled::kAgain;
    }
  }
  return Settled::kWait;
}

void TMaster::SettleRtu(int32_t& status) {
  Settled step = Settled::kAgain;
  while (step == Settled::kAgain && !rx_.empty()) {
    ReplyCount = frame::kTakenNone;
    step = echoPossible_ ? SettleEcho() : Settled::kGoOn;
    if (step != Settled::kGoOn) continue;
    step = static_cast<uint8_t>(rx_[0]) == ws_.Devices.DeviceAddress ? SettleReply(status) : SettleOther();
  }
}

int32_t TMaster::MasterCheckRTU(int32_t Count, const std::string& Buffer) {
  int32_t status = kReplyNone;
  const size_t n = frame::ChunkSize(Count, Buffer);
  for (size_t k = 0; k < n; ++k) {
    // A request sent while a longer reply was half received can leave the
    // count at or past the new reply's length; nothing would ever complete
    // it, so that reply is abandoned and this byte may start the next one.
    if (ReplyCount > frame::kTakenAddress && ReplyCount >= ReplyLength) EndReply();
    rx_.push_back(Buffer[k]);
    SettleRtu(status);
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
    // A ":" always begins a reply; one cut short before it is dropped.
    if (c == ':' && ReplyCount == frame::kTakenNone) deadlineBefore_ = ws_.Cycle.ReplyDeadline;
    if (c == ':') ReplyCount = frame::kTakenNone;
    if (ReplyCount == frame::kTakenNone) {
      MasterRxAscii.clear();
      if (c == ':') {
        MasterRxAscii.push_back(':');
        ws_.Cycle.ReplyDeadline = now + kAsciiReplyWindowMs;
        taken = true;
      }
    } else if (c != '\r') {
      MasterRxAscii.push_back(c);
      taken = true;
    } else {
      // The request's own text in front of the reply is an adapter's echo,
      // unless the reply repeats the request (5 and 6).
      const bool echo = echoPossible_ && SentFunction != frame::kWriteSingleCoil &&
                        SentFunction != frame::kWriteSingleRegister &&
                        MasterAscii.size() == MasterRxAscii.size() + 2 &&
                        MasterAscii.compare(0, MasterRxAscii.size(), MasterRxAscii) == 0;
      echoPossible_ = false;
      if (!echo) status = AnalyseAscii();
      // Neither the echo nor another device's frame is the reply: the wait
      // keeps the deadline it had before their ":".
      if (echo || MasterFrame.empty() || static_cast<uint8_t>(MasterFrame[0]) != ws_.Devices.DeviceAddress)
        ws_.Cycle.ReplyDeadline = deadlineBefore_;
      ReplyCount = frame::kTakenNone;
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
  // A frame from another device is not the reply: the wait goes on.
  if (count == 0 || bytes[0] != ws_.Devices.DeviceAddress) return kReplyNone;
  // The carriage return of the device's reply ends the wait, before the
  // checks: a bad LRC ends it too.
  AwaitingReply = 0;
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
