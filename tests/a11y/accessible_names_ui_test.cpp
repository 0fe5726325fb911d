// What assistive technology sees of the windows, on Qt's offscreen platform:
// every control has the name a person would say, labels are the buddies of the
// controls they name, mnemonics do not clash, the Tab order follows the layout,
// and the register grid tells its cells apart. (The announcement of value entry
// needs a live accessibility bridge: tests/a11y/atspi_probe.py checks it.)
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "app/ui/message_box.h"
#include "config/ui/config_form.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"
#include "monitor/ui/frm_line_analyzer.h"
#include "support/qt_test_support.h"

namespace korvane {
namespace {

[[maybe_unused]] ::testing::Environment* const kQtEnvironment = test::AddQtEnvironment("a11y_names_test");

// The name assistive technology gives a control. On Linux Qt names a combo box
// after its current text and links it to its label by a relation, from which
// screen readers take the name: so for a combo box, the label's name.
std::string AccessibleName(QObject* o) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
  if (iface == nullptr) return {};
  if (iface->role() == QAccessible::ComboBox)
    for (const auto& [label, relation] : iface->relations(QAccessible::Label))
      return label->text(QAccessible::Name).toStdString();
  return iface->text(QAccessible::Name).toStdString();
}

std::string WithoutMnemonic(QString text) {
  text.replace("&&", "\x01");
  text.remove('&');
  text.replace("\x01", "&");
  return text.toStdString();
}

bool TakesTabFocus(const QWidget* w) {
  return (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->isEnabled() && w->isVisibleTo(w->window()) &&
         !w->objectName().isEmpty() && !w->objectName().startsWith("qt_");
}

// The named controls in the order Tab visits them, starting from the first one.
std::vector<std::string> TabChain(QWidget* window) {
  std::vector<std::string> chain;
  QWidget* w = window;
  for (int guard = 0; guard < 500; ++guard) {
    w = w->nextInFocusChain();
    if (w == window) break;
    if (w->window() == window && TakesTabFocus(w)) chain.push_back(w->objectName().toStdString());
  }
  return chain;
}

// Mnemonic letters a window offers: its labels, buttons, group boxes and menu titles.
std::multimap<QChar, std::string> Mnemonics(QWidget* window) {
  std::multimap<QChar, std::string> letters;
  auto add = [&](const QString& text) {
    const qsizetype i = text.indexOf(QRegularExpression("&[^&]"));
    if (i >= 0) letters.emplace(text.at(i + 1).toLower(), text.toStdString());
  };
  for (QLabel* l : window->findChildren<QLabel*>()) add(l->text());
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) add(b->text());
  for (QGroupBox* g : window->findChildren<QGroupBox*>()) add(g->title());
  if (auto* mw = qobject_cast<QMainWindow*>(window))
    for (QAction* a : mw->menuBar()->actions()) add(a->text());
  return letters;
}

void ExpectNoMnemonicClash(QWidget* window) {
  const auto letters = Mnemonics(window);
  for (auto it = letters.begin(); it != letters.end(); ++it) {
    const auto next = std::next(it);
    if (next != letters.end() && next->first == it->first)
      ADD_FAILURE() << window->objectName().toStdString() << ": \"" << it->second << "\" and \""
                    << next->second << "\" share the mnemonic " << QString(it->first).toStdString();
  }
}

void ExpectEveryFocusableControlNamed(QWidget* window) {
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!TakesTabFocus(w)) continue;
    EXPECT_FALSE(AccessibleName(w).empty()) << window->objectName().toStdString() << ": "
                                            << w->objectName().toStdString() << " has no accessible name";
  }
}

// Each control's accessible name; where `label` is set, a label with that text
// (mnemonic aside) is the control's buddy, so the label's mnemonic moves the focus.
struct Named {
  const char* object;
  const char* name;
  bool label;
};

void ExpectNames(QWidget* window, const std::vector<Named>& table) {
  for (const Named& n : table) {
    auto* w = window->findChild<QWidget*>(n.object);
    ASSERT_NE(w, nullptr) << n.object;
    EXPECT_EQ(AccessibleName(w), n.name) << n.object;
    if (!n.label) continue;
    QLabel* buddyOf = nullptr;
    for (QLabel* l : window->findChildren<QLabel*>())
      if (l->buddy() == w) buddyOf = l;
    ASSERT_NE(buddyOf, nullptr) << n.object << " has no label for it";
    EXPECT_EQ(WithoutMnemonic(buddyOf->text()), n.name) << n.object;
  }
}

