#pragma once
// Running without a person: SIGINT and SIGTERM end the event loop cleanly (the
// caller then closes the port and writes its file), and the status line can be
// echoed to standard output.
#include <QObject>

#include <string>

class QSocketNotifier;

namespace korvane {

// While it exists, SIGINT and SIGTERM make the running event loop return 0.
// The signal handler only writes one byte into a pipe; the work happens on the
// user-interface thread when the notifier sees the byte. One at a time.
class ExitSignals final : public QObject {
  Q_OBJECT
public:
  ExitSignals();
  ~ExitSignals() override;
  // False when the pipe or the handlers could not be set up (Error says why).
  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }
  // The signal that ended the loop, 0 while none came.
  int Received() const { return received_; }

private:
  void Drain();

  QSocketNotifier* notifier_ = nullptr;
  bool ok_ = false;
  std::string error_;
  int received_ = 0;
};

// One line on standard output, flushed at once.
void PrintStatusLine(const std::string& text);

} // namespace korvane
