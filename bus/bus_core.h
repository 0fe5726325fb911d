#pragma once
// The logic of korvane-bus without any device: the command line, the bit flips of a noisy
// line, and how the bytes one node wrote are carried to the others and counted.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane::bus {

constexpr int kMinNodes = 2;
constexpr int kMaxNodes = 32;
constexpr int kDefaultNodes = 3;

struct BusOptions {
  int Nodes = kDefaultNodes;
  std::string LinkPrefix; // empty: no links
  bool Echo = false;
  double CorruptFraction = 0.0; // 0..1
  uint64_t Seed = 1;
  bool Help = false;
};

// The command line (without the program name): the options, or the reason it is wrong.
struct ParsedOptions {
  std::optional<BusOptions> Options;
  std::string Error;
};
ParsedOptions ParseBusOptions(const std::vector<std::string>& args);

// The usage text printed by --help and after a wrong option.
std::string UsageText();

// A seeded generator (splitmix64): the same seed gives the same sequence on every machine.
class SeededRandom {
public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // A number in [0, 1) from the top 53 bits of the next draw.
  double NextUnit();

private:
  uint64_t state_;
};

// Flips one bit in a fraction of the bytes it is given. Two draws decide each byte (whether it
// is hit, then which bit) when the fraction is above 0, so the result depends on the seed and on
// the bytes' order, not on how they were split into chunks.
class BitFlipper {
public:
  BitFlipper(double fraction, uint64_t seed) : fraction_(fraction), random_(seed) {}
  // Changes `bytes` in place; returns how many were changed.
  size_t Apply(std::span<uint8_t> bytes);

private:
  double fraction_;
  SeededRandom random_;
};

struct NodeCounts {
  uint64_t Wrote = 0;     // bytes the node wrote onto the line
  uint64_t Received = 0;  // bytes handed to the node
  uint64_t Corrupted = 0; // of the bytes it wrote, those given a flipped bit
  uint64_t Dropped = 0;   // bytes meant for the node that it could not take
};

// "node K: wrote W, received R, corrupted C, dropped D" (K from 1).
std::string CountsLine(size_t index, const NodeCounts& counts);

// Carries what one node wrote to every other node (and back to the writer with echo),
// corrupted once so that every receiver gets the same bytes.
class BusRouter {
public:
  // Hands `bytes` to node `to`; returns how many it took (the rest is dropped).
  using Writer = std::function<size_t(size_t to, std::span<const uint8_t> bytes)>;

  BusRouter(size_t nodes, bool echo, BitFlipper flipper);

  // `bytes` (changed in place by the flips) as written by node `from`.
  void Carry(size_t from, std::span<uint8_t> bytes, const Writer& write);

  // `bytes` that node `to` took were discarded before it read them: dropped after all.
  void Discard(size_t to, uint64_t bytes);

  const std::vector<NodeCounts>& Counts() const { return counts_; }

private:
  bool echo_;
  BitFlipper flipper_;
  std::vector<NodeCounts> counts_;
};

} // namespace korvane::bus
