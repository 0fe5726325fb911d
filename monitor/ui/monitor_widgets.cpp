#include "monitor/ui/monitor_widgets.h"

#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <utility>

#include "app/ui/message_box.h"
#include "app/ui/widget_factory.h"
#include "app/ui/window_activation.h"
#include "monitor/core/monitor_buffers.h"

namespace korvane {

namespace {

// Watches its parent window's events: the handler runs before the window
// handles the activation itself, and only when the window becomes the
// program's active window anew (not on a return from another application).
class ActivationWatch final : public QObject {
public:
  ActivationWatch(QWidget* window, std::function<void()> handler)
      : QObject(window), handler_(std::move(handler)) {}

  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == parent() && e->type() == QEvent::WindowActivate &&
        ActivatedFromAnotherWindow(static_cast<QWidget*>(watched)))
      Guarded([this] { handler_(); });
    return false;
  }

private:
  std::function<void()> handler_;
};

} // namespace

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

void SetUpMonitorWindow(QWidget* window, const char* name, const char* title, int helpContext,
                        const QSize& size) {
  window->setObjectName(name);
  window->setWindowTitle(title);
  window->setProperty("HelpContext", helpContext);
  AddHelpKey(window, helpContext);
  window->resize(size);
}

namespace {

// The rendering box is never laid out narrower than its longer name.
class RenderingBox final : public QLineEdit {
public:
  QSize minimumSizeHint() const override { return Widened(QLineEdit::minimumSizeHint()); }
  QSize sizeHint() const override { return Widened(QLineEdit::sizeHint()); }

private:
  QSize Widened(QSize size) const {
    const QFontMetrics fm = fontMetrics();
    const int text = std::max(fm.horizontalAdvance(QString::fromLatin1(RenderingName(true))),
                              fm.horizontalAdvance(QString::fromLatin1(RenderingName(false))));
    // The edit keeps two pixels each side of its text and one for the cursor.
    const QMargins tm = textMargins();
    const QMargins cm = contentsMargins();
    const int inner = text + 2 * 2 + 1 + tm.left() + tm.right() + cm.left() + cm.right();
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    const QSize whole =
        style()->sizeFromContents(QStyle::CT_LineEdit, &opt, QSize(inner, size.height()), this);
    size.setWidth(std::max(size.width(), whole.width()));
    return size;
  }
};

} // namespace

QLineEdit* MakeRenderingBox() {
  auto* box = Named(new RenderingBox, "AsciiHex");
  box->setAccessibleName("Rendering");
  box->setReadOnly(true);
  return box;
}

void ShowRendering(const Workspace& ws, QLineEdit* box) {
  box->setText(RenderingName(ws.Settings.MonitorHex == 1));
}

void ToggleRendering(Workspace& ws, QLineEdit* box) {
  ws.Monitor.MonitorText.clear();
  ws.Settings.MonitorHex = ws.Settings.MonitorHex == 1 ? 0 : 1;
  ShowRendering(ws, box);
}

QTimer* MakeRefreshTimer(QObject* parent) {
  auto* timer = Named(new QTimer(parent), "Timer1");
  timer->setInterval(500);
  return timer;
}

QHBoxLayout* MakeButtonRow(std::initializer_list<QWidget*> controls, QWidget* exit) {
  auto* row = new QHBoxLayout;
  for (QWidget* w : controls) row->addWidget(w);
  row->addStretch();
  row->addWidget(exit);
  return row;
}

void OnWindowActivate(QWidget* window, std::function<void()> handler) {
  WatchWindowActivation();
  window->installEventFilter(new ActivationWatch(window, std::move(handler)));
}

void CloseMonitorWindow(Workspace& ws, QWidget* window) {
  ws.Monitor.MonitorRxOn = 0;
  ws.Monitor.MonitorTxOn = 0;
  window->hide();
}

} // namespace korvane
