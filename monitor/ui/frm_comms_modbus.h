#pragma once
// The Modbus communications window: the frame last sent and the bytes
// received since, side by side. Created hidden at start-up (it switches
// recording on), shown by the main window's "Modbus", hidden by "Exit".
// Coming to it switches recording on; "Stop" freezes both memos.
#include <QWidget>

#include <string>

#include "app/core/workspace.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace korvane {

class TFrmCommsModbus : public QWidget {
  Q_OBJECT
public:
  static constexpr int kHelpContext = 25;

  explicit TFrmCommsModbus(Workspace& ws, QWidget* parent = nullptr);

  void FormCreate();
  void FormActivate();
  void Timer1Timer();
  void CmdStartClick();
  void CmdStopClick();
  void CmdClearClick();
  void CmdAsciiClick();
  void CmdExitClick();

private:
  Workspace& ws_;
  std::string shownTx_; // what MemoTx shows
  std::string shownRx_; // what MemoRx shows
  QLabel* Label1_ = nullptr;
  QPlainTextEdit* MemoTx_ = nullptr;
  QLabel* Label2_ = nullptr;
  QPlainTextEdit* MemoRx_ = nullptr;
  QPushButton* CmdStart_ = nullptr;
  QPushButton* CmdStop_ = nullptr;
  QPushButton* CmdClear_ = nullptr;
  QPushButton* CmdAscii_ = nullptr;
  QLineEdit* AsciiHex_ = nullptr;
  QPushButton* CmdExit_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

} // namespace korvane
