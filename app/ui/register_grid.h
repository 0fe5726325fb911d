#pragma once
#include <QTableWidget>

#include <functional>

namespace korvane {

// The table widget of the register grid. Every key pressed while the grid or
// its in-place editor has the focus is reported once to OnKeyDown, before the
// key takes its usual effect (arrow keys still move the selection, a typed
// character still reaches the cell editor).
class RegisterGrid : public QTableWidget {
public:
  RegisterGrid(int rows, int columns, QWidget* parent = nullptr);

  std::function<void(int key)> OnKeyDown;

  // Tells assistive technology that the text of cell (row, col) changed
  // (value entry).
  void AnnounceCell(int row, int col);

protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void ReportKey(int key);
  // The fixed row and column are ordinary cells: assistive technology learns
  // from their descriptions that they are headings, and each value cell's
  // description names its register (row heading plus column offset). Runs
  // when a cell's text changes.
  void Describe(QTableWidgetItem* changed);
  void DescribeValueCell(int row, int col);
  // Set while the grid passes its own key on: a key that opens the editor is
  // forwarded to it and must not be reported twice.
  bool passingKeyOn_ = false;
};

} // namespace korvane
