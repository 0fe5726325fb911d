#include "serial/line_check.h"

#include <vector>

namespace korvane {

namespace {

std::string ParityText(uint8_t code) {
  static const char* const kNames[] = {"no parity", "odd parity", "even parity", "mark parity",
                                       "space parity"};
  return code < 5 ? kNames[code] : "parity code " + std::to_string(code);
}

std::string StopText(uint8_t code) {
  static const char* const kNames[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
  return code < 3 ? kNames[code] : "stop-bits code " + std::to_string(code);
}

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

} // namespace

std::string DescribeLineDifference(const LineReadBack& asked, const LineReadBack& got) {
  std::vector<std::string> parts;
  if (got.Rate != asked.Rate)
    parts.push_back(std::to_string(got.Rate) + " baud instead of " + std::to_string(asked.Rate));
  if (!got.PseudoTerminal && got.DataBits != asked.DataBits)
    parts.push_back(std::to_string(got.DataBits) + " data bits instead of " + std::to_string(asked.DataBits));
  if (!got.PseudoTerminal && got.ParityCode != asked.ParityCode)
    parts.push_back(ParityText(got.ParityCode) + " instead of " + ParityText(asked.ParityCode));
  // A driver holds one switch for more than one stop bit; whether that is 1.5
  // or 2 follows from the data bits, which a pseudo-terminal does not keep.
  if ((got.StopCode != 0) != (asked.StopCode != 0))
    parts.push_back(StopText(got.StopCode) + " instead of " + StopText(asked.StopCode));
  return parts.empty() ? std::string() : "the driver took " + Join(parts);
}

std::string DescribeRs485Difference(const Rs485Settings& asked, const Rs485Settings& got) {
  std::vector<std::string> parts;
  if (got.DelayBeforeSendMs != asked.DelayBeforeSendMs)
    parts.push_back("RTS delay before send " + std::to_string(got.DelayBeforeSendMs) + " ms instead of " +
                    std::to_string(asked.DelayBeforeSendMs));
  if (got.DelayAfterSendMs != asked.DelayAfterSendMs)
    parts.push_back("RTS delay after send " + std::to_string(got.DelayAfterSendMs) + " ms instead of " +
                    std::to_string(asked.DelayAfterSendMs));
  return Join(parts);
}

} // namespace korvane
