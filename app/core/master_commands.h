#pragma once
// The master's manual controls ("Poll On/Off", "Read", "Write") and the poll
// timer's step, on the workspace, the request builder and the tick source.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/core/request_builder.h"
#include "app/core/status.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"

namespace korvane {

// The grid's value cell texts in cell-offset order: [1..100], [0] unused.
using GridTexts = std::array<std::string, kGridCells + 1>;

// What a command does to the window.
struct CommandResult {
  std::optional<std::string> StatusText; // new text of TxtStatus; nullopt: unchanged
  bool Redraw = false;                   // the grid must be redrawn
  bool Sent = false;                     // a request went to the request builder
};

// "Poll On/Off": toggles PollEnabled. Returns the new state of ChkPoll.
bool CmdPollClick(Workspace& ws);

// "Read": only as master with polling off. Works out the poll window for
// register tables, sends one read request, sets ReplyDeadline, counts
// PollCounter and shows "Poll n".
CommandResult CmdMasterReadClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks);

// "Write": only as master with polling off; collects the shown view from the
// grid texts and sends it in one write request, showing "Write -".
// - Coils: every cell of the view must be "0" or "1" (else nothing is sent);
//   packed eight to a byte; one coil is a single-coil write.
// - Holding registers, formats -1, 0, 1: cell i is register StartReg + i - 1;
//   an empty cell counts as "0"; a cell that does not convert (not the
//   format's number, or outside 0..65535) stops the whole write with
//   ConversionError for its text, and nothing is sent.
// - Holding registers, formats 2..9: one value per register pair, two
//   registers each, in the word order the format names; formats 2..7 take
//   pairs of cells (the first must pass the format's character check, the
//   second holds the value), formats 8 and 9 one cell per value and write
//   from register 2 * StartReg - 1. A value that does not convert stops the
//   write with the feedback value entry gives ("Input not Floating Point",
//   or the exceptions). More than 123 registers cannot travel in one request:
//   such a view sends nothing.
// - A view that reaches outside registers (coils) 1..65536 sends nothing.
// - Discrete inputs and input registers: nothing.
// Throws ConversionError / EntryError before anything is sent.
CommandResult CmdMasterWriteClick(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                                  const GridTexts& cells);

// One tick of the poll timer (Timer1). Master: with polling on, works out the
// poll window (register tables), sends a read, sets ReplyDeadline, counts
// PollCounter and shows "Poll n". Slave: one ramp step when `ramp` is given
// (ChkChangeVal checked), then a redraw if RegsChanged, which is cleared.
// While only listening (RunOptions::ListenOnly) nothing is sent: "Read",
// "Write" and the master's poll show kListenOnlyText instead (after the
// checks that would have stopped them), and a master redraws for
// RegsChanged as a slave does.
// A ramp text that is no whole number throws ConversionError (the registers
// and RegsChanged are left for the next tick).
CommandResult Timer1Step(Workspace& ws, RequestBuilder& master, const TickSource& ticks,
                         const RampTexts* ramp);

// The largest number of registers one function 16 request carries.
inline constexpr int32_t kMaxWriteRegisters = 123;

} // namespace korvane
