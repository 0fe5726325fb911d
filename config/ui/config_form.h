#pragma once
#include <QDialog>

#include "app/core/workspace.h"

namespace korvane {

// The configuration dialog: created hidden at start-up, shown by the main
// window's "&Configure" without being modal.
class TConfigForm : public QDialog {
  Q_OBJECT
public:
  explicit TConfigForm(Workspace& ws, QWidget* parent = nullptr);

private:
  [[maybe_unused]] Workspace& ws_;
};

} // namespace korvane
