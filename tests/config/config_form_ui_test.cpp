// The configuration dialog and the main window's register file commands on
// Qt's offscreen platform, with the real port control over the serial
// component's fake device.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/int_conv.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "app/ui/message_box.h"
#include "config/core/register_file.h"
#include "config/ui/config_form.h"
#include "monitor/core/line_analyzer.h"
#include "serial/control/port_control.h"
#include "serial/event_invoker.h"
#include "serial/platform/fake_backend.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"
#include "support/fake_sysfs.h"
#include "support/files.h"
#include "support/qt_test_support.h"
#include "support/recording_sender.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

[[maybe_unused]] ::testing::Environment* const kQtEnvironment = test::AddQtEnvironment("config_form_ui_test");

std::vector<std::string> Items(const QComboBox* c) {
  std::vector<std::string> v;
  for (int i = 0; i < c->count(); ++i) v.push_back(c->itemText(i).toStdString());
  return v;
}

using test::ReadFile;
using test::WriteFile;

// The main window, port control on a fake device, and the dialog, wired as
// the program wires them. COM5 maps to a present device, COM7 to an absent one.
class ConfigWindowsTest : public ::testing::Test, public test::CapturedMessages {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvane-configui-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_directory(dir + "/sys");
    fs::create_directory(dir + "/dev");
    ports = std::make_unique<PortMap>(dir + "/sys", dir + "/dev");
    WriteFile(dir + "/com5", "");
    ports->SetPortOverride(5, dir + "/com5");
    ports->SetPortOverride(7, dir + "/com7");

    ws = MakeWorkspace();
    main = std::make_unique<TMainForm>(*ws, ticks);
    serial = std::make_unique<TSerialPort>(invoker, backend, *ports);
    port = std::make_unique<PortControl>(*ws, *serial, ticks, *main);
    main->AttachPortControl(port.get());
    config = std::make_unique<TConfigForm>(*ws, *ports);
    config->Attach(main.get(), port.get());
    main->AttachWindows(config.get(), nullptr, nullptr);
  }
  void TearDown() override {
    config.reset();
    port.reset();
    serial.reset();
    main.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  template <class W> W* Find(const char* name) { return test::Child<W>(config.get(), name); }
  template <class W> W* FindMain(const char* name) { return test::Child<W>(main.get(), name); }
  std::string Text(const char* name) { return Find<QLineEdit>(name)->text().toStdString(); }
  void Type(const char* name, const char* text) { Find<QLineEdit>(name)->setText(text); }
  std::string ComboText(const char* name) { return Find<QComboBox>(name)->currentText().toStdString(); }
  void TypeCombo(const char* name, const char* text) { Find<QComboBox>(name)->setEditText(text); }
  bool Checked(const char* name) { return Find<QAbstractButton>(name)->isChecked(); }
  void Check(const char* name, bool on = true) { Find<QAbstractButton>(name)->setChecked(on); }
  // The dialog becomes the active window, coming from the main window.
  void Activate() {
    Send(main.get(), QEvent::WindowDeactivate);
    Send(main.get(), QEvent::WindowActivate);
    Send(config.get(), QEvent::WindowActivate);
  }
  static void Send(QWidget* w, QEvent::Type type) {
    QEvent e(type);
    QApplication::sendEvent(w, &e);
  }
  void ClickExit() { Find<QPushButton>("CmdExit")->click(); }
  std::string MainLabel(const char* name) { return FindMain<QLabel>(name)->text().toStdString(); }
  QComboBox* CboAddr() { return FindMain<QComboBox>("CboAddr"); }
  int PollInterval() { return FindMain<QTimer>("Timer1")->interval(); }
  std::string Cell(int col, int row) {
    return FindMain<QTableWidget>("StringGrid1")->item(row, col)->text().toStdString();
  }
  // Opens COM5 as "Exit" with "Port Active" does.
  void OpenPort() {
    port->OpenComm(5, 1024, 1024, 9600, 8, 0, 1);
    port->PortActivate();
    ASSERT_EQ(ws->Settings.PortActive, 1);
  }

  std::string dir;
  std::unique_ptr<PortMap> ports;
  std::unique_ptr<Workspace> ws;
  FakeTickSource ticks{1000};
  DirectInvoker invoker;
  FakeBackend backend;
  std::unique_ptr<TMainForm> main;
  std::unique_ptr<TSerialPort> serial;
  std::unique_ptr<PortControl> port;
  std::unique_ptr<TConfigForm> config;
};

