#pragma once
#include <QApplication>

namespace korvane {

// The program's application object. Its event dispatch is the default error
// handler of last resort: an exception that leaves any event handler is shown
// by ShowError instead of ending the program.
class KorvaneApplication : public QApplication {
public:
  KorvaneApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace korvane
