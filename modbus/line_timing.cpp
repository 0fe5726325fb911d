#include "modbus/line_timing.h"

#include <algorithm>
#include <limits>

namespace korvane {

int32_t BitsPerCharacter(const CharacterFormat& format) {
  return 1 + std::clamp(format.DataBits, 5, 8) + (format.ParityBit ? 1 : 0) +
         std::clamp(format.StopBits, 1, 2);
}

uint64_t TransmissionMicros(uint64_t characters, int64_t baud, const CharacterFormat& format) {
  if (characters == 0 || baud <= 0) return 0;
  const auto bits = static_cast<uint64_t>(BitsPerCharacter(format));
  const auto rate = static_cast<uint64_t>(baud);
  constexpr uint64_t kMicros = 1000000;
  // characters * bits * 10^6 must not wrap: far beyond any frame, but the
  // count is the caller's.
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (characters > kMax / bits / kMicros) return kMax;
  const uint64_t scaled = characters * bits * kMicros;
  return scaled / rate + (scaled % rate != 0 ? 1 : 0);
}

} // namespace korvane
