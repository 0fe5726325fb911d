#pragma once
// Small pieces both traffic-monitor windows share.
#include <QString>

#include <functional>
#include <initializer_list>
#include <string>

#include "app/core/workspace.h"

class QHBoxLayout;
class QLineEdit;
class QObject;
class QPlainTextEdit;
class QSize;
class QTimer;
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

// Names, titles and sizes a monitor window; F1 opens the help at `helpContext`.
void SetUpMonitorWindow(QWidget* window, const char* name, const char* title, int helpContext,
                        const QSize& size);
// The read-only box "AsciiHex" that says how bytes are rendered.
QLineEdit* MakeRenderingBox();
// The box shows the workspace's rendering: "Hexadecimal" or "Ascii".
void ShowRendering(const Workspace& ws, QLineEdit* box);
// "Ascii-Hex": switches to the other rendering and drops the recorded
// traffic text.
void ToggleRendering(Workspace& ws, QLineEdit* box);
// The memo refresh "Timer1", every 500 ms; the caller starts it.
QTimer* MakeRefreshTimer(QObject* parent);
// The row below the memos: `controls` from the left, `exit` at the right end.
QHBoxLayout* MakeButtonRow(std::initializer_list<QWidget*> controls, QWidget* exit);
// Runs `handler` (through Guarded) each time `window` becomes the program's
// active window: when it is shown and on every return to it from another
// window of the program, not when the user comes back from another application.
void OnWindowActivate(QWidget* window, std::function<void()> handler);
// "Exit": recording off and the window hidden.
void CloseMonitorWindow(Workspace& ws, QWidget* window);

} // namespace korvane
