#pragma once
// Small pieces both traffic-monitor windows share.
#include <QString>

#include <string>

class QPlainTextEdit;
class QWidget;

namespace korvane {

// A read-only memo in a fixed-pitch 13-pixel font with a vertical scroll bar.
QPlainTextEdit* MakeMonitorMemo(const char* objectName);
// Shows a monitor text in a memo. The bytes are shown one character each
// (Latin-1), so control characters and NUL of a text rendering cannot break
// the display or end the text early. `shown` remembers what the memo got last:
// unchanged text is not set again, so the reader's scroll position stays.
void ShowMonitorText(QPlainTextEdit* memo, const std::string& text, std::string& shown);
// Empties the memo and what it remembers.
void ClearMonitorMemo(QPlainTextEdit* memo, std::string& shown);
// Places a top-level window in the middle of its screen.
void CentreOnScreen(QWidget* w);

} // namespace korvane
