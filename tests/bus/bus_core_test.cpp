// The virtual bus's logic without devices: its command line, the bit flips of a noisy line and
// how one node's bytes are handed to the others and counted.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus/bus_core.h"

namespace korvane::bus {
namespace {

// The defaults with `change` applied.
template <typename Change> BusOptions With(Change change) {
  BusOptions o;
  change(o);
  return o;
}

struct OptionsCase {
  std::vector<std::string> Args;
  std::optional<BusOptions> Expected; // nothing: refused
};

TEST(BusOptions, ParsesEveryOptionAndRefusesWhatIsWrong) {
  const std::optional<BusOptions> refused;
  const std::vector<OptionsCase> cases = {
      {{}, BusOptions{}},
      {{"--nodes", "2"}, With([](BusOptions& o) { o.Nodes = 2; })},
      {{"--nodes=32"}, With([](BusOptions& o) { o.Nodes = 32; })},
      {{"--nodes", "1"}, refused},
      {{"--nodes", "33"}, refused},
      {{"--nodes", "-3"}, refused},
      {{"--nodes", "3x"}, refused},
      {{"--nodes", ""}, refused},
      {{"--nodes"}, refused},
      {{"--link", "/tmp/bus"}, With([](BusOptions& o) { o.LinkPrefix = "/tmp/bus"; })},
      {{"--link=/tmp/n"}, With([](BusOptions& o) { o.LinkPrefix = "/tmp/n"; })},
      {{"--link", ""}, refused},
      {{"--echo"}, With([](BusOptions& o) { o.Echo = true; })},
      {{"--echo=1"}, refused},
      {{"--corrupt", "0.5"}, With([](BusOptions& o) { o.CorruptFraction = 0.5; })},
      {{"--corrupt=1"}, With([](BusOptions& o) { o.CorruptFraction = 1.0; })},
      {{"--corrupt", "0"}, BusOptions{}},
      {{"--corrupt", ".25"}, With([](BusOptions& o) { o.CorruptFraction = 0.25; })},
      {{"--corrupt", "1e-3"}, With([](BusOptions& o) { o.CorruptFraction = 0.001; })},
      {{"--corrupt", "1.5"}, refused},
      {{"--corrupt", "-0.1"}, refused},
      {{"--corrupt", "nan"}, refused},
      {{"--corrupt", "inf"}, refused},
      {{"--corrupt", "half"}, refused},
      {{"--seed", "7"}, With([](BusOptions& o) { o.Seed = 7; })},
      {{"--seed", "18446744073709551615"}, With([](BusOptions& o) { o.Seed = UINT64_MAX; })},
      {{"--seed", "18446744073709551616"}, refused},
      {{"--seed", "-1"}, refused},
      {{"--seed"}, refused},
      {{"--help"}, With([](BusOptions& o) { o.Help = true; })},
      {{"--bogus"}, refused},
      {{"node"}, refused},
      {{"--nodes", "8", "--link", "/tmp/b", "--echo", "--corrupt", "0.1", "--seed", "42"},
       With([](BusOptions& o) {
         o.Nodes = 8;
         o.LinkPrefix = "/tmp/b";
         o.Echo = true;
         o.CorruptFraction = 0.1;
         o.Seed = 42;
       })},
      // A later value replaces an earlier one.
      {{"--nodes", "4", "--nodes", "5"}, With([](BusOptions& o) { o.Nodes = 5; })},
  };
  for (const OptionsCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.Args) shown += "[" + a + "]";
    const ParsedOptions p = ParseBusOptions(c.Args);
    ASSERT_EQ(p.Options.has_value(), c.Expected.has_value()) << shown << " " << p.Error;
    if (!c.Expected) {
      EXPECT_FALSE(p.Error.empty()) << shown;
      continue;
    }
    EXPECT_EQ(p.Options->Nodes, c.Expected->Nodes) << shown;
    EXPECT_EQ(p.Options->LinkPrefix, c.Expected->LinkPrefix) << shown;
    EXPECT_EQ(p.Options->Echo, c.Expected->Echo) << shown;
    EXPECT_DOUBLE_EQ(p.Options->CorruptFraction, c.Expected->CorruptFraction) << shown;
    EXPECT_EQ(p.Options->Seed, c.Expected->Seed) << shown;
    EXPECT_EQ(p.Options->Help, c.Expected->Help) << shown;
  }
}

TEST(BusOptions, UsageNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* o : {"--nodes", "--link", "--echo", "--corrupt", "--seed", "--help"})
    EXPECT_NE(usage.find(o), std::string::npos) << o;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 37 + 11) & 0xFF);
  return v;
}

