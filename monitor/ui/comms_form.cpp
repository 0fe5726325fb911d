#include "monitor/ui/comms_form.h"

namespace korvane {

TCommsForm::TCommsForm(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  setObjectName("CommsForm");
  setWindowTitle("Communication Monitor");
  resize(633, 363);
}

} // namespace korvane
