// The main window on Qt's offscreen platform: start-up state, selectors,
// the grid's key warning, the error box, value entry and the master buttons.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/install_paths.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "app/ui/message_box.h"
#include "modbus/frame_rules.h"
#include "modbus/master.h"
#include "modbus/sender.h"
#include "support/qt_test_support.h"
#include "support/recording_sender.h"

namespace korvane {
namespace {

const char* const kKeyWarning =
    "Data entered directly into Cell will be ignored. Enter Data via Input Box, Toggling or Prompt";

[[maybe_unused]] ::testing::Environment* const kQtEnvironment = test::AddQtEnvironment("main_form_ui_test");

using frame::Bytes;
using test::RecordingSender;

class MainFormTest : public ::testing::Test, public test::CapturedMessages {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    // Creation must reset whatever the workspace held.
    ws->Settings.IsMaster = roMaster;
    ws->SlotTables(1).HoldingRegTable[7] = 99;
    form = std::make_unique<TMainForm>(*ws, ticks);
    master = std::make_unique<TMaster>(*ws, sender, ticks);
    form->AttachMaster(master.get());
  }
  void TearDown() override { form.reset(); }

  template <class W> W* Find(const char* name) { return test::Child<W>(form.get(), name); }
  QTableWidget* Grid() { return Find<QTableWidget>("StringGrid1"); }
  std::string Cell(int col, int row) { return Grid()->item(row, col)->text().toStdString(); }
  std::string Text(const char* name) { return Find<QLineEdit>(name)->text().toStdString(); }
  void Press(QWidget* w, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
  }
  void Click(const char* name) { Find<QPushButton>(name)->click(); }
  void BecomeMaster() {
    ws->Settings.IsMaster = roMaster;
    form->ModeDisplay();
  }

  std::unique_ptr<Workspace> ws;
  FakeTickSource ticks{1000};
  RecordingSender sender;
  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TMaster> master;
};

TEST_F(MainFormTest, StartUpState) {
  EXPECT_EQ(form->windowTitle().toStdString(), "STELMOR - KORVANE Version 1.48");
  EXPECT_EQ(form->size(), QSize(618, 679));

  QTableWidget* grid = Grid();
  ASSERT_EQ(grid->rowCount(), 21);
  ASSERT_EQ(grid->columnCount(), 6);
  const int widths[] = {64, 75, 80, 80, 78, 78};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(grid->columnWidth(c), widths[c]) << c;
  for (int r = 0; r < 21; ++r) EXPECT_EQ(grid->rowHeight(r), 19) << r;
  EXPECT_EQ(Cell(0, 0), "REGISTER");
  const char* colHeads[] = {"+0", "+20", "+40", "+60", "+80"};
  for (int c = 1; c <= 5; ++c) EXPECT_EQ(Cell(c, 0), colHeads[c - 1]);
  for (int r = 1; r <= 20; ++r) EXPECT_EQ(Cell(0, r), std::to_string(r));
  for (int c = 1; c <= 5; ++c)
    for (int r = 1; r <= 20; ++r) EXPECT_EQ(Cell(c, r), "0") << c << "," << r;
  // The header cells can be neither selected nor edited.
  EXPECT_EQ(grid->item(0, 3)->flags() & (Qt::ItemIsSelectable | Qt::ItemIsEditable), Qt::NoItemFlags);
  EXPECT_EQ(grid->currentRow(), 1);
  EXPECT_EQ(grid->currentColumn(), 1);

  // Creation reset the workspace it was given.
  EXPECT_EQ(ws->Settings.IsMaster, roSlave);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[7], 0);

