#include "monitor/ui/comms_form.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSize>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ui/widget_factory.h"
#include "monitor/ui/monitor_widgets.h"

namespace korvane {

TCommsForm::TCommsForm(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  SetUpMonitorWindow(this, "CommsForm", "Communication Monitor", kHelpContext, QSize(633, 363));

  CommsMemo_ = MakeMonitorMemo("CommsMemo");
  CommsMemo_->setAccessibleName("Traffic");
  ChkTx_ = Named(new QCheckBox("Transmit"), "ChkTx");
  ChkRx_ = Named(new QCheckBox("Receive"), "ChkRx");
  ChkStop_ = Named(new QCheckBox("Stop Monitor"), "ChkStop");
  CmdClear_ = Button("CmdClear", "Clear Screen");
  Button1_ = Button("Button1", "Ascii-Hex");
  AsciiHex_ = MakeRenderingBox();
  CmdExit_ = Button("CmdExit", "Exit");
  Timer1_ = MakeRefreshTimer(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(CommsMemo_, 1);
  layout->addLayout(MakeButtonRow({ChkTx_, ChkRx_, ChkStop_, CmdClear_, Button1_, AsciiHex_}, CmdExit_));

  // A check box runs its handler whenever its state changes, also when the
  // program changes it (activation unticks them).
  connect(ChkTx_, &QCheckBox::toggled, this, GuardedSlot(this, &TCommsForm::ChkTxClick));
  connect(ChkRx_, &QCheckBox::toggled, this, GuardedSlot(this, &TCommsForm::ChkRxClick));
  connect(ChkStop_, &QCheckBox::toggled, this, GuardedSlot(this, &TCommsForm::ChkStopClick));
  connect(CmdClear_, &QPushButton::clicked, this, GuardedSlot(this, &TCommsForm::CmdClearClick));
  connect(Button1_, &QPushButton::clicked, this, GuardedSlot(this, &TCommsForm::Button1Click));
  connect(CmdExit_, &QPushButton::clicked, this, GuardedSlot(this, &TCommsForm::CmdExitClick));
  connect(Timer1_, &QTimer::timeout, this, GuardedSlot(this, &TCommsForm::Timer1Timer));
  OnWindowActivate(this, [this] { FormActivate(); });

  FormCreate();
  CentreOnScreen(this);
  Timer1_->start();
}

void TCommsForm::FormCreate() {
  ShowRendering(ws_, AsciiHex_);
  // Each box's handler stores the box's state back, which is the same value.
  const MonitorState m = ws_.Monitor;
  ChkTx_->setChecked(m.MonitorTxOn == 1);
  ChkRx_->setChecked(m.MonitorRxOn == 1);
  ChkStop_->setChecked(m.MonitorStopped == 1);
}

void TCommsForm::FormActivate() {
  ws_.Monitor.MonitorRxOn = 0;
  ws_.Monitor.MonitorTxOn = 0;
  ws_.Monitor.MonitorStopped = 0;
  ChkTx_->setChecked(false);
  ChkRx_->setChecked(false);
  ChkStop_->setChecked(false);
}

void TCommsForm::ChkTxClick() {
  ws_.Monitor.MonitorText.clear();
  ws_.Monitor.MonitorTxOn = ChkTx_->isChecked() ? 1 : 0;
}

void TCommsForm::ChkRxClick() {
  ws_.Monitor.MonitorText.clear();
  ws_.Monitor.MonitorRxOn = ChkRx_->isChecked() ? 1 : 0;
}

void TCommsForm::ChkStopClick() {
  if (!ChkStop_->isChecked()) ws_.Monitor.MonitorText.clear();
  ws_.Monitor.MonitorStopped = ChkStop_->isChecked() ? 1 : 0;
}

void TCommsForm::CmdClearClick() {
  ws_.Monitor.MonitorText.clear();
  ClearMonitorMemo(CommsMemo_, shown_);
}

void TCommsForm::Button1Click() { ToggleRendering(ws_, AsciiHex_); }

void TCommsForm::Timer1Timer() { ShowMonitorText(CommsMemo_, ws_.Monitor.MonitorText, shown_); }

void TCommsForm::CmdExitClick() { CloseMonitorWindow(ws_, this); }

} // namespace korvane
