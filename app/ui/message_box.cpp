#include "app/ui/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <utility>

namespace korvane {

namespace {
MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}
} // namespace

MessageSink SetMessageSink(MessageSink sink) { return std::exchange(Sink(), std::move(sink)); }

void ShowMessage(const std::string& text) {
  if (Sink()) {
    Sink()(text);
    return;
  }
  QWidget* parent = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), QString::fromStdString(text),
                  QMessageBox::Ok, parent);
  box.exec();
}

void ShowError(const std::exception& e) {
  try {
    ShowMessage(e.what());
  } catch (...) {
    // A failing message box must not turn one error into a crash.
  }
}

} // namespace korvane