  EXPECT_EQ(Text("TxtStartReg"), "0001");
  EXPECT_EQ(Text("TxtLength"), "100");
  EXPECT_EQ(Text("TxtStatus"), "");
  EXPECT_EQ(Text("TxtLowLim"), "0");
  EXPECT_EQ(Text("TxtHiLim"), "1000");
  EXPECT_EQ(Text("TxtIncr"), "1");
  EXPECT_EQ(Find<QLabel>("TxtRTUMode")->text().toStdString(), "Slave - Binary");
  EXPECT_EQ(Find<QLabel>("TxtPage")->text().toStdString(), "1");
  QLabel* port = Find<QLabel>("TxtPort");
  EXPECT_EQ(port->text().toStdString(), "InActive");
  EXPECT_EQ(port->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  form->ShowPortState(true);
  EXPECT_EQ(port->text().toStdString(), "Active");
  EXPECT_EQ(port->palette().color(QPalette::WindowText), QColor(0, 128, 0));

  auto items = [](QComboBox* c) {
    std::vector<std::string> v;
    for (int i = 0; i < c->count(); ++i) v.push_back(c->itemText(i).toStdString());
    return v;
  };
  QComboBox* addr = Find<QComboBox>("CboAddr");
  EXPECT_EQ(items(addr), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(addr->currentText().toStdString(), "1");
  QComboBox* regType = Find<QComboBox>("ComboRegType");
  EXPECT_EQ(items(regType), (std::vector<std::string>{"Coils 0xxxx", "Status 1xxxx", "Input Registers 3xxxx",
                                                      "Holding Registers 4xxxx"}));
  EXPECT_EQ(regType->currentText().toStdString(), "Holding Registers 4xxxx");
  QComboBox* readType = Find<QComboBox>("ComboReadType");
  EXPECT_EQ(items(readType), (std::vector<std::string>{
                                 "Signed Integers", "Decimal Integers", "Hexadecimal Integers",
                                 "Decimal Long", "Decimal Long Reverse", "Hexadecimal Long",
                                 "Hexadecimal Long Reverse", "Floating Point", "Floating Point Reverse"}));
  EXPECT_EQ(readType->currentText().toStdString(), "Decimal Integers");

  EXPECT_TRUE(Find<QCheckBox>("ChkPoll")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("ChkChangeVal")->isChecked());
  EXPECT_EQ(Find<QTimer>("Timer1")->interval(), 5000);
  EXPECT_EQ(Find<QTimer>("Timer2")->interval(), 100);
  EXPECT_EQ(ws->Ui.HelpFilePath, HelpFilePathFor(QCoreApplication::applicationDirPath().toStdString()));

  const std::pair<const char*, const char*> buttons[] = {
      {"CmdNextPage", "Next Page"},   {"CmdPrevPage", "Previous Page"},   {"CmdSavePage", "Save Page"},
      {"CmdNextBlock", "Next Block"}, {"CmdPrevBlock", "Previous Block"}, {"CmdWrite", "&Rewrite"},
      {"CmdPoll", "Poll On/Off"},     {"CmdMasterWrite", "Write"},        {"CmdMasterRead", "Read"}};
  for (const auto& [name, caption] : buttons)
    EXPECT_EQ(Find<QPushButton>(name)->text().toStdString(), caption);
  const std::pair<const char*, const char*> menu[] = {{"Load1", "&Load"},
                                                      {"Save1", "&Save"},
                                                      {"Exit1", "E&xit"},
                                                      {"Configure1", "&Configure"},
                                                      {"Monitor1", "&Monitor"},
                                                      {"MnuModbus", "Modbus"},
                                                      {"MnuLineAnalyzer", "&Line Analyzer"},
                                                      {"Help1", "&Help"}};
  for (const auto& [name, caption] : menu) EXPECT_EQ(Find<QAction>(name)->text().toStdString(), caption);
  EXPECT_EQ(Find<QMenu>("File1")->title().toStdString(), "&File");
  EXPECT_EQ(Find<QMenu>("Comms")->title().toStdString(), "C&ommunications");
}

TEST_F(MainFormTest, ShownWindowKeepsItsSizeAndNothingOverlaps) {
  form->show();
  QCoreApplication::processEvents();
  EXPECT_EQ(form->size(), QSize(618, 679));
  const char* names[] = {"StringGrid1",   "TxtStartReg",  "TxtLength",   "ComboRegType", "ComboReadType",
                         "TxtStatus",     "TxtRTUMode",   "CboAddr",     "TxtPort",      "TxtPage",
                         "CmdNextPage",   "CmdPrevPage",  "CmdSavePage", "CmdNextBlock", "CmdPrevBlock",
                         "TxtInput",      "CmdWrite",     "CmdPoll",     "ChkPoll",      "CmdMasterWrite",
                         "CmdMasterRead", "ChkChangeVal", "TxtLowLim",   "TxtHiLim",     "TxtIncr"};
  std::vector<std::pair<std::string, QRect>> boxes;
  const QRect client = form->centralWidget()->geometry();
  for (const char* name : names) {
    auto* w = Find<QWidget>(name);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible()) << name;
    const QRect r(w->mapTo(form.get(), QPoint(0, 0)), w->size());
    EXPECT_TRUE(client.contains(r)) << name << " is clipped";
    for (const auto& [other, box] : boxes) EXPECT_FALSE(r.intersects(box)) << name << " overlaps " << other;
    boxes.emplace_back(name, r);
  }
  // The whole grid is visible: every cell lies inside its viewport.
  QTableWidget* grid = Grid();
  const QRect lastCell = grid->visualItemRect(grid->item(20, 5));
  EXPECT_TRUE(grid->viewport()->rect().contains(lastCell));
}

TEST_F(MainFormTest, SelectorsAndEditsRedrawTheGrid) {
  AddressSlot& slot1 = ws->SlotTables(1);
  slot1.HoldingRegTable[5] = 1234;
  slot1.HoldingRegTable[25] = 0xFFFF;
  SetBit(slot1.CoilTable, 3, true);
  ws->SlotTables(3).HoldingRegTable[1] = 42;

  QComboBox* readType = Find<QComboBox>("ComboReadType");
  readType->setCurrentIndex(2); // "Hexadecimal Integers", as the user picks it
  EXPECT_EQ(ws->View.DisplayType, dtHex);
  EXPECT_EQ(Cell(1, 5), "04D2");
  EXPECT_EQ(Cell(2, 5), "FFFF");

  readType->setCurrentIndex(0); // signed
  EXPECT_EQ(Cell(2, 5), "-1");

  Find<QComboBox>("ComboRegType")->setCurrentIndex(0); // coils
  EXPECT_EQ(ws->View.RegType, rtCoils);
  EXPECT_EQ(Cell(1, 3), "1");
  EXPECT_EQ(Cell(1, 4), "0");

  Find<QLineEdit>("TxtStartReg")->setText("3");
  EXPECT_EQ(ws->View.StartReg, 3);
  EXPECT_EQ(Cell(0, 1), "3");
  EXPECT_EQ(Cell(1, 1), "1");

  Find<QLineEdit>("TxtLength")->setText("7");
  EXPECT_EQ(ws->View.RegLength, 7);
  EXPECT_EQ(Cell(1, 7), "0");
  EXPECT_EQ(Cell(1, 8), "");

  // A two-register format makes an odd length even and shows it.
  readType->setCurrentIndex(3); // "Decimal Long"
  EXPECT_EQ(ws->View.RegLength, 8);
  EXPECT_EQ(Text("TxtLength"), "8");

  Find<QComboBox>("ComboRegType")->setCurrentIndex(3);
  Find<QLineEdit>("TxtStartReg")->setText("1");
  readType->setCurrentIndex(1);
  Find<QComboBox>("CboAddr")->setCurrentIndex(2);
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 3);
  EXPECT_EQ(Cell(1, 1), "42");
  EXPECT_TRUE(messages.empty());
}

