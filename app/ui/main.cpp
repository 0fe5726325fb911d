// Start-up of the main program.
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "app/ui/no_port_sender.h"
#include "config/ui/config_form.h"
#include "modbus/core.h"
#include "modbus/master.h"
#include "modbus/slave.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"

namespace {

// True when Qt can show a window here: an X or Wayland display, or a platform
// chosen explicitly (offscreen for headless runs and tests).
bool DisplayAvailable() {
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  for (const char* n : names) {
    const char* v = std::getenv(n);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

} // namespace

int main(int argc, char** argv) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "korvane: no display found (set DISPLAY, or start it with --headless)\n");
    return 1;
  }
  korvane::KorvaneApplication app(argc, argv);
  QCoreApplication::setApplicationName("Korvane");

  // The one workspace, before any module; every module gets it by reference.
  auto ws = korvane::MakeWorkspace();
  korvane::TickSource& ticks = korvane::SystemTicks();
  korvane::NoPortSender sender;

  // The modules, once each, in this order. The main window comes first and
  // must not use the later ones; they are handed to it after they exist.
  korvane::TMainForm MainForm(*ws, ticks);
  korvane::TSlave Slave(*ws, sender, ticks);
  korvane::TCore Core;
  korvane::TConfigForm ConfigForm(*ws);
  korvane::TMaster Master(*ws, sender, ticks);
  korvane::TCommsForm CommsForm(*ws);
  korvane::TFrmCommsModbus FrmCommsModbus(*ws);
  MainForm.AttachMaster(&Master);
  MainForm.AttachWindows(&ConfigForm, &CommsForm, &FrmCommsModbus);
  (void)Slave;
  (void)Core;
  // Closing the main window ends the program, whatever else is open.
  for (QWidget* w : {static_cast<QWidget*>(&ConfigForm), static_cast<QWidget*>(&CommsForm),
                     static_cast<QWidget*>(&FrmCommsModbus)})
    w->setAttribute(Qt::WA_QuitOnClose, false);

  MainForm.show();
  return QApplication::exec();
}
