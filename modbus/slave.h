#pragma once
// TSlave: the slave side of the engine. Received chunks go in through
// CheckModbusRTU / CheckModbusASCII; a complete request addressed to one of the
// five slots, with a good CRC or LRC, is served at once by its handler from
// that slot's tables, and the reply leaves through the FrameSender before the
// next received byte is looked at. A request that fails any check gets no
// reply at all (there are no exception replies).
//
// RTU: the checker follows every frame on the line, not only the requests
// to the five slots. A frame's length comes from its own fields
// (modbus/frame_rules.h) and it counts as a frame only when its CRC checks;
// frames for other devices and their replies are passed over whole, so their
// bytes never start a request. Bytes that make no frame are noise: the
// checker resynchronises at the next position where a frame checks. ASCII:
// a request runs from ":" to the carriage return; a ":" always starts a new
// one. The state survives between chunks, so a frame may arrive in any number
// of pieces.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/sender.h"

namespace korvane {

class TSlave {
public:
  static constexpr uint32_t kRequestTimeout = 3000; // ms from the first byte held
  static constexpr int32_t kMaxRequest = 500;       // bytes or characters held
  // RTU bytes held at most: the longest request served (kMaxRequest + 1
  // bytes) with room to spare.
  static constexpr size_t kHeldBytes = 512;

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

  // RTU: bytes held, not yet passed over as a frame or as noise (0 right
  // after a frame); ASCII: characters taken of the request text.
  int32_t RxCount() const;
  // Forgets whatever is held or half received (the peer has gone).
  void DropHeld();

  std::string RxFrame;     // request bytes (RTU) or bytes decoded from RxAscii, checksum last
  std::string RxAscii;     // ASCII request text from ":" on, never the carriage return
  uint32_t RxDeadline = 0; // tick at which what is held times out
  int32_t RequestSlot = 0; // slot 1..5 the current request addresses
  std::string TxFrame;     // reply bytes (RTU: CRC included)
  std::string TxAscii;     // reply text in ASCII framing

private:
  // Offsets of the bytes that complete a frame's length fields: the function
  // code, a reply's byte count, a request's byte count.
  static constexpr uint64_t kFieldsComplete[] = {1, 2, 6};
  // How the bytes at one position may be read as an RTU frame.
  enum class Reading : uint8_t {
    kOwnRequest,     // a request to a slot: length from function and quantity
    kRequest,        // a request to another device: length from its own fields
    kReply,          // a reply: length from its own fields
    kRequestOrReply, // 5 or 6 to another device: the request and its reply look alike
  };
  // One reading of the frame that may begin at stream position Pos (positions
  // count every byte received since the checker was made) and end before End.
  struct Candidate {
    uint64_t Pos = 0;
    uint64_t End = 0;
    Reading What = Reading::kRequest;
    // A reading the checker waits for when it begins at a frame boundary:
    // its length fields agree with each other or with the request it answers.
    bool Trusted = false;
  };
  // The reply a request to another device is expected to bring next.
  struct Expected {
    int Address = -1; // -1: none expected
    int Function = 0;
    int ByteCount = -1; // of a reply to 1..4 (low eight bits); -1 for any
  };

  // One received byte; true when it completed a request that was served.
  bool TakeRtuByte(uint8_t b, uint32_t now);
  // Adds the readings that the byte at stream position `at` makes known.
  void AddReadings(uint64_t at);
  // Adds the reading of the frame that may begin at `p` whose length fields
  // the byte at `at` completes.
  void AddReadingsAt(uint64_t p, uint64_t at);
  // Takes the frame that ends with the last byte received, if one checks.
  bool TakeCompleted(bool& served);
  void Add(uint64_t pos, uint64_t length, Reading what, bool trusted);
  bool ExpectedReply(uint8_t address, uint8_t function, int byteCount) const;
  bool HeadBlocks() const;
  // Passes over the frame, or serves it when it is a request to a slot (true).
  bool TakeFrame(const Candidate& c);
  // Drops every byte held: the next byte is looked at as the start of a frame.
  void Restart();
  uint8_t HeldAt(uint64_t pos) const { return held_[static_cast<size_t>(pos - base_)]; }
  bool IsSlotAddress(uint8_t a) const { return (slotAddresses_[a / 64] >> (a % 64)) & 1; }

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
  int32_t asciiCount_ = 0;  // characters of the ASCII request taken; 0: waiting for ":"

  // RTU bytes held: stream positions [low_, end_) live at held_[pos - base_],
  // with the tick of the chunk that brought each. The store is twice the
  // bound so that the live bytes move down only now and then.
  std::array<uint8_t, 2 * kHeldBytes> held_{};
  std::array<uint32_t, 2 * kHeldBytes> arrived_{};
  uint64_t base_ = 0;
  uint64_t low_ = 0;
  uint64_t end_ = 0;
  // In step: head_ is a frame boundary (the end of the last frame, or where
  // the checker restarted) and the readings trusted there are waited for.
  // Out of step (after bytes that made no frame): the first frame to check
  // anywhere among the held bytes is taken.
  bool inStep_ = true;
  uint64_t head_ = 0;
  // Readings not yet complete; at most two per held position.
  std::array<Candidate, 2 * kHeldBytes> pending_{};
  size_t pendingCount_ = 0;
  Expected expected_;
  // The slot addresses as a set of 256 bits, taken at the start of each chunk.
  std::array<uint64_t, 4> slotAddresses_{};
};

} // namespace korvane
