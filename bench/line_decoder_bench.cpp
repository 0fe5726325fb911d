// Throughput of the frame decoder: 100 MB of mixed RTU traffic (requests and
// replies of functions 1 to 6, 15, 16, exceptions and a function without a
// rule, eight devices, about 1% of the bytes noise or corrupted frames; a
// fixed seed) fed in pieces of varying size with stamps, once with timing
// resolved and once without; then a stream of random bytes alone, the worst
// case of the resynchronisation. Prints MB/s, frames/s and how many saturated
// 115200 baud lines (11520 bytes/s) that is.
//
//   build/bench/bench/line_decoder_bench [--megabytes N]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "modbus/frame_rules.h"
#include "modbus/line_decoder.h"

using namespace korvane;

namespace {

struct Counting final : line::FrameSink {
  uint64_t frames = 0, noise = 0, crc = 0, bytes = 0, timeouts = 0;
  void OnFrame(const line::Frame& f) override {
    ++frames;
    bytes += f.Bytes.size();
    noise += f.Kind == line::FrameKind::kNoise ? 1 : 0;
    crc += f.Check == line::FrameCheck::kCrc ? 1 : 0;
  }
  void OnTimeout(const line::Frame&) override { ++timeouts; }
};

std::string Framed(std::string body) {
  frame::AppendCrc(body);
  return body;
}

// Request and reply bodies of one exchange with `device`.
void Exchange(std::mt19937& rng, int device, std::string& request, std::string& reply) {
  static const int kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 3, 3, 43};
  const int f = kFunctions[rng() % (sizeof kFunctions / sizeof kFunctions[0])];
  const int start = static_cast<int>(rng() % 1000);
  const int q = 1 + static_cast<int>(rng() % 40);
  frame::PutRequestHeader(request, device, f, start, q);
  reply.clear();
  frame::PutByte(reply, device);
  frame::PutByte(reply, f);
  switch (f) {
  case 1:
  case 2:
    frame::PutByte(reply, frame::BitBytes(q));
    for (int i = 0; i < frame::BitBytes(q); ++i) frame::PutByte(reply, static_cast<int>(rng()));
    break;
  case 3:
  case 4:
    frame::PutByte(reply, 2 * q);
    for (int i = 0; i < q; ++i) frame::PutWord(reply, static_cast<int>(rng()));
    break;
  case 5:
  case 6:
    reply = request;
    break;
  case 15:
    frame::PutByte(request, frame::BitBytes(q));
    for (int i = 0; i < frame::BitBytes(q); ++i) frame::PutByte(request, static_cast<int>(rng()));
    frame::PutRequestHeader(reply, device, f, start, q);
    break;
  case 16:
    frame::PutByte(request, 2 * q);
    for (int i = 0; i < q; ++i) frame::PutWord(request, static_cast<int>(rng()));
    frame::PutRequestHeader(reply, device, f, start, q);
    break;
  default: // a function without a rule
    request.resize(3 + rng() % 10);
    reply.resize(3 + rng() % 20);
    break;
  }
  if (rng() % 50 == 0) { // now and then an exception instead
    reply.resize(2);
    reply[1] = static_cast<char>(f | 0x80);
    frame::PutByte(reply, 1 + static_cast<int>(rng() % 4));
  }
}

std::string MixedTraffic(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(bytes + 1024);
  std::string request, reply;
  while (s.size() < bytes) {
    Exchange(rng, 1 + static_cast<int>(rng() % 8), request, reply);
    for (std::string* body : {&request, &reply}) {
      std::string f = Framed(*body);
      // About 1% of the bytes spoilt: a corrupted byte in one frame of 40,
      // a few noise bytes before one of 40.
      if (rng() % 40 == 0) f[rng() % f.size()] ^= static_cast<char>(1 + rng() % 255);
      if (rng() % 40 == 0)
        for (uint32_t i = rng() % 4; i > 0; --i) s.push_back(static_cast<char>(rng()));
      s += f;
    }
  }
  return s;
}

struct Result {
  double seconds;
  Counting sink;
};

Result Run(const std::string& line, bool timed, uint32_t seed) {
  line::DecoderSettings settings;
  settings.Baud = 115200;
  settings.TimingResolved = timed;
  Result r{};
  line::FrameDecoder decoder(r.sink, settings);
  const uint64_t charUs = decoder.CharacterUs();
  std::mt19937 rng(seed);
  // Piece sizes chosen up front so the clock measures the decoder alone.
  std::vector<uint32_t> pieces;
  for (size_t at = 0; at < line.size();) {
    const auto n = static_cast<uint32_t>(1 + rng() % ((rng() & 1) ? 64 : 4096));
    pieces.push_back(n);
    at += n;
  }
  const auto t0 = std::chrono::steady_clock::now();
  uint64_t stamp = 0;
  size_t at = 0;
  for (uint32_t n : pieces) {
    const size_t take = std::min<size_t>(n, line.size() - at);
    stamp += take * charUs; // a saturated line: no silence between pieces
    decoder.Received(std::string_view(line).substr(at, take), stamp);
    at += take;
  }
  decoder.Flush();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

void Print(const char* name, const std::string& line, const Result& r) {
  const double mb = static_cast<double>(line.size()) / 1e6;
  const double mbps = mb / r.seconds;
  std::printf("| %-26s | %7.1f | %7.3f | %8.1f | %11.0f | %10.0f | %9.2f%% | %s |\n", name, mb, r.seconds,
              mbps, static_cast<double>(r.sink.frames) / r.seconds, mbps * 1e6 / 11520.0,
              100.0 * static_cast<double>(r.sink.noise) /
                  static_cast<double>(r.sink.frames ? r.sink.frames : 1),
              r.sink.bytes == line.size() ? "yes" : "NO");
}

} // namespace

int main(int argc, char** argv) {
  size_t megabytes = 100;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = static_cast<size_t>(std::atol(argv[i + 1]));
  const std::string mixed = MixedTraffic(megabytes * 1000000, 20240611);
  std::string random(megabytes * 100000, '\0'); // a tenth of the size
  std::mt19937 rng(99);
  for (char& c : random) c = static_cast<char>(rng());

  std::printf("| %-26s | %7s | %7s | %8s | %11s | %10s | %10s | %s |\n", "stream", "MB", "s", "MB/s",
              "frames/s", "x 115200", "noise", "all bytes");
  std::printf(
      "|----------------------------|--------:|--------:|---------:|------------:|-----------:|-----------:|"
      "-----|\n");
  Print("mixed, timing resolved", mixed, Run(mixed, true, 1));
  Print("mixed, no timing", mixed, Run(mixed, false, 1));
  Print("random bytes, no timing", random, Run(random, false, 2));
  return 0;
}
