#pragma once
// The workspace's codes. Each enumeration has the fixed width the workspace
// has always stored, so that a value a register file brings, one outside the
// named codes included, is held and written back unchanged. Everything that
// asks what a code means goes through the functions here (and the display
// format table in app/core/display_format.h), never through its number.
#include <cstdint>
#include <optional>

namespace korvane {

// The table shown, polled and written.
enum TRegType : int32_t {
  rtCoils = 0,
  rtInputs = 1, // discrete inputs
  rtInputRegs = 2,
  rtHoldingRegs = 3,
};

// One of the four tables (a file may bring any other number).
constexpr bool IsKnownRegType(TRegType t) { return t >= rtCoils && t <= rtHoldingRegs; }
// Coils or discrete inputs.
constexpr bool IsBitTable(TRegType t) { return t == rtCoils || t == rtInputs; }
// Input or holding registers.
constexpr bool IsRegisterTable(TRegType t) { return t == rtInputRegs || t == rtHoldingRegs; }
// The table selector's position p (0..3) is table p.
constexpr std::optional<TRegType> RegTypeOfItem(int index) {
  if (index < 0 || index > 3) return std::nullopt;
  return static_cast<TRegType>(index);
}
constexpr int ItemOfRegType(TRegType t) { return static_cast<int>(t); }

// Display format of the register tables; what each one means is in the
// display format table.
enum TDisplayType : int32_t {
  dtSigned = -1,
  dtDecimal = 0,
  dtHex = 1,
  dtLong = 2,
  dtLongReverse = 3,
  dtHexLong = 4,
  dtHexLongReverse = 5,
  dtFloat = 6,
  dtFloatReverse = 7,
  dtRegFloat = 8,        // one cell per 32-bit register number
  dtRegFloatReverse = 9, // as 8, low word first
};

// Framing of the frames on the line (RtuMode). The dialog and the register
// file give 0 or 1 only.
enum TFrameMode : uint8_t {
  fmAscii = 0,
  fmRtu = 1,
};

// RTU for the RTU code alone: how the slave answers, how port control hands
// received bytes to the checkers and what the register file writes.
constexpr bool FramesRtu(TFrameMode m) { return m == fmRtu; }
// RTU for every code but ASCII's: how the master frames its requests and
// how the dialog and the mode display show the setting.
constexpr bool FramesRtuUnlessAscii(TFrameMode m) { return m != fmAscii; }
constexpr TFrameMode FrameModeOf(bool rtu) { return rtu ? fmRtu : fmAscii; }

// The program's role on the line (IsMaster). The dialog and the register file
// give 0 or 1 only.
enum TRole : uint8_t {
  roSlave = 0,
  roMaster = 1,
};

constexpr bool IsMasterRole(TRole r) { return r == roMaster; }
constexpr TRole RoleOf(bool master) { return master ? roMaster : roSlave; }

// Data bits as the workspace holds them (a file may bring any number).
enum TDataBitsCode : int32_t {
  db7Bits = 7,
  db8Bits = 8,
};

// Stop bits as the workspace holds them (a file may bring any number).
enum TStopBitsCode : int32_t {
  st1Bit = 1,
  st2Bits = 2,
};

// The parity handed to the serial layer for the workspace's parity letter
// (the letter itself stays text: a file may bring any text, and it is written
// back as it came).
enum TParityCode : int32_t {
  pcNone = 0,
  pcEven = 1,
  pcOdd = 2,
};

} // namespace korvane
