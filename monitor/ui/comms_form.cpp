#include "monitor/ui/comms_form.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
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

TCommsForm::TCommsForm(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  setObjectName("CommsForm");
  setWindowTitle("Communication Monitor");
  setProperty("HelpContext", kHelpContext);
  // F1 opens the help at this window's page.
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [] { Guarded([] { ShowHelpContext(kHelpContext); }); });
  resize(633, 363);

  CommsMemo_ = MakeMonitorMemo("CommsMemo");
  CommsMemo_->setAccessibleName("Traffic");
  auto check = [](const char* name, const char* text) {
    auto* c = new QCheckBox(text);
    c->setObjectName(name);
    return c;
  };
  auto button = [](const char* name, const char* text) {
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
  };
  ChkTx_ = check("ChkTx", "Transmit");
  ChkRx_ = check("ChkRx", "Receive");
  ChkStop_ = check("ChkStop", "Stop Monitor");
  CmdClear_ = button("CmdClear", "Clear Screen");
  Button1_ = button("Button1", "Ascii-Hex");
  AsciiHex_ = new QLineEdit;
  AsciiHex_->setObjectName("AsciiHex");
  // It shows how bytes are rendered: "Hexadecimal" or "Ascii".
  AsciiHex_->setAccessibleName("Rendering");
  AsciiHex_->setReadOnly(true);
  CmdExit_ = button("CmdExit", "Exit");
  Timer1_ = new QTimer(this);
  Timer1_->setObjectName("Timer1");
  Timer1_->setInterval(500);

  auto* controls = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{ChkTx_, ChkRx_, ChkStop_, CmdClear_, Button1_, AsciiHex_})
    controls->addWidget(w);
  controls->addStretch();
  controls->addWidget(CmdExit_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(CommsMemo_, 1);
  layout->addLayout(controls);

  // A check box runs its handler whenever its state changes, also when the
  // program changes it (activation unticks them).
  auto on = [this](void (TCommsForm::*handler)()) {
    return [this, handler] { Guarded([&] { (this->*handler)(); }); };
  };
  connect(ChkTx_, &QCheckBox::toggled, this, on(&TCommsForm::ChkTxClick));
  connect(ChkRx_, &QCheckBox::toggled, this, on(&TCommsForm::ChkRxClick));
  connect(ChkStop_, &QCheckBox::toggled, this, on(&TCommsForm::ChkStopClick));
  connect(CmdClear_, &QPushButton::clicked, this, on(&TCommsForm::CmdClearClick));
  connect(Button1_, &QPushButton::clicked, this, on(&TCommsForm::Button1Click));
  connect(CmdExit_, &QPushButton::clicked, this, on(&TCommsForm::CmdExitClick));
  connect(Timer1_, &QTimer::timeout, this, on(&TCommsForm::Timer1Timer));

  FormCreate();
  CentreOnScreen(this);
  Timer1_->start();
}

bool TCommsForm::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) Guarded([&] { FormActivate(); });
  return QWidget::event(e);
}

void TCommsForm::FormCreate() {
  AsciiHex_->setText(RenderingName(ws_.MonitorHex == 1));
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

void TCommsForm::Button1Click() {
  ws_.Monitor.MonitorText.clear();
  ws_.MonitorHex = ws_.MonitorHex == 1 ? 0 : 1;
  AsciiHex_->setText(RenderingName(ws_.MonitorHex == 1));
}

void TCommsForm::Timer1Timer() { ShowMonitorText(CommsMemo_, ws_.Monitor.MonitorText, shown_); }

void TCommsForm::CmdExitClick() {
  ws_.Monitor.MonitorRxOn = 0;
  ws_.Monitor.MonitorTxOn = 0;
  hide();
}

} // namespace korvane
