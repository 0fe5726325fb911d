#pragma once
// TMaster: the master's side of the line. MasterPollPLC builds one request from
// the workspace's master request cycle and sends it; MasterCheckRTU and
// MasterCheckASCII assemble the reply from the received chunks, validate it,
// store read values into the active slot and return a reply status code
// (ReplyStatus, modbus/frame_rules.h).
// No clock, no descriptors, no globals: time comes from the TickSource and
// frames leave through the FrameSender.
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/frame_rules.h"
#include "modbus/sender.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

// The next poll window of a register read: sets ws.Cycle.PollCount and
// ws.Cycle.PollAddress from RegLength, RtuMode, BaudRate and StartReg. The reply of
// one request fits a byte budget of BaudRate * 256 / 9600 data bytes (RTU:
// 2 per register, ASCII: 4); successive calls walk through the view, starting
// one window past StartReg. Used by the poll timer and the "Read" button.
void ComputePollWindow(Workspace& ws);

class TMaster {
public:
  TMaster(Workspace& ws, FrameSender& sender, const TickSource& ticks);

  // Builds and sends the request that ws.Cycle.MasterWrite, RegType and the request
  // cycle describe. Does not set ws.Cycle.ReplyDeadline: the caller does. A request
  // whose address or quantity does not fit its 16-bit field, a register write
  // of no values or of more values than WriteValues holds is not sent at all,
  // and then nothing here changes but SentCharacters (0). When the sender
  // throws, the error passes through and SentFunction, ReplyLength and
  // AwaitingReply are as they were before the call.
  void MasterPollPLC();

  // One received chunk: `Count` bytes of `Buffer` (never more than it holds).
  int32_t MasterCheckRTU(int32_t Count, const std::string& Buffer);
  int32_t MasterCheckASCII(int32_t Count, const std::string& Buffer);
  // Decodes MasterRxAscii into MasterFrame, checks address and LRC, stores.
  int32_t AnalyseAscii();

  // The request being built and sent; reused to assemble the reply.
  std::string MasterFrame;
  // The ASCII text of the last request.
  std::string MasterAscii;
  int32_t SentFunction = 0;
  // Whole RTU reply length (CRC included) expected to the last request.
  int32_t ReplyLength = 0;
  uint8_t AwaitingReply = 0;
  // Bytes (RTU) or characters (ASCII) the last MasterPollPLC handed to the
  // sender; 0 when it sent nothing. The caller's reply deadline allows for
  // the time they take on the line.
  size_t SentCharacters = 0;
  // Bytes (RTU) or characters (ASCII) taken of the reply being assembled;
  // 0 = waiting for its start (RTU: also while an echo or another device's
  // frame is held). A new request does not reset it.
  int32_t ReplyCount = 0;
  // RTU: 0 for a normal reply; the exception function code, then the
  // exception code once it has arrived.
  int32_t ReplyException = 0;
  // The ASCII reply text being assembled, from its ":"; never holds the CR.
  std::string MasterRxAscii;

private:
  // Stores the data of the reply in MasterFrame (from offset 3 up to, not
  // including, `dataEnd`) for function code `f`. Values that the reply does
  // not carry are left unchanged.
  void StoreReply(int32_t f, size_t dataEnd);
  // Frame finished: CRC (RTU) or ASCII text, then sent.
  void FinishAndSend();
  void EndReply();
  // Decides what the RTU bytes held are, as far as they tell: the echo of
  // the request, the awaited reply (its status into `status`), another
  // device's frame or noise.
  void SettleRtu(int32_t& status);
  // One step of it: wait for more bytes, look again at what is left held,
  // or go on to the next reading of the same bytes.
  enum class Settled : uint8_t { kWait, kAgain, kGoOn };
  Settled SettleEcho();
  Settled SettleReply(int32_t& status);
  Settled SettleOther();
  // The first bytes held make the awaited reply, whole, and its CRC checks.
  bool HeldReplyChecks() const;

  Workspace& ws_;
  // A request went out while an RTU reply was half assembled: the reply's
  // first bytes in MasterFrame were replaced by the request, so the reply can
  // no longer be checked and ends as a checksum error.
  bool replyOverwritten_ = false;
  // RTU bytes received and not yet settled; the awaited reply is assembled
  // here from its address byte on.
  std::string rx_;
  // The last request as it went out (RTU: CRC included). An adapter that
  // echoes what is sent puts it in front of the reply: while the first bytes
  // received can still be that echo (echoPossible_), they are compared.
  std::string sentRequest_;
  bool echoPossible_ = false;
  size_t echoMatched_ = 0;
  // ASCII: the reply deadline before the ":" of the frame being assembled.
  uint32_t deadlineBefore_ = 0;
  FrameSender& sender_;
  const TickSource& ticks_;
};

} // namespace korvane
