#pragma once
// The table model of the "Line Analyzer" window over the analyzer's ring: no
// copy of a frame, no widget per frame. Its rows follow the ring by Update:
// rows whose frames the ring overwrote leave the front, new frames that pass
// the filter join the end. Cell texts (the summary included) are made only
// when the view asks for a row it draws.
#include <QAbstractTableModel>

#include <cstdint>
#include <vector>

#include "monitor/core/line_analyzer.h"
#include "monitor/core/line_view.h"

namespace korvane {

class LineFrameModel final : public QAbstractTableModel {
public:
  enum Column { kTime, kDirection, kDevice, kFunction, kSummary, kBytes, kCheck, kResponse, kColumnCount };

  explicit LineFrameModel(const LineAnalyzer& analyzer, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  struct Change {
    size_t Dropped = 0; // rows removed at the front
    size_t Added = 0;   // rows added at the end
    bool Reset = false; // the ring was cleared: every row anew
  };
  // Brings the rows up to date with the ring. With `takeNew` false (paused)
  // no row is added; rows whose frames are gone still leave.
  Change Update(bool takeNew);

  const FrameFilter& Filter() const { return rows_.Filter(); }
  // Rows anew for another filter (a model reset).
  void SetFilter(const FrameFilter& filter);

  // The frame a row shows (nullptr once the ring dropped it) and its number.
  const line::Frame* FrameAt(int row) const;
  uint64_t NumberAt(int row) const { return rows_.Number(static_cast<size_t>(row)); }
  // The row of frame `number`, -1 when it is not in the table.
  int RowOf(uint64_t number) const { return static_cast<int>(rows_.RowOf(number)); }

private:
  const LineAnalyzer& la_;
  FrameRows rows_;
  std::vector<uint64_t> pending_;
  uint64_t syncedGeneration_ = ~uint64_t{0}; // the ring's generation once fully taken in
};

} // namespace korvane
