#include "monitor/core/monitor_buffers.h"

#include <cstdint>

#include "modbus/core.h"

namespace korvane {
namespace {

void AppendRendered(std::string& text, uint8_t b, bool hex) {
  if (hex) {
    text.push_back('[');
    text.push_back(HexDigit(b >> 4));
    text.push_back(HexDigit(b & 15));
    text.push_back(']');
  } else {
    text.push_back(static_cast<char>(b));
  }
}

void CutBack(std::string& text) {
  if (text.size() > kMonitorLimit) text.erase(0, text.size() - kMonitorKeep);
}

} // namespace

std::string RenderByte(uint8_t b, bool hex) {
  std::string s;
  AppendRendered(s, b, hex);
  return s;
}

const char* RenderingName(bool hex) { return hex ? "Hexadecimal" : "Ascii"; }

void RecordSent(Workspace& ws, const std::string& frame) {
  MonitorState& m = ws.Monitor;
  if (IsMasterRole(ws.Settings.IsMaster)) {
    m.MonitorTxText.clear();
    m.MonitorRxText.clear();
  } else {
    m.MonitorTxText.clear();
    m.MonitorRxCount = 0;
  }
  if (m.MonitorTxOn != 1 || m.MonitorStopped != 0 || frame.empty()) return;
  const bool hex = ws.Settings.MonitorHex == 1;
  for (char ch : frame) {
    const auto b = static_cast<uint8_t>(ch);
    AppendRendered(m.MonitorText, b, hex);
    AppendRendered(m.MonitorTxText, b, hex);
    CutBack(m.MonitorText);
  }
}

void RecordReceived(Workspace& ws, const std::string& chunk) {
  MonitorState& m = ws.Monitor;
  if (ws.Settings.PortActive != 1 || m.MonitorRxOn != 1 || m.MonitorStopped != 0 || chunk.empty()) return;
  const bool hex = ws.Settings.MonitorHex == 1;
  for (char ch : chunk) {
    if (m.MonitorRxCount == 0) m.MonitorRxText.clear();
    // Only "none yet" matters: a long master session stops counting at the top.
    if (m.MonitorRxCount < INT32_MAX) ++m.MonitorRxCount;
    const auto b = static_cast<uint8_t>(ch);
    AppendRendered(m.MonitorText, b, hex);
    AppendRendered(m.MonitorRxText, b, hex);
    CutBack(m.MonitorText);
    CutBack(m.MonitorRxText);
  }
}

} // namespace korvane
