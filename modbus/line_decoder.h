#pragma once
// The frame decoder: the bytes of both directions of a line, each piece with
// the time it was read or written, cut into Modbus frames. No clock of its own
// and no Qt: times come in with the bytes (microseconds on one monotonic
// scale, which the caller chooses; the line analyzer counts from the port's
// opening).
//
// RTU: a frame's length follows from its own fields (frame::RequestLengthOnWire,
// frame::ReplyLengthOnWire) and from the request it may answer (the reply
// reading first while a request to that address and function awaits its
// reply); every frame is checked by its CRC. Frames of other masters and other
// devices are framed the same way. Bytes that make no frame become one noise
// entry (a long run in entries of at most 256 bytes), and the decoder
// resynchronises at the next position where a frame checks. A frame of the
// right length whose CRC fails is reported with a CRC error when a frame that
// checks, a silence or the end of the stream follows it directly and no frame
// that checks begins inside it. Function codes without a rule are framed by
// the CRC search: the shortest length from 4 to 256 bytes that checks, never
// running into the next frame that checks. A silence longer than 3.5
// character times between pieces (where the stamps can show one) is a frame
// boundary: a frame begun before it is cut.
// Echo: the exact copy of the frame written last, read before anything else,
// is its echo. A written request that reads as its own reply too (5 and 6 are
// answered with a copy) is taken as echoed only when the copy began before a
// reply could have (stamps that resolve it), or, without them, when the line
// echoed the frames written before.
// ASCII: frames from ":" to CR LF (at most 513 characters), checked by their
// LRC; characters outside frames are noise.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/frame_rules.h"
#include "modbus/line_timing.h"

namespace korvane::line {

enum class Direction : uint8_t { kTx, kRx }; // written by Korvane / read from the line
enum class FrameCheck : uint8_t { kOk, kCrc, kLrc, kNoise };
// What a frame is, as far as the decoder can tell.
enum class FrameKind : uint8_t {
  kRequest,
  kReply,     // a normal reply (paired with its request when one was seen)
  kException, // an exception reply
  kRaw,       // a function code without a rule, framed by the CRC search
  kNoise,     // bytes that make no frame (also a frame cut short)
};
// Flags of a frame; set only where the stamps can resolve them.
enum FrameFlag : uint8_t {
  kGapInside = 1,    // a pause longer than 1.5 characters inside the frame
  kShortSilence = 2, // less than 3.5 characters of silence before the frame
  kEcho = 4,         // received, an exact echo of the frame just written
  kCut = 8,          // a frame begun but ended by a silence or by the next frame
};

// Times of a frame read from the line: each byte of a piece of k bytes read
// at s is estimated to have begun at s - (k - 1 - i) * CharacterUs() (byte i),
// never before the previous piece's stamp. TimeUs is the first byte's
// estimate and EndUs the last byte's estimate plus one character time, so a
// frame read in one piece lasts its characters' time, like one written, and
// the silence before a frame is its TimeUs less the previous frame's EndUs.
struct Frame {
  uint64_t TimeUs = 0; // its first byte (written: the write began; read: estimated arrival)
  uint64_t EndUs = 0;  // its last byte's end (written: computed from the line's settings)
  Direction Dir = Direction::kRx;
  FrameCheck Check = FrameCheck::kOk;
  FrameKind Kind = FrameKind::kNoise;
  uint8_t Flags = 0;
  int16_t Device = -1;   // address byte; -1 for noise
  int16_t Function = -1; // function byte as on the line (0x80 set for exceptions); -1 for noise
  // Replies paired with a request: end of the request on the line to the
  // reply's first byte, and the reply's own duration; -1 otherwise.
  int64_t ResponseUs = -1;
  int64_t ReplyDurationUs = -1;
  // For a paired reply, the request's start address (as on the wire, from 0)
  // and quantity; -1 otherwise.
  int32_t RequestStart = -1;
  int32_t RequestQuantity = -1;
  std::string Bytes; // the frame as on the line: RTU bytes with CRC, or the ASCII text
  frame::Framing Framing = frame::Framing::kRtu; // how Bytes are to be read
};

// The fields of a frame, decoded (RTU bytes, or the bytes an ASCII text stands for).
struct Fields {
  int Address = -1;
  int Function = -1;
  int ExceptionCode = -1;
  int Start = -1;    // as on the wire (from 0)
  int Quantity = -1; // registers, coils or inputs; for a reply to 1-4 what it carries
  int ByteCount = -1;
  int Value = -1; // functions 5 and 6
  std::vector<uint16_t> Registers;
  std::vector<bool> Bits;
  int CheckReceived = -1; // CRC (or LRC) as received, and as computed
  int CheckComputed = -1;
};

Fields DecodeFields(const Frame& f);
// The frame in words, built only when shown: "Read Holding Registers 1-10",
// "Reply: 10 registers", "Exception 2 Illegal Data Address",
// "CRC error: received 12AB, computed CDCD", "Noise: 7 bytes".
std::string Summary(const Frame& f);
// "Illegal Function", "Illegal Data Address", ... for the standard codes.
const char* ExceptionName(int code);
// "Read Holding Registers", ... for the function codes with a rule; empty otherwise.
const char* FunctionName(int function);

// Receives the decoder's output, in line order.
class FrameSink {
public:
  virtual ~FrameSink() = default;
  virtual void OnFrame(const Frame& frame) = 0;
  // A request that got no reply within the reply time-out, or before the next
  // request on the line. Broadcasts (address 0) expect none and never time out.
  virtual void OnTimeout(const Frame& /*request*/) {}
};

struct DecoderSettings {
  frame::Framing Framing = frame::Framing::kRtu;
  int64_t Baud = 9600;
  CharacterFormat Format;
  // False where the stamps cannot resolve gaps and silences (a pseudo-terminal,
  // an adapter whose latency timer is longer than the gaps in question): then
  // no silence boundary is used and no timing flag is set.
  bool TimingResolved = true;
  // A request unanswered this long after its end counts as timed out.
  uint64_t ReplyTimeoutUs = 1000000;
};

class FrameDecoder {
public:
  explicit FrameDecoder(FrameSink& sink, const DecoderSettings& settings = {});
  // New settings; what is pending is flushed first.
  void Configure(const DecoderSettings& settings);
  const DecoderSettings& Settings() const { return settings_; }