TEST_F(ConfigWindowsTest, ControlsCaptionsAndGroups) {
  EXPECT_EQ(config->windowTitle().toStdString(), "Configuration");
  EXPECT_FALSE(config->isModal());
  EXPECT_FALSE(config->isVisible());
  EXPECT_EQ(TConfigForm::kHelpContext, 30);
  std::vector<std::string> groups;
  for (const QGroupBox* g : config->findChildren<QGroupBox*>()) groups.push_back(g->title().toStdString());
  EXPECT_EQ(groups, (std::vector<std::string>{"Serial Port", "Mode", "Master/Slave", "Addresses",
                                              "Write To Registers"}));
  const std::pair<const char*, const char*> captions[] = {
      {"ChkPort", "Port Active"},  {"OptRTU", "Binary/RTU"},
      {"OptASCII", "ASCII"},       {"OptMaster", "Master"},
      {"OptSlave", "Slave"},       {"ChkSingleReg", "Function 6 For Single Registers"},
      {"CmdExit", "Exit"},         {"ChkRs485", "RS-485 Direction Control"},
      {"ChkListen", "Listen only"}};
  for (const auto& [name, caption] : captions)
    EXPECT_EQ(Find<QAbstractButton>(name)->text().toStdString(), caption) << name;
  EXPECT_EQ(Find<QCheckBox>("ChkPort")->layoutDirection(), Qt::RightToLeft);
  std::vector<std::string> labels;
  for (const QLabel* l : config->findChildren<QLabel*>()) labels.push_back(l->text().toStdString());
  for (const char* l : {"Com Port", "BaudRate", "Data Bits", "Parity", "Stop Bits", "Poll Time 1-30 Sec",
                        "Response Time mSec"})
    EXPECT_NE(std::find(labels.begin(), labels.end(), l), labels.end()) << l;
  for (const char* name : {"ComboPort", "ComboBaud", "ComboData", "ComboParity", "ComboStop"})
    EXPECT_TRUE(Find<QComboBox>(name)->isEditable()) << name;
  EXPECT_EQ(Find<QComboBox>("ComboPort")->maxVisibleItems(), 10);
  EXPECT_EQ(Find<QComboBox>("ComboBaud")->maxVisibleItems(), 10);
  // The five address buttons are one group: choosing one drops the other.
  QButtonGroup* group = Find<QRadioButton>("OptAddr1")->group();
  ASSERT_NE(group, nullptr);
  for (const char* name : {"OptAddr2", "OptAddr3", "OptAddr4", "OptAddr5"})
    EXPECT_EQ(Find<QRadioButton>(name)->group(), group) << name;
  Check("OptAddr4");
  EXPECT_FALSE(Checked("OptAddr1"));
  EXPECT_EQ(Find<QAbstractButton>("OptAddr4")->text().toStdString(), "");
}

