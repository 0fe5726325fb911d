#pragma once
// The configuration dialog: created hidden at start-up, shown by the main
// window's "&Configure" without being modal. Every activation (shown, or
// reached from another window of the program; not a return from another
// application) reloads the controls from the workspace; "Exit" takes them over (config/core/config_apply.h),
// refreshes the main window and hides the dialog; closing it by the window
// frame hides it without taking anything over.
#include <QDialog>

#include <array>
#include <memory>

#include "app/core/workspace.h"
#include "config/core/config_apply.h"
#include "serial/port_info.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace korvane {

class TMainForm;

class TConfigForm : public QDialog {
  Q_OBJECT
public:
  static constexpr int kHelpContext = 30;

  // `ports` lists the present COM ports and resolves a number to its device;
  // it must outlive the dialog.
  explicit TConfigForm(Workspace& ws, QWidget* parent = nullptr);
  TConfigForm(Workspace& ws, const PortMap& ports, QWidget* parent = nullptr);
  ~TConfigForm() override;

  // The main window that "Exit" refreshes and the port control it closes and
  // opens. Without a main window the window steps are skipped; without port
  // control the port is neither closed nor opened.
  void Attach(TMainForm* mainForm, ConfigPort* port);
  // Where the port list looks up the adapters (sysfs and /dev; tests point
  // them at a fake tree). Refreshes the port list.
  void SetPortInfoRoots(PortInfoRoots roots);

  // --- Handlers. They may throw; the connections show it through ShowError.
  void FormCreate();
  void FormActivate();
  void CmdExitClick();

  // The controls as they stand (what "Exit" takes over).
  ConfigControls ReadControls() const;

protected:
  bool event(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

private:
  // Widgets and layout, section by section; ConnectHandlers wires them.
  void BuildControls();
  QGroupBox* BuildSerialPort();
  QGroupBox* BuildMode();
  QGroupBox* BuildMasterSlave();
  QGroupBox* BuildAddresses();
  QGroupBox* BuildWriteToRegisters();
  void BuildExitButton();
  void ConnectHandlers();
  void ShowControls(const ConfigControls& c, bool atCreation);
  void FillPortItems();
  void ShowPortDevice();

  Workspace& ws_;
  const PortMap& ports_;
  TMainForm* main_ = nullptr;
  ConfigPort* port_ = nullptr;
  // The dialog lost the focus to a message box of its own (an error of
  // "Exit", a help failure): coming back from it is no new activation.
  bool lostToMessageBox_ = false;

  QCheckBox* ChkPort_ = nullptr;
  QComboBox* ComboPort_ = nullptr;
  QLabel* LblPortDevice_ = nullptr;
  // The by-id name, maker and driver of the chosen port, and what its
  // latency timer costs.
  QLabel* LblPortInfo_ = nullptr;
  QCheckBox* ChkRs485_ = nullptr;
  PortInfoRoots infoRoots_;
  QComboBox* ComboBaud_ = nullptr;
  QComboBox* ComboData_ = nullptr;
  QComboBox* ComboParity_ = nullptr;
  QComboBox* ComboStop_ = nullptr;
  QRadioButton* OptRTU_ = nullptr;
  QRadioButton* OptASCII_ = nullptr;
  QRadioButton* OptMaster_ = nullptr;
  QRadioButton* OptSlave_ = nullptr;
  QCheckBox* ChkListen_ = nullptr;
  QLineEdit* TxtPollTime_ = nullptr;
  QLineEdit* TxtResponseTime_ = nullptr;
  std::array<QLineEdit*, kSlotCount + 1> TxtAddr_{};
  std::array<QRadioButton*, kSlotCount + 1> OptAddr_{};
  QButtonGroup* AddrGroup_ = nullptr;
  QCheckBox* ChkSingleReg_ = nullptr;
  QPushButton* CmdExit_ = nullptr;
};

} // namespace korvane
