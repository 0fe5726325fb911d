#pragma once
// TSlave: the slave side of the engine. Received chunks go in through
// CheckModbusRTU / CheckModbusASCII; a complete request addressed to one of the
// five slots, with a good CRC or LRC, is served at once by its handler from
// that slot's tables, and the reply leaves through the FrameSender before the
// next received byte is looked at. A request that fails any check gets no
// reply at all (there are no exception replies).
//
// Both checkers are states of one counter, RxCount: 0 (frame::kTakenNone)
// waits for the start of a request (an address byte of a slot in RTU, ":" in
// ASCII); otherwise it counts the bytes or characters taken, the RTU positions
// named by frame::Taken. The state survives between chunks, so a request may
// arrive in any number of pieces.
#include <cstdint>
#include <string>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/sender.h"

namespace korvane {

class TSlave {
public:
  static constexpr uint32_t kRequestTimeout = 3000; // ms from the start of a request
  static constexpr int32_t kMaxRequest = 500;       // bytes or characters held

  TSlave(Workspace& ws, FrameSender& sender, const TickSource& ticks);

  // Takes the first min(Count, Buffer.size()) bytes of Buffer.
  void CheckModbusRTU(int32_t Count, const std::string& Buffer);
  // Takes the first min(Count, Buffer.size()) characters of Buffer.
  void CheckModbusASCII(int32_t Count, const std::string& Buffer);
  // Decodes RxAscii into RxFrame, checks slot and LRC and dispatches.
  void AnalyseASCII();

  // Handlers: read RxFrame and RequestSlot, change the store, build TxFrame
  // (and TxAscii in ASCII framing) and send the reply. A frame too short for
  // the fields a handler reads is not answered.
  void ReadStatus();
  void ReadRegs();
  void WriteSingleCoil();
  void WriteSingleReg();
  void WriteCoils();
  void WriteHoldRegs();

  std::string RxFrame;     // request bytes (RTU) or bytes decoded from RxAscii, checksum last
  std::string RxAscii;     // ASCII request text from ":" on, never the carriage return
  int32_t RxCount = 0;     // bytes or characters taken of the current request
  int32_t RxLength = 0;    // whole RTU request length, CRC included
  uint32_t RxDeadline = 0; // tick at which the current request times out
  int32_t RequestSlot = 0; // slot 1..5 the current request addresses
  std::string TxFrame;     // reply bytes (RTU: CRC included)
  std::string TxAscii;     // reply text in ASCII framing

private:
  void Dispatch();
  void Send();
  int MatchSlot(uint8_t address) const;
  // Bytes of RxFrame before its checksum.
  size_t BodySize() const;
  // Address, function, start and quantity (or value) present, and a slot to serve.
  bool HasHeader() const;

  Workspace& ws_;
  FrameSender& sender_;
  const TickSource& ticks_;
  size_t checksumSize_ = 2; // 2 (CRC) for a request from the RTU checker, 1 (LRC) for ASCII
};

} // namespace korvane
