#include "app/ui/register_grid.h"

#include <QKeyEvent>
#include <QStyledItemDelegate>

namespace korvane {

namespace {

// Hands every cell editor to the grid's key watch.
class WatchedEditorDelegate final : public QStyledItemDelegate {
public:
  WatchedEditorDelegate(QObject* watcher, QObject* parent) : QStyledItemDelegate(parent), watcher_(watcher) {}
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (editor != nullptr) editor->installEventFilter(watcher_);
    return editor;
  }

private:
  QObject* watcher_;
};

} // namespace

RegisterGrid::RegisterGrid(int rows, int columns, QWidget* parent) : QTableWidget(rows, columns, parent) {
  setItemDelegate(new WatchedEditorDelegate(this, this));
}

void RegisterGrid::ReportKey(int key) {
  if (OnKeyDown) OnKeyDown(key);
}

void RegisterGrid::keyPressEvent(QKeyEvent* event) {
  ReportKey(event->key());
  passingKeyOn_ = true;
  QTableWidget::keyPressEvent(event);
  passingKeyOn_ = false;
}

bool RegisterGrid::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && !passingKeyOn_ && watched != this)
    ReportKey(static_cast<QKeyEvent*>(event)->key());
  return QTableWidget::eventFilter(watched, event);
}

} // namespace korvane
