#include "bus/bus_core.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace korvane::bus {

namespace {

// A whole decimal number without sign, or nothing.
std::optional<uint64_t> ParseUnsigned(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return std::nullopt;
  return static_cast<uint64_t>(value);
}

// A fraction 0..1 written as a decimal number ("0.25", "1", ".5", "1e-3"), or nothing.
std::optional<double> ParseFraction(const std::string& text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if ((c < '0' || c > '9') && c != '.' && c != 'e' && c != 'E' && c != '-' && c != '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno == ERANGE || end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  if (!(value >= 0.0 && value <= 1.0)) return std::nullopt;
  return value;
}

bool TakesValue(const std::string& name) {
  return name == "--nodes" || name == "--link" || name == "--corrupt" || name == "--seed";
}

// Sets one option; the reason when its name or value is wrong.
std::string Apply(const std::string& name, const std::string& value, BusOptions& options) {
  if (name == "--nodes") {
    const std::optional<uint64_t> n = ParseUnsigned(value);
    if (!n || *n < kMinNodes || *n > kMaxNodes)
      return "--nodes wants a number from " + std::to_string(kMinNodes) + " to " + std::to_string(kMaxNodes) +
             ", not '" + value + "'";
    options.Nodes = static_cast<int>(*n);
  } else if (name == "--link") {
    if (value.empty()) return "--link wants a path prefix";
    options.LinkPrefix = value;
  } else if (name == "--corrupt") {
    const std::optional<double> f = ParseFraction(value);
    if (!f) return "--corrupt wants a fraction from 0 to 1, not '" + value + "'";
    options.CorruptFraction = *f;
  } else if (name == "--seed") {
    const std::optional<uint64_t> seed = ParseUnsigned(value);
    if (!seed) return "--seed wants a whole number, not '" + value + "'";
    options.Seed = *seed;
  } else if (name == "--echo") {
    options.Echo = true;
  } else if (name == "--help" || name == "-h") {
    options.Help = true;
  } else {
    return "unknown argument '" + name + "'";
  }
  return {};
}

} // namespace

ParsedOptions ParseBusOptions(const std::vector<std::string>& args) {
  BusOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    const size_t eq = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (TakesValue(name) && !value) {
      if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value"};
      value = args[++i];
    } else if (!TakesValue(name) && value) {
      return {std::nullopt, name + " takes no value"};
    }
    const std::string error = Apply(name, value.value_or(""), options);
    if (!error.empty()) return {std::nullopt, error};
  }
  return {options, {}};
}

std::string UsageText() {
  return "Usage: korvane-bus [--nodes N] [--link PREFIX] [--echo] [--corrupt FRACTION] [--seed S]\n"
         "       korvane-bus --help\n"
         "Joins N pseudo-terminals (2 to 32, default 3) as one multi-drop line: every byte one\n"
         "node writes reaches every other node, in the order written.\n"
         "  --nodes N          number of nodes\n"
         "  --link PREFIX      symbolic links PREFIX1 .. PREFIXN to the devices\n"
         "  --echo             also return each byte to its writer (half-duplex adapter)\n"
         "  --corrupt FRACTION flip one bit in this fraction (0 to 1) of the bytes written\n"
         "  --seed S           seed of the bit flips (default 1)\n"
         "  --help             print this text\n"
         "Prints \"node K: DEVICE\" for each node, then \"ready\"; SIGTERM or SIGINT ends it and\n"
         "prints the byte counts of each node.\n";
}

uint64_t SeededRandom::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double SeededRandom::NextUnit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

size_t BitFlipper::Apply(std::span<uint8_t> bytes) {
  if (fraction_ <= 0.0) return 0;
  size_t changed = 0;
  for (uint8_t& b : bytes) {
    const bool hit = random_.NextUnit() < fraction_;
    const unsigned bit = static_cast<unsigned>(random_.Next() & 7U);
    if (hit) {
      b = static_cast<uint8_t>(b ^ (1U << bit));
      ++changed;
    }
  }
  return changed;
}

std::string CountsLine(size_t index, const NodeCounts& counts) {
  return "node " + std::to_string(index + 1) + ": wrote " + std::to_string(counts.Wrote) + ", received " +
         std::to_string(counts.Received) + ", corrupted " + std::to_string(counts.Corrupted) + ", dropped " +
         std::to_string(counts.Dropped);
}

BusRouter::BusRouter(size_t nodes, bool echo, BitFlipper flipper)
    : echo_(echo), flipper_(flipper), counts_(nodes) {}

void BusRouter::Carry(size_t from, std::span<uint8_t> bytes, const Writer& write) {
  if (from >= counts_.size() || bytes.empty()) return;
  counts_[from].Wrote += bytes.size();
  counts_[from].Corrupted += flipper_.Apply(bytes);
  for (size_t to = 0; to < counts_.size(); ++to) {
    if (to == from && !echo_) continue;
    const size_t taken = std::min(write(to, bytes), bytes.size());
    counts_[to].Received += taken;
    counts_[to].Dropped += bytes.size() - taken;
  }
}

void BusRouter::Discard(size_t to, uint64_t bytes) {
  if (to >= counts_.size()) return;
  NodeCounts& c = counts_[to];
  const uint64_t n = std::min(bytes, c.Received);
  c.Received -= n;
  c.Dropped += n;
}

} // namespace korvane::bus
