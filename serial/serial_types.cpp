#include "serial/serial_types.h"

#include <array>

namespace korvane {

namespace {

constexpr std::array<int32_t, 14> kStandardRates = {110,   300,   600,   1200,  2400,   4800,   9600,
                                                    14400, 19200, 38400, 57600, 115200, 128000, 256000};

} // namespace

int ThreadPriorityValue(TThreadPriority priority) {
  static constexpr std::array<int, 7> kValues = {-15, -2, -1, 0, 1, 2, 15};
  return priority < kValues.size() ? kValues[priority] : 0;
}

TCommPort PortFromName(const std::string& name) {
  // Exactly "COM" followed by 1..99 written without a leading zero.
  if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "COM") != 0) return spNone;
  int number = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return spNone;
    number = number * 10 + (c - '0');
  }
  if (name[3] == '0' || number < 1 || number > kMaxCommPort) return spNone;
  return static_cast<TCommPort>(number);
}

std::string PortName(TCommPort port) {
  if (port < 1 || port > kMaxCommPort) return {};
  return "COM" + std::to_string(static_cast<int>(port));
}

TBaudRate BaudRateFromValue(int32_t value) {
  for (size_t i = 0; i < kStandardRates.size(); ++i)
    if (kStandardRates[i] == value) return static_cast<TBaudRate>(i);
  return brCustom;
}

int32_t BaudRateValue(TBaudRate rate, int32_t custom) {
  return rate < kStandardRates.size() ? kStandardRates[rate] : custom;
}

} // namespace korvane
