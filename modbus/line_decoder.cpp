#include "modbus/line_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "modbus/core.h"

namespace korvane::line {
namespace {

// Bytes held at most; what is undecided never exceeds kDecideBytes, so the
// rest is room for the next piece.
constexpr size_t kHold = 4096;
// Any position is decided with this many bytes held: a frame of at most
// kMaxRtuFrame bytes and the frame that follows it.
constexpr size_t kDecideBytes = 2 * frame::kMaxRtuFrame + 16;
// A longer run of noise is reported in pieces of this size.
constexpr size_t kMaxNoise = 256;
constexpr int64_t kMaxRtu = static_cast<int64_t>(frame::kMaxRtuFrame);

bool IsHexDigit(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// The bytes an ASCII frame's text stands for (LRC included), from ":" to CR
// LF: false when the text is no such frame (odd count, a non-digit, fewer
// than address, function and LRC).
bool DecodeAsciiText(const uint8_t* t, size_t n, std::string& out) {
  out.clear();
  if (n < 3 || t[0] != ':' || t[n - 2] != '\r' || t[n - 1] != '\n') return false;
  const size_t digits = n - 3;
  if (digits % 2 != 0 || digits < 6) return false;
  for (size_t i = 1; i < n - 2; ++i)
    if (!IsHexDigit(t[i])) return false;
  for (size_t i = 1; i + 1 < n - 2; i += 2)
    out.push_back(static_cast<char>(HexValue(t[i]) * 16 + HexValue(t[i + 1])));
  return true;
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

uint64_t AddSaturated(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The two readings of the bytes at `b`: whole lengths (0: more bytes needed
// to tell, -1: no rule) and kinds, the preferred first.
struct Readings {
  int64_t Length[2];
  FrameKind Kind[2];
  bool Rule; // the function code has a rule (known once two bytes are held)
};
Readings ReadingsOf(const uint8_t* b, size_t n, bool preferReply) {
  const int64_t request = frame::RequestLengthOnWire(b, n);
  const int64_t reply = frame::ReplyLengthOnWire(b, n);
  const FrameKind replyKind =
      n > frame::kFunctionOffset && frame::IsExceptionFunction(b[frame::kFunctionOffset])
          ? FrameKind::kException
          : FrameKind::kReply;
  Readings r{};
  r.Rule = request != -1 || reply != -1;
  if (preferReply) {
    r.Length[0] = reply, r.Kind[0] = replyKind;
    r.Length[1] = request, r.Kind[1] = FrameKind::kRequest;
  } else {
    r.Length[0] = request, r.Kind[0] = FrameKind::kRequest;
    r.Length[1] = reply, r.Kind[1] = replyKind;
  }
  // No frame is longer than kMaxRtuFrame: such a reading is none.
  for (int64_t& l : r.Length)
    if (l > kMaxRtu) l = -1;
  return r;
}

enum class Seen : uint8_t { kYes, kNo, kMore };

// Whether a frame with a rule begins at `b` and checks.
Seen FrameChecksAt(const uint8_t* b, size_t n, bool preferReply) {
  if (n < 2) return Seen::kMore;
  const Readings r = ReadingsOf(b, n, preferReply);
  bool more = false;
  for (int64_t l : r.Length) {
    if (l == 0 || l > static_cast<int64_t>(n)) {
      more = true;
    } else if (l > 0 && frame::CrcChecks(b, static_cast<size_t>(l))) {
      return Seen::kYes;
    }
  }
  return more ? Seen::kMore : Seen::kNo;
}

// The kind of a whole frame of `n` bytes (RTU, or an ASCII frame's bytes with
// the LRC, `checkBytes` 1) by the reading whose length it has.
FrameKind KindOfWhole(const uint8_t* b, size_t n, size_t checkBytes, bool preferReply) {
  if (n < 2) return FrameKind::kNoise;
  const Readings r = ReadingsOf(b, n, preferReply);
  const auto rtuLength = static_cast<int64_t>(n + 2 - checkBytes);
  for (int i = 0; i < 2; ++i)
    if (r.Length[i] == rtuLength) return r.Kind[i];
  return FrameKind::kRaw;
}

} // namespace

struct FrameDecoder::State {
  State(FrameSink& s, const DecoderSettings& d) : sink(s), settings(d) {
    noise.reserve(kMaxNoise);
    out.Bytes.reserve(frame::kMaxAsciiFrame);
    request.Bytes.reserve(frame::kMaxAsciiFrame);
    echo.reserve(frame::kMaxAsciiFrame);
    scratch.reserve(frame::kMaxAsciiFrame);
  }

  FrameSink& sink;
  const DecoderSettings& settings;
  uint64_t CharUs = 0, InterFrameUs = 0, InterCharUs = 0;
  bool timed = false; // RTU with stamps that resolve silences
  bool wire = true;   // bytes take time on a wire

  // Bytes held, each with its estimated start.
  uint8_t buf[kHold];
  uint64_t est[kHold];
  size_t head = 0, tail = 0;
  bool stamped = false;
  uint64_t LastStamp = 0;
  size_t AsciiScan = 0; // characters after head already searched for a frame's end
  // FirstCheckAfter's last answer: from checkFrom, with checkTail bytes held.
  size_t CheckTail = SIZE_MAX, CheckFrom = 0, CheckPos = 0;
  // The CRC search at rawAt (absolute), resumed as bytes join.
  size_t RawAt = SIZE_MAX;
  TCore::CrcSearch RawSearch;

  // The run of noise being gathered (it precedes buf[head]).
  std::string noise;
  uint64_t NoiseFirst = 0, NoiseLast = 0;

  Frame out;
  std::string scratch; // bytes of an ASCII frame

  bool HaveLast = false;
  uint64_t LastEnd = 0; // end of the latest frame on the line

  // The request awaiting its reply.
  bool awaiting = false;
  Frame request;
  int ReqDevice = -1, ReqFunction = -1;
  int32_t ReqStart = -1, ReqQuantity = -1;

  // The frame written last, while its echo may still come.
  bool EchoActive = false;
  std::string echo;
  FrameKind EchoKind = FrameKind::kNoise;
  FrameCheck EchoCheck = FrameCheck::kNoise;
  // The frame written reads as its own reply too (5 and 6 are answered with
  // a copy): its copy is the echo only when it began before a reply could
  // have (stamps that resolve it), or, without them, when the line has
  // echoed what was written before.
  bool EchoAmbiguous = false;
  uint64_t EchoEndUs = 0;
  bool LineEchoes = false;

  bool Ascii() const { return settings.Framing == frame::Framing::kAscii; }
  bool Pending() const { return head < tail || !noise.empty(); }
  uint64_t FirstPendingEst() const { return !noise.empty() ? NoiseFirst : est[head]; }
  uint64_t LastPendingEst() const { return head < tail ? est[tail - 1] : NoiseLast; }
  uint64_t Deadline() const { return AddSaturated(request.EndUs, settings.ReplyTimeoutUs); }

  bool PreferReply(const uint8_t* b, size_t n) const {
    return awaiting && n > frame::kFunctionOffset && b[0] == ReqDevice && (b[1] & 0x7F) == ReqFunction;
  }

  void TimeOut() {
    awaiting = false;
    sink.OnTimeout(request);
  }

  // At time `t` nothing came: a request past its time-out is reported, unless
  // bytes held from before its deadline may still be its reply.
  void CheckTimeout(uint64_t t) {
    if (awaiting && t > Deadline() && (!Pending() || FirstPendingEst() > Deadline())) TimeOut();
  }

  void Begin(Direction dir, uint64_t time, uint64_t end, FrameCheck check, FrameKind kind, uint8_t flags) {
    out.TimeUs = time;
    out.EndUs = std::max(end, time);
    out.Dir = dir;
    out.Check = check;
    out.Kind = kind;
    out.Flags = flags;
    out.Device = -1;
    out.Function = -1;
    out.ResponseUs = -1;
    out.ReplyDurationUs = -1;
    out.RequestStart = -1;
    out.RequestQuantity = -1;
    out.Framing = settings.Framing;
  }

  // Hands `out` on: time-outs before it, pairing, the silence before it.
  // `bin` is its bytes (RTU, or an ASCII frame's bytes), body and checksum.
  void Deliver(const uint8_t* bin, size_t binLength) {
    Frame& f = out;
    if (awaiting && f.TimeUs > Deadline()) TimeOut();
    const bool isEcho = (f.Flags & kEcho) != 0;
    if (f.Dir == Direction::kRx && !isEcho) NoEcho();
    if (timed && HaveLast && !isEcho && f.Kind != FrameKind::kNoise && f.TimeUs < LastEnd + InterFrameUs)
      f.Flags |= kShortSilence;
    if (!isEcho) {
      const bool reply = f.Kind == FrameKind::kReply || f.Kind == FrameKind::kException;
      if (reply && awaiting && f.Device == ReqDevice && (f.Function & 0x7F) == ReqFunction) {
        // Its reply, also when corrupted: the device answered.
        awaiting = false;
        if (f.Check == FrameCheck::kOk) {
          f.ResponseUs = f.TimeUs >= request.EndUs ? static_cast<int64_t>(f.TimeUs - request.EndUs) : 0;
          f.ReplyDurationUs = static_cast<int64_t>(f.EndUs - f.TimeUs);
          f.RequestStart = ReqStart;
          f.RequestQuantity = ReqQuantity;
        }
      } else if (f.Kind == FrameKind::kRequest) {
        if (awaiting) TimeOut();
        if (f.Check == FrameCheck::kOk && f.Device != 0 && binLength >= frame::kRequestHeaderSize) {
          awaiting = true;
          request = f;
          ReqDevice = f.Device;
          ReqFunction = f.Function;
          ReqStart = static_cast<int32_t>(bin[2] * 256 + bin[3]);
          ReqQuantity =
              (f.Function == 5 || f.Function == 6) ? 1 : static_cast<int32_t>(bin[4] * 256 + bin[5]);
        }
      }
    }
    LastEnd = HaveLast ? std::max(LastEnd, f.EndUs) : f.EndUs;
    HaveLast = true;
    sink.OnFrame(f);
  }

  void FlushNoise() {
    if (noise.empty()) return;
    Begin(Direction::kRx, NoiseFirst, NoiseLast + CharUs, FrameCheck::kNoise, FrameKind::kNoise, 0);
    out.Bytes.assign(noise);
    noise.clear();
    Deliver(nullptr, 0);
  }

  void AddNoise(size_t count) {
    NoEcho();
    while (count > 0) {
      if (noise.empty()) NoiseFirst = est[head];
      const size_t take = std::min(count, kMaxNoise - noise.size());
      noise.append(reinterpret_cast<const char*>(buf + head), take);
      NoiseLast = est[head + take - 1];
      head += take;
      count -= take;
      AsciiScan = 0;
      if (noise.size() >= kMaxNoise) FlushNoise();
    }
  }

  uint8_t GapFlag(size_t from, size_t length) const {
    if (!timed) return 0;
    const uint64_t limit = InterCharUs + CharUs;
    for (size_t i = from + 1; i < from + length; ++i)
      if (est[i] - est[i - 1] > limit) return kGapInside;
    return 0;
  }

  // The `length` bytes at head are one received frame.
  void EmitRx(size_t length, FrameKind kind, FrameCheck check, uint8_t flags) {
    FlushNoise();
    const size_t h = head;
    Begin(Direction::kRx, est[h], est[h + length - 1] + CharUs, check, kind, flags | GapFlag(h, length));
    out.Bytes.assign(reinterpret_cast<const char*>(buf + h), length);
    head += length;
    AsciiScan = 0;
    if (kind == FrameKind::kNoise) {
      Deliver(nullptr, 0);
    } else if (Ascii()) {
      // Kind and check were found from the bytes in scratch.
      out.Device = static_cast<uint8_t>(scratch[0]);
      out.Function = static_cast<uint8_t>(scratch[1]);
      Deliver(U8(scratch), scratch.size());
    } else {
      out.Device = buf[h];
      out.Function = buf[h + 1];
      Deliver(buf + h, length);
    }
  }

  // What was written is not echoed.
  void NoEcho() {
    if (EchoActive && !EchoAmbiguous) LineEchoes = false;
    EchoActive = false;
  }

  enum class Echo : uint8_t { kTaken, kWait, kNo };
  Echo TakeEcho(size_t n, bool last) {
    last = last || n >= kDecideBytes; // a copy longer than that is no longer awaited
    const size_t m = std::min(n, echo.size());
    if (!noise.empty() || std::memcmp(buf + head, echo.data(), m) != 0) {
      NoEcho();
      return Echo::kNo;
    }
    if (n < echo.size()) {
      if (last) {
        NoEcho();
        return Echo::kNo;
      }
      return Echo::kWait;
    }
    EchoActive = false;
    if (EchoAmbiguous && !(timed ? est[head] < EchoEndUs + InterFrameUs : LineEchoes)) return Echo::kNo;
    if (!EchoAmbiguous) LineEchoes = true;
    FlushNoise();
    const size_t h = head;
    Begin(Direction::kRx, est[h], est[h + m - 1] + CharUs, EchoCheck, EchoKind, kEcho | GapFlag(h, m));
    out.Bytes.assign(echo);
    if (echo.size() > frame::kFunctionOffset && EchoKind != FrameKind::kNoise) {
      const uint8_t* b = U8(echo);
      if (Ascii() && DecodeAsciiText(b, echo.size(), scratch)) b = U8(scratch);
      out.Device = b[0];
      out.Function = b[1];
    }
    head += m;
    AsciiScan = 0;
    Deliver(nullptr, 0);
    return Echo::kTaken;
  }

  // Frames what is held; `final`: no byte joins what is held (a silence, a
  // frame written, the end of the stream).
  void Decide(bool final) {
    if (Ascii())
      DecideAscii(final);
    else
      DecideRtu(final);
    if (final) FlushNoise();
    if (head == tail) {
      head = tail = 0;
      CheckTail = SIZE_MAX;
      RawAt = SIZE_MAX;
    }
  }

  void DecideRtu(bool final) {
    while (head < tail) {
      const uint8_t* b = buf + head;
      const size_t n = tail - head;
      const bool last = final || n >= kDecideBytes;
      if (EchoActive) {
        const Echo e = TakeEcho(n, last);
        if (e == Echo::kTaken) continue;
        if (e == Echo::kWait) return;
      }
      if (n < 2) {
        if (!last) return;
        AddNoise(1);
        continue;
      }
      const bool prefer = PreferReply(b, n);
      const Readings r = ReadingsOf(b, n, prefer);
      bool more = false, taken = false;
      for (int i = 0; i < 2 && !taken; ++i) {
        const int64_t l = r.Length[i];
        if (l == 0 || l > static_cast<int64_t>(n)) {
          more = true;
        } else if (l > 0 && frame::CrcChecks(b, static_cast<size_t>(l))) {
          EmitRx(static_cast<size_t>(l), r.Kind[i], FrameCheck::kOk, 0);
          taken = true;
        }
      }
      if (taken) continue;
      if (!r.Rule) {
        // No rule: the CRC search, over the bytes up to the next frame that
        // checks (raw data does not run into a frame).
        const size_t next = FirstCheckAfter(head);
        const size_t span = next < tail ? next - head : n;
        if (RawAt != head) {
          RawAt = head;
          RawSearch = {};
        }
        const int64_t l = frame::RawLengthOnWire(b, span, RawSearch);
        if (l > 0) {
          EmitRx(static_cast<size_t>(l), FrameKind::kRaw, FrameCheck::kOk, 0);
          continue;
        }
        // Not every length held yet, and no frame after: wait.
        if (next >= tail && n < frame::kMaxRtuFrame && !last) return;
        AddNoise(1);
        continue;
      }
      if (more && !last) return;
      // A frame of the right length whose CRC fails, followed by a boundary
      // or by a frame that checks, is that frame with a CRC error; never
      // when a frame that checks begins inside it.
      for (int i = 0; i < 2 && !taken; ++i) {
        const int64_t l = r.Length[i];
        if (l <= 0 || l > static_cast<int64_t>(n)) continue;
        const auto length = static_cast<size_t>(l);
        if (FirstCheckAfter(head) < head + length) continue;
        if (length == n) {
          if (!last) return;
          EmitRx(length, r.Kind[i], FrameCheck::kCrc, 0);
          taken = true;
          break;
        }
        const Seen next = FrameChecksAt(b + length, n - length, PreferReply(b + length, n - length));
        if (next == Seen::kYes) {
          EmitRx(length, r.Kind[i], FrameCheck::kCrc, 0);
          taken = true;
        } else if (next == Seen::kMore && !last) {
          return;
        }
      }
      if (taken) continue;
      // A frame begun and not finished before a boundary: cut, unless a frame
      // that checks begins later among the bytes held.
      if (more && final && FirstCheckAfter(head) >= tail) {
        FlushNoise();
        EmitRx(n, FrameKind::kNoise, FrameCheck::kNoise, kCut);
        continue;
      }
      AddNoise(1);
    }
  }

  // The first position after `p` (absolute) where a frame with a rule
  // checks among the bytes held; `tail` when there is none. Remembered while
  // no byte joins, so a run of noise is searched once.
  size_t FirstCheckAfter(size_t p) {
    if (CheckTail == tail && CheckFrom <= p && CheckPos > p) return CheckPos;
    size_t q = p + 1;
    while (q + 1 < tail && FrameChecksAt(buf + q, tail - q, PreferReply(buf + q, tail - q)) != Seen::kYes)
      ++q;
    if (q + 1 >= tail) q = tail;
    CheckTail = tail;
    CheckFrom = p;
    CheckPos = q;
    return q;
  }

  void DecideAscii(bool final) {
    while (head < tail) {
      const uint8_t* b = buf + head;
      const size_t n = tail - head;
      if (EchoActive) {
        const Echo e = TakeEcho(n, final);
        if (e == Echo::kTaken) continue;
        if (e == Echo::kWait) return;
      }
      if (b[0] != ':') {
        const void* colon = std::memchr(b, ':', n);
        AddNoise(colon ? static_cast<size_t>(static_cast<const uint8_t*>(colon) - b) : n);
        continue;
      }
      const size_t limit = std::min(n, frame::kMaxAsciiFrame);
      size_t i = std::max<size_t>(AsciiScan, 1);
      size_t end = 0;
      bool cut = false;
      for (; i < limit; ++i) {
        if (b[i] == ':') {
          end = i;
          cut = true;
          break;
        }
        if (b[i] == '\n' && b[i - 1] == '\r') {
          end = i + 1;
          break;
        }
      }
      if (end == 0) {
        if (i >= frame::kMaxAsciiFrame) {
          end = frame::kMaxAsciiFrame;
          cut = true;
        } else if (final) {
          end = n;
          cut = true;
        } else {
          AsciiScan = i;
          return;
        }
      }
      if (cut) {
        FlushNoise();
        EmitRx(end, FrameKind::kNoise, FrameCheck::kNoise, kCut);
        continue;
      }
      if (!DecodeAsciiText(b, end, scratch)) {
        EmitRx(end, FrameKind::kNoise, FrameCheck::kNoise, 0);
        continue;
      }
      const uint8_t* d = U8(scratch);
      const size_t dn = scratch.size();
      const bool lrcOk = Lrc(scratch, dn - 1) == d[dn - 1];
      const FrameKind kind = KindOfWhole(d, dn, 1, PreferReply(d, dn));
      EmitRx(end, kind, lrcOk ? FrameCheck::kOk : FrameCheck::kLrc, 0);
    }
  }

  void Append(const uint8_t* p, size_t k, uint64_t stamp) {
    if (stamped && stamp < LastStamp) stamp = LastStamp;
    const uint64_t floor = stamped ? LastStamp : 0;
    // On a wire the bytes before a piece's last arrived one character time
    // apart; without one they all came with the read.
    auto estimate = [&](size_t i) {
      if (!wire) return stamp;
      const uint64_t back = static_cast<uint64_t>(k - 1 - i) * CharUs;
      return back >= stamp - floor ? floor : stamp - back;
    };
    const uint64_t first = estimate(0);
    if (timed && Pending() && first > LastPendingEst() + CharUs + InterFrameUs) Decide(true);
    CheckTimeout(first);
    size_t i = 0;
    while (i < k) {
      if (tail == kHold) {
        std::memmove(buf, buf + head, tail - head);
        std::memmove(est, est + head, (tail - head) * sizeof(uint64_t));
        tail -= head;
        head = 0;
        CheckTail = SIZE_MAX;
        RawAt = SIZE_MAX;
      }
      const size_t take = std::min(k - i, kHold - tail);
      std::memcpy(buf + tail, p + i, take);
      for (size_t j = 0; j < take; ++j) est[tail + j] = estimate(i + j);
      tail += take;
      i += take;
      Decide(false);
      // What is held is always decided long before the room runs out; should
      // it not be, it is framed as it stands rather than wait.
      if (tail == kHold && head == 0) Decide(true);
    }
    LastStamp = stamp;
    stamped = true;
  }

  void Send(std::string_view frameBytes, uint64_t startUs, uint64_t endUs) {
    CheckTimeout(startUs);
    if (Pending()) Decide(true);
    NoEcho(); // the echo of the frame written before never came
    const auto* b = reinterpret_cast<const uint8_t*>(frameBytes.data());
    const size_t n = frameBytes.size();
    Begin(Direction::kTx, startUs, endUs, FrameCheck::kNoise, FrameKind::kNoise, 0);
    out.Bytes.assign(frameBytes);
    const uint8_t* bin = nullptr;
    size_t binLength = 0;
    if (Ascii()) {
      if (DecodeAsciiText(b, n, scratch)) {
        bin = U8(scratch);
        binLength = scratch.size();
        out.Check = Lrc(scratch, binLength - 1) == bin[binLength - 1] ? FrameCheck::kOk : FrameCheck::kLrc;
        out.Kind = KindOfWhole(bin, binLength, 1, PreferReply(bin, binLength));
      }
    } else if (n >= 2) {
      bin = b;
      binLength = n;
      const bool prefer = PreferReply(b, n);
      const bool crcOk = n >= frame::kMinRawFrame && frame::CrcChecks(b, n);
      out.Check = crcOk ? FrameCheck::kOk : FrameCheck::kCrc;
      out.Kind = KindOfWhole(b, n, 2, prefer);
      // Bytes written that are no frame of any rule and do not check (the
      // banner an opening port writes) are noise, not a device's CRC error.
      if (out.Kind == FrameKind::kRaw && !crcOk) out.Kind = FrameKind::kNoise, out.Check = FrameCheck::kNoise;
    }
    if (bin != nullptr && out.Kind != FrameKind::kNoise) {
      out.Device = bin[0];
      out.Function = bin[1];
    }
    EchoAmbiguous = false;
    if (bin != nullptr && out.Kind == FrameKind::kRequest && out.Device != 0) {
      const size_t rtuLength = Ascii() ? binLength + 1 : binLength;
      EchoAmbiguous = ReadingsOf(bin, binLength, true).Length[0] == static_cast<int64_t>(rtuLength);
    }
    Deliver(bin, binLength);
    echo.assign(frameBytes);
    EchoKind = out.Kind;
    EchoCheck = out.Check;
    EchoEndUs = out.EndUs;
    EchoActive = true;
  }

  void Clear() {
    head = tail = 0;
    CheckTail = SIZE_MAX;
    RawAt = SIZE_MAX;
    AsciiScan = 0;
    noise.clear();
    stamped = false;
    LastStamp = 0;
    HaveLast = false;
    LastEnd = 0;
    awaiting = false;
    EchoActive = false;
    LineEchoes = false;
  }
};

FrameDecoder::FrameDecoder(FrameSink& sink, const DecoderSettings& settings)
    : sink_(sink), settings_(settings), state_(std::make_unique<State>(sink_, settings_)) {
  Configure(settings);
}

FrameDecoder::~FrameDecoder() = default;

void FrameDecoder::Configure(const DecoderSettings& settings) {
  Flush();
  settings_ = settings;
  state_->CharUs = CharacterUs();
  state_->InterFrameUs = InterFrameUs();
  state_->InterCharUs = InterCharUs();
  state_->wire = settings_.WireTime;
  state_->timed = settings_.TimingResolved && settings_.Framing == frame::Framing::kRtu && state_->CharUs > 0;
}

uint64_t FrameDecoder::CharacterUs() const { return TransmissionMicros(1, settings_.Baud, settings_.Format); }

uint64_t FrameDecoder::InterFrameUs() const {
  const uint64_t t = (TransmissionMicros(7, settings_.Baud, settings_.Format) + 1) / 2;
  return settings_.Baud > 19200 ? std::max<uint64_t>(t, 1750) : t;
}

uint64_t FrameDecoder::InterCharUs() const {
  const uint64_t t = (TransmissionMicros(3, settings_.Baud, settings_.Format) + 1) / 2;
  return settings_.Baud > 19200 ? std::max<uint64_t>(t, 750) : t;
}

void FrameDecoder::Received(std::string_view bytes, uint64_t stampUs) {
  if (bytes.empty()) return;
  state_->Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), stampUs);
}

void FrameDecoder::Sent(std::string_view frame, uint64_t startUs, uint64_t endUs) {
  if (frame.empty()) return;
  state_->Send(frame, startUs, endUs);
}

void FrameDecoder::Advance(uint64_t nowUs) {
  State& s = *state_;
  if (s.timed && s.Pending() && nowUs > s.LastPendingEst() + s.CharUs + s.InterFrameUs) s.Decide(true);
  s.CheckTimeout(nowUs);
}

void FrameDecoder::Flush() {
  if (state_->Pending()) state_->Decide(true);
}

void FrameDecoder::Reset() { state_->Clear(); }

// ---------------------------------------------------------------------------
// Fields, summaries, CSV.

const char* ExceptionName(int code) {
  switch (code) {
  case 1:
    return "Illegal Function";
  case 2:
    return "Illegal Data Address";
  case 3:
    return "Illegal Data Value";
  case 4:
    return "Slave Device Failure";
  case 5:
    return "Acknowledge";
  case 6:
    return "Slave Device Busy";
  case 8:
    return "Memory Parity Error";
  case 10:
    return "Gateway Path Unavailable";
  case 11:
    return "Gateway Target Device Failed To Respond";
  default:
    return "";
  }
}

const char* FunctionName(int function) {
  switch (function) {
  case 1:
    return "Read Coils";
  case 2:
    return "Read Discrete Inputs";
  case 3:
    return "Read Holding Registers";
  case 4:
    return "Read Input Registers";
  case 5:
    return "Write Single Coil";
  case 6:
    return "Write Single Register";
  case 15:
    return "Write Multiple Coils";
  case 16:
    return "Write Multiple Registers";
  default:
    return "";
  }
}

namespace {

// The frame's bytes (RTU as they are, ASCII decoded) and how many of them
// at the end are the checksum; false when there are none to read.
bool BinaryOf(const Frame& f, std::string& bin, size_t& checkBytes) {
  if (f.Framing == frame::Framing::kAscii) {
    checkBytes = 1;
    return DecodeAsciiText(U8(f.Bytes), f.Bytes.size(), bin);
  }
  checkBytes = 2;
  bin = f.Bytes;
  return bin.size() >= 3;
}

} // namespace

Fields DecodeFields(const Frame& f) {
  Fields r;
  if (f.Kind == FrameKind::kNoise) return r;
  std::string bin;
  size_t ck = 0;
  if (!BinaryOf(f, bin, ck)) return r;
  const uint8_t* b = U8(bin);
  const size_t n = bin.size();
  if (ck == 2) {
    r.CheckReceived = b[n - 2] * 256 + b[n - 1];
    r.CheckComputed = TCore::CRC16(b, n - 2);
  } else {
    r.CheckReceived = b[n - 1];
    r.CheckComputed = Lrc(bin, n - 1);
  }
  const size_t m = n - ck; // body: address, function, data
  if (m < 2) return r;
  r.Address = b[0];
  r.Function = b[1];
  auto word = [&](size_t at) { return b[at] * 256 + b[at + 1]; };
  const int fn = r.Function;
  switch (f.Kind) {
  case FrameKind::kException:
    if (m > frame::kExceptionCodeOffset) r.ExceptionCode = b[frame::kExceptionCodeOffset];
    break;
  case FrameKind::kRequest:
    if (m < frame::kRequestHeaderSize) break;
    r.Start = word(frame::kStartOffset);
    if (fn == 5 || fn == 6) {
      r.Value = word(frame::kQuantityOffset);
      r.Quantity = 1;
      break;
    }
    r.Quantity = word(frame::kQuantityOffset);
    if ((fn == 15 || fn == 16) && m > frame::kByteCountOffset) {
      r.ByteCount = b[frame::kByteCountOffset];
      const size_t data = frame::kWriteDataOffset;
      const size_t have = std::min<size_t>(m - data, static_cast<size_t>(r.ByteCount));
      if (fn == 15) {
        for (size_t i = 0; i < static_cast<size_t>(r.Quantity) && i / 8 < have; ++i)
          r.Bits.push_back(((b[data + i / 8] >> (i % 8)) & 1) != 0);
      } else {
        for (size_t i = 0; i < static_cast<size_t>(r.Quantity) && 2 * i + 1 < have; ++i)
          r.Registers.push_back(static_cast<uint16_t>(word(data + 2 * i)));
      }
    }
    break;
  case FrameKind::kReply:
    if (fn >= 1 && fn <= 4) {
      if (m <= frame::kReplyByteCountOffset) break;
      r.ByteCount = b[frame::kReplyByteCountOffset];
      const size_t data = frame::kReplyDataOffset;
      const size_t have = std::min<size_t>(m - data, static_cast<size_t>(r.ByteCount));
      if (fn <= 2) {
        const int bits = r.ByteCount * 8;
        r.Quantity = (f.RequestQuantity >= 0 && f.RequestQuantity <= bits) ? f.RequestQuantity : bits;
        for (size_t i = 0; i < static_cast<size_t>(r.Quantity) && i / 8 < have; ++i)
          r.Bits.push_back(((b[data + i / 8] >> (i % 8)) & 1) != 0);
      } else {
        r.Quantity = r.ByteCount / 2;
        for (size_t i = 0; 2 * i + 1 < have; ++i)
          r.Registers.push_back(static_cast<uint16_t>(word(data + 2 * i)));
      }
    } else if (m >= frame::kRequestHeaderSize) {
      r.Start = word(frame::kStartOffset);
      if (fn == 5 || fn == 6)
        r.Value = word(frame::kQuantityOffset);
      else
        r.Quantity = word(frame::kQuantityOffset);
    }
    break;
  default:
    break;
  }
  return r;
}

namespace {

std::string Counted(long long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Range(int start, int quantity) {
  return std::to_string(start + 1) + "-" + std::to_string(start + quantity);
}

std::string DataText(int function, size_t dataBytes) {
  return "Function " + std::to_string(function) + ": " +
         Counted(static_cast<long long>(dataBytes), "byte", "bytes") + " of data";
}

std::string Describe(const Frame& f) {
  if (f.Kind == FrameKind::kNoise)
    return ((f.Flags & kCut) ? "Cut frame: " : "Noise: ") +
           Counted(static_cast<long long>(f.Bytes.size()), "byte", "bytes");
  const Fields d = DecodeFields(f);
  if (f.Check == FrameCheck::kCrc || f.Check == FrameCheck::kLrc) {
    char text[64];
    if (f.Check == FrameCheck::kCrc)
      std::snprintf(text, sizeof text, "CRC error: received %04X, computed %04X", d.CheckReceived & 0xFFFF,
                    d.CheckComputed & 0xFFFF);
    else
      std::snprintf(text, sizeof text, "LRC error: received %02X, computed %02X", d.CheckReceived & 0xFF,
                    d.CheckComputed & 0xFF);
    return d.CheckReceived < 0 ? std::string(f.Check == FrameCheck::kCrc ? "CRC error" : "LRC error") : text;
  }
  const size_t overhead = f.Framing == frame::Framing::kAscii ? 3 : 4; // address, function, checksum
  std::string bin;
  size_t ck = 0;
  const size_t bytes = BinaryOf(f, bin, ck) ? bin.size() : f.Bytes.size();
  const size_t dataBytes = bytes > overhead ? bytes - overhead : 0;
  const int fn = d.Function;
  switch (f.Kind) {
  case FrameKind::kException: {
    const std::string name = ExceptionName(d.ExceptionCode);
    return "Exception " + std::to_string(d.ExceptionCode) + (name.empty() ? "" : " " + name);
  }
  case FrameKind::kRequest: {
    if (d.Start < 0 || !frame::IsSupported(fn)) break;
    std::string s = d.Address == 0 ? "Broadcast: " : "";
    s += FunctionName(fn);
    s += ' ';
    if (fn == 5)
      s += std::to_string(d.Start + 1) + (d.Value == 0xFF00 ? " ON"
                                          : d.Value == 0    ? " OFF"
                                                            : " = " + std::to_string(d.Value));
    else if (fn == 6)
      s += std::to_string(d.Start + 1) + " = " + std::to_string(d.Value);
    else
      s += Range(d.Start, d.Quantity);
    return s;
  }
  case FrameKind::kReply:
    switch (fn) {
    case 1:
      return "Reply: " + Counted(d.Quantity, "coil", "coils");
    case 2:
      return "Reply: " + Counted(d.Quantity, "input", "inputs");
    case 3:
    case 4:
      return "Reply: " + Counted(d.Quantity, "register", "registers");
    case 5:
      if (d.Start < 0) break;
      return "Reply: coil " + std::to_string(d.Start + 1) +
             (d.Value == 0xFF00 ? " ON"
              : d.Value == 0    ? " OFF"
                                : " = " + std::to_string(d.Value));
    case 6:
      if (d.Start < 0) break;
      return "Reply: register " + std::to_string(d.Start + 1) + " = " + std::to_string(d.Value);
    case 15:
      if (d.Quantity < 0) break;
      return "Reply: wrote " + Counted(d.Quantity, "coil", "coils");
    case 16:
      if (d.Quantity < 0) break;
      return "Reply: wrote " + Counted(d.Quantity, "register", "registers");
    default:
      break;
    }
    break;
  default:
    break;
  }
  return DataText(fn, dataBytes);
}

} // namespace

std::string Summary(const Frame& f) {
  std::string s = Describe(f);
  if (f.Flags & kEcho) s.insert(0, "Echo: ");
  return s;
}

const char kCsvHeader[] = "time_us,dir,device,function,bytes,check,response_us,summary,hex";

void AppendCsvLine(std::string& out, const Frame& f) {
  out += std::to_string(f.TimeUs);
  out += f.Dir == Direction::kTx ? ",tx," : ",rx,";
  if (f.Kind != FrameKind::kNoise && f.Device >= 0) out += std::to_string(f.Device);
  out += ',';
  if (f.Kind != FrameKind::kNoise && f.Function >= 0) out += std::to_string(f.Function);
  out += ',';
  out += std::to_string(f.Bytes.size());
  static const char* const kChecks[] = {",ok,", ",crc,", ",lrc,", ",noise,"};
  out += kChecks[static_cast<size_t>(f.Check) & 3];
  if (f.ResponseUs >= 0) out += std::to_string(f.ResponseUs);
  out += ",\"";
  for (char c : Summary(f)) {
    if (c == '"') out += '"';
    out += c;
  }
  out += "\",";
  for (char c : f.Bytes) {
    const auto v = static_cast<uint8_t>(c);
    out += HexDigit(v >> 4);
    out += HexDigit(v & 15);
  }
  out += '\n';
}

} // namespace korvane::line
