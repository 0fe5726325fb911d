#include "app/ui/qt_invoker.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace korvane {

void QtEventInvoker::RunOnOwnerThread(const std::function<void()>& call) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) {
    call();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      app,
      [&] {
        try {
          call();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

void QtEventInvoker::PumpMessages() {
  if (QCoreApplication::instance() != nullptr)
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace korvane
