// Fuzz target for the setup loader's container parser and extractor.
//
// Input: one byte choosing read sizes and the sink's behaviour, then the
// container as it would lie at the start of the ".velstub" section.
//   bits 0..5  seed of the read and write sizes
//   bit 6      the sink stores only part of what it is offered at a time
//   bit 7      the sink fails with an I/O error after its first write
//
// The stub's entry is extracted twice: through reads of random size and
// through whole-buffer reads. Checks: the result is 0 or one of the
// extraction's codes (or the sink's own error), both runs agree on the
// result and the bytes, the sink is created at most once, written only
// after it was created, and ended exactly once: finished with every byte of
// the entry on success, abandoned on a failure after its creation.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "loader/container.h"

namespace {

using namespace vel;
using korvane::fuzz::Rng;
constexpr uint32_t kSinkError = 5; // EIO

class MemorySource final : public ByteSource {
public:
  MemorySource(const uint8_t* data, size_t size, uint32_t seed, bool random)
      : data_(data), size_(size), rng_(seed), random_(random) {}
  uint32_t Read(uint8_t* buffer, size_t size, size_t& got) override {
    size_t n = std::min(size, size_ - at_);
    if (random_ && n > 0) n = std::min(n, rng_.Size(1 + rng_.Next() % 70000));
    if (n > 0) std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    got = n;
    return 0;
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  Rng rng_;
  bool random_;
};

class CheckingSink final : public EntrySink {
public:
  CheckingSink(uint32_t seed, bool partial, bool fail) : rng_(seed), partial_(partial), fail_(fail) {}
  uint32_t Create(const EntryHeader& entry) override {
    KORVANE_FUZZ_CHECK(creates == 0 && !ended);
    ++creates;
    size = entry.size;
    return 0;
  }
  uint32_t Write(const uint8_t* data, size_t n, size_t& stored) override {
    KORVANE_FUZZ_CHECK(creates == 1 && !ended && n > 0);
    if (fail_ && writes > 0) return kSinkError;
    ++writes;
    stored = partial_ ? std::min(n, rng_.Size(9000)) : n;
    for (size_t i = 0; i < stored; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    written += stored;
    KORVANE_FUZZ_CHECK(written <= size);
    return 0;
  }
  void Finish(const EntryHeader& entry) override {
    KORVANE_FUZZ_CHECK(creates == 1 && !ended && entry.size == size);
    ended = finished = true;
  }
  void Abandon() override {
    KORVANE_FUZZ_CHECK(creates == 1 && !ended);
    ended = true;
  }

  int creates = 0;
  int writes = 0;
  bool ended = false, finished = false;
  uint64_t size = 0, written = 0, hash = 14695981039346656037ull;

private:
  Rng rng_;
  bool partial_, fail_;
};

bool KnownResult(uint32_t r) {
  switch (r) {
  case 0:
  case kResultOutOfMemory:
  case kResultBadData:
  case kResultBadEntryWord:
  case kResultCorrupt:
  case kResultEndedEarly:
  case kResultBadProperties:
  case kResultCheckFailed:
  case kSinkError:
    return true;
  default:
    return false;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const bool partial = mode & 0x40, fail = mode & 0x80;
  // The decoder reserves the whole dictionary the container names (up to
  // 4 GiB) before it decodes a byte; under ASan every such reservation costs
  // a second. No input this size decodes past 16 MiB, so a larger dictionary
  // cannot change the result and is lowered to that.
  std::vector<uint8_t> input(data + 1, data + size);
  constexpr size_t kDictOffset = kContainerHeaderSize + kCheckBlockSize + 1;
  if (input.size() >= kDictOffset + 4 && ReadLe32(&input[kDictOffset]) > (16u << 20))
    WriteLe32(&input[kDictOffset], 16u << 20);
  data = input.data();
  size = input.size();

  MemorySource random_reads(data, size, mode & 0x3F, true);
  CheckingSink a(mode, partial, fail);
  const uint32_t ra = ExtractEntry(random_reads, kStubEntryId, a);
  MemorySource whole_reads(data, size, 0, false);
  CheckingSink b(mode, partial, fail);
  const uint32_t rb = ExtractEntry(whole_reads, kStubEntryId, b);

  KORVANE_FUZZ_CHECK(KnownResult(ra));
  KORVANE_FUZZ_CHECK(ra == rb);
  for (const CheckingSink* s : {&a, &b}) {
    if (ra == 0) {
      KORVANE_FUZZ_CHECK(s->finished && s->written == s->size);
    } else {
      KORVANE_FUZZ_CHECK(!s->finished);
      KORVANE_FUZZ_CHECK(s->ended == (s->creates == 1));
    }
  }
  KORVANE_FUZZ_CHECK(a.creates == b.creates && a.written == b.written && a.hash == b.hash);
  return 0;
}
