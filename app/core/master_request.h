#pragma once
// The sending step the master's buttons, its poll timer and value entry share.
#include "app/core/request_builder.h"
#include "app/core/status.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/line_timing.h"

#include <cstddef>
#include <cstdint>

namespace korvane {

// The character format OpenComm gives the port for the workspace's
// settings: 7 data bits for 7, else the component's 8; a parity bit for "E"
// and "O"; two stop bits for 2, else one.
CharacterFormat LineFormat(const Workspace& ws);

// Milliseconds, rounded up, that `characters` take on the line at the
// workspace's rate, data bits, parity and stop bits.
uint32_t RequestWireMs(const Workspace& ws, size_t characters);

// Hands the request the workspace describes (MasterWrite, WriteAddress,
// WriteCount, WriteValues, PollAddress, PollCount, RegType...) to the request
// builder and starts the reply deadline: from now, the time the request takes
// on the line (RequestWireMs) plus ResponseTime. When sending throws, the
// deadline is left as it was.
void SendMasterRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks);

// Sends the write request the workspace describes (MasterWrite is set);
// returns what the status line shows: "Write -".
StatusUpdate SendWriteRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks);

// `out` (a command or entry result) after a request was sent, showing `s`.
template <class Result> Result SentResult(Result out, const StatusUpdate& s) {
  out.StatusText = s.Text;
  out.Redraw = s.Redraw;
  out.Sent = true;
  return out;
}

} // namespace korvane
