#include "monitor/ui/frm_line_analyzer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSize>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <stdexcept>
#include <vector>

#include "app/ui/widget_factory.h"
#include "monitor/core/line_view.h"
#include "monitor/ui/line_frame_model.h"
#include "monitor/ui/monitor_widgets.h"

namespace korvane {

namespace {

// A label naming `buddy`: its mnemonic moves the focus there and the control
// is announced by the label's text.
QLabel* Caption(const char* name, const char* text, QWidget* buddy) {
  auto* label = Named(new QLabel(text), name);
  label->setBuddy(buddy);
  buddy->setAccessibleName(QString(text).remove('&'));
  return label;
}

QPlainTextEdit* DetailMemo(const char* name) {
  auto* memo = Named(new QPlainTextEdit, name);
  memo->setReadOnly(true);
  memo->setTabChangesFocus(true);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  return memo;
}

const char* const kStatsHeadings[] = {"Device",
                                      "Requests",
                                      "Good Replies",
                                      "CRC/LRC Errors",
                                      "Time-outs",
                                      "Exceptions",
                                      "Min (ms)",
                                      "Median (ms)",
                                      "P95 (ms)",
                                      "Max (ms)",
                                      "Suggested Time-out (ms)",
                                      "Response Time (ms)"};
constexpr int kStatsColumns = static_cast<int>(sizeof kStatsHeadings / sizeof kStatsHeadings[0]);

void SetCell(QTableWidget* table, int row, int col, const QString& text) {
  QTableWidgetItem* item = table->item(row, col);
  if (item == nullptr) {
    item = new QTableWidgetItem;
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    table->setItem(row, col, item);
  }
  if (item->text() != text) item->setText(text);
}

} // namespace

TFrmLineAnalyzer::TFrmLineAnalyzer(Workspace& ws, LineAnalyzer& analyzer, QWidget* parent)
    : QWidget(parent, Qt::Window), ws_(ws), la_(analyzer) {
  SetUpMonitorWindow(this, "FrmLineAnalyzer", "Line Analyzer", kHelpContext, QSize(1040, 720));
  BuildControls();
  ConnectHandlers();
  RefreshStatistics();
  ShowCounts();
  CentreOnScreen(this);
}

TFrmLineAnalyzer::~TFrmLineAnalyzer() = default;

void TFrmLineAnalyzer::BuildControls() {
  // The layout is installed first, so every control joins the window (and
  // the Tab order) in the order it is added: top to bottom, left to right.
  auto* layout = new QVBoxLayout(this);

  // Filters and commands.
  auto* filters = new QHBoxLayout;
  layout->addLayout(filters);
  SpnDevice_ = Named(new QSpinBox, "SpnDevice");
  SpnDevice_->setRange(-1, 255);
  SpnDevice_->setSpecialValueText("All");
  SpnDevice_->setValue(-1);
  filters->addWidget(Caption("LblDevice", "&Device", SpnDevice_));
  filters->addWidget(SpnDevice_);
  CboFunction_ = Named(new QComboBox, "CboFunction");
  CboFunction_->addItem("All", -1);
  for (int code = 1; code < 128; ++code) {
    const char* name = line::FunctionName(code);
    QString text = QString::number(code);
    if (name != nullptr && *name != '\0') text += QString(" ") + name;
    CboFunction_->addItem(text, code);
  }
  filters->addWidget(Caption("LblFunction", "F&unction", CboFunction_));
  filters->addWidget(CboFunction_);
  ChkErrors_ = Named(new QCheckBox("&Errors only"), "ChkErrors");
  ChkPause_ = Named(new QCheckBox("&Pause"), "ChkPause");
  ChkFollow_ = Named(new QCheckBox("&Follow"), "ChkFollow");
  ChkFollow_->setChecked(true);
  CmdExport_ = Button("CmdExport", "Export &CSV");
  for (QWidget* w : {static_cast<QWidget*>(ChkErrors_), static_cast<QWidget*>(ChkPause_),
                     static_cast<QWidget*>(ChkFollow_)})
    filters->addWidget(w);
  filters->addStretch();
  filters->addWidget(CmdExport_);

  auto* splitter = Named(new QSplitter(Qt::Vertical), "Splitter");
  splitter->setChildrenCollapsible(false);
  layout->addWidget(splitter, 1);

  // The frames.
  auto* framesPane = Named(new QWidget, "FramesPane");
  splitter->addWidget(framesPane);
  auto* framesBox = new QVBoxLayout(framesPane);
  framesBox->setContentsMargins(0, 0, 0, 0);
  TblFrames_ = Named(new QTableView, "TblFrames");
  framesBox->addWidget(Caption("LblFrames", "Fra&mes", TblFrames_));
  framesBox->addWidget(TblFrames_, 1);
  model_ = new LineFrameModel(la_, this);
  TblFrames_->setModel(model_);
  TblFrames_->setSelectionBehavior(QAbstractItemView::SelectRows);
  TblFrames_->setSelectionMode(QAbstractItemView::SingleSelection);
  TblFrames_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TblFrames_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  // Tab leaves the table; the arrow keys move in it.
  TblFrames_->setTabKeyNavigation(false);
  TblFrames_->setWordWrap(false);
  TblFrames_->verticalHeader()->hide();
  // Rows of one fixed height: the view never measures 100,000 rows.
  const int rowHeight = TblFrames_->fontMetrics().height() + 4;
  TblFrames_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  TblFrames_->verticalHeader()->setMinimumSectionSize(rowHeight);
  TblFrames_->verticalHeader()->setDefaultSectionSize(rowHeight);
  QHeaderView* columns = TblFrames_->horizontalHeader();
  columns->setSectionResizeMode(QHeaderView::Interactive);
  const int widths[LineFrameModel::kColumnCount] = {96, 64, 52, 60, 360, 48, 110, 96};
  for (int c = 0; c < LineFrameModel::kColumnCount; ++c) columns->resizeSection(c, widths[c]);
  columns->setStretchLastSection(true);

  // The selected frame and the statistics.
  auto* details = Named(new QSplitter(Qt::Horizontal), "DetailSplitter");
  details->setChildrenCollapsible(false);
  splitter->addWidget(details);
  auto* framePane = Named(new QWidget, "FramePane");
  details->addWidget(framePane);
  auto* frameBox = new QVBoxLayout(framePane);
  frameBox->setContentsMargins(0, 0, 0, 0);
  MemoBytes_ = DetailMemo("MemoBytes");
  frameBox->addWidget(Caption("LblBytes", "Frame &Bytes", MemoBytes_));
  frameBox->addWidget(MemoBytes_, 2);
  // A whole line of the dump fits: offset, 16 bytes, their characters.
  MemoBytes_->setMinimumWidth(MemoBytes_->fontMetrics().horizontalAdvance(QString(76, QChar('0'))) +
                              MemoBytes_->verticalScrollBar()->sizeHint().width());
  MemoFields_ = DetailMemo("MemoFields");
  frameBox->addWidget(Caption("LblFields", "Decoded F&ields", MemoFields_));
  frameBox->addWidget(MemoFields_, 3);

  auto* statsPane = Named(new QWidget, "StatsPane");
  details->addWidget(statsPane);
  auto* statsBox = new QVBoxLayout(statsPane);
  statsBox->setContentsMargins(0, 0, 0, 0);
  TblStats_ = Named(new QTableWidget(0, kStatsColumns), "TblStats");
  statsBox->addWidget(Caption("LblStats", "&Statistics", TblStats_));
  statsBox->addWidget(TblStats_, 1);
  QStringList headings;
  for (const char* h : kStatsHeadings) headings << h;
  TblStats_->setHorizontalHeaderLabels(headings);
  TblStats_->verticalHeader()->hide();
  TblStats_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TblStats_->setSelectionBehavior(QAbstractItemView::SelectRows);
  TblStats_->setTabKeyNavigation(false);
  TblStats_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  LblNoise_ = Named(new QLabel, "LblNoise");
  LblUart_ = Named(new QLabel, "LblUart");
  LblTiming_ = Named(new QLabel, "LblTiming");
  LblTiming_->setWordWrap(true);
  LblTiming_->hide();
  for (QLabel* l : {LblNoise_, LblUart_, LblTiming_}) {
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statsBox->addWidget(l);
  }
  CmdResetStats_ = Button("CmdResetStats", "&Reset Statistics");
  auto* resetRow = new QHBoxLayout;
  statsBox->addLayout(resetRow);
  resetRow->addWidget(CmdResetStats_);
  resetRow->addStretch();
  details->setStretchFactor(0, 0);
  details->setStretchFactor(1, 1);
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);

