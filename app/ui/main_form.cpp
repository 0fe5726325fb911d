#include "app/ui/main_form.h"

namespace korvane {

TMainForm::TMainForm(Workspace& ws, QWidget* parent) : QMainWindow(parent), ws_(ws) {
  setObjectName("MainForm");
  setWindowTitle("STELMOR - KORVANE Version 1.48");
  resize(618, 679);
  FormCreate();
}

void TMainForm::FormCreate() { ws_.SetDefaults(); }

} // namespace korvane
