#pragma once
#include <QWidget>

#include "app/core/workspace.h"

namespace korvane {

// The Modbus communications window: created hidden at start-up, shown by the
// main window's "Modbus" menu command.
class TFrmCommsModbus : public QWidget {
  Q_OBJECT
public:
  explicit TFrmCommsModbus(Workspace& ws, QWidget* parent = nullptr);

private:
  [[maybe_unused]] Workspace& ws_;
};

} // namespace korvane
