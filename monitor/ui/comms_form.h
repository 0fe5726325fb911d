#pragma once
#include <QWidget>

#include "app/core/workspace.h"

namespace korvane {

// The communication monitor: created hidden at start-up, shown by the main
// window's "&Monitor".
class TCommsForm : public QWidget {
  Q_OBJECT
public:
  explicit TCommsForm(Workspace& ws, QWidget* parent = nullptr);

private:
  [[maybe_unused]] Workspace& ws_;
};

} // namespace korvane