TEST_F(ConfigWindowsTest, CreationLoadsOnceAndEveryActivationReloads) {
  // At creation: the port list without a text, the lists filled, the slot
  // addresses shown, "Function 6" unchecked.
  EXPECT_EQ(Items(Find<QComboBox>("ComboPort")), std::vector<std::string>{"5"});
  EXPECT_EQ(ComboText("ComboPort"), "");
  EXPECT_EQ(Items(Find<QComboBox>("ComboBaud")),
            (std::vector<std::string>{"2400", "4800", "9600", "19200", "38400", "57600", "115200"}));
  EXPECT_EQ(Items(Find<QComboBox>("ComboData")), (std::vector<std::string>{"7", "8"}));
  EXPECT_EQ(Items(Find<QComboBox>("ComboParity")), (std::vector<std::string>{"N", "E", "O"}));
  EXPECT_EQ(Items(Find<QComboBox>("ComboStop")), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ComboText("ComboBaud"), "9600");
  EXPECT_EQ(Text("TxtResponseTime"), "400");
  EXPECT_EQ(Text("TxtAddr5"), "5");
  EXPECT_TRUE(Checked("OptAddr1"));
  EXPECT_TRUE(Checked("OptRTU"));
  EXPECT_TRUE(Checked("OptSlave"));

  ws->Settings.RtuMode = fmAscii;
  ws->Settings.IsMaster = roMaster;
  ws->Settings.SingleRegWrite = 1;
  ws->Settings.PollTime = 12;
  ws->Settings.ResponseTime = 1500;
  ws->Devices.SlotAddress = {0, 31, 32, 33, 34, 35};
  ws->Devices.ActiveSlot = 3;
  ws->Settings.CommPort = 7;
  ws->Settings.BaudRate = 1000;
  ws->Settings.DataBits = db7Bits;
  ws->Settings.Parity = "E";
  ws->Settings.StopBits = st2Bits;
  Activate();
  EXPECT_TRUE(Checked("OptASCII"));
  EXPECT_TRUE(Checked("OptMaster"));
  EXPECT_TRUE(Checked("ChkSingleReg"));
  EXPECT_FALSE(Checked("ChkPort"));
  EXPECT_EQ(Text("TxtPollTime"), "12");
  EXPECT_EQ(Text("TxtResponseTime"), "400"); // given at creation only
  EXPECT_EQ(Text("TxtAddr1"), "31");
  EXPECT_EQ(Text("TxtAddr3"), "33");
  EXPECT_TRUE(Checked("OptAddr3"));
  EXPECT_FALSE(Checked("OptAddr1"));
  EXPECT_EQ(ComboText("ComboPort"), "7"); // not among the present ports, shown all the same
  EXPECT_EQ(Items(Find<QComboBox>("ComboPort")), std::vector<std::string>{"5"});
  EXPECT_EQ(ComboText("ComboBaud"), "1000");
  EXPECT_EQ(Items(Find<QComboBox>("ComboBaud")).size(), 7u);
  EXPECT_EQ(ComboText("ComboData"), "7");
  EXPECT_EQ(ComboText("ComboParity"), "E");
  EXPECT_EQ(ComboText("ComboStop"), "2");
  EXPECT_EQ(Find<QLabel>("LblPortDevice")->text().toStdString(), dir + "/com7");

  // Typed but not taken over: lost at the next activation, except the
  // response time.
  Type("TxtPollTime", "29");
  Type("TxtAddr2", "99");
  Type("TxtResponseTime", "1999");
  Check("OptAddr5");
  TypeCombo("ComboParity", "O");
  Activate();
  EXPECT_EQ(Text("TxtPollTime"), "12");
  EXPECT_EQ(Text("TxtAddr2"), "32");
  EXPECT_EQ(Text("TxtResponseTime"), "1999");
  EXPECT_TRUE(Checked("OptAddr3"));
  EXPECT_EQ(ComboText("ComboParity"), "E");

  ws->Settings.PortActive = 1;
  Activate();
  EXPECT_TRUE(Checked("ChkPort"));
}

