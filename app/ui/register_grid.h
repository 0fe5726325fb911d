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

protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void ReportKey(int key);
  // Set while the grid passes its own key on: a key that opens the editor is
  // forwarded to it and must not be reported twice.
  bool passingKeyOn_ = false;
};

} // namespace korvane
