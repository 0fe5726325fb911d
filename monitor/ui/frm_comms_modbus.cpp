#include "monitor/ui/frm_comms_modbus.h"

namespace korvane {

TFrmCommsModbus::TFrmCommsModbus(Workspace& ws, QWidget* parent) : QWidget(parent, Qt::Window), ws_(ws) {
  setObjectName("FrmCommsModbus");
  setWindowTitle("Modbus Communications");
  resize(650, 369);
}

} // namespace korvane