TEST_F(ConfigWindowsTest, ReturnFromAnotherApplicationKeepsTheEdits) {
  config->show();
  Activate();
  Type("TxtPollTime", "29");
  Check("OptAddr5");
  // Deactivated and activated again with no other window of the program in
  // between: the user went to another application and came back.
  Send(config.get(), QEvent::WindowDeactivate);
  Send(config.get(), QEvent::WindowActivate);
  EXPECT_EQ(Text("TxtPollTime"), "29");
  EXPECT_TRUE(Checked("OptAddr5"));
  // Coming from the main window reloads them.
  Activate();
  EXPECT_EQ(Text("TxtPollTime"), std::to_string(ws->Settings.PollTime));
  EXPECT_TRUE(Checked("OptAddr1"));
  // So does showing the dialog again after closing it by its frame.
  Type("TxtPollTime", "28");
  config->close();
  config->show();
  Send(config.get(), QEvent::WindowActivate);
  EXPECT_EQ(Text("TxtPollTime"), std::to_string(ws->Settings.PollTime));
}

TEST_F(ConfigWindowsTest, DeviceLabelFollowsThePortNumber) {
  QLabel* device = Find<QLabel>("LblPortDevice");
  const std::pair<const char*, std::string> cases[] = {
      {"5", dir + "/com5"}, {"7", dir + "/com7"}, {"8", "no device"},  {"", "no device"},
      {"x", "no device"},   {"0", "no device"},   {"100", "no device"}};
  for (const auto& [typed, shown] : cases) {
    TypeCombo("ComboPort", typed);
    EXPECT_EQ(device->text().toStdString(), shown) << "'" << typed << "'";
  }
  Find<QComboBox>("ComboPort")->setCurrentIndex(0); // picking the item "5"
  EXPECT_EQ(device->text().toStdString(), dir + "/com5");
}

TEST_F(ConfigWindowsTest, ExitTakesOverOpensRefreshesAndHides) {
  ws->SlotTables(3).HoldingRegTable[1] = 77;
  config->show();
  Activate();
  TypeCombo("ComboPort", "5");
  Check("ChkPort");
  Check("OptMaster");
  Check("OptAddr3");
  Type("TxtAddr3", "30");
  Type("TxtPollTime", "30");
  TypeCombo("ComboStop", "3");
  ClickExit();
  EXPECT_TRUE(messages.empty()) << messages.front();
  EXPECT_FALSE(config->isVisible());
  EXPECT_EQ(ws->Devices.ActiveSlot, 3);
  EXPECT_EQ(ws->Devices.DeviceAddress, 30);
  EXPECT_EQ(ws->Settings.StopBits, 3);
  // The port is open on COM5's device and greeted the line.
  EXPECT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(MainLabel("TxtPort"), "Active");
  ASSERT_FALSE(backend.Opened().empty());
  EXPECT_EQ(backend.Opened().back(), dir + "/com5");
  EXPECT_EQ(backend.Written().substr(0, 9), "Open Port");
  // The main window follows.
  EXPECT_EQ(PollInterval(), 30000);
  EXPECT_EQ(MainLabel("TxtRTUMode"), "Master - Binary");
  EXPECT_EQ(Items(CboAddr()), (std::vector<std::string>{"1", "2", "30", "4", "5"}));
  EXPECT_EQ(CboAddr()->currentText().toStdString(), "30");
  EXPECT_EQ(Cell(1, 1), "77");

  // Again with "Port Active" unchecked: the port ends closed.
  config->show();
  Activate();
  EXPECT_TRUE(Checked("ChkPort"));
  Check("ChkPort", false);
  const int closes = backend.Closes();
  ClickExit();
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(MainLabel("TxtPort"), "InActive");
  EXPECT_GT(backend.Closes(), closes);
  EXPECT_EQ(backend.OpenHandles(), 0);
}

