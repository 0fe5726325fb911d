#pragma once
// The status line, the mode line and the value ramp ("Change Values").
#include <cstdint>
#include <optional>
#include <string>

#include "app/core/workspace.h"
#include "modbus/frame_rules.h"

namespace korvane {

// What StatusDisplay does to the window.
struct StatusUpdate {
  std::optional<std::string> Text; // new text of TxtStatus; nullopt: keep the old text
  bool Redraw = false;             // the grid must be redrawn (DisplayRegs)
};

// Reply status codes, as the engine's master checkers return them (ReplyStatus).
inline constexpr int32_t kStatusNone = kReplyNone;
inline constexpr int32_t kStatusDataOk = kReplyOk;
inline constexpr int32_t kStatusChecksum = kReplyChecksum;
inline constexpr int32_t kStatusTimeOut = kReplyTimeout;
inline constexpr int32_t kStatusTooLong = kReplyTooLong;
inline constexpr int32_t kStatusException = kReplyException;

// The status text for `code` after `prefix`: code 0 the prefix alone, 1..4 and
// 129..136 the prefix and their words; every other code keeps the old text.
// The grid is redrawn for codes 0 and 1 while polling is on.
StatusUpdate StatusDisplay(int32_t code, const std::string& prefix, bool pollEnabled);
inline StatusUpdate StatusDisplay(const Workspace& ws, int32_t code, const std::string& prefix) {
  return StatusDisplay(code, prefix, ws.Cycle.PollEnabled == 1);
}

// The prefixes the callers use.
std::string PollPrefix(int32_t pollCounter);                 // "Poll 12"
inline constexpr const char* kWriteSentPrefix = "Write -";   // a write request just sent
inline constexpr const char* kWriteReplyPrefix = "Write - "; // the reply to a write
// What a command that would send says while only listening.
inline constexpr const char* kListenOnlyText = "Listen only: nothing is sent";

// What ModeDisplay shows.
struct ModeView {
  std::string TxtRTUMode;   // "Slave - Binary", "Master - ASCII", "Listen Only - Binary", ...
  bool ClearStatus = false; // slave and listening: TxtStatus is emptied; master: left alone
  std::string CboAddr;      // DeviceAddress in decimal
};
ModeView ModeDisplay(const Workspace& ws);

// The texts of the "Change Values" edits and of TxtLength, as typed.
struct RampTexts {
  std::string LowLim;
  std::string HiLim;
  std::string Incr;
  std::string Length;
};

// One step of the value ramp on the shown block of the active slot: register
// StartReg + i - 1 (i = 1..len) becomes R + incr + (i - 1), or low when that
// passes high. All four texts are converted first: a text that is no whole
// number throws ConversionError with nothing changed. Coils and discrete
// inputs: nothing changes. Registers outside 1..65536 are skipped. Returns
// whether the grid must be redrawn (only when a register table is shown).
// The sum wraps in 32 bits; the ramp stores whatever it gives, unclamped.
bool RampStep(Workspace& ws, const RampTexts& texts);
inline bool RampStep(Workspace& ws, const std::string& low, const std::string& high, const std::string& incr,
                     const std::string& len) {
  return RampStep(ws, RampTexts{low, high, incr, len});
}

} // namespace korvane
