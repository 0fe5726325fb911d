#pragma once
// The traffic monitors' shared buffers (Workspace::Monitor) and how port
// control fills them. Both monitor windows only copy these texts.
#include <cstdint>
#include <string>

#include "app/core/workspace.h"

namespace korvane {

// MonitorText and MonitorRxText never stay longer than this after a byte is
// recorded: they are cut back to their last kMonitorKeep characters.
constexpr size_t kMonitorLimit = 1000;
constexpr size_t kMonitorKeep = 900;

// One byte as the monitors show it: "[0A]" while hex, else the character itself.
std::string RenderByte(uint8_t b, bool hex);

// The exchange boundary and transmit side of sending a frame (done whether or
// not the port is open): master empties both texts; slave empties the transmit
// text and restarts the receive count. Then the frame is recorded if the
// transmit monitor is on and not stopped.
void RecordSent(Workspace& ws, const std::string& frame);

// The receive side of a chunk: recorded only while the port is active, the
// receive monitor on and not stopped. The first byte after a slave's reply
// starts a fresh receive text.
void RecordReceived(Workspace& ws, const std::string& chunk);

// "Hexadecimal" or "Ascii", the name of the rendering in force.
const char* RenderingName(bool hex);

} // namespace korvane
