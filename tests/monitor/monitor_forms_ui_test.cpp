// The two monitor windows on Qt's offscreen platform: who switches recording
// on and off, "Stop"/"Start", and what the memos show.
#include "monitor/core/monitor_buffers.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"
#include "support/qt_test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

using namespace korvane;

namespace {

[[maybe_unused]] ::testing::Environment* const kQt =
    test::AddQtEnvironment<QApplication>("monitor_forms_ui_test");

// Both windows, created in the program's order (the Modbus window last).
class MonitorFormsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    ws->Settings.IsMaster = roMaster;
    comms = std::make_unique<TCommsForm>(*ws);
    modbus = std::make_unique<TFrmCommsModbus>(*ws);
    other = std::make_unique<QWidget>(nullptr, Qt::Window);
  }

  template <class W> W* In(QWidget* form, const char* name) { return test::Child<W>(form, name); }
  static void Activate(QWidget* form) {
    QEvent e(QEvent::WindowActivate);
    QApplication::sendEvent(form, &e);
  }
  static void Deactivate(QWidget* form) {
    QEvent e(QEvent::WindowDeactivate);
    QApplication::sendEvent(form, &e);
  }
  // The user comes to `form` from another window of the program.
  void ActivateFromOther(QWidget* form) {
    Deactivate(other.get());
    Activate(other.get());
    Activate(form);
  }
  static void Tick(QWidget* form) { form->findChild<QTimer*>("Timer1")->timeout({}); }
  std::string Memo(QWidget* form, const char* name) {
    return In<QPlainTextEdit>(form, name)->toPlainText().toStdString();
  }
  bool Recording() const { return ws->Monitor.MonitorTxOn == 1 && ws->Monitor.MonitorRxOn == 1; }
  // A frame sent and a chunk received while the port is active.
  void Traffic(const std::string& sent, const std::string& received) {
    RecordSent(*ws, sent);
    ws->Settings.PortActive = 1;
    RecordReceived(*ws, received);
  }

  std::unique_ptr<Workspace> ws;
  std::unique_ptr<TCommsForm> comms;
  std::unique_ptr<TFrmCommsModbus> modbus;
  // Another window of the program (the main window, say).
  std::unique_ptr<QWidget> other;
};

} // namespace

TEST_F(MonitorFormsTest, ActivationSwitchesRecordingBetweenTheWindows) {
  EXPECT_TRUE(Recording()) << "recording runs in the background from the start";
  EXPECT_EQ(ws->Monitor.MonitorStopped, 0);
  EXPECT_EQ(In<QLineEdit>(modbus.get(), "AsciiHex")->text(), "Hexadecimal");

  // Showing the communication monitor switches recording off and unticks its boxes.
  ws->Monitor.MonitorText = "old";
  Activate(comms.get());
  EXPECT_EQ(ws->Monitor.MonitorTxOn, 0);
  EXPECT_EQ(ws->Monitor.MonitorRxOn, 0);
  EXPECT_FALSE(In<QCheckBox>(comms.get(), "ChkTx")->isChecked());
  EXPECT_FALSE(In<QCheckBox>(comms.get(), "ChkRx")->isChecked());
  EXPECT_EQ(ws->Monitor.MonitorText, "") << "unticking a ticked box empties the text";
  Traffic("\x01", "\x02");
  EXPECT_EQ(ws->Monitor.MonitorText, "");

  // Ticking the boxes records again, into an emptied text.
  In<QCheckBox>(comms.get(), "ChkTx")->click();
  In<QCheckBox>(comms.get(), "ChkRx")->click();
  EXPECT_TRUE(Recording());
  Traffic("\x01", "\x02");
  Tick(comms.get());
  EXPECT_EQ(Memo(comms.get(), "CommsMemo"), "[01][02]");

  // Coming back to the monitor switches it off again; the Modbus window switches it on.
  ActivateFromOther(comms.get());
  EXPECT_FALSE(Recording());
  Activate(modbus.get());
  EXPECT_TRUE(Recording());

  // "Exit" of either window switches recording off for both and hides it.
  modbus->show();
  In<QPushButton>(modbus.get(), "CmdExit")->click();
  EXPECT_FALSE(Recording());
  EXPECT_FALSE(modbus->isVisible());
}