  // The counts and "Exit".
  LblCount_ = Named(new QLabel, "LblCount");
  CmdExit_ = Button("CmdExit", "Exit");
  layout->addLayout(MakeButtonRow({LblCount_}, CmdExit_));

  Timer1_ = Named(new QTimer(this), "Timer1");
  Timer1_->setInterval(kRefreshMs);
}

void TFrmLineAnalyzer::ConnectHandlers() {
  auto on = [this](void (TFrmLineAnalyzer::*handler)()) { return GuardedSlot(this, handler); };
  connect(SpnDevice_, &QSpinBox::valueChanged, this, on(&TFrmLineAnalyzer::FilterChange));
  connect(CboFunction_, &QComboBox::currentIndexChanged, this, on(&TFrmLineAnalyzer::FilterChange));
  connect(ChkErrors_, &QCheckBox::toggled, this, on(&TFrmLineAnalyzer::FilterChange));
  connect(ChkPause_, &QCheckBox::toggled, this, on(&TFrmLineAnalyzer::ChkPauseClick));
  connect(ChkFollow_, &QCheckBox::toggled, this, on(&TFrmLineAnalyzer::ChkFollowClick));
  connect(TblFrames_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          on(&TFrmLineAnalyzer::FramesCurrentChange));
  connect(CmdExport_, &QPushButton::clicked, this, on(&TFrmLineAnalyzer::CmdExportClick));
  connect(CmdResetStats_, &QPushButton::clicked, this, on(&TFrmLineAnalyzer::CmdResetStatsClick));
  connect(CmdExit_, &QPushButton::clicked, this, on(&TFrmLineAnalyzer::CmdExitClick));
  connect(Timer1_, &QTimer::timeout, this, on(&TFrmLineAnalyzer::Timer1Timer));
}