// How many bytes differ, checking that each differs in at most one bit; counts per bit.
size_t ChangedBytes(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                    std::map<int, size_t>* bits = nullptr) {
  EXPECT_EQ(before.size(), after.size());
  size_t changed = 0;
  for (size_t i = 0; i < before.size() && i < after.size(); ++i) {
    const auto diff = static_cast<uint8_t>(before[i] ^ after[i]);
    if (diff == 0) continue;
    EXPECT_EQ(std::popcount(diff), 1) << "byte " << i << " has more than one bit flipped";
    ++changed;
    if (bits) ++(*bits)[std::countr_zero(diff)];
  }
  return changed;
}

TEST(BitFlipper, FlipsOneBitInTheGivenFractionOfBytes) {
  struct Case {
    double Fraction;
    size_t Low, High; // of 20000 bytes
  };
  for (const Case& c : {Case{0.0, 0, 0}, Case{1.0, 20000, 20000}, Case{0.5, 9400, 10600},
                        Case{0.1, 1700, 2300}, Case{0.001, 5, 45}}) {
    const std::vector<uint8_t> original = Pattern(20000);
    std::vector<uint8_t> bytes = original;
    BitFlipper flipper(c.Fraction, 7);
    const size_t reported = flipper.Apply(bytes);
    std::map<int, size_t> bits;
    const size_t changed = ChangedBytes(original, bytes, &bits);
    EXPECT_EQ(reported, changed) << c.Fraction;
    EXPECT_GE(changed, c.Low) << c.Fraction;
    EXPECT_LE(changed, c.High) << c.Fraction;
    // Every bit position is chosen, about equally often.
    if (changed >= 8000) {
      for (int b = 0; b < 8; ++b) EXPECT_GT(bits[b], changed / 8 * 3 / 4) << "bit " << b;
    }
  }
}

TEST(BitFlipper, SameSeedSameFlipsHoweverTheBytesAreSplit) {
  const std::vector<uint8_t> original = Pattern(5000);
  std::vector<uint8_t> whole = original;
  BitFlipper(0.5, 7).Apply(whole);

  for (size_t piece : {1u, 3u, 64u, 4096u}) {
    std::vector<uint8_t> split = original;
    BitFlipper flipper(0.5, 7);
    for (size_t at = 0; at < split.size(); at += piece)
      flipper.Apply(std::span(split).subspan(at, std::min(piece, split.size() - at)));
    EXPECT_EQ(split, whole) << "pieces of " << piece;
  }

  std::vector<uint8_t> otherSeed = original;
  BitFlipper(0.5, 8).Apply(otherSeed);
  size_t differ = 0;
  for (size_t i = 0; i < whole.size(); ++i) differ += otherSeed[i] != whole[i];
  EXPECT_GT(differ, 1000u) << "another seed flips other bytes";
}

