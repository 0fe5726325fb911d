#include "monitor/ui/frm_comms_modbus.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSize>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ui/widget_factory.h"
#include "monitor/ui/monitor_widgets.h"

namespace korvane {

TFrmCommsModbus::TFrmCommsModbus(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  SetUpMonitorWindow(this, "FrmCommsModbus", "Modbus Communications", kHelpContext, QSize(650, 369));

  Label1_ = Named(new QLabel("Transmit"), "Label1");
  MemoTx_ = MakeMonitorMemo("MemoTx");
  Label2_ = Named(new QLabel("Receive"), "Label2");
  MemoRx_ = MakeMonitorMemo("MemoRx");
  // Each memo is named by the label above it.
  Label1_->setBuddy(MemoTx_);
  Label2_->setBuddy(MemoRx_);
  MemoTx_->setAccessibleName("Transmit");
  MemoRx_->setAccessibleName("Receive");
  CmdStart_ = Button("CmdStart", "Start");
  CmdStop_ = Button("CmdStop", "Stop");
  CmdClear_ = Button("CmdClear", "Clear Screen");
  CmdAscii_ = Button("CmdAscii", "Ascii-Hex");
  AsciiHex_ = MakeRenderingBox();
  CmdExit_ = Button("CmdExit", "Exit");
  Timer1_ = MakeRefreshTimer(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1_);
  layout->addWidget(MemoTx_, 1);
  layout->addWidget(Label2_);
  layout->addWidget(MemoRx_, 1);
  layout->addLayout(MakeButtonRow({CmdStart_, CmdStop_, CmdClear_, CmdAscii_, AsciiHex_}, CmdExit_));

  connect(CmdStart_, &QPushButton::clicked, this, GuardedSlot(this, &TFrmCommsModbus::CmdStartClick));
  connect(CmdStop_, &QPushButton::clicked, this, GuardedSlot(this, &TFrmCommsModbus::CmdStopClick));
  connect(CmdClear_, &QPushButton::clicked, this, GuardedSlot(this, &TFrmCommsModbus::CmdClearClick));
  connect(CmdAscii_, &QPushButton::clicked, this, GuardedSlot(this, &TFrmCommsModbus::CmdAsciiClick));
  connect(CmdExit_, &QPushButton::clicked, this, GuardedSlot(this, &TFrmCommsModbus::CmdExitClick));
  connect(Timer1_, &QTimer::timeout, this, GuardedSlot(this, &TFrmCommsModbus::Timer1Timer));
  OnWindowActivate(this, [this] { FormActivate(); });

  FormCreate();
  CentreOnScreen(this);
  Timer1_->start();
}

void TFrmCommsModbus::FormCreate() {
  ShowRendering(ws_, AsciiHex_);
  ws_.Monitor.MonitorStopped = 0;
  ws_.Monitor.MonitorRxOn = 1;
  ws_.Monitor.MonitorTxOn = 1;
}

void TFrmCommsModbus::FormActivate() {
  ws_.Monitor.MonitorRxOn = 1;
  ws_.Monitor.MonitorTxOn = 1;
}

void TFrmCommsModbus::Timer1Timer() {
  if (ws_.Monitor.MonitorStopped != 0) return;
  ShowMonitorText(MemoTx_, ws_.Monitor.MonitorTxText, shownTx_);
  ShowMonitorText(MemoRx_, ws_.Monitor.MonitorRxText, shownRx_);
}

void TFrmCommsModbus::CmdStartClick() {
  ws_.Monitor.MonitorRxText.clear();
  ws_.Monitor.MonitorTxText.clear();
  ws_.Monitor.MonitorStopped = 0;
}

void TFrmCommsModbus::CmdStopClick() { ws_.Monitor.MonitorStopped = 1; }

void TFrmCommsModbus::CmdClearClick() {
  ws_.Monitor.MonitorRxText.clear();
  ws_.Monitor.MonitorTxText.clear();
  ClearMonitorMemo(MemoTx_, shownTx_);
  ClearMonitorMemo(MemoRx_, shownRx_);
}

void TFrmCommsModbus::CmdAsciiClick() { ToggleRendering(ws_, AsciiHex_); }

void TFrmCommsModbus::CmdExitClick() { CloseMonitorWindow(ws_, this); }

} // namespace korvane
