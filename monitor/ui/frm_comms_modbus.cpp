#include "monitor/ui/frm_comms_modbus.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ui/message_box.h"
#include "help/core/help_hook.h"
#include "monitor/core/monitor_buffers.h"
#include "monitor/ui/monitor_widgets.h"

namespace korvane {

TFrmCommsModbus::TFrmCommsModbus(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  setObjectName("FrmCommsModbus");
  setWindowTitle("Modbus Communications");
  setProperty("HelpContext", kHelpContext);
  // F1 opens the help at this window's page.
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [] { Guarded([] { ShowHelpContext(kHelpContext); }); });
  resize(650, 369);

  auto label = [](const char* name, const char* text) {
    auto* l = new QLabel(text);
    l->setObjectName(name);
    return l;
  };
  auto button = [](const char* name, const char* text) {
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
  };
  Label1_ = label("Label1", "Transmit");
  MemoTx_ = MakeMonitorMemo("MemoTx");
  Label2_ = label("Label2", "Receive");
  MemoRx_ = MakeMonitorMemo("MemoRx");
  // Each memo is named by the label above it.
  Label1_->setBuddy(MemoTx_);
  Label2_->setBuddy(MemoRx_);
  MemoTx_->setAccessibleName("Transmit");
  MemoRx_->setAccessibleName("Receive");
  CmdStart_ = button("CmdStart", "Start");
  CmdStop_ = button("CmdStop", "Stop");
  CmdClear_ = button("CmdClear", "Clear Screen");
  CmdAscii_ = button("CmdAscii", "Ascii-Hex");
  AsciiHex_ = new QLineEdit("AsciiHex");
  AsciiHex_->setObjectName("AsciiHex");
  // It shows how bytes are rendered: "Hexadecimal" or "Ascii".
  AsciiHex_->setAccessibleName("Rendering");
  AsciiHex_->setReadOnly(true);
  CmdExit_ = button("CmdExit", "Exit");
  Timer1_ = new QTimer(this);
  Timer1_->setObjectName("Timer1");
  Timer1_->setInterval(500);

  auto* controls = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{CmdStart_, CmdStop_, CmdClear_, CmdAscii_, AsciiHex_})
    controls->addWidget(w);
  controls->addStretch();
  controls->addWidget(CmdExit_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1_);
  layout->addWidget(MemoTx_, 1);
  layout->addWidget(Label2_);
  layout->addWidget(MemoRx_, 1);
  layout->addLayout(controls);

  auto on = [this](void (TFrmCommsModbus::*handler)()) {
    return [this, handler] { Guarded([&] { (this->*handler)(); }); };
  };
  connect(CmdStart_, &QPushButton::clicked, this, on(&TFrmCommsModbus::CmdStartClick));
  connect(CmdStop_, &QPushButton::clicked, this, on(&TFrmCommsModbus::CmdStopClick));
  connect(CmdClear_, &QPushButton::clicked, this, on(&TFrmCommsModbus::CmdClearClick));
  connect(CmdAscii_, &QPushButton::clicked, this, on(&TFrmCommsModbus::CmdAsciiClick));
  connect(CmdExit_, &QPushButton::clicked, this, on(&TFrmCommsModbus::CmdExitClick));
  connect(Timer1_, &QTimer::timeout, this, on(&TFrmCommsModbus::Timer1Timer));

  FormCreate();
  CentreOnScreen(this);
  Timer1_->start();
}

bool TFrmCommsModbus::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) Guarded([&] { FormActivate(); });
  return QWidget::event(e);
}

void TFrmCommsModbus::FormCreate() {
  AsciiHex_->setText(RenderingName(ws_.MonitorHex == 1));
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

void TFrmCommsModbus::CmdAsciiClick() {
  ws_.Monitor.MonitorText.clear();
  ws_.MonitorHex = ws_.MonitorHex == 1 ? 0 : 1;
  AsciiHex_->setText(RenderingName(ws_.MonitorHex == 1));
}

void TFrmCommsModbus::CmdExitClick() {
  ws_.Monitor.MonitorRxOn = 0;
  ws_.Monitor.MonitorTxOn = 0;
  hide();
}

} // namespace korvane
