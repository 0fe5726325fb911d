// Start-up of the main program.
#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/core/workspace.h"
#include "app/ui/main_form.h"

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
  QApplication app(argc, argv);
  QApplication::setApplicationName("Korvane");
  QGuiApplication::setApplicationDisplayName("Korvane");

  auto ws = korvane::MakeWorkspace();
  korvane::TMainForm mainForm(*ws);
  mainForm.show();
  return QApplication::exec();
}
