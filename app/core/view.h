#pragma once
// Handlers of the view selectors, the block buttons and the page buttons, on
// the workspace alone. The window redraws the grid (DisplayRegs) after each of
// them where the comment says so, and shows the texts they return.
#include <cstdint>
#include <string>

#include "app/core/display.h"
#include "app/core/workspace.h"

namespace korvane {

// Table selector: positions 0..3 set RegType; other positions change nothing.
// The grid is redrawn afterwards in every case.
void ComboRegTypeChange(Workspace& ws, int index);

// Format selector: WriteFunction := 16; position 0 gives DisplayType -1,
// position p (1..8) gives p - 1; others change nothing. A two-register format
// (2 or more) makes an odd RegLength even by adding 1. Returns the new text of
// TxtLength; the grid is redrawn afterwards.
std::string ComboReadTypeChange(Workspace& ws, int index);

// Start edit: empty text does nothing; a whole number 1..65535 becomes
// StartReg; other numbers are ignored. Throws ConversionError for text that is
// no whole number, with nothing changed. Returns whether to redraw.
bool TxtStartRegChange(Workspace& ws, const std::string& text);

// Length edit: empty text does nothing; a whole number 1..100 becomes
// RegLength, but while a two-register format is shown only an even one.
// Throws ConversionError as TxtStartRegChange. Returns whether to redraw.
bool TxtLengthChange(Workspace& ws, const std::string& text);

// Address selector: position p (0..4) selects slot p + 1 and DeviceAddress
// follows; other positions (text typed that is no item) change nothing.
// Returns whether the slot changed; the grid is redrawn afterwards anyway.
bool CboAddrChange(Workspace& ws, int index);

// Blocks: StartReg moves by RegLength, kept so the view stays within
// 1..65536. Return the new text of TxtStartReg; the grid is redrawn afterwards.
std::string NextBlock(Workspace& ws);
std::string PrevBlock(Workspace& ws);

// Pages: CurrentPage moves by one within 1..20 and the view is loaded from
// that page (the view shown before is not saved). Return DisplayRegTypes; the
// grid is redrawn afterwards.
ViewControls NextPage(Workspace& ws);
ViewControls PrevPage(Workspace& ws);

// Saves the current page from the two edits as typed (even values the edit
// handlers refused) and the shown table and format, then moves on as
// NextPage. Throws ConversionError for a text that is no whole number: what
// was stored before the failing conversion stays stored and the page does
// not advance.
ViewControls SavePage(Workspace& ws, const std::string& startText, const std::string& lengthText);

} // namespace korvane