TEST_F(ConfigWindowsTest, Rs485BoxReachesTheDriverAndTheDriversChangesAreShown) {
  backend.SetReadBack(true, 4800); // a UART that cannot go faster
  config->show();
  Activate();
  EXPECT_FALSE(Checked("ChkRs485"));
  TypeCombo("ComboPort", "5");
  TypeCombo("ComboBaud", "9600");
  Check("ChkPort");
  Check("ChkRs485");
  ClickExit();
  ASSERT_TRUE(messages.empty()) << messages.front();
  EXPECT_TRUE(ws->Run.Rs485);
  ASSERT_FALSE(backend.Rs485States().empty());
  EXPECT_TRUE(backend.Rs485States().back().Enabled);
  // "Active", and the Port field says what the driver made of the settings.
  QLabel* field = FindMain<QLabel>("TxtPort");
  EXPECT_EQ(field->text().toStdString(), "Active");
  const std::string detail = "COM5: the driver took 4800 baud instead of 9600";
  EXPECT_EQ(field->toolTip().toStdString(), detail);
  EXPECT_EQ(field->accessibleDescription().toStdString(), "Active - " + detail);
  // The box shows the option again at the next activation; closing drops the detail.
  config->show();
  Activate();
  EXPECT_TRUE(Checked("ChkRs485"));
  Check("ChkPort", false);
  ClickExit();
  EXPECT_EQ(field->toolTip().toStdString(), "");
  EXPECT_EQ(field->accessibleDescription().toStdString(), "InActive");
}

// "Listen only" opens the port writing nothing (no "Open Port"), the mode
// field says so, and the box shows the option again at the next activation.
// Unchecked, the same "Exit" writes the banner.
TEST_F(ConfigWindowsTest, ListenBoxOpensThePortSilentlyAndTheModeSaysSo) {
  config->show();
  for (const bool listen : {true, false}) {
    SCOPED_TRACE(listen ? "listening" : "not listening");
    Activate();
    EXPECT_EQ(Checked("ChkListen"), !listen);
    TypeCombo("ComboPort", "5");
    Check("ChkPort");
    Check("ChkListen", listen);
    const std::string before = backend.Written();
    ClickExit();
    ASSERT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(ws->Run.ListenOnly, listen);
    EXPECT_EQ(MainLabel("TxtPort"), "Active");
    EXPECT_EQ(backend.Written(), before + (listen ? "" : PortControl::kOpenBanner));
    EXPECT_EQ(MainLabel("TxtRTUMode"), listen ? "Listen Only - Binary" : "Slave - Binary");
    config->show();
  }
}

TEST(ConfigPortList, EachPortSaysWhatItIs) {
  test::FakeSysfs tree("configui");
  PortMap ports(tree.ClassTtyDir(), tree.Dev().string());
  auto ws = MakeWorkspace();
  TConfigForm form(*ws, ports);
  form.SetPortInfoRoots({tree.Sys().string(), tree.Dev().string()});
  auto* combo = test::Child<QComboBox>(&form, "ComboPort");
  auto* info = test::Child<QLabel>(&form, "LblPortInfo");
  // The items stay the numbers; their tool tips name the device.
  EXPECT_EQ(Items(combo), (std::vector<std::string>{"1", "33", "65"}));
  const std::string tip = combo->itemData(1, Qt::ToolTipRole).toString().toStdString();
  EXPECT_EQ(tip.rfind((tree.Dev() / "ttyUSB0").string() + "\n" + test::FakeSysfs::kFtdiById + "\n", 0), 0u)
      << tip;
  EXPECT_NE(tip.find("driver ftdi_sio"), std::string::npos) << tip;
  EXPECT_NE(tip.find("latency timer 16 ms"), std::string::npos) << tip;

  const PortInfoRoots roots{tree.Sys().string(), tree.Dev().string()};
  const std::string ftdiAdvice = LatencyAdvice(DescribePort(ports, 33, roots));
  const std::pair<const char*, std::string> cases[] = {
      {"33", std::string(test::FakeSysfs::kFtdiById) +
                 "\nFTDI FT232R USB UART, serial A50285BI (0403:6001), driver ftdi_sio\n" + ftdiAdvice},
      {"1", "driver serial"},
      {"65", "Arduino (www.arduino.cc) Arduino Uno, serial 7583 (2341:0043), driver cdc_acm"},
      {"9", ""}};
  for (const auto& [typed, shown] : cases) {
    combo->setEditText(typed);
    EXPECT_EQ(info->text().toStdString(), shown) << typed;
    EXPECT_EQ(info->isVisibleTo(&form), !shown.empty()) << typed;
  }
  // With the timer at 1 ms nothing needs saying about it.
  tree.SetLatency("1\n");
  combo->setEditText("33");
  EXPECT_EQ(info->text().toStdString().find("latency"), std::string::npos);
}

