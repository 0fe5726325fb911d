#pragma once
// Comparing the line settings a driver took with the ones it was given.
#include "serial/platform/line_control.h"

#include <string>

namespace korvane {

// What differs between the settings asked for and the settings the driver
// holds, as one text ("the driver took 9600 baud instead of 12345, no parity
// instead of even"); empty when they agree. A pseudo-terminal's data bits and
// parity are not compared: it reports 8 bits without parity for any setting.
// Stop bits are compared as one or more than one, as drivers hold them.
std::string DescribeLineDifference(const LineReadBack& asked, const LineReadBack& got);

// What differs between the RS-485 delays asked for and the ones the driver
// took ("RTS delay before send 100 ms instead of 250"); empty when they agree.
std::string DescribeRs485Difference(const Rs485Settings& asked, const Rs485Settings& got);

} // namespace korvane
