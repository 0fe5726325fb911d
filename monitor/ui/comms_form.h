#pragma once
// The communication monitor: all recorded traffic, sent and received, in one
// memo. Created hidden at start-up, shown by the main window's "&Monitor",
// hidden again by "Exit". Showing it (or coming back to it) switches
// recording off until "Transmit" or "Receive" is ticked.
#include <QWidget>

#include <string>

#include "app/core/workspace.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace korvane {

class TCommsForm : public QWidget {
  Q_OBJECT
public:
  static constexpr int kHelpContext = 20;

  explicit TCommsForm(Workspace& ws, QWidget* parent = nullptr);

  void FormCreate();
  void FormActivate();
  void Timer1Timer();
  void ChkTxClick();
  void ChkRxClick();
  void ChkStopClick();
  void CmdClearClick();
  void Button1Click();
  void CmdExitClick();

private:
  Workspace& ws_;
  std::string shown_; // what CommsMemo shows
  QPlainTextEdit* CommsMemo_ = nullptr;
  QCheckBox* ChkTx_ = nullptr;
  QCheckBox* ChkRx_ = nullptr;
  QCheckBox* ChkStop_ = nullptr;
  QPushButton* CmdClear_ = nullptr;
  QPushButton* Button1_ = nullptr;
  QLineEdit* AsciiHex_ = nullptr;
  QPushButton* CmdExit_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

} // namespace korvane