TEST_F(ConfigWindowsTest, NonNumericBoxStopsExitWithTheDialogOpen) {
  OpenPort();
  config->show();
  Activate();
  Check("OptMaster");
  Check("ChkPort");
  TypeCombo("ComboBaud", "19200");
  Type("TxtPollTime", "abc");
  Type("TxtAddr1", "9");
  ClickExit();
  EXPECT_EQ(messages, std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_TRUE(config->isVisible());
  EXPECT_EQ(Text("TxtPollTime"), "abc");
  // Taken over before the poll time, with the port closed...
  EXPECT_EQ(ws->Settings.IsMaster, roMaster);
  EXPECT_EQ(ws->Settings.BaudRate, 19200);
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(MainLabel("TxtPort"), "InActive");
  // ...and nothing after it: no addresses, no reopening, no refresh.
  EXPECT_EQ(ws->Devices.SlotAddress[1], 1);
  EXPECT_EQ(backend.OpenHandles(), 0);
  EXPECT_EQ(PollInterval(), 5000);
  EXPECT_EQ(MainLabel("TxtRTUMode"), "Slave - Binary");
}

TEST_F(ConfigWindowsTest, TheBoxOfAPortThatCannotOpenSaysWhy) {
  backend.SetOpenError(EBUSY);
  config->show();
  Activate();
  TypeCombo("ComboPort", "5");
  Check("ChkPort");
  // A real box this time: looked at while it is up, then closed (at most
  // 500 looks, 10 ms apart).
  const MessageSink sink = SetMessageSink({});
  std::string text, reason;
  int looks = 0;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr && ++looks < 500) return;
    look.stop();
    if (box == nullptr) return;
    text = box->text().toStdString();
    reason = box->informativeText().toStdString();
    box->accept();
  });
  look.start(10);
  ClickExit();
  look.stop();
  SetMessageSink(sink);
  EXPECT_EQ(text, "Cannot connect to COM5.");
  EXPECT_EQ(reason, dir + "/com5: in use by another program");
  EXPECT_EQ(ws->Settings.PortActive, 0);
}

TEST_F(ConfigWindowsTest, PortThatCannotOpenStopsAfterTheSettings) {
  backend.SetOpenError(EACCES);
  config->show();
  Activate();
  TypeCombo("ComboPort", "5");
  Check("ChkPort");
  Type("TxtPollTime", "20");
  Type("TxtAddr1", "40");
  ClickExit();
  // The message as it is, and why on its second line.
  EXPECT_EQ(messages, std::vector<std::string>{"Cannot connect to COM5.\n" + dir +
                                               "/com5: permission denied; add your user to the dialout group "
                                               "(then log in again)"});
  EXPECT_TRUE(config->isVisible());
  EXPECT_EQ(ws->Settings.PollTime, 20);
  EXPECT_EQ(ws->Devices.DeviceAddress, 40);
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(MainLabel("TxtPort"), "InActive");
  EXPECT_EQ(PollInterval(), 5000);
  EXPECT_EQ(CboAddr()->currentText().toStdString(), "1");
}

