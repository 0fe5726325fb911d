#include "app/ui/message_box.h"

#include "serial/serial_types.h"

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

void ShowMessage(const std::string& text, const std::string& reason) {
  if (Sink()) {
    Sink()(reason.empty() ? text : text + "\n" + reason);
    return;
  }
  QWidget* parent = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), QString::fromStdString(text),
                  QMessageBox::Ok, parent);
  if (!reason.empty()) box.setInformativeText(QString::fromStdString(reason));
  box.exec();
}

void ShowError(const std::exception& e) {
  try {
    const auto* serial = dynamic_cast<const SerialError*>(&e);
    ShowMessage(e.what(), serial != nullptr ? serial->Reason() : std::string());
  } catch (...) {
    // A failing message box must not turn one error into a crash.
  }
}

} // namespace korvane