  // Bytes read from the line; `stampUs` is when the read returned them.
  void Received(std::string_view bytes, uint64_t stampUs);
  // A frame written whole: the write began at `startUs`, its last character
  // leaves the line at `endUs`.
  void Sent(std::string_view frame, uint64_t startUs, uint64_t endUs);
  // Time has passed without input: pending bytes behind a silence are framed,
  // an unanswered request past its time-out is reported.
  void Advance(uint64_t nowUs);
  // The end of the stream (the port closes): everything pending is emitted.
  void Flush();
  // Forgets everything pending (no output).
  void Reset();

  // Microseconds of one character at the settings, and the two silences.
  uint64_t CharacterUs() const;
  uint64_t InterFrameUs() const; // 3.5 characters, at least 1750 us above 19200 baud
  uint64_t InterCharUs() const;  // 1.5 characters, at least 750 us above 19200 baud

  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

private:
  FrameSink& sink_;
  DecoderSettings settings_;
  // Pending bytes with their stamps, the request awaiting its reply, the
  // last frame written.
  struct State;
  std::unique_ptr<State> state_;
};

// The CSV trace: one line per frame, "Export CSV" and --trace alike.
// Header: time_us,dir,device,function,bytes,check,response_us,summary,hex
// time_us counts from the port's opening (the frame's TimeUs), dir "tx" or
// "rx", device and function decimal (empty for noise), bytes the length,
// check ok/crc/lrc/noise, response_us for a paired reply (else empty),
// summary in double quotes (a double quote inside doubled), hex upper case
// without spaces. Each line ends in "\n".
extern const char kCsvHeader[]; // without the line feed
void AppendCsvLine(std::string& out, const Frame& f);

} // namespace korvane::line
