#include "app/ui/register_grid.h"

#include <QAccessible>
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
  setAccessibleName("Registers");
  connect(this, &QTableWidget::itemChanged, this, &RegisterGrid::Describe);
}

namespace {
void SetDescription(QTableWidgetItem* item, const QString& text) {
  // Setting an equal value would still report a change.
  if (item->data(Qt::AccessibleDescriptionRole).toString() != text)
    item->setData(Qt::AccessibleDescriptionRole, text);
}
} // namespace

void RegisterGrid::Describe(QTableWidgetItem* changed) {
  const int row = changed->row();
  const int col = changed->column();
  if (row == 0) {
    SetDescription(changed, "column heading");
    if (col > 0)
      for (int r = 1; r < rowCount(); ++r) DescribeValueCell(r, col);
  } else if (col == 0) {
    SetDescription(changed, "row heading");
    for (int c = 1; c < columnCount(); ++c) DescribeValueCell(row, c);
  }
}

void RegisterGrid::DescribeValueCell(int row, int col) {
  QTableWidgetItem* rowHeading = item(row, 0);
  QTableWidgetItem* colHeading = item(0, col);
  QTableWidgetItem* cell = item(row, col);
  if (rowHeading == nullptr || colHeading == nullptr || cell == nullptr) return;
  bool rowOk = false;
  bool colOk = false;
  const qlonglong first = rowHeading->text().toLongLong(&rowOk);
  const qlonglong offset = colHeading->text().toLongLong(&colOk); // "+20"
  SetDescription(cell, rowOk && colOk ? "Register " + QString::number(first + offset)
                                      : rowHeading->text() + " " + colHeading->text());
}

void RegisterGrid::AnnounceCell(int row, int col) {
  // Not skipped while no screen reader is active: value entry is rare, and the
  // event goes nowhere then.
  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(this);
  QAccessibleTableInterface* table = grid != nullptr ? grid->tableInterface() : nullptr;
  QAccessibleInterface* cell = table != nullptr ? table->cellAt(row, col) : nullptr;
  if (cell == nullptr) return;
  QAccessibleEvent changed(cell, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&changed);
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