TEST_F(MainFormTest, AddressItemsSelectTheirSlotByPositionWhenAddressesRepeat) {
  // Slots 2 and 4 share address 7, as the configuration dialog allows.
  ws->Devices.SlotAddress = {0, 1, 7, 3, 7, 5};
  form->FillAddressSelector();
  for (int s = 1; s <= kSlotCount; ++s) ws->SlotTables(s).HoldingRegTable[1] = 100 * s;
  form->DisplayRegs();
  QComboBox* addr = Find<QComboBox>("CboAddr");
  ASSERT_EQ(addr->count(), 5);

  // Down from the first item, as the keyboard chooses: every step is one choice.
  const struct {
    int slot;
    const char* shown;
  } steps[] = {{2, "200"}, {3, "300"}, {4, "400"}, {5, "500"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.slot);
    Press(addr, Qt::Key_Down);
    EXPECT_EQ(addr->currentIndex(), step.slot - 1);
    EXPECT_EQ(ws->Devices.ActiveSlot, step.slot);
    EXPECT_EQ(ws->Devices.DeviceAddress, ws->Devices.SlotAddress[static_cast<size_t>(step.slot)]);
    EXPECT_EQ(Cell(1, 1), step.shown);
  }

  // The fourth item chosen from the list: slot 4, not the first slot at 7.
  Press(addr, Qt::Key_Up);
  Press(addr, Qt::Key_Up);
  Press(addr, Qt::Key_Up); // item 2, slot 2 at address 7
  ASSERT_EQ(ws->Devices.ActiveSlot, 2);
  addr->showPopup();
  QAbstractItemView* list = addr->view();
  list->setCurrentIndex(addr->model()->index(3, 0));
  Press(list, Qt::Key_Return);
  EXPECT_EQ(addr->currentIndex(), 3);
  EXPECT_EQ(addr->currentText().toStdString(), "7");
  EXPECT_EQ(ws->Devices.ActiveSlot, 4);
  EXPECT_EQ(ws->Devices.DeviceAddress, 7);
  EXPECT_EQ(Cell(1, 1), "400");

  // Redrawing the mode keeps the chosen item; value entry writes slot 4.
  form->ModeDisplay();
  EXPECT_EQ(addr->currentIndex(), 3);
  Find<QLineEdit>("TxtInput")->setText("4321");
  Click("CmdWrite");
  EXPECT_EQ(ws->SlotTables(4).HoldingRegTable[1], 4321);
  EXPECT_EQ(ws->SlotTables(2).HoldingRegTable[1], 200);
  EXPECT_EQ(ws->Devices.ActiveSlot, 4);
  EXPECT_EQ(Cell(1, 1), "4321");

  // Typed text that is an item selects the first slot with that address.
  addr->setEditText("3");
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  addr->setEditText("9"); // no item: nothing changes
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 3);
  EXPECT_TRUE(messages.empty());
}