void TFrmLineAnalyzer::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  Guarded([this] { Timer1Timer(); });
  Timer1_->start();
}

void TFrmLineAnalyzer::hideEvent(QHideEvent* e) {
  Timer1_->stop();
  QWidget::hideEvent(e);
}

void TFrmLineAnalyzer::Timer1Timer() {
  QScrollBar* bar = TblFrames_->verticalScrollBar();
  const int top = bar->value();
  // A selected frame the ring overwrote is no longer selected (rather than
  // the selection passing to a neighbour and the view jumping there).
  const QModelIndex current = TblFrames_->currentIndex();
  if (current.isValid() && model_->FrameAt(current.row()) == nullptr) {
    TblFrames_->selectionModel()->clear();
    ShowSelected();
  }
  const LineFrameModel::Change change = model_->Update(!ChkPause_->isChecked());
  if (ChkFollow_->isChecked() && !ChkPause_->isChecked()) {
    if (change.Added > 0 || change.Dropped > 0 || change.Reset) TblFrames_->scrollToBottom();
  } else if (change.Dropped > 0 && !change.Reset) {
    // The rows in view stay where they are while the front is cut.
    bar->setValue(top > static_cast<int>(change.Dropped) ? top - static_cast<int>(change.Dropped) : 0);
  }
  if (change.Added > 0 || change.Dropped > 0 || change.Reset) {
    ShowCounts();
    ShowSelected();
  }
  if (redrawsToStatistics_ > 0) {
    --redrawsToStatistics_;
  } else {
    RefreshStatistics();
  }
}

void TFrmLineAnalyzer::FilterChange() {
  FrameFilter filter;
  filter.Device = SpnDevice_->value();
  filter.Function = CboFunction_->currentData().toInt();
  filter.ErrorsOnly = ChkErrors_->isChecked();
  if (filter == model_->Filter()) return;
  const int64_t selected = shownNumber_;
  model_->SetFilter(filter);
  // The selected frame stays selected when it passes the new filter.
  const int row = selected >= 0 ? model_->RowOf(static_cast<uint64_t>(selected)) : -1;
  if (row >= 0) {
    TblFrames_->setCurrentIndex(model_->index(row, 0));
    TblFrames_->scrollTo(model_->index(row, 0));
  } else if (ChkFollow_->isChecked()) {
    TblFrames_->scrollToBottom();
  }
  ShowSelected();
  ShowCounts();
}