TEST_F(ConfigWindowsTest, ClosingByTheFrameOrEscapeTakesNothingOver) {
  OpenPort();
  config->show();
  Activate();
  Type("TxtPollTime", "20");
  Check("ChkPort", false);
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(Find<QLineEdit>("TxtPollTime"), &escape);
  EXPECT_TRUE(config->isVisible());
  config->close();
  EXPECT_FALSE(config->isVisible());
  EXPECT_EQ(ws->Settings.PollTime, 5);
  EXPECT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(backend.OpenHandles(), 1);
}

// Coming back from a message box of the dialog's own (the error of "Exit") is
// no new activation: the user's entries stay so they can be corrected.
TEST_F(ConfigWindowsTest, ReturnFromOwnMessageBoxKeepsTheEntries) {
  main->show();
  config->show();
  QApplication::setActiveWindow(config.get());
  ASSERT_EQ(QApplication::activeWindow(), config.get());
  Type("TxtAddr1", "99");
  QMessageBox box(QMessageBox::Warning, "", "'x' is not a valid integer value", QMessageBox::Ok,
                  config.get());
  box.show();
  QApplication::setActiveWindow(&box);
  ASSERT_EQ(QApplication::activeWindow(), &box);
  box.hide();
  QApplication::setActiveWindow(config.get());
  EXPECT_EQ(Text("TxtAddr1"), "99");
  // Through the main window and back it is a new activation.
  QApplication::setActiveWindow(main.get());
  QApplication::setActiveWindow(config.get());
  EXPECT_EQ(Text("TxtAddr1"), "1");
}

// --- The main window's register file commands ------------------------------------

