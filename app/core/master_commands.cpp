#include "app/core/master_commands.h"

#include <array>

#include "app/core/display_format.h"
#include "app/core/int_conv.h"
#include "app/core/master_request.h"
#include "app/core/value_entry.h"
#include "modbus/core.h"
#include "modbus/master.h"

namespace korvane {
namespace {

bool ManualCommandsActive(const Workspace& ws) {
  return IsMasterRole(ws.Settings.IsMaster) && ws.Cycle.PollEnabled == 0;
}

// The first and last number of a write must both lie in 1..65536.
bool RangeInTable(int64_t first, int64_t count) { return first >= 1 && first + count - 1 <= kRegisters; }

// Where a command would send while only listening: nothing goes out, and the
// status line says so.
CommandResult NotSent() {
  CommandResult out;
  out.StatusText = kListenOnlyText;
  return out;
}

// Sends the read request of the view (poll window for register tables).
CommandResult SendRead(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  if (ws.Run.ListenOnly) return NotSent();
  if (IsRegisterTable(ws.View.RegType)) ComputePollWindow(ws);
  ws.Cycle.MasterWrite = 0;
  SendMasterRequest(ws, master, ticks);
  ws.Cycle.PollCounter += 1;
  return SentResult(CommandResult{}, StatusDisplay(ws, kStatusNone, PollPrefix(ws.Cycle.PollCounter)));
}

CommandResult SendWrite(Workspace& ws, RequestBuilder& master, const TickSource& ticks, int64_t address) {
  if (ws.Run.ListenOnly) return NotSent();
  ws.Cycle.WriteAddress = static_cast<int32_t>(address);
  return SentResult(CommandResult{}, SendWriteRequest(ws, master, ticks));
}

const std::string& CellAt(const GridTexts& cells, int64_t k) {
  static const std::string kEmpty;
  return (k >= 1 && k <= kGridCells) ? cells[static_cast<size_t>(k)] : kEmpty;
}

// An empty cell (or one past the grid) stands for "0".
std::string ValueText(const GridTexts& cells, int64_t k) {
  const std::string& t = CellAt(cells, k);
  return t.empty() ? std::string("0") : t;
}

CommandResult WriteCoils(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                         const GridTexts& cells) {
  const int32_t len = ws.View.RegLength;
  if (len < 1 || len > kGridCells || !RangeInTable(ws.View.StartReg, len)) return {};
  int32_t bytes = 0;
  for (int32_t i = 1; i <= len; ++i) {
    const std::string& t = CellAt(cells, i);
    if (t != "0" && t != "1") return {}; // any other cell cancels the whole write
    const int p = (i - 1) % 8;
    if (p == 0) ws.Cycle.WriteValues[static_cast<size_t>(++bytes)] = 0;
    if (t == "1") ws.Cycle.WriteValues[static_cast<size_t>(bytes)] |= 1 << p;
  }
  ws.Cycle.WriteCount = len == 1 ? 0 : bytes;
  return SendWrite(ws, master, ticks, ws.View.StartReg);
}

CommandResult WriteSingleRegisters(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                                   const GridTexts& cells) {
  const int32_t len = ws.View.RegLength;
  if (len < 1 || len > kGridCells || !RangeInTable(ws.View.StartReg, len)) return {};
  // Each cell is its own register: one that does not convert stops the whole
  // write with the conversion message, before anything is stored or sent.
  std::array<int32_t, kGridCells + 1> values{};
  for (int32_t k = 1; k <= len; ++k) {
    const std::string text = ValueText(cells, k);
    const ConvertedValue v = ConvertValue(ws, ws.View.DisplayType, text);
    if (!v.Ok) throw ConversionError(text);
    values[static_cast<size_t>(k)] = v.Words[0];
  }
  for (int32_t k = 1; k <= len; ++k)
    ws.Cycle.WriteValues[static_cast<size_t>(k)] = values[static_cast<size_t>(k)];
  ws.Cycle.WriteCount = len;
  return SendWrite(ws, master, ticks, ws.View.StartReg);
}

CommandResult WritePairs(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                         const GridTexts& cells, const DisplayFormat& format) {
  const bool wide = format.WideCells; // one cell per 32-bit register number
  const int32_t values = wide ? ws.View.RegLength : ws.View.RegLength / 2;
  if (values < 1 || values * 2 > kMaxWriteRegisters) return {};
  const int64_t address = wide ? 2 * static_cast<int64_t>(ws.View.StartReg) - 1 : ws.View.StartReg;
  if (!RangeInTable(address, 2 * static_cast<int64_t>(values))) return {};
  CommandResult out;
  int32_t count = 0;
  for (int32_t j = 1; j <= values; ++j) {
    const int64_t valueCell = wide ? j : 2 * j;
    if (!wide) {
      // The first cell of a pair shows nothing; it must still pass the format's check.
      const std::string& first = CellAt(cells, valueCell - 1);
      if (format.Kind == vkDecimal && !TCore::IsInteger(first)) return {};
      if (format.Kind == vkHex && !TCore::IsHex(first)) return {};
    }
    const ConvertedValue v = ConvertValue(ws, format.Type, ValueText(cells, valueCell));
    if (v.NotFloat) {
      out.StatusText = kNotFloatText;
      return out;
    }
    if (!v.Ok) return {};
    ws.Cycle.WriteValues[static_cast<size_t>(++count)] = v.Words[0];
    ws.Cycle.WriteValues[static_cast<size_t>(++count)] = v.Words[1];
  }
  ws.Cycle.WriteCount = count;
  return SendWrite(ws, master, ticks, address);
}

} // namespace

bool CmdPollClick(Workspace& ws) {
  ws.Cycle.PollEnabled = ws.Cycle.PollEnabled == 1 ? 0 : 1;
  return ws.Cycle.PollEnabled == 1;
}

CommandResult CmdMasterReadClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  if (!ManualCommandsActive(ws)) return {};
  return SendRead(ws, master, ticks);
}

CommandResult CmdMasterWriteClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                                  const GridTexts& cells) {
  if (!ManualCommandsActive(ws)) return {};
  if (ws.View.RegType == rtCoils) return WriteCoils(ws, master, ticks, cells);
  if (ws.View.RegType != rtHoldingRegs) return {}; // discrete inputs and input registers are read-only
  const DisplayFormat* f = FindDisplayFormat(ws.View.DisplayType);
  if (f == nullptr) return {};
  if (f->Registers == 1) return WriteSingleRegisters(ws, master, ticks, cells);
  return WritePairs(ws, master, ticks, cells, *f);
}

CommandResult Timer1Step(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                         const RampTexts* ramp) {
  CommandResult out;
  if (IsMasterRole(ws.Settings.IsMaster)) {
    if (ws.Cycle.PollEnabled != 0) out = SendRead(ws, master, ticks);
    // A master that only listens shows what it saw, as a slave shows what
    // was written to it.
    if (!ws.Run.ListenOnly) return out;
  } else if (ramp != nullptr && RampStep(ws, *ramp)) {
    out.Redraw = true;
  }
  if (ws.Cycle.RegsChanged == 1) {
    out.Redraw = true;
    ws.Cycle.RegsChanged = 0;
  }
  return out;
}

} // namespace korvane
