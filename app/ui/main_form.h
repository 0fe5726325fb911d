#pragma once
// The main window: the register grid with its selectors, the status and mode
// fields, pages, blocks, value entry, the master buttons, the value ramp, the
// menu and the two timers. Handlers only read their controls, call the
// application core and write the results back into the controls.
#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>

#include "app/core/master_commands.h"
#include "app/core/request_builder.h"
#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "serial/control/port_control.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMargins;
class QPushButton;
class QTableWidget;
class QTimer;

namespace korvane {

class RegisterGrid;
class THookHelpSystem;
class TMaster;

class TMainForm : public QMainWindow, public PortView {
  Q_OBJECT
public:
  static constexpr int kWidth = 618;
  static constexpr int kHeight = 679;
  static constexpr int kHelpContext = 40;

  // Creating the window sets every workspace default and draws the grid; it
  // uses nothing but the workspace and the tick source.
  TMainForm(Workspace& ws, const TickSource& ticks, QWidget* parent = nullptr);
  ~TMainForm() override;

  // The master engine exists only after the main window; until it is attached
  // the master commands build no request.
  void AttachMaster(TMaster* master);
  // The windows that "&Configure", "&Monitor", "Modbus" and "Line Analyzer" show.
  void AttachWindows(QWidget* configForm, QWidget* commsForm, QWidget* frmCommsModbus,
                     QWidget* lineAnalyzer = nullptr);
  // Port control exists after the main window; until it is attached "Exit"
  // and "&Load" have no port to close.
  void AttachPortControl(PortControl* portControl);
  // Called with each text the status line is set to (not when it is emptied).
  void SetStatusListener(std::function<void(const std::string&)> listener);
  // Receives each non-empty port detail as well (headless: standard error).
  void SetPortDetailListener(std::function<void(const std::string&)> listener);

  // --- Handlers (named after the control and the event). They may throw
  // ConversionError; the signal connections show it through ShowError.
  void FormCreate();
  void ComboRegTypeChange();
  void ComboReadTypeChange();
  void TxtStartRegChange();
  void TxtLengthChange();
  void CboAddrChange();
  // Shows the warning; the key is then handled by the grid as usual, so
  // arrow keys still move the selection.
  void StringGrid1KeyDown(int key);
  void StringGrid1SelectCell(int col, int row);
  void CmdWriteClick();
  void CmdNextBlockClick();
  void CmdPrevBlockClick();
  void CmdNextPageClick();
  void CmdPrevPageClick();
  void CmdSavePageClick();
  void CmdPollClick();
  void CmdMasterReadClick();
  void CmdMasterWriteClick();
  void Exit1Click();
  // "&Save" and "&Load": a file name from the file dialog (cancelling does
  // nothing), then SaveRegisterFileTo / LoadRegisterFileFrom.
  void Save1Click();
  void Load1Click();
  // Writes the register file; throws RegisterFileError.
  void SaveRegisterFileTo(const std::string& path);
  // Reads the register file, all or nothing (throws RegisterFileError or
  // ConversionError with the workspace and the window unchanged); then the
  // poll interval, the mode line, the view controls, the grid, and the port
  // closed.
  void LoadRegisterFileFrom(const std::string& path);
  void Configure1Click();
  void Monitor1Click();
  void MnuModbusClick();
  void MnuLineAnalyzerClick();
  void Help1Click();
  void Timer1Timer();
  // Reports a missing master reply once ReplyDeadline has passed, and lets
  // port control's line analyzer notice silences and time-outs.
  void Timer2Timer();

  // --- Services for the other windows and port control.
  void DisplayRegs() override;
  void DisplayRegTypes();
  void ModeDisplay() override;
  void StatusDisplay(int32_t code, const std::string& prefix) override;
  // Port state label: "Active" in green or "InActive" in red.
  void ShowPortState(bool active) override;
  // Rebuilds the address selector from SlotAddress and shows the active slot.
  void FillAddressSelector() override;
  // Starts the poll timer with `ms`, or stops it for 0: the one place that
  // does either after start-up.
  void SetPollInterval(int32_t ms) override;
  // The poll timer follows PollTime (PollIntervalMs: stopped for a poll time
  // below 1, which only a register file brings).
  void ApplyPollTime();
  // The "Port" field's tool tip and accessible description carry the detail.
  void ShowPortDetail(const std::string& detail) override;
  void ShowLinkStatus(const std::string& text) override;
  void ShowSeen(const std::string& text) override;

