#include "app/ui/window_activation.h"

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>

namespace korvane {

namespace {

// Filters the application's events, so it sees each activation before the
// window itself handles it.
class ActivationTracker final : public QObject {
public:
  explicit ActivationTracker(QObject* app) : QObject(app) {}

  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::WindowActivate) {
      auto* w = qobject_cast<QWidget*>(watched);
      if (w != nullptr && w->isWindow() && w->windowType() != Qt::Popup && w->windowType() != Qt::ToolTip) {
        previous_ = current_;
        current_ = w;
      }
    } else if (e->type() == QEvent::Hide && !e->spontaneous() && watched == current_.data()) {
      // Hidden by the program (not minimised): showing it again is a new activation.
      current_ = nullptr;
    }
    return false;
  }

  bool FromAnotherWindow(const QWidget* window) const {
    // An activation the tracker did not see counts as a new one.
    if (current_.data() != window) return true;
    return previous_.data() != window;
  }

private:
  // The program's active window, and the one that was active before it.
  QPointer<QWidget> current_;
  QPointer<QWidget> previous_;
};

QPointer<ActivationTracker>& Tracker() {
  static QPointer<ActivationTracker> tracker;
  return tracker;
}

} // namespace

void WatchWindowActivation() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || !Tracker().isNull()) return;
  Tracker() = new ActivationTracker(app);
  app->installEventFilter(Tracker().data());
}

bool ActivatedFromAnotherWindow(const QWidget* window) {
  return Tracker().isNull() || Tracker()->FromAnotherWindow(window);
}

} // namespace korvane
