#include "monitor/ui/monitor_widgets.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QWidget>

namespace korvane {

QPlainTextEdit* MakeMonitorMemo(const char* objectName) {
  auto* memo = new QPlainTextEdit;
  memo->setObjectName(objectName);
  memo->setReadOnly(true);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setFamilies({"Courier New", font.family()});
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(13);
  memo->setFont(font);
  return memo;
}

void ShowMonitorText(QPlainTextEdit* memo, const std::string& text, std::string& shown) {
  if (text == shown) return;
  shown = text;
  // Every byte is one character; NUL is shown as a visible dot.
  QString display = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  display.replace(QChar(0), QChar(0x00B7));
  memo->setPlainText(display);
}

void ClearMonitorMemo(QPlainTextEdit* memo, std::string& shown) {
  shown.clear();
  memo->clear();
}

void CentreOnScreen(QWidget* w) {
  const QScreen* screen = w->screen() != nullptr ? w->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
}

} // namespace korvane
