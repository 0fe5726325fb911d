#pragma once
// The one tick source: milliseconds of a monotonic clock as a 32-bit unsigned
// number that wraps. Every deadline comparison goes through TickPassed so that
// nothing breaks when the counter wraps (every 49.7 days).
#include <cstdint>

namespace korvane {

class TickSource {
public:
  virtual ~TickSource() = default;
  virtual uint32_t Now() const = 0;
};

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits.
class SteadyTickSource final : public TickSource {
public:
  uint32_t Now() const override;
};

// A clock that tests set and step by hand.
class FakeTickSource final : public TickSource {
public:
  explicit FakeTickSource(uint32_t start = 0) : now_(start) {}
  uint32_t Now() const override { return now_; }
  void Set(uint32_t t) { now_ = t; }
  void Advance(uint32_t ms) { now_ += ms; }

private:
  uint32_t now_;
};

// True when `now` is later than `deadline` (strictly), wrap-safe: the two are
// compared by their signed 32-bit difference.
inline bool TickPassed(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

// The process-wide steady clock (for the program; tests inject their own).
TickSource& SystemTicks();

} // namespace korvane