class WindowsTest : public ::testing::Test, public test::CapturedMessages {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    main = std::make_unique<TMainForm>(*ws, ticks);
    config = std::make_unique<TConfigForm>(*ws);
    comms = std::make_unique<TCommsForm>(*ws);
    modbus = std::make_unique<TFrmCommsModbus>(*ws);
    analyzer = std::make_unique<TFrmLineAnalyzer>(*ws, lineAnalyzer);
    for (QWidget* w : Windows()) w->show();
  }
  void TearDown() override {
    analyzer.reset();
    modbus.reset();
    comms.reset();
    config.reset();
    main.reset();
  }
  std::vector<QWidget*> Windows() {
    return {main.get(), config.get(), comms.get(), modbus.get(), analyzer.get()};
  }
  QTableWidget* Grid() { return main->findChild<QTableWidget*>("StringGrid1"); }

  FakeTickSource ticks;
  std::unique_ptr<Workspace> ws;
  std::unique_ptr<TMainForm> main;
  std::unique_ptr<TConfigForm> config;
  std::unique_ptr<TCommsForm> comms;
  std::unique_ptr<TFrmCommsModbus> modbus;
  LineAnalyzer lineAnalyzer;
  std::unique_ptr<TFrmLineAnalyzer> analyzer;
};

TEST_F(WindowsTest, MainWindowControlsHaveTheNamesOfTheirLabels) {
  ExpectNames(main.get(), {{"TxtStartReg", "Start Register", true},
                           {"TxtLength", "Length", true},
                           {"ComboRegType", "Variable Type", true},
                           {"ComboReadType", "Display As", true},
                           {"TxtStatus", "Status", true},
                           {"TxtRTUMode", "Mode", false},
                           {"CboAddr", "Address", true},
                           {"TxtPort", "Port", false},
                           {"TxtPage", "Page", false},
                           {"CmdNextPage", "Next Page", false},
                           {"CmdPrevPage", "Previous Page", false},
                           {"CmdSavePage", "Save Page", false},
                           {"CmdNextBlock", "Next Block", false},
                           {"CmdPrevBlock", "Previous Block", false},
                           {"TxtInput", "Input", true},
                           {"CmdWrite", "Rewrite", false},
                           {"CmdPoll", "Poll On/Off", false},
                           {"ChkPoll", "Polling", false},
                           {"CmdMasterRead", "Read", false},
                           {"CmdMasterWrite", "Write", false},
                           {"ChkChangeVal", "Change Values", false},
                           {"TxtLowLim", "Low Limit", true},
                           {"TxtHiLim", "High Limit", true},
                           {"TxtIncr", "Increment", true},
                           {"StringGrid1", "Registers", false}});
  // A display field is named by its caption and tells what it shows in its description.
  auto description = [&](const char* name) {
    return QAccessible::queryAccessibleInterface(main->findChild<QWidget*>(name))
        ->text(QAccessible::Description)
        .toStdString();
  };
  EXPECT_EQ(description("TxtPort"), "InActive");
  EXPECT_EQ(description("TxtRTUMode"), "Slave - Binary");
  EXPECT_EQ(description("TxtPage"), "1");
  main->findChild<QPushButton*>("CmdNextPage")->click();
  EXPECT_EQ(description("TxtPage"), "2");
}

TEST_F(WindowsTest, ConfigurationControlsHaveTheNamesOfTheirLabels) {
  ExpectNames(config.get(), {{"ChkPort", "Port Active", false},
                             {"ComboPort", "Com Port", true},
                             {"ComboBaud", "BaudRate", true},
                             {"ComboData", "Data Bits", true},
                             {"ComboParity", "Parity", true},
                             {"ComboStop", "Stop Bits", true},
                             {"ChkRs485", "RS-485 Direction Control", false},
                             {"OptRTU", "Binary/RTU", false},
                             {"OptASCII", "ASCII", false},
                             {"OptMaster", "Master", false},
                             {"OptSlave", "Slave", false},
                             {"ChkListen", "Listen only", false},
                             {"TxtPollTime", "Poll Time 1-30 Sec", true},
                             {"TxtResponseTime", "Response Time mSec", true},
                             {"TxtAddr1", "Address 1", false},
                             {"TxtAddr2", "Address 2", false},
                             {"TxtAddr3", "Address 3", false},
                             {"TxtAddr4", "Address 4", false},
                             {"TxtAddr5", "Address 5", false},
                             {"OptAddr1", "Address 1", false},
                             {"OptAddr5", "Address 5", false},
                             {"ChkSingleReg", "Function 6 For Single Registers", false},
                             {"CmdExit", "Exit", false}});
}

TEST_F(WindowsTest, LineAnalyzerControlsHaveTheNamesOfTheirLabels) {
  ExpectNames(analyzer.get(), {{"SpnDevice", "Device", true},
                               {"CboFunction", "Function", true},
                               {"ChkErrors", "Errors only", false},
                               {"ChkPause", "Pause", false},
                               {"ChkFollow", "Follow", false},
                               {"CmdExport", "Export CSV", false},
                               {"TblFrames", "Frames", true},
                               {"MemoBytes", "Frame Bytes", true},
                               {"MemoFields", "Decoded Fields", true},
                               {"TblStats", "Statistics", true},
                               {"CmdResetStats", "Reset Statistics", false},
                               {"CmdExit", "Exit", false}});
  // Tab leaves the tables instead of walking their cells; the arrow keys move in them.
  for (const char* table : {"TblFrames", "TblStats"})
    EXPECT_FALSE(analyzer->findChild<QAbstractItemView*>(table)->tabKeyNavigation()) << table;
}

