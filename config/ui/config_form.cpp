#include "config/ui/config_form.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <utility>

#include "app/core/int_conv.h"
#include "app/ui/main_form.h"
#include "app/ui/message_box.h"
#include "app/ui/widget_factory.h"
#include "app/ui/window_activation.h"
#include "help/core/help_hook.h"
#include "serial/port_map.h"

namespace korvane {

namespace {

QRadioButton* Option(const char* name, const char* caption) { return Named(new QRadioButton(caption), name); }

template <size_t N> void AddItems(QComboBox* combo, const std::array<const char*, N>& items) {
  for (const char* item : items) combo->addItem(item);
}

// The box shows `text`, selecting its item when it has one.
void ShowComboText(QComboBox* combo, const std::string& text) {
  combo->setCurrentIndex(combo->findText(Q(text), Qt::MatchExactly));
  combo->setEditText(Q(text));
}

} // namespace

TConfigForm::TConfigForm(Workspace& ws, QWidget* parent) : TConfigForm(ws, DefaultPortMap(), parent) {}

TConfigForm::TConfigForm(Workspace& ws, const PortMap& ports, QWidget* parent)
    : QDialog(parent), ws_(ws), ports_(ports) {
  setObjectName("ConfigForm");
  setWindowTitle("Configuration");
  setModal(false);
  BuildControls();
  FormCreate();
  ConnectHandlers();
  WatchWindowActivation();
}

void TConfigForm::Attach(TMainForm* mainForm, ConfigPort* port) {
  main_ = mainForm;
  port_ = port;
}

TConfigForm::~TConfigForm() = default;

// The serial port on the left, mode and role on the right; the addresses
// below, with the register writes and "Exit" beside them. Each section builds
// its widgets and their layout; ConnectHandlers wires them afterwards. A
// section's widgets join the dialog, and so the Tab order, when its layout is
// added here.
void TConfigForm::BuildControls() {
  auto* outer = new QVBoxLayout(this);
  QGroupBox* serial = BuildSerialPort();
  QGroupBox* mode = BuildMode();
  QGroupBox* role = BuildMasterSlave();
  QGroupBox* addresses = BuildAddresses();
  QGroupBox* writes = BuildWriteToRegisters();
  BuildExitButton();

  auto* top = new QHBoxLayout;
  top->addWidget(serial);
  auto* right = new QVBoxLayout;
  right->addWidget(mode);
  right->addWidget(role);
  top->addLayout(right);
  outer->addLayout(top);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(addresses);
  auto* bottomRight = new QVBoxLayout;
  bottomRight->addWidget(writes);
  bottomRight->addStretch(1);
  bottomRight->addWidget(CmdExit_, 0, Qt::AlignRight);
  bottom->addLayout(bottomRight);
  outer->addLayout(bottom);
}

// --- Serial Port
QGroupBox* TConfigForm::BuildSerialPort() {
  ChkPort_ = new QCheckBox("Port Active");
  ChkPort_->setObjectName("ChkPort");
  // The caption stands left of the box.
  ChkPort_->setLayoutDirection(Qt::RightToLeft);
  ComboPort_ = Combo("ComboPort", 70);
  ComboPort_->setMaxVisibleItems(10);
  LblPortDevice_ = new QLabel;
  LblPortDevice_->setObjectName("LblPortDevice");
  ComboBaud_ = Combo("ComboBaud", 80);
  ComboBaud_->setMaxVisibleItems(10);
  ComboData_ = Combo("ComboData", 50);
  ComboParity_ = Combo("ComboParity", 50);
  ComboStop_ = Combo("ComboStop", 50);
  ChkRs485_ = new QCheckBox("RS-485 Direction Control");
  ChkRs485_->setObjectName("ChkRs485");
  ChkRs485_->setToolTip("The serial driver raises RTS while sending (kernel RS-485 mode)");
  LblPortInfo_ = new QLabel;
  LblPortInfo_->setObjectName("LblPortInfo");
  LblPortInfo_->setWordWrap(true);
  LblPortInfo_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* serial = Group("GroupSerialPort", "Serial Port");
  auto* serialLayout = new QGridLayout(serial);
  serialLayout->addWidget(ChkPort_, 0, 0, Qt::AlignLeft);
  const std::array<std::pair<const char*, QComboBox*>, 5> combos = {{{"Com Port", ComboPort_},
                                                                     {"BaudRate", ComboBaud_},
                                                                     {"Data Bits", ComboData_},
                                                                     {"Parity", ComboParity_},
                                                                     {"Stop Bits", ComboStop_}}};
  for (size_t i = 0; i < combos.size(); ++i) {
    auto* label = new QLabel(combos[i].first);
    label->setBuddy(combos[i].second);
    // The device of the port number has the row below the number.
    const int row = static_cast<int>(i) + (i == 0 ? 1 : 2);
    serialLayout->addWidget(label, row, 0);
    serialLayout->addWidget(combos[i].second, row, 1);
  }
  LblPortDevice_->setMinimumWidth(150);
  LblPortDevice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  serialLayout->addWidget(LblPortDevice_, 2, 1);
  serialLayout->addWidget(ChkRs485_, 7, 0, 1, 2, Qt::AlignLeft);
  serialLayout->addWidget(LblPortInfo_, 8, 0, 1, 2);
  serialLayout->setColumnStretch(1, 1);
  return serial;
}

// --- Mode
QGroupBox* TConfigForm::BuildMode() {
  OptRTU_ = Option("OptRTU", "Binary/RTU");
  OptASCII_ = Option("OptASCII", "ASCII");
  auto* mode = Group("GroupMode", "Mode");
  auto* modeLayout = new QVBoxLayout(mode);
  modeLayout->addWidget(OptRTU_);
  modeLayout->addWidget(OptASCII_);
  return mode;
}

// --- Master/Slave
QGroupBox* TConfigForm::BuildMasterSlave() {
  OptMaster_ = Option("OptMaster", "Master");
  OptSlave_ = Option("OptSlave", "Slave");
  ChkListen_ = new QCheckBox("Listen only");
  ChkListen_->setObjectName("ChkListen");
  ChkListen_->setToolTip("Open the port without writing a byte or raising DTR/RTS; send nothing and "
                         "fill the tables from the replies seen on the line");
  TxtPollTime_ = Edit("TxtPollTime", 50);
  TxtResponseTime_ = Edit("TxtResponseTime", 50);
  auto* role = Group("GroupMasterSlave", "Master/Slave");
  auto* roleLayout = new QGridLayout(role);
  roleLayout->addWidget(OptMaster_, 0, 0);
  roleLayout->addWidget(OptSlave_, 1, 0);
  roleLayout->addWidget(ChkListen_, 2, 0, 1, 2);
  auto* pollLabel = new QLabel("Poll Time 1-30 Sec");
  pollLabel->setBuddy(TxtPollTime_);
  auto* responseLabel = new QLabel("Response Time mSec");
  responseLabel->setBuddy(TxtResponseTime_);
  roleLayout->addWidget(TxtPollTime_, 3, 0);
  roleLayout->addWidget(pollLabel, 3, 1);
  roleLayout->addWidget(TxtResponseTime_, 4, 0);
  roleLayout->addWidget(responseLabel, 4, 1);
  return role;
}

// --- Addresses: one edit per slot, its button beside it, one exclusive group.
QGroupBox* TConfigForm::BuildAddresses() {
  auto* addresses = Group("GroupAddresses", "Addresses");
  auto* addrLayout = new QGridLayout(addresses);
  AddrGroup_ = new QButtonGroup(this);
  AddrGroup_->setObjectName("AddrGroup");
  AddrGroup_->setExclusive(true);
  for (int k = 1; k <= kSlotCount; ++k) {
    const std::string n = IntToStr(k);
    QLineEdit* edit = Edit(("TxtAddr" + n).c_str(), 50);
    QRadioButton* option = Option(("OptAddr" + n).c_str(), "");
    TxtAddr_[static_cast<size_t>(k)] = edit;
    OptAddr_[static_cast<size_t>(k)] = option;
    AddrGroup_->addButton(option, k);
    // Neither has a caption: both are named after their slot.
    edit->setAccessibleName(Q("Address " + n));
    option->setAccessibleName(Q("Address " + n));
    option->setAccessibleDescription("active address");
    addrLayout->addWidget(edit, k - 1, 0);
    addrLayout->addWidget(option, k - 1, 1);
  }
  return addresses;
}

// --- Write To Registers
QGroupBox* TConfigForm::BuildWriteToRegisters() {
  ChkSingleReg_ = new QCheckBox("Function 6 For Single Registers");
  ChkSingleReg_->setObjectName("ChkSingleReg");
  auto* writes = Group("GroupWriteToRegisters", "Write To Registers");
  auto* writesLayout = new QVBoxLayout(writes);
  writesLayout->addWidget(ChkSingleReg_);
  return writes;
}

void TConfigForm::BuildExitButton() {
  // Return in an edit does not press "Exit".
  CmdExit_ = Button("CmdExit", "Exit");
  CmdExit_->setDefault(false);
}

void TConfigForm::ConnectHandlers() {
  connect(CmdExit_, &QPushButton::clicked, this, GuardedSlot(this, &TConfigForm::CmdExitClick));
  connect(ComboPort_, &QComboBox::editTextChanged, this, [this] { ShowPortDevice(); });
}

// --- Loading ------------------------------------------------------------------

void TConfigForm::SetPortInfoRoots(PortInfoRoots roots) {
  infoRoots_ = std::move(roots);
  const QString text = ComboPort_->currentText();
  FillPortItems();
  ComboPort_->setEditText(text);
  ShowPortDevice();
}

namespace {

// Everything known about a port, one fact a line.
std::string PortDescription(const PortInfo& info) {
  std::string text = info.Device;
  if (!info.ById.empty()) text += "\n" + info.ById;
  if (const std::string s = PortSummary(info); !s.empty()) text += "\n" + s;
  if (const std::string a = LatencyAdvice(info); !a.empty()) text += "\n" + a;
  return text;
}

} // namespace

void TConfigForm::FillPortItems() {
  ComboPort_->clear();
  // The items stay the bare numbers; each says what it is as its tool tip.
  for (const PortInfo& info : ListPorts(ports_, infoRoots_)) {
    ComboPort_->addItem(Q(PortItem(info.Number)));
    ComboPort_->setItemData(ComboPort_->count() - 1, Q(PortDescription(info)), Qt::ToolTipRole);
  }
}

void TConfigForm::ShowControls(const ConfigControls& c, bool atCreation) {
  (c.OptRTU ? OptRTU_ : OptASCII_)->setChecked(true);
  (c.OptMaster ? OptMaster_ : OptSlave_)->setChecked(true);
  if (!atCreation) ChkSingleReg_->setChecked(c.ChkSingleReg);
  TxtPollTime_->setText(Q(c.TxtPollTime));
  if (atCreation) TxtResponseTime_->setText(Q(c.TxtResponseTime));
  for (size_t k = 1; k <= kSlotCount; ++k) TxtAddr_[k]->setText(Q(c.TxtAddr[k]));
  if (c.OptAddr >= 1 && c.OptAddr <= kSlotCount) {
    OptAddr_[static_cast<size_t>(c.OptAddr)]->setChecked(true);
  } else if (QAbstractButton* chosen = AddrGroup_->checkedButton()) {
    // No slot to show: the exclusive group must let go of its button first.
    AddrGroup_->setExclusive(false);
    chosen->setChecked(false);
    AddrGroup_->setExclusive(true);
  }
  ChkPort_->setChecked(c.ChkPort);
  ChkRs485_->setChecked(c.ChkRs485);
  ChkListen_->setChecked(c.ChkListen);
  FillPortItems();
  if (atCreation)
    ComboPort_->setEditText("");
  else
    ShowComboText(ComboPort_, c.ComboPort);
  const std::array<std::pair<QComboBox*, const std::string*>, 4> lists = {{{ComboBaud_, &c.ComboBaud},
                                                                           {ComboData_, &c.ComboData},
                                                                           {ComboParity_, &c.ComboParity},
                                                                           {ComboStop_, &c.ComboStop}}};
  for (const auto& entry : lists) entry.first->clear();
  AddItems(ComboBaud_, kBaudItems);
  AddItems(ComboData_, kDataItems);
  AddItems(ComboParity_, kParityItems);
  AddItems(ComboStop_, kStopItems);
  for (const auto& [combo, text] : lists) ShowComboText(combo, *text);
  ShowPortDevice();
}

void TConfigForm::FormCreate() {
  ShowControls(ControlsFromWorkspace(ws_), true);
  ChkSingleReg_->setChecked(false);
}

void TConfigForm::FormActivate() { ShowControls(ControlsFromWorkspace(ws_), false); }

void TConfigForm::ShowPortDevice() {
  int32_t number = 0;
  std::string device;
  if (TryStrToInt(S(ComboPort_->currentText()), number) && number >= 1 && number <= kMaxCommPort)
    device = ports_.ResolvePort(number);
  LblPortDevice_->setText(device.empty() ? QString("no device") : Q(device));
  std::string info;
  if (!device.empty()) {
    const PortInfo p = DescribePort(ports_, number, infoRoots_);
    std::string lines;
    if (!p.ById.empty()) lines += p.ById;
    if (const std::string s = PortSummary(p); !s.empty()) lines += (lines.empty() ? "" : "\n") + s;
    if (const std::string a = LatencyAdvice(p); !a.empty()) lines += (lines.empty() ? "" : "\n") + a;
    info = lines;
  }
  LblPortInfo_->setText(Q(info));
  LblPortInfo_->setVisible(!info.empty());
}

// --- Exit -----------------------------------------------------------------------

ConfigControls TConfigForm::ReadControls() const {
  ConfigControls c;
  c.ChkPort = ChkPort_->isChecked();
  c.ComboPort = S(ComboPort_->currentText());
  c.ComboBaud = S(ComboBaud_->currentText());
  c.ComboData = S(ComboData_->currentText());
  c.ComboParity = S(ComboParity_->currentText());
  c.ComboStop = S(ComboStop_->currentText());
  c.OptRTU = OptRTU_->isChecked();
  c.OptMaster = OptMaster_->isChecked();
  c.TxtPollTime = S(TxtPollTime_->text());
  c.TxtResponseTime = S(TxtResponseTime_->text());
  for (size_t k = 1; k <= kSlotCount; ++k) c.TxtAddr[k] = S(TxtAddr_[k]->text());
  c.OptAddr = AddrGroup_->checkedId() >= 1 ? AddrGroup_->checkedId() : 0;
  c.ChkSingleReg = ChkSingleReg_->isChecked();
  c.ChkRs485 = ChkRs485_->isChecked();
  c.ChkListen = ChkListen_->isChecked();
  return c;
}

namespace {
// Without port control the port stays as it is.
class NoPort final : public ConfigPort {
public:
  void CloseComm(int32_t) override {}
  void OpenComm(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) override {}
  void PortActivate() override {}
};
} // namespace

void TConfigForm::CmdExitClick() {
  NoPort none;
  ConfigPort& port = port_ != nullptr ? *port_ : none;
  // Throws at the step that fails: the window steps below do not happen and
  // the dialog stays open.
  ApplyConfigControls(ws_, ReadControls(), port);
  if (main_ != nullptr) {
    // A poll time below 1 (only a register file brings one) stops the timer.
    main_->ApplyPollTime();
    main_->ModeDisplay();
    main_->DisplayRegs();
    main_->FillAddressSelector();
  }
  hide();
}

// --- Events -----------------------------------------------------------------------

bool TConfigForm::event(QEvent* e) {
  if (e->type() == QEvent::WindowDeactivate) {
    lostToMessageBox_ = qobject_cast<QMessageBox*>(QApplication::activeWindow()) != nullptr;
  } else if (e->type() == QEvent::WindowActivate) {
    // Coming back from another application reloads nothing.
    if (!lostToMessageBox_ && ActivatedFromAnotherWindow(this)) Guarded([this] { FormActivate(); });
    lostToMessageBox_ = false;
  }
  return QDialog::event(e);
}

void TConfigForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_F1) {
    Guarded([] { ShowHelpContext(kHelpContext); });
    return;
  }
  // Escape does not close the dialog: only "Exit" and the window frame do.
  if (e->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(e);
}

} // namespace korvane