void TFrmLineAnalyzer::ChkPauseClick() {
  if (!ChkPause_->isChecked()) Timer1Timer();
}

void TFrmLineAnalyzer::ChkFollowClick() {
  if (ChkFollow_->isChecked()) TblFrames_->scrollToBottom();
}

void TFrmLineAnalyzer::FramesCurrentChange() { ShowSelected(); }

void TFrmLineAnalyzer::ShowSelected() {
  const QModelIndex current = TblFrames_->currentIndex();
  const line::Frame* f = current.isValid() ? model_->FrameAt(current.row()) : nullptr;
  const int64_t number = f != nullptr ? static_cast<int64_t>(model_->NumberAt(current.row())) : -1;
  if (number == shownNumber_) return;
  shownNumber_ = number;
  if (f == nullptr) {
    MemoBytes_->clear();
    MemoFields_->clear();
    return;
  }
  MemoBytes_->setPlainText(QString::fromLatin1(HexDump(f->Bytes).c_str()));
  MemoFields_->setPlainText(Q(FieldsText(*f)));
}

void TFrmLineAnalyzer::ShowCounts() {
  LblCount_->setText(QString("%1 shown, %2 held, %3 framed")
                         .arg(model_->rowCount())
                         .arg(static_cast<qulonglong>(la_.Size()))
                         .arg(static_cast<qulonglong>(la_.Total())));
}

void TFrmLineAnalyzer::RefreshStatistics() {
  redrawsToStatistics_ = kRedrawsPerStatistics - 1;
  LblUart_->setText(Q(UartText(la_.UartErrors())));
  const std::string& note = la_.TimingNote();
  LblTiming_->setText(Q(note));
  LblTiming_->setVisible(!note.empty());
  // The configured time-out may have changed in the meantime; the figures only with the line.
  const QString configured = QString::number(ws_.Settings.ResponseTime);
  if (la_.Generation() == statsGeneration_) {
    for (int row = 0; row < TblStats_->rowCount(); ++row)
      SetCell(TblStats_, row, kStatsColumns - 1, configured);
    return;
  }
  statsGeneration_ = la_.Generation();
  const std::vector<line::DeviceStatistics> devices = la_.Statistics().Devices();
  TblStats_->setRowCount(static_cast<int>(devices.size()));
  for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
    const line::DeviceStatistics& d = devices[static_cast<size_t>(row)];
    const QString cells[kStatsColumns] = {
        QString::number(d.Device),         QString::number(d.Requests),
        QString::number(d.GoodReplies),    QString::number(d.ChecksumErrors),
        QString::number(d.Timeouts),       Q(ExceptionsText(d)),
        Q(ResponseText(d.Response.MinUs)), Q(ResponseText(d.Response.MedianUs)),
        Q(ResponseText(d.Response.P95Us)), Q(ResponseText(d.Response.MaxUs)),
        Q(SuggestedTimeoutText(d)),        configured};
    for (int col = 0; col < kStatsColumns; ++col) SetCell(TblStats_, row, col, cells[col]);
  }
  LblNoise_->setText(
      QString("Noise entries: %1").arg(static_cast<qulonglong>(la_.Statistics().NoiseFrames())));
}

void TFrmLineAnalyzer::CmdResetStatsClick() {
  la_.ResetStatistics();
  RefreshStatistics();
}

void TFrmLineAnalyzer::CmdExportClick() {
  const QString path =
      QFileDialog::getSaveFileName(this, "Export CSV", QString(), "CSV files (*.csv);;All files (*)");
  if (!path.isEmpty()) ExportCsvTo(S(path));
}

void TFrmLineAnalyzer::ExportCsvTo(const std::string& path) {
  const FrameFilter filter = model_->Filter();
  const std::string text = filter.KeepsAll()
                               ? la_.ExportCsv()
                               : la_.ExportCsv([&filter](const line::Frame& f) { return filter.Keeps(f); });
  QSaveFile file(Q(path));
  const bool written =
      file.open(QIODevice::WriteOnly) &&
      file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) &&
      file.commit();
  if (!written) throw std::runtime_error("Export CSV: cannot write " + path + ": " + S(file.errorString()));
}

void TFrmLineAnalyzer::CmdExitClick() { hide(); }

} // namespace korvane