  // Texts of the 100 value cells in cell-offset order (column 1 rows 1..20,
  // then column 2, ...): [1..100], [0] unused.
  GridTexts ValueCellTexts() const;
  std::string CellText(int col, int row) const;

  // The result of the help launcher's topic call: 0 opened, 1 not installed,
  // 2 key missing, 3 utility missing.

private:
  // Widgets and layout, section by section; ConnectHandlers wires them.
  void BuildControls();
  QGridLayout* BuildSelectors();
  QGridLayout* BuildStatusLine();
  QHBoxLayout* BuildGridRow(const QMargins& m);
  void BuildGrid();
  QWidget* BuildSidePanel(int width);
  QGroupBox* BuildPages();
  QGroupBox* BuildBlocks();
  QGroupBox* BuildInput();
  QHBoxLayout* BuildMasterRow();
  QGroupBox* BuildMasterButtons();
  QGroupBox* BuildValueRamp();
  void BuildTimers();
  void BuildMenu();
  void ConnectHandlers();
  void SetCellText(int col, int row, const std::string& text);
  // The master engine, or a builder that sends nothing before it is attached.
  RequestBuilder& Requests();
  template <class Result> void ShowResult(const Result& result);
  void SetStatusText(const std::string& text);
  void ShowComboText(QComboBox* combo, const std::string& text);
  // Position of the chosen item: the current one while the box shows its
  // text, else the first item with the typed text, -1 when none matches.
  static int Position(const QComboBox* combo);

  Workspace& ws_;
  const TickSource& ticks_;
  TMaster* master_ = nullptr;
  std::unique_ptr<RequestBuilder> requests_;
  std::unique_ptr<THookHelpSystem> helpHook_;
  PortControl* portControl_ = nullptr;
  std::function<void(const std::string&)> statusListener_;
  std::function<void(const std::string&)> portDetailListener_;
  QWidget* configForm_ = nullptr;
  QWidget* commsForm_ = nullptr;
  QWidget* frmCommsModbus_ = nullptr;
  QWidget* lineAnalyzer_ = nullptr;
  // Set while the window writes its own controls, so that only the user's
  // changes run the selector handlers.
  bool updating_ = false;

  RegisterGrid* StringGrid1_ = nullptr;
  QLineEdit* TxtStartReg_ = nullptr;
  QLineEdit* TxtLength_ = nullptr;
  QComboBox* ComboRegType_ = nullptr;
  QComboBox* ComboReadType_ = nullptr;
  QLineEdit* TxtStatus_ = nullptr;
  QLabel* TxtPort_ = nullptr;
  QLabel* TxtRTUMode_ = nullptr;
  QComboBox* CboAddr_ = nullptr;
  QLabel* TxtPage_ = nullptr;
  QPushButton* CmdNextPage_ = nullptr;
  QPushButton* CmdPrevPage_ = nullptr;
  QPushButton* CmdSavePage_ = nullptr;
  QPushButton* CmdNextBlock_ = nullptr;
  QPushButton* CmdPrevBlock_ = nullptr;
  QLineEdit* TxtInput_ = nullptr;
  QPushButton* CmdWrite_ = nullptr;
  QPushButton* CmdPoll_ = nullptr;
  QCheckBox* ChkPoll_ = nullptr;
  QPushButton* CmdMasterWrite_ = nullptr;
  QPushButton* CmdMasterRead_ = nullptr;
  QCheckBox* ChkChangeVal_ = nullptr;
  QLineEdit* TxtLowLim_ = nullptr;
  QLineEdit* TxtHiLim_ = nullptr;
  QLineEdit* TxtIncr_ = nullptr;
  QTimer* Timer1_ = nullptr;
  QTimer* Timer2_ = nullptr;
  QAction* Exit1_ = nullptr;
  QAction* Configure1_ = nullptr;
  QAction* Load1_ = nullptr;
  QAction* Save1_ = nullptr;
  QAction* Monitor1_ = nullptr;
  QAction* MnuModbus_ = nullptr;
  QAction* MnuLineAnalyzer_ = nullptr;
  QAction* Help1_ = nullptr;
};

} // namespace korvane
