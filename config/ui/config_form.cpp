#include "config/ui/config_form.h"

namespace korvane {

TConfigForm::TConfigForm(Workspace& ws, QWidget* parent) : QDialog(parent), ws_(ws) {
  setObjectName("ConfigForm");
  setWindowTitle("Configuration");
  setModal(false);
}

} // namespace korvane