TEST_F(ConfigWindowsTest, LoadAppliesTheFileToTheWindowAndClosesThePort) {
  auto src = MakeWorkspace();
  src->Settings.IsMaster = roMaster;
  src->Settings.RtuMode = fmAscii;
  src->Settings.PollTime = 7;
  src->Devices.SlotAddress = {0, 17, 2, 3, 4, 5};
  src->View.PageTable[1] = Page{11, 40, rtInputRegs, dtDecimal}; // input registers from 11, decimal
  src->SlotTables(1).InputRegTable[11] = 255;
  src->SlotTables(1).InputRegTable[12] = 65535;
  const std::string path = dir + "/image.txt";
  SaveRegisterFile(*src, path);

  OpenPort();
  main->LoadRegisterFileFrom(path);
  EXPECT_EQ(ws->Settings.IsMaster, roMaster);
  EXPECT_EQ(ws->View.StartReg, 11);
  EXPECT_EQ(ws->View.RegType, rtInputRegs);
  EXPECT_EQ(MainLabel("TxtRTUMode"), "Master - ASCII");
  EXPECT_EQ(FindMain<QLineEdit>("TxtStartReg")->text().toStdString(), "11");
  EXPECT_EQ(FindMain<QComboBox>("ComboRegType")->currentText().toStdString(), "Input Registers 3xxxx");
  EXPECT_EQ(Cell(1, 1), "255");
  EXPECT_EQ(Cell(1, 2), "65535");
  EXPECT_EQ(PollInterval(), 7000);
  // The address selector shows the new device address; its items stay.
  EXPECT_EQ(CboAddr()->currentText().toStdString(), "17");
  EXPECT_EQ(Items(CboAddr()), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(ws->Settings.PortActive, 0);
  EXPECT_EQ(MainLabel("TxtPort"), "InActive");
  EXPECT_EQ(backend.OpenHandles(), 0);

  // "&Save" writes what the workspace holds.
  const std::string saved = dir + "/saved.txt";
  main->SaveRegisterFileTo(saved);
  EXPECT_EQ(ReadFile(saved), RegisterFileText(*ws));
}

TEST_F(ConfigWindowsTest, BadFileChangesNothing) {
  ws->SlotTables(1).HoldingRegTable[1] = 42;
  main->DisplayRegs();
  OpenPort();
  const std::string bad = dir + "/bad.txt";
  // Settings that would change much, then a port line that is no number.
  WriteFile(bad, "MASTER\r\nASCII\r\nCOM2\r\n19200\r\n");
  try {
    main->LoadRegisterFileFrom(bad);
    ADD_FAILURE() << "no error";
  } catch (const ConversionError& e) {
    EXPECT_EQ(std::string(e.what()), "'COM2' is not a valid integer value");
  }
  try {
    main->LoadRegisterFileFrom(dir + "/missing.txt");
    ADD_FAILURE() << "no error";
  } catch (const RegisterFileError& e) {
    EXPECT_EQ(std::string(e.what()), "File not found");
  }
  EXPECT_EQ(ws->Settings.IsMaster, roSlave);
  EXPECT_EQ(ws->Settings.RtuMode, fmRtu);
  EXPECT_EQ(MainLabel("TxtRTUMode"), "Slave - Binary");
  EXPECT_EQ(Cell(1, 1), "42");
  EXPECT_EQ(PollInterval(), 5000);
  EXPECT_EQ(ws->Settings.PortActive, 1);
  EXPECT_EQ(MainLabel("TxtPort"), "Active");
}

TEST_F(ConfigWindowsTest, LoadedPollTimeBelowOneStopsThePollTimer) {
  auto src = MakeWorkspace();
  src->Settings.PollTime = 0;
  const std::string path = dir + "/zero.txt";
  SaveRegisterFile(*src, path);
  QTimer* timer = FindMain<QTimer>("Timer1");
  ASSERT_TRUE(timer->isActive());
  main->LoadRegisterFileFrom(path);
  EXPECT_FALSE(timer->isActive());
  // A valid poll time from the dialog starts it again.
  config->show();
  Activate();
  Type("TxtPollTime", "3");
  ClickExit();
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(timer->interval(), 3000);
}

TEST_F(ConfigWindowsTest, ExitLeavesThePollTimerStoppedForALoadedPollTimeBelowOne) {
  auto src = MakeWorkspace();
  src->Settings.PollTime = 0;
  const std::string path = dir + "/zero.txt";
  SaveRegisterFile(*src, path);
  QTimer* timer = FindMain<QTimer>("Timer1");
  main->LoadRegisterFileFrom(path);
  ASSERT_FALSE(timer->isActive());
  // The dialog shows the poll time as loaded; "Exit" keeps it, and the timer
  // stays stopped rather than firing without pause.
  config->show();
  Activate();
  EXPECT_EQ(Text("TxtPollTime"), "0");
  ClickExit();
  EXPECT_EQ(ws->Settings.PollTime, 0);
  EXPECT_FALSE(timer->isActive());
  EXPECT_FALSE(config->isVisible());
}

TEST_F(ConfigWindowsTest, TheMainWindowsReplyTimerAlsoAdvancesTheLineAnalyzer) {
  LineAnalyzer analyzer;
  port->AttachAnalyzer(&analyzer);
  backend.SetNowMicros(1000000);
  OpenPort();
  ASSERT_TRUE(analyzer.Running());
  // A request to a device nobody answers: timed out ResponseTime (400 ms)
  // after it has left, as the timer finds.
  port->SendCommStr(5, test::Rtu({0x09, 0x03, 0x00, 0x00, 0x00, 0x01}));
  auto timeouts = [&] {
    for (const line::DeviceStatistics& d : analyzer.Statistics().Devices())
      if (d.Device == 9) return d.Timeouts;
    return uint64_t{0};
  };
  backend.SetNowMicros(1300000);
  FindMain<QTimer>("Timer2")->timeout({});
  EXPECT_EQ(timeouts(), 0u);
  backend.SetNowMicros(1500000);
  FindMain<QTimer>("Timer2")->timeout({});
  EXPECT_EQ(timeouts(), 1u);
  port->CloseComm(5);
  port->AttachAnalyzer(nullptr);
}

} // namespace
} // namespace korvane