TEST_F(MainFormTest, PagesAndBlocksShowTheirView) {
  Find<QLineEdit>("TxtStartReg")->setText("200");
  Click("CmdSavePage"); // page 1 saved, page 2 shown
  EXPECT_EQ(Find<QLabel>("TxtPage")->text().toStdString(), "2");
  EXPECT_EQ(Text("TxtStartReg"), "1");
  Click("CmdPrevPage");
  EXPECT_EQ(Text("TxtStartReg"), "200");
  EXPECT_EQ(Cell(0, 1), "200");
  Click("CmdNextBlock");
  EXPECT_EQ(Text("TxtStartReg"), "300");
  EXPECT_EQ(Cell(0, 20), "319");
  Click("CmdPrevBlock");
  Click("CmdPrevBlock");
  Click("CmdPrevBlock");
  EXPECT_EQ(Text("TxtStartReg"), "1");
}

TEST_F(MainFormTest, EveryKeyInTheGridWarnsAndArrowsStillMoveAndApplyInput) {
  Find<QLineEdit>("TxtInput")->setText("77");
  QTableWidget* grid = Grid();

  Press(grid, Qt::Key_Down);
  ASSERT_EQ(messages, std::vector<std::string>{kKeyWarning});
  EXPECT_EQ(grid->currentRow(), 2);
  EXPECT_EQ(grid->currentColumn(), 1);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[2], 77);
  Press(grid, Qt::Key_Right);
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[22], 77);

  // A typed character warns once (not again when it reaches the cell editor),
  // and whatever is typed into the cell does not reach the store.
  Press(grid, Qt::Key_5, "5");
  EXPECT_EQ(messages.size(), 3u);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[22], 77);
  // The character opened the cell editor; keys typed inside it warn too.
  auto* editor = grid->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text().toStdString(), "5");
  Press(editor, Qt::Key_6, "6");
  EXPECT_EQ(messages.size(), 4u);
  for (const auto& m : messages) EXPECT_EQ(m, kKeyWarning);
  // The header row cannot be reached with the keyboard.
  grid->setCurrentCell(1, 1);
  Press(grid, Qt::Key_Up);
  EXPECT_EQ(grid->currentRow(), 1);
}