TEST_F(MonitorFormsTest, ReturnFromAnotherApplicationIsNoActivation) {
  // Shown from another window of the program: the step runs.
  ActivateFromOther(comms.get());
  EXPECT_FALSE(Recording());
  In<QCheckBox>(comms.get(), "ChkTx")->click();
  In<QCheckBox>(comms.get(), "ChkRx")->click();
  Traffic("\x01", "\x02");
  ASSERT_EQ(ws->Monitor.MonitorText, "[01][02]");

  // Deactivated and activated again with no other window of the program in
  // between: the user went to another application and came back.
  Deactivate(comms.get());
  Activate(comms.get());
  EXPECT_TRUE(In<QCheckBox>(comms.get(), "ChkTx")->isChecked());
  EXPECT_TRUE(In<QCheckBox>(comms.get(), "ChkRx")->isChecked());
  EXPECT_TRUE(Recording());
  EXPECT_EQ(ws->Monitor.MonitorText, "[01][02]");

  // The same for the Modbus window, with recording switched off behind it.
  ActivateFromOther(modbus.get());
  EXPECT_TRUE(Recording());
  ws->Monitor.MonitorTxOn = 0;
  ws->Monitor.MonitorRxOn = 0;
  Deactivate(modbus.get());
  Activate(modbus.get());
  EXPECT_EQ(ws->Monitor.MonitorTxOn, 0);
  EXPECT_EQ(ws->Monitor.MonitorRxOn, 0);

  // Hidden by "Exit" and shown again: a new activation, also with no other
  // window between.
  comms->show();
  Activate(comms.get());
  In<QCheckBox>(comms.get(), "ChkTx")->click();
  Traffic("\x03", "");
  ASSERT_EQ(ws->Monitor.MonitorText, "[03]");
  In<QPushButton>(comms.get(), "CmdExit")->click();
  EXPECT_FALSE(comms->isVisible());
  comms->show();
  Activate(comms.get());
  EXPECT_FALSE(In<QCheckBox>(comms.get(), "ChkTx")->isChecked());
  EXPECT_EQ(ws->Monitor.MonitorText, "");
}

TEST_F(MonitorFormsTest, StopFreezesTheModbusWindowAndStartEmptiesIt) {
  Traffic(std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8), "\x01");
  Tick(modbus.get());
  EXPECT_EQ(Memo(modbus.get(), "MemoTx"), "[01][03][00][00][00][0A][C5][CD]");
  EXPECT_EQ(Memo(modbus.get(), "MemoRx"), "[01]");

  // "Stop" (or "Stop Monitor") stops recording and freezes both memos.
  In<QPushButton>(modbus.get(), "CmdStop")->click();
  EXPECT_EQ(ws->Monitor.MonitorStopped, 1);
  Traffic("\x05", "\x06");
  ws->Monitor.MonitorTxText = "changed behind the window";
  Tick(modbus.get());
  EXPECT_EQ(Memo(modbus.get(), "MemoTx"), "[01][03][00][00][00][0A][C5][CD]");
  EXPECT_EQ(Memo(modbus.get(), "MemoRx"), "[01]");
  // Activation leaves the stop in force.
  Activate(modbus.get());
  EXPECT_EQ(ws->Monitor.MonitorStopped, 1);

  // "Start" empties both texts and resumes.
  In<QPushButton>(modbus.get(), "CmdStart")->click();
  EXPECT_EQ(ws->Monitor.MonitorStopped, 0);
  EXPECT_EQ(ws->Monitor.MonitorTxText, "");
  EXPECT_EQ(ws->Monitor.MonitorRxText, "");
  Tick(modbus.get());
  EXPECT_EQ(Memo(modbus.get(), "MemoTx"), "");
  Traffic("\x07", "\x08");
  Tick(modbus.get());
  EXPECT_EQ(Memo(modbus.get(), "MemoTx"), "[07]");
  EXPECT_EQ(Memo(modbus.get(), "MemoRx"), "[08]");
}

