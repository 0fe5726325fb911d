#include "app/ui/application.h"

#include "app/ui/message_box.h"

namespace korvane {

KorvaneApplication::KorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool KorvaneApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

} // namespace korvane
