#pragma once
#include <QMainWindow>

#include "app/core/workspace.h"

namespace korvane {

// The main window: the hub of the program.
class TMainForm : public QMainWindow {
  Q_OBJECT
public:
  explicit TMainForm(Workspace& ws, QWidget* parent = nullptr);

private:
  void FormCreate();
  Workspace& ws_;
};

} // namespace korvane