TEST_F(MonitorFormsTest, AsciiRenderingShowsEveryByteSafely) {
  // The toggle in the monitor window changes the rendering for later bytes
  // and only its own edit.
  In<QPushButton>(comms.get(), "Button1")->click();
  EXPECT_EQ(ws->Settings.MonitorHex, 0);
  EXPECT_EQ(In<QLineEdit>(comms.get(), "AsciiHex")->text(), "Ascii");
  EXPECT_EQ(In<QLineEdit>(modbus.get(), "AsciiHex")->text(), "Hexadecimal");

  // NUL, a control character and a byte above 127 neither end nor break the text.
  const std::string frame("A\0B\x01\xE9Z", 6);
  Traffic(frame, "");
  Tick(modbus.get());
  const QString shown = In<QPlainTextEdit>(modbus.get(), "MemoTx")->toPlainText();
  ASSERT_EQ(shown.size(), 6);
  EXPECT_EQ(shown[0], QChar('A'));
  EXPECT_EQ(shown[2], QChar('B'));
  EXPECT_EQ(shown[4], QChar(0xE9));
  EXPECT_EQ(shown[5], QChar('Z'));

  In<QPushButton>(modbus.get(), "CmdAscii")->click();
  EXPECT_EQ(ws->Settings.MonitorHex, 1);
  EXPECT_EQ(In<QLineEdit>(modbus.get(), "AsciiHex")->text(), "Hexadecimal");
  // "Clear Screen" empties the texts and the memos at once.
  In<QPushButton>(modbus.get(), "CmdClear")->click();
  EXPECT_EQ(Memo(modbus.get(), "MemoTx"), "");
  EXPECT_EQ(ws->Monitor.MonitorTxText, "");
}

// The width a line edit gives its text: its contents less the text margins
// and the edit's own two pixels each side, as it lays out the text it paints.
static int TextRoom(const QLineEdit* box) {
  QStyleOptionFrame opt;
  opt.initFrom(box);
  opt.rect = box->rect();
  opt.lineWidth = box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, box) : 0;
  opt.midLineWidth = 0;
  opt.state |= QStyle::State_Sunken | QStyle::State_ReadOnly;
  opt.features = QStyleOptionFrame::None;
  const QRect contents = box->style()->subElementRect(QStyle::SE_LineEditContents, &opt, box);
  const QMargins m = box->textMargins();
  return contents.width() - m.left() - m.right() - 2 * 2;
}

TEST_F(MonitorFormsTest, RenderingBoxShowsEitherNameWhole) {
  for (QWidget* form : {static_cast<QWidget*>(comms.get()), static_cast<QWidget*>(modbus.get())}) {
    SCOPED_TRACE(form->objectName().toStdString());
    form->show(); // at the window's own size, its layout done
    QApplication::processEvents();
    QLineEdit* box = In<QLineEdit>(form, "AsciiHex");
    for (const char* name : {"Hexadecimal", "Ascii"}) {
      SCOPED_TRACE(name);
      box->setText(name);
      // One pixel more for the cursor, which the edit keeps inside its room.
      EXPECT_GT(TextRoom(box), box->fontMetrics().horizontalAdvance(QString(name)))
          << "box width " << box->width();
      EXPECT_GE(box->minimumSizeHint().width(),
                box->width() - TextRoom(box) + box->fontMetrics().horizontalAdvance(QString(name)));
    }
    form->hide();
  }
}