// A writer that keeps what each node was handed, taking at most `limit[to]` bytes per call.
struct Recorder {
  std::vector<std::vector<uint8_t>> Got;
  std::vector<size_t> Limit;
  explicit Recorder(size_t nodes) : Got(nodes), Limit(nodes, SIZE_MAX) {}
  BusRouter::Writer Writer() {
    return [this](size_t to, std::span<const uint8_t> bytes) {
      const size_t take = std::min(Limit[to], bytes.size());
      Got[to].insert(Got[to].end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      return take;
    };
  }
};

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(BusRouter, HandsBytesToEveryOtherNodeAndWithEchoToTheWriter) {
  for (bool echo : {false, true}) {
    Recorder r(3);
    BusRouter router(3, echo, BitFlipper(0.0, 1));
    std::vector<uint8_t> first = Bytes("abc");
    std::vector<uint8_t> second = Bytes("XY");
    router.Carry(1, first, r.Writer());
    router.Carry(0, second, r.Writer());
    EXPECT_EQ(r.Got[0], Bytes(echo ? "abcXY" : "abc")) << echo;
    EXPECT_EQ(r.Got[1], Bytes(echo ? "abcXY" : "XY")) << echo;
    EXPECT_EQ(r.Got[2], Bytes("abcXY")) << echo;
    const std::vector<NodeCounts>& c = router.Counts();
    EXPECT_EQ(c[0].Wrote, 2u);
    EXPECT_EQ(c[1].Wrote, 3u);
    EXPECT_EQ(c[2].Wrote, 0u);
    EXPECT_EQ(c[0].Received, echo ? 5u : 3u);
    EXPECT_EQ(c[1].Received, echo ? 5u : 2u);
    EXPECT_EQ(c[2].Received, 5u);
    for (const NodeCounts& n : c) EXPECT_EQ(n.Dropped + n.Corrupted, 0u);
  }
}

TEST(BusRouter, CountsWhatANodeCannotTakeAsDroppedAndGoesOn) {
  Recorder r(3);
  r.Limit[2] = 4;
  BusRouter router(3, false, BitFlipper(0.0, 1));
  std::vector<uint8_t> bytes = Bytes("0123456789");
  router.Carry(0, bytes, r.Writer());
  EXPECT_EQ(r.Got[1], Bytes("0123456789"));
  EXPECT_EQ(r.Got[2], Bytes("0123"));
  EXPECT_EQ(router.Counts()[2].Received, 4u);
  EXPECT_EQ(router.Counts()[2].Dropped, 6u);
  EXPECT_EQ(router.Counts()[1].Dropped, 0u);
  EXPECT_EQ(CountsLine(2, router.Counts()[2]), "node 3: wrote 0, received 4, corrupted 0, dropped 6");
  // Bytes taken but thrown away before the node read them count as dropped.
  router.Discard(2, 3);
  EXPECT_EQ(CountsLine(2, router.Counts()[2]), "node 3: wrote 0, received 1, corrupted 0, dropped 9");
  router.Discard(2, 100);
  EXPECT_EQ(CountsLine(2, router.Counts()[2]), "node 3: wrote 0, received 0, corrupted 0, dropped 10");
  EXPECT_EQ(CountsLine(0, router.Counts()[0]), "node 1: wrote 10, received 0, corrupted 0, dropped 0");
}

TEST(BusRouter, EveryReceiverGetsTheSameCorruptedBytes) {
  Recorder r(4);
  BusRouter router(4, true, BitFlipper(0.5, 7));
  const std::vector<uint8_t> original = Pattern(3000);
  std::vector<uint8_t> bytes = original;
  router.Carry(2, bytes, r.Writer());
  for (size_t to = 1; to < 4; ++to) EXPECT_EQ(r.Got[to], r.Got[0]) << "node " << to + 1;
  const size_t changed = ChangedBytes(original, r.Got[0]);
  EXPECT_EQ(router.Counts()[2].Corrupted, changed);
  EXPECT_GT(changed, 1300u);
  EXPECT_LT(changed, 1700u);
  for (size_t to = 0; to < 4; ++to) EXPECT_EQ(router.Counts()[to].Corrupted, to == 2 ? changed : 0u);
}

} // namespace
} // namespace korvane::bus