TEST_F(MainFormTest, NonNumericTextShowsTheConversionError) {
  Find<QLineEdit>("TxtLength")->setText("abc");
  ASSERT_EQ(messages, std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_EQ(ws->View.RegLength, 100);
  Find<QLineEdit>("TxtStartReg")->setText("1x");
  EXPECT_EQ(messages.back(), "'1x' is not a valid integer value");
  EXPECT_EQ(ws->View.StartReg, 1);

  // The ramp reads its edits at the tick: an error is shown, nothing changes.
  Find<QCheckBox>("ChkChangeVal")->setChecked(true);
  Find<QLineEdit>("TxtIncr")->setText("one");
  Find<QTimer>("Timer1")->timeout({});
  EXPECT_EQ(messages.back(), "'one' is not a valid integer value");
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 0);
}

TEST_F(MainFormTest, TheApplicationShowsWhatLeavesAnyEventHandler) {
  struct Throwing : QObject {
    bool event(QEvent*) override { throw std::runtime_error("handler failed"); }
  } target;
  QEvent e(QEvent::User);
  EXPECT_FALSE(QApplication::sendEvent(&target, &e));
  EXPECT_EQ(messages, std::vector<std::string>{"handler failed"});
}

TEST_F(MainFormTest, SlaveValueEntryStoresIntoTheWorkspace) {
  Find<QLineEdit>("TxtInput")->setText("65535");
  Click("CmdWrite"); // the selected cell is (1, 1) at start
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 65535);
  EXPECT_EQ(Cell(1, 1), "65535");

  Grid()->setCurrentCell(3, 2); // column 2, row 3: register 23
  EXPECT_EQ(ws->Ui.SelectedCol, 2);
  EXPECT_EQ(ws->Ui.SelectedRow, 3);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[23], 65535);

  Find<QLineEdit>("TxtInput")->setText("65536");
  Click("CmdWrite");
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[23], 65535);

  Find<QLineEdit>("TxtInput")->setText("-");
  Find<QComboBox>("ComboReadType")->setCurrentIndex(0);
  Click("CmdWrite");
  EXPECT_EQ(messages, std::vector<std::string>{"'-' is not a valid integer value"});
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[23], 65535);
  EXPECT_TRUE(sender.frames.empty());
}

TEST_F(MainFormTest, SlaveTimerRampsAndRedraws) {
  Find<QCheckBox>("ChkChangeVal")->setChecked(true);
  Find<QTimer>("Timer1")->timeout({});
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 1);
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[100], 100);
  EXPECT_EQ(Cell(5, 20), "100");

  // A write by a master into the store shows at the next tick.
  Find<QCheckBox>("ChkChangeVal")->setChecked(false);
  ws->SlotTables(1).HoldingRegTable[2] = 555;
  ws->Cycle.RegsChanged = 1;
  EXPECT_EQ(Cell(1, 2), "2");
  Find<QTimer>("Timer1")->timeout({});
  EXPECT_EQ(Cell(1, 2), "555");
  EXPECT_EQ(ws->Cycle.RegsChanged, 0);
}

TEST_F(MainFormTest, MasterButtonsActOnlyWithPollingOff) {
  BecomeMaster();
  EXPECT_EQ(Find<QLabel>("TxtRTUMode")->text().toStdString(), "Master - Binary");
  Click("CmdMasterRead");
  Click("CmdMasterWrite");
  EXPECT_TRUE(sender.frames.empty());

  Click("CmdPoll");
  EXPECT_EQ(ws->Cycle.PollEnabled, 0);
  EXPECT_FALSE(Find<QCheckBox>("ChkPoll")->isChecked());

  Click("CmdMasterRead");
  ASSERT_EQ(sender.frames.size(), 1u);
  EXPECT_EQ(sender.frames[0], Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x64, 0x44, 0x21}));
  EXPECT_EQ(Text("TxtStatus"), "Poll 1");

  // No reply: the time-out is reported once, ResponseTime after the request
  // has left (8 bytes at 9600 8N1: 8.3 ms on the line).
  ticks.Advance(9 + 400);
  Find<QTimer>("Timer2")->timeout({});
  EXPECT_EQ(Text("TxtStatus"), "Poll 1");
  ticks.Advance(1);
  Find<QTimer>("Timer2")->timeout({});
  EXPECT_EQ(Text("TxtStatus"), "Poll 1 Time Out occurred");
  Find<QLineEdit>("TxtStatus")->clear();
  Find<QTimer>("Timer2")->timeout({});
  EXPECT_EQ(Text("TxtStatus"), "");
}