TEST_F(WindowsTest, EveryFocusableControlIsNamedAndNoMnemonicClashes) {
  for (QWidget* w : Windows()) {
    ExpectEveryFocusableControlNamed(w);
    ExpectNoMnemonicClash(w);
  }
  // The menu keeps its accelerators: Alt+F, Alt+C, Alt+O, Alt+H.
  std::vector<std::string> titles;
  for (QAction* a : main->menuBar()->actions()) titles.push_back(a->text().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"&File", "&Configure", "C&ommunications", "&Help"}));
}

TEST_F(WindowsTest, TabOrderFollowsTheLayout) {
  EXPECT_EQ(TabChain(main.get()),
            (std::vector<std::string>{"TxtStartReg",    "TxtLength",    "ComboRegType", "ComboReadType",
                                      "TxtStatus",      "CboAddr",      "StringGrid1",  "CmdNextPage",
                                      "CmdPrevPage",    "CmdSavePage",  "CmdNextBlock", "CmdPrevBlock",
                                      "TxtInput",       "CmdWrite",     "CmdPoll",      "CmdMasterRead",
                                      "CmdMasterWrite", "ChkChangeVal", "TxtLowLim",    "TxtHiLim",
                                      "TxtIncr"}));
  EXPECT_EQ(TabChain(config.get()),
            (std::vector<std::string>{
                "ChkPort",      "ComboPort",       "ComboBaud", "ComboData", "ComboParity", "ComboStop",
                "ChkRs485",     "OptRTU",          "OptASCII",  "OptMaster", "OptSlave",    "ChkListen",
                "TxtPollTime",  "TxtResponseTime", "TxtAddr1",  "OptAddr1",  "TxtAddr2",    "OptAddr2",
                "TxtAddr3",     "OptAddr3",        "TxtAddr4",  "OptAddr4",  "TxtAddr5",    "OptAddr5",
                "ChkSingleReg", "CmdExit"}));
  EXPECT_EQ(TabChain(analyzer.get()),
            (std::vector<std::string>{"SpnDevice", "CboFunction", "ChkErrors", "ChkPause", "ChkFollow",
                                      "CmdExport", "TblFrames", "MemoBytes", "MemoFields", "TblStats",
                                      "CmdResetStats", "CmdExit"}));
}

// Header cells say they are headers; a value cell says which register it shows.
TEST_F(WindowsTest, GridCellsExposeTheirTextAndTheirRegister) {
  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(Grid());
  ASSERT_NE(grid, nullptr);
  QAccessibleTableInterface* table = grid->tableInterface();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->rowCount(), 21);
  EXPECT_EQ(table->columnCount(), 6);
  auto cell = [&](int row, int col) { return table->cellAt(row, col); };
  EXPECT_EQ(cell(0, 0)->text(QAccessible::Name).toStdString(), "REGISTER");
  EXPECT_EQ(cell(0, 2)->text(QAccessible::Name).toStdString(), "+20");
  EXPECT_EQ(cell(0, 2)->text(QAccessible::Description).toStdString(), "column heading");
  EXPECT_EQ(cell(3, 0)->text(QAccessible::Name).toStdString(), "3");
  EXPECT_EQ(cell(3, 0)->text(QAccessible::Description).toStdString(), "row heading");
  EXPECT_EQ(cell(3, 2)->text(QAccessible::Name).toStdString(), "0");
  EXPECT_EQ(cell(3, 2)->text(QAccessible::Description).toStdString(), "Register 23");

  // The description follows the view.
  main->findChild<QLineEdit*>("TxtStartReg")->setText("101");
  EXPECT_EQ(cell(3, 2)->text(QAccessible::Description).toStdString(), "Register 123");
}

// The window icon is the program's own SVG, carried inside the program.
TEST_F(WindowsTest, MainWindowShowsTheProgramIcon) {
  QFile embedded(":/korvane/korvane.svg");
  ASSERT_TRUE(embedded.open(QIODevice::ReadOnly));
  QFile source(KORVANE_SOURCE_DIR "/packaging/korvane.svg");
  ASSERT_TRUE(source.open(QIODevice::ReadOnly));
  EXPECT_EQ(embedded.readAll(), source.readAll());
  const QIcon icon = main->windowIcon();
  ASSERT_FALSE(icon.isNull());
  const QImage image = icon.pixmap(32, 32).toImage();
  ASSERT_FALSE(image.isNull()) << "no SVG icon engine (package libqt6svg6)";
  // The middle of the picture is the highlighted register: orange, not blank.
  const QColor centre = image.pixelColor(image.width() / 2, image.height() * 25 / 64);
  EXPECT_GT(centre.red(), 200);
  EXPECT_LT(centre.blue(), 100);
}

} // namespace
} // namespace korvane
