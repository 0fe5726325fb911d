#include "monitor/ui/line_frame_model.h"

#include <QBrush>
#include <QColor>

#include <string>

namespace korvane {

namespace {

const char* const kHeadings[LineFrameModel::kColumnCount] = {
    "Time (ms)", "Direction", "Device", "Function", "Summary", "Bytes", "Check", "Response (ms)"};

// Text colours of the rows that need a second look; all dark enough to read
// on a white or a light-grey row.
QColor ToneColour(RowTone tone) {
  switch (tone) {
  case RowTone::kChecksum:
    return {0xC6, 0x00, 0x00}; // red
  case RowTone::kNoise:
    return {0xB0, 0x52, 0x00}; // dark orange
  case RowTone::kException:
    return {0x80, 0x20, 0xA0}; // purple
  case RowTone::kEcho:
    return {0x80, 0x80, 0x80}; // grey
  case RowTone::kPlain:
    break;
  }
  return {};
}

QString CellText(const line::Frame& f, int column) {
  switch (column) {
  case LineFrameModel::kTime:
    return QString::fromStdString(MillisText(f.TimeUs));
  case LineFrameModel::kDirection:
    return QString::fromLatin1(DirectionText(f.Dir));
  case LineFrameModel::kDevice:
    return f.Device < 0 ? QString() : QString::number(f.Device);
  case LineFrameModel::kFunction:
    return f.Function < 0 ? QString() : QString::number(f.Function);
  case LineFrameModel::kSummary:
    return QString::fromStdString(line::Summary(f));
  case LineFrameModel::kBytes:
    return QString::number(f.Bytes.size());
  case LineFrameModel::kCheck:
    return QString::fromStdString(CheckText(f));
  case LineFrameModel::kResponse:
    return QString::fromStdString(ResponseText(f.ResponseUs));
  default:
    return {};
  }
}

} // namespace

LineFrameModel::LineFrameModel(const LineAnalyzer& analyzer, QObject* parent)
    : QAbstractTableModel(parent), la_(analyzer) {
  rows_.Rebuild(la_);
  syncedGeneration_ = la_.Generation();
}

int LineFrameModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.Size());
}

int LineFrameModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant LineFrameModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const line::Frame* f = FrameAt(index.row());
  if (f == nullptr) return {};
  switch (role) {
  case Qt::DisplayRole:
    return CellText(*f, index.column());
  case Qt::ForegroundRole: {
    const RowTone tone = ToneOf(*f);
    if (tone == RowTone::kPlain) return {};
    return QBrush(ToneColour(tone));
  }
  case Qt::TextAlignmentRole:
    if (index.column() == kSummary || index.column() == kDirection || index.column() == kCheck)
      return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  default:
    return {};
  }
}

QVariant LineFrameModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  if (section < 0 || section >= kColumnCount) return {};
  return QString::fromLatin1(kHeadings[section]);
}

LineFrameModel::Change LineFrameModel::Update(bool takeNew) {
  Change change;
  if (takeNew && la_.Generation() == syncedGeneration_) return change;
  if (rows_.RingCleared(la_)) {
    beginResetModel();
    rows_.Rebuild(la_);
    endResetModel();
    syncedGeneration_ = la_.Generation();
    change.Reset = true;
    return change;
  }
  change.Dropped = rows_.Stale(la_);
  if (change.Dropped > 0) {
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(change.Dropped) - 1);
    rows_.DropFront(change.Dropped);
    endRemoveRows();
  }
  if (!takeNew) {
    // Paused: what came meanwhile is taken in later.
    syncedGeneration_ = ~uint64_t{0};
    return change;
  }
  pending_.clear();
  rows_.TakeNew(la_, pending_);
  change.Added = pending_.size();
  if (change.Added > 0) {
    const int first = static_cast<int>(rows_.Size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(change.Added) - 1);
    rows_.Append(pending_);
    endInsertRows();
  }
  syncedGeneration_ = la_.Generation();
  return change;
}

void LineFrameModel::SetFilter(const FrameFilter& filter) {
  beginResetModel();
  rows_.SetFilter(filter, la_);
  endResetModel();
  syncedGeneration_ = la_.Generation();
}

const line::Frame* LineFrameModel::FrameAt(int row) const {
  return row < 0 ? nullptr : rows_.FrameOf(la_, static_cast<size_t>(row));
}

} // namespace korvane