TEST_F(MainFormTest, MasterWriteSendsTheCoilsTypedIntoTheGrid) {
  BecomeMaster();
  Click("CmdPoll");
  Find<QComboBox>("ComboRegType")->setCurrentIndex(0);
  Find<QLineEdit>("TxtLength")->setText("10");
  // With polling off, value entry only places the text into the cell.
  const char* cells[] = {"1", "0", "1", "1", "0", "0", "0", "0", "1", "1"};
  QLineEdit* input = Find<QLineEdit>("TxtInput");
  for (int r = 1; r <= 10; ++r) {
    input->setText(cells[r - 1]);
    Grid()->setCurrentCell(r, 1);
    Click("CmdWrite");
  }
  EXPECT_EQ(Cell(1, 3), "1");
  EXPECT_TRUE(sender.frames.empty());

  Click("CmdMasterWrite");
  ASSERT_EQ(sender.frames.size(), 1u);
  EXPECT_EQ(sender.frames[0], Bytes({0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x0D, 0x03, 0xA1, 0xA9}));
  EXPECT_EQ(Text("TxtStatus"), "Write -");

  // One cell that is no coil value cancels the whole write.
  input->setText("2");
  Grid()->setCurrentCell(5, 1);
  Click("CmdMasterWrite");
  EXPECT_EQ(sender.frames.size(), 1u);
}

TEST_F(MainFormTest, MasterWriteOfACellThatDoesNotConvertShowsWhyAndSendsNothing) {
  // Stored values outside 0..65535 (a ramp or a register file left them) are
  // shown as they stand; "Write" must not slide the later values up.
  AddressSlot& slot = ws->SlotTables(1);
  slot.HoldingRegTable[1] = 11;
  slot.HoldingRegTable[2] = 70000;
  slot.HoldingRegTable[3] = 33;
  BecomeMaster();
  Click("CmdPoll");
  Find<QLineEdit>("TxtLength")->setText("3");
  ASSERT_EQ(Cell(1, 2), "70000");
  Click("CmdMasterWrite");
  EXPECT_EQ(messages, std::vector<std::string>{"'70000' is not a valid integer value"});
  EXPECT_TRUE(sender.frames.empty());
  EXPECT_EQ(Text("TxtStatus"), "");

  // With that cell mended the whole view goes out, register for register.
  Find<QLineEdit>("TxtInput")->setText("22");
  Grid()->setCurrentCell(2, 1);
  Click("CmdMasterWrite");
  ASSERT_EQ(sender.frames.size(), 1u);
  std::string expected = Bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 11, 0x00, 22, 0x00, 33});
  frame::AppendCrc(expected);
  EXPECT_EQ(sender.frames[0], expected);
  EXPECT_EQ(Text("TxtStatus"), "Write -");
}

TEST_F(MainFormTest, MasterWithPollingOnSendsValueEntryAtOnce) {
  BecomeMaster();
  Find<QLineEdit>("TxtInput")->setText("10");
  Click("CmdWrite");
  ASSERT_EQ(sender.frames.size(), 1u);
  EXPECT_EQ(sender.frames[0], Bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x0A, 0x26, 0x57}));
  EXPECT_EQ(Text("TxtStatus"), "Write -");
  EXPECT_EQ(ws->SlotTables(1).HoldingRegTable[1], 0); // the device's value comes with the next poll
}

TEST_F(MainFormTest, HelpAndExitMenuCommands) {
  form->show();
  Find<QAction>("Help1")->trigger();
  EXPECT_EQ(messages, std::vector<std::string>{"HTML Help Does not appear to be installed"});
  Find<QAction>("Exit1")->trigger();
  EXPECT_FALSE(form->isVisible());
}

} // namespace
} // namespace korvane
