#pragma once
// The "Line Analyzer" window: every frame on the line in a table (over the
// analyzer's ring, filtered by device, function or errors), the selected
// frame's bytes and fields, the statistics per device, the UART counts and
// "Export CSV". Created hidden at start-up, shown by the main window's
// "Line Analyzer", hidden by "Exit". It redraws at most every 100 ms while
// shown, taking in only the frames added since the last redraw.
#include <QWidget>

#include <cstdint>
#include <string>

#include "app/core/workspace.h"
#include "monitor/core/line_analyzer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class QTableWidget;
class QTimer;

namespace korvane {

class LineFrameModel;

class TFrmLineAnalyzer : public QWidget {
  Q_OBJECT
public:
  static constexpr int kHelpContext = 35;
  static constexpr int kRefreshMs = 100;
  // The statistics are computed anew at most this often (in redraws).
  static constexpr int kRedrawsPerStatistics = 10;

  TFrmLineAnalyzer(Workspace& ws, LineAnalyzer& analyzer, QWidget* parent = nullptr);
  ~TFrmLineAnalyzer() override;

  // --- Handlers (named after the control and the event).
  // The redraw: the table follows the ring, the statistics now and then.
  void Timer1Timer();
  void FilterChange();
  void ChkPauseClick();
  void ChkFollowClick();
  void FramesCurrentChange();
  void CmdResetStatsClick();
  // A file name from the file dialog (cancelling does nothing), then ExportCsvTo.
  void CmdExportClick();
  void CmdExitClick();

  // The frames of the ring that pass the filters in force, as CSV; throws
  // std::runtime_error when the file cannot be written.
  void ExportCsvTo(const std::string& path);
  // The statistics table, the UART counts and the timing note, now.
  void RefreshStatistics();

protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

private:
  void BuildControls();
  void ConnectHandlers();
  // The selected frame's bytes and fields (empty without a selection).
  void ShowSelected();
  void ShowCounts();

  Workspace& ws_;
  LineAnalyzer& la_;
  LineFrameModel* model_ = nullptr;
  uint64_t statsGeneration_ = ~uint64_t{0};
  int redrawsToStatistics_ = 0;
  // The frame the detail panes show, or -1.
  int64_t shownNumber_ = -1;

  QSpinBox* SpnDevice_ = nullptr;
  QComboBox* CboFunction_ = nullptr;
  QCheckBox* ChkErrors_ = nullptr;
  QCheckBox* ChkPause_ = nullptr;
  QCheckBox* ChkFollow_ = nullptr;
  QPushButton* CmdExport_ = nullptr;
  QTableView* TblFrames_ = nullptr;
  QPlainTextEdit* MemoBytes_ = nullptr;
  QPlainTextEdit* MemoFields_ = nullptr;
  QTableWidget* TblStats_ = nullptr;
  QLabel* LblNoise_ = nullptr;
  QLabel* LblUart_ = nullptr;
  QLabel* LblTiming_ = nullptr;
  QPushButton* CmdResetStats_ = nullptr;
  QLabel* LblCount_ = nullptr;
  QPushButton* CmdExit_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

} // namespace korvane
