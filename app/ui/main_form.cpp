#include "app/ui/main_form.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <type_traits>

#include "app/core/display.h"
#include "app/core/install_paths.h"
#include "app/core/int_conv.h"
#include "app/core/status.h"
#include "app/core/value_entry.h"
#include "app/core/view.h"
#include "app/ui/message_box.h"
#include "app/ui/register_grid.h"
#include "app/ui/widget_factory.h"
#include "config/core/config_apply.h"
#include "config/core/register_file.h"
#include "help/core/help_hook.h"
#include "modbus/master.h"

namespace korvane {

namespace {

constexpr int kGridRowHeight = 19;
constexpr std::array<int, kGridCols + 1> kGridColWidths = {64, 75, 80, 80, 78, 78};
const QColor kPortRed(255, 0, 0);
const QColor kPortGreen(0, 128, 0);

// A label that names `buddy`: its mnemonic moves the focus there, and the
// control is announced by the label's text (a display field has no other name).
QLabel* CaptionFor(const char* text, QWidget* buddy) {
  auto* label = new QLabel(text);
  label->setBuddy(buddy);
  buddy->setAccessibleName(QString(text).remove('&'));
  return label;
}

// A white display field (page number, port state, mode line).
QLabel* Field(const char* name, int width) {
  auto* l = new QLabel;
  l->setObjectName(name);
  l->setFixedWidth(width);
  l->setAlignment(Qt::AlignCenter);
  l->setFrameShape(QFrame::Panel);
  l->setFrameShadow(QFrame::Sunken);
  l->setAutoFillBackground(true);
  QPalette p = l->palette();
  p.setColor(QPalette::Window, Qt::white);
  p.setColor(QPalette::WindowText, Qt::black);
  l->setPalette(p);
  return l;
}

// A display field shows `text`. Its accessible name is the caption beside it,
// so assistive technology reads the shown text as its description.
void ShowFieldText(QLabel* field, const QString& text) {
  field->setText(text);
  field->setAccessibleDescription(text);
}

void SetFieldColour(QLabel* l, const QColor& c) {
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, c);
  l->setPalette(p);
}

} // namespace

TMainForm::TMainForm(Workspace& ws, const TickSource& ticks, QWidget* parent)
    : QMainWindow(parent), ws_(ws), ticks_(ticks) {
  setObjectName("MainForm");
  setWindowTitle("STELMOR - KORVANE Version 1.48");
  setWindowIcon(QIcon(":/korvane/korvane.svg"));
  QFont small = font();
  small.setPointSize(8);
  setFont(small);
  BuildControls();
  BuildMenu();
  AddHelpKey(this, kHelpContext);
  resize(kWidth, kHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kWidth / 2, kHeight / 2));
  }
  FormCreate();
  ConnectHandlers();
}

TMainForm::~TMainForm() = default;

// The window from top to bottom. Each section builds its widgets and their
// layout; ConnectHandlers wires them afterwards. A section's widgets join the
// window, and so the Tab order, when its layout is added here.
void TMainForm::BuildControls() {
  auto* central = new QWidget;
  setCentralWidget(central);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(8, 6, 8, 8);
  outer->setSpacing(10);
  outer->addLayout(BuildSelectors());
  outer->addLayout(BuildStatusLine());
  outer->addLayout(BuildGridRow(outer->contentsMargins()));
  outer->addLayout(BuildMasterRow());
  outer->addStretch(1);
  BuildTimers();
}

// --- View selectors
QGridLayout* TMainForm::BuildSelectors() {
  TxtStartReg_ = Edit("TxtStartReg", 86, "0001");
  TxtLength_ = Edit("TxtLength", 56, "100");
  ComboRegType_ = Combo("ComboRegType", 182);
  ComboReadType_ = Combo("ComboReadType", 206);
  auto* selectors = new QGridLayout;
  selectors->setHorizontalSpacing(10);
  selectors->setVerticalSpacing(2);
  const std::array<std::pair<const char*, QWidget*>, 4> top = {{{"&Start Register", TxtStartReg_},
                                                                {"&Length", TxtLength_},
                                                                {"&Variable Type", ComboRegType_},
                                                                {"&Display As", ComboReadType_}}};
  for (size_t i = 0; i < top.size(); ++i) {
    selectors->addWidget(CaptionFor(top[i].first, top[i].second), 0, static_cast<int>(i));
    selectors->addWidget(top[i].second, 1, static_cast<int>(i));
  }
  selectors->setColumnStretch(static_cast<int>(top.size()), 1);
  return selectors;
}

// --- Status, mode, address and port
QGridLayout* TMainForm::BuildStatusLine() {
  TxtStatus_ = new QLineEdit;
  TxtStatus_->setObjectName("TxtStatus");
  TxtStatus_->setReadOnly(true);
  TxtRTUMode_ = Field("TxtRTUMode", 120);
  CboAddr_ = Combo("CboAddr", 56);
  TxtPort_ = Field("TxtPort", 76);
  SetFieldColour(TxtRTUMode_, kPortRed);
  auto* state = new QGridLayout;
  state->setHorizontalSpacing(10);
  state->setVerticalSpacing(2);
  const std::array<std::pair<const char*, QWidget*>, 4> line = {
      {{"S&tatus", TxtStatus_}, {"Mode", TxtRTUMode_}, {"&Address", CboAddr_}, {"Port", TxtPort_}}};
  for (size_t i = 0; i < line.size(); ++i) {
    state->addWidget(CaptionFor(line[i].first, line[i].second), 0, static_cast<int>(i));
    state->addWidget(line[i].second, 1, static_cast<int>(i));
  }
  state->setColumnStretch(0, 1);
  TxtRTUMode_->setFixedHeight(TxtStatus_->sizeHint().height());
  TxtPort_->setFixedHeight(TxtStatus_->sizeHint().height());
  return state;
}

// --- The grid with pages, blocks and input beside it
QHBoxLayout* TMainForm::BuildGridRow(const QMargins& m) {
  BuildGrid();
  // The column beside the grid takes what the grid leaves of the window's width.
  constexpr int kMiddleSpacing = 8;
  QWidget* sidePanel = BuildSidePanel(kWidth - m.left() - m.right() - StringGrid1_->width() - kMiddleSpacing);
  auto* middle = new QHBoxLayout;
  middle->setSpacing(kMiddleSpacing);
  middle->addWidget(StringGrid1_, 0, Qt::AlignTop);
  middle->addWidget(sidePanel, 0, Qt::AlignTop);
  return middle;
}

// The grid: 6 columns by 21 rows, the first row and column fixed.
void TMainForm::BuildGrid() {
  StringGrid1_ = new RegisterGrid(kGridRows + 1, kGridCols + 1);
  StringGrid1_->setObjectName("StringGrid1");
  StringGrid1_->horizontalHeader()->hide();
  StringGrid1_->verticalHeader()->hide();
  StringGrid1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1_->setShowGrid(true);
  StringGrid1_->setSelectionMode(QAbstractItemView::SingleSelection);
  StringGrid1_->setSelectionBehavior(QAbstractItemView::SelectItems);
  StringGrid1_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                QAbstractItemView::AnyKeyPressed);
  StringGrid1_->setTabKeyNavigation(false);
  StringGrid1_->setWordWrap(false);
  StringGrid1_->verticalHeader()->setMinimumSectionSize(1);
  StringGrid1_->verticalHeader()->setDefaultSectionSize(kGridRowHeight);
  StringGrid1_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  StringGrid1_->horizontalHeader()->setMinimumSectionSize(1);
  StringGrid1_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  int gridWidth = 0;
  for (int c = 0; c <= kGridCols; ++c) {
    StringGrid1_->setColumnWidth(c, kGridColWidths[static_cast<size_t>(c)]);
    gridWidth += kGridColWidths[static_cast<size_t>(c)];
  }
  for (int r = 0; r <= kGridRows; ++r) StringGrid1_->setRowHeight(r, kGridRowHeight);
  const QBrush fixedBack = palette().brush(QPalette::Button);
  const QBrush fixedText = palette().brush(QPalette::ButtonText);
  for (int r = 0; r <= kGridRows; ++r) {
    for (int c = 0; c <= kGridCols; ++c) {
      auto* item = new QTableWidgetItem;
      if (r == 0 || c == 0) {
        // Fixed cells: never selected, never edited; the keyboard skips them.
        item->setFlags(Qt::NoItemFlags);
        item->setBackground(fixedBack);
        item->setForeground(fixedText);
      } else {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
      }
      StringGrid1_->setItem(r, c, item);
    }
  }
  const int frame = 2 * StringGrid1_->frameWidth();
  StringGrid1_->setFixedSize(gridWidth + frame, (kGridRows + 1) * kGridRowHeight + frame);
}

QWidget* TMainForm::BuildSidePanel(int width) {
  QGroupBox* pages = BuildPages();
  QGroupBox* blocks = BuildBlocks();
  QGroupBox* input = BuildInput();
  auto* sidePanel = new QWidget;
  sidePanel->setFixedWidth(width);
  auto* side = new QVBoxLayout(sidePanel);
  side->setContentsMargins(0, 0, 0, 0);
  side->setSpacing(6);
  side->addWidget(pages);
  side->addWidget(blocks);
  side->addWidget(input);
  side->addStretch(1);
  return sidePanel;
}

QGroupBox* TMainForm::BuildPages() {
  TxtPage_ = Field("TxtPage", 60);
  TxtPage_->setAccessibleName("Page");
  CmdNextPage_ = Button("CmdNextPage", "Next Page");
  CmdPrevPage_ = Button("CmdPrevPage", "Previous Page");
  CmdSavePage_ = Button("CmdSavePage", "Save Page");
  auto* pages = Group("GroupPages", "Pages");
  auto* pagesLayout = new QVBoxLayout(pages);
  pagesLayout->addWidget(TxtPage_, 0, Qt::AlignHCenter);
  pagesLayout->addWidget(CmdNextPage_);
  pagesLayout->addWidget(CmdPrevPage_);
  pagesLayout->addWidget(CmdSavePage_);
  return pages;
}

QGroupBox* TMainForm::BuildBlocks() {
  CmdNextBlock_ = Button("CmdNextBlock", "Next Block");
  CmdPrevBlock_ = Button("CmdPrevBlock", "Previous Block");
  auto* blocks = Group("GroupBlocks", "Blocks");
  auto* blocksLayout = new QVBoxLayout(blocks);
  blocksLayout->addWidget(CmdNextBlock_);
  blocksLayout->addWidget(CmdPrevBlock_);
  return blocks;
}

QGroupBox* TMainForm::BuildInput() {
  TxtInput_ = new QLineEdit;
  TxtInput_->setObjectName("TxtInput");
  CmdWrite_ = Button("CmdWrite", "&Rewrite");
  auto* input = Group("GroupInput", "Input");
  auto* inputLayout = new QVBoxLayout(input);
  inputLayout->setSpacing(2);
  inputLayout->addWidget(CaptionFor("&Input", TxtInput_));
  inputLayout->addWidget(TxtInput_);
  inputLayout->addSpacing(4);
  inputLayout->addWidget(CmdWrite_);
  return input;
}

// --- Master buttons and the value ramp below the grid
QHBoxLayout* TMainForm::BuildMasterRow() {
  QGroupBox* master = BuildMasterButtons();
  QGroupBox* change = BuildValueRamp();
  auto* bottom = new QHBoxLayout;
  bottom->setSpacing(8);
  bottom->addWidget(master, 1);
  bottom->addWidget(change, 1);
  return bottom;
}

QGroupBox* TMainForm::BuildMasterButtons() {
  CmdPoll_ = Button("CmdPoll", "Poll On/Off");
  ChkPoll_ = new QCheckBox;
  ChkPoll_->setObjectName("ChkPoll");
  ChkPoll_->setAccessibleName("Polling");
  // ChkPoll only shows PollEnabled; "Poll On/Off" changes it.
  ChkPoll_->setAttribute(Qt::WA_TransparentForMouseEvents);
  ChkPoll_->setFocusPolicy(Qt::NoFocus);
  CmdMasterWrite_ = Button("CmdMasterWrite", "Write");
  CmdMasterRead_ = Button("CmdMasterRead", "Read");
  auto* master = Group("GroupMaster", "Master Multiple Register/Coil Write");
  auto* masterLayout = new QHBoxLayout(master);
  masterLayout->addWidget(CmdPoll_);
  masterLayout->addWidget(ChkPoll_);
  masterLayout->addSpacing(8);
  masterLayout->addWidget(CmdMasterRead_);
  masterLayout->addWidget(CmdMasterWrite_);
  return master;
}

QGroupBox* TMainForm::BuildValueRamp() {
  ChkChangeVal_ = new QCheckBox("Off/On");
  ChkChangeVal_->setObjectName("ChkChangeVal");
  // "Off/On" alone says nothing: the box is named after its group.
  ChkChangeVal_->setAccessibleName("Change Values");
  TxtLowLim_ = Edit("TxtLowLim", 56, "0");
  TxtHiLim_ = Edit("TxtHiLim", 56, "1000");
  TxtIncr_ = Edit("TxtIncr", 56, "1");
  auto* change = Group("GroupChangeValues", "Change Values");
  auto* changeLayout = new QGridLayout(change);
  changeLayout->setVerticalSpacing(2);
  changeLayout->addWidget(ChkChangeVal_, 1, 0);
  changeLayout->addWidget(CaptionFor("Lo&w Limit", TxtLowLim_), 0, 1);
  changeLayout->addWidget(TxtLowLim_, 1, 1);
  changeLayout->addWidget(CaptionFor("Hi&gh Limit", TxtHiLim_), 0, 2);
  changeLayout->addWidget(TxtHiLim_, 1, 2);
  changeLayout->addWidget(CaptionFor("I&ncrement", TxtIncr_), 0, 3);
  changeLayout->addWidget(TxtIncr_, 1, 3);
  return change;
}

// --- Timers
void TMainForm::BuildTimers() {
  Timer1_ = new QTimer(this);
  Timer1_->setObjectName("Timer1");
  Timer2_ = new QTimer(this);
  Timer2_->setObjectName("Timer2");
  Timer2_->setInterval(100);
}

void TMainForm::BuildMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");
  QMenu* file = bar->addMenu("&File");
  file->setObjectName("File1");
  file->menuAction()->setObjectName("File1");
  QAction* load = file->addAction("&Load");
  load->setObjectName("Load1");
  QAction* save = file->addAction("&Save");
  save->setObjectName("Save1");
  Load1_ = load;
  Save1_ = save;
  Exit1_ = file->addAction("E&xit");
  Exit1_->setObjectName("Exit1");
  Configure1_ = bar->addAction("&Configure");
  Configure1_->setObjectName("Configure1");
  QMenu* comms = bar->addMenu("C&ommunications");
  comms->setObjectName("Comms");
  comms->menuAction()->setObjectName("Comms");
  Monitor1_ = comms->addAction("&Monitor");
  Monitor1_->setObjectName("Monitor1");
  MnuModbus_ = comms->addAction("Modbus");
  MnuModbus_->setObjectName("MnuModbus");
  MnuLineAnalyzer_ = comms->addAction("&Line Analyzer");
  MnuLineAnalyzer_->setObjectName("MnuLineAnalyzer");
  Help1_ = bar->addAction("&Help");
  Help1_->setObjectName("Help1");
}

void TMainForm::ConnectHandlers() {
  // Every handler runs through Guarded: what it throws is shown, never passed
  // on into Qt's event dispatch.
  auto on = [this](void (TMainForm::*handler)()) { return GuardedSlot(this, handler); };
  // Selectors react to the user only, not to the window writing them.
  auto user = [this](auto handler) {
    return [this, handler] {
      if (!updating_) Guarded([&] { (this->*handler)(); });
    };
  };
  connect(ComboRegType_, &QComboBox::activated, this, user(&TMainForm::ComboRegTypeChange));
  connect(ComboRegType_, &QComboBox::editTextChanged, this, user(&TMainForm::ComboRegTypeChange));
  connect(ComboReadType_, &QComboBox::activated, this, user(&TMainForm::ComboReadTypeChange));
  connect(ComboReadType_, &QComboBox::editTextChanged, this, user(&TMainForm::ComboReadTypeChange));
  connect(CboAddr_, &QComboBox::activated, this, user(&TMainForm::CboAddrChange));
  connect(CboAddr_, &QComboBox::editTextChanged, this, user(&TMainForm::CboAddrChange));
  // The edits react to every change of their text, the window's own included.
  connect(TxtStartReg_, &QLineEdit::textChanged, this, on(&TMainForm::TxtStartRegChange));
  connect(TxtLength_, &QLineEdit::textChanged, this, on(&TMainForm::TxtLengthChange));
  // The warning first; the key then takes its usual effect in the grid.
  StringGrid1_->OnKeyDown = [this](int key) { Guarded([&] { StringGrid1KeyDown(key); }); };
  connect(StringGrid1_, &QTableWidget::currentCellChanged, this, [this](int row, int col, int, int) {
    if (!updating_) Guarded([&] { StringGrid1SelectCell(col, row); });
  });
  connect(CmdWrite_, &QPushButton::clicked, this, on(&TMainForm::CmdWriteClick));
  connect(CmdNextBlock_, &QPushButton::clicked, this, on(&TMainForm::CmdNextBlockClick));
  connect(CmdPrevBlock_, &QPushButton::clicked, this, on(&TMainForm::CmdPrevBlockClick));
  connect(CmdNextPage_, &QPushButton::clicked, this, on(&TMainForm::CmdNextPageClick));
  connect(CmdPrevPage_, &QPushButton::clicked, this, on(&TMainForm::CmdPrevPageClick));
  connect(CmdSavePage_, &QPushButton::clicked, this, on(&TMainForm::CmdSavePageClick));
  connect(CmdPoll_, &QPushButton::clicked, this, on(&TMainForm::CmdPollClick));
  connect(CmdMasterRead_, &QPushButton::clicked, this, on(&TMainForm::CmdMasterReadClick));
  connect(CmdMasterWrite_, &QPushButton::clicked, this, on(&TMainForm::CmdMasterWriteClick));
  connect(Exit1_, &QAction::triggered, this, on(&TMainForm::Exit1Click));
  connect(Help1_, &QAction::triggered, this, on(&TMainForm::Help1Click));
  connect(Configure1_, &QAction::triggered, this, on(&TMainForm::Configure1Click));
  connect(Load1_, &QAction::triggered, this, on(&TMainForm::Load1Click));
  connect(Save1_, &QAction::triggered, this, on(&TMainForm::Save1Click));
  connect(Monitor1_, &QAction::triggered, this, on(&TMainForm::Monitor1Click));
  connect(MnuModbus_, &QAction::triggered, this, on(&TMainForm::MnuModbusClick));
  connect(MnuLineAnalyzer_, &QAction::triggered, this, on(&TMainForm::MnuLineAnalyzerClick));
  connect(Timer1_, &QTimer::timeout, this, on(&TMainForm::Timer1Timer));
  connect(Timer2_, &QTimer::timeout, this, on(&TMainForm::Timer2Timer));
  Timer1_->start();
  Timer2_->start();
}

// --- Creation ---------------------------------------------------------------

void TMainForm::FormCreate() {
  updating_ = true;
  ws_.SetDefaults();
  Timer1_->setInterval(ws_.Settings.PollTime * 1000);
  ChkPoll_->setChecked(ws_.Cycle.PollEnabled == 1);
  FillAddressSelector();
  ModeDisplay();
  ShowPortState(false);
  TxtStartReg_->setText("0001");
  TxtLength_->setText(Q(IntToStr(ws_.View.RegLength)));
  ShowFieldText(TxtPage_, Q(IntToStr(ws_.View.CurrentPage)));
  ComboRegType_->clear();
  for (const char* item : kRegTypeItems) ComboRegType_->addItem(item);
  ComboRegType_->setCurrentIndex(3);
  ComboReadType_->clear();
  for (const char* item : kReadTypeItems) ComboReadType_->addItem(item);
  ComboReadType_->setCurrentIndex(1);
  ws_.Store.Clear();
  DisplayRegs();
  ws_.Ui.HelpFilePath = HelpFilePathFor(S(QCoreApplication::applicationDirPath()));
  // The help hook lives as long as the window (launch mode 0: the first viewer found).
  helpHook_ = std::make_unique<THookHelpSystem>(ws_.Ui.HelpFilePath, "", 0);
  // The selection starts on the first data cell without applying any input.
  StringGrid1_->setCurrentCell(1, 1);
  updating_ = false;
}

// --- Drawing ----------------------------------------------------------------

void TMainForm::SetCellText(int col, int row, const std::string& text) {
  StringGrid1_->item(row, col)->setText(Q(text));
}

std::string TMainForm::CellText(int col, int row) const { return S(StringGrid1_->item(row, col)->text()); }

GridTexts TMainForm::ValueCellTexts() const {
  GridTexts texts;
  for (int c = 1; c <= kGridCols; ++c)
    for (int r = 1; r <= kGridRows; ++r) texts[static_cast<size_t>(CellOffset(c, r))] = CellText(c, r);
  return texts;
}

void TMainForm::DisplayRegs() {
  const GridView view = korvane::DisplayRegs(ws_);
  SetCellText(0, 0, view.Corner);
  for (int c = 1; c <= kGridCols; ++c) SetCellText(c, 0, view.ColHeader[static_cast<size_t>(c)]);
  for (int r = 1; r <= kGridRows; ++r) SetCellText(0, r, view.RowHeader[static_cast<size_t>(r)]);
  for (int c = 1; c <= kGridCols; ++c)
    for (int r = 1; r <= kGridRows; ++r)
      if (const korvane::CellText& t = view.At(c, r)) SetCellText(c, r, *t);
}

void TMainForm::ShowComboText(QComboBox* combo, const std::string& text) {
  const bool was = updating_;
  updating_ = true;
  // An item that already shows the text stays chosen: two slots may share an address.
  const int current = combo->currentIndex();
  if (current < 0 || combo->itemText(current) != Q(text)) {
    const int i = combo->findText(Q(text), Qt::MatchExactly);
    if (i >= 0) combo->setCurrentIndex(i);
  }
  combo->setEditText(Q(text));
  updating_ = was;
}

int TMainForm::Position(const QComboBox* combo) {
  // The chosen item is the current one, also when an earlier item has the same
  // text; typed text selects the first item that matches it.
  const int current = combo->currentIndex();
  if (current >= 0 && combo->itemText(current) == combo->currentText()) return current;
  return combo->findText(combo->currentText(), Qt::MatchExactly);
}

void TMainForm::DisplayRegTypes() {
  const ViewControls v = korvane::DisplayRegTypes(ws_);
  TxtStartReg_->setText(Q(v.TxtStartReg));
  TxtLength_->setText(Q(v.TxtLength));
  ShowFieldText(TxtPage_, Q(v.TxtPage));
  if (v.ComboRegType) ShowComboText(ComboRegType_, *v.ComboRegType);
  if (v.ComboReadType) ShowComboText(ComboReadType_, *v.ComboReadType);
}

void TMainForm::ModeDisplay() {
  const ModeView m = korvane::ModeDisplay(ws_);
  if (m.ClearStatus) TxtStatus_->clear();
  ShowFieldText(TxtRTUMode_, Q(m.TxtRTUMode));
  ShowComboText(CboAddr_, m.CboAddr);
}

void TMainForm::StatusDisplay(int32_t code, const std::string& prefix) {
  const StatusUpdate u = korvane::StatusDisplay(ws_, code, prefix);
  if (u.Text) SetStatusText(*u.Text);
  if (u.Redraw) DisplayRegs();
}

void TMainForm::ShowPortState(bool active) {
  ShowFieldText(TxtPort_, active ? "Active" : "InActive");
  if (!active) TxtPort_->setToolTip(QString()); // the detail was about the open port
  SetFieldColour(TxtPort_, active ? kPortGreen : kPortRed);
}

void TMainForm::ShowPortDetail(const std::string& detail) {
  TxtPort_->setToolTip(Q(detail));
  TxtPort_->setAccessibleDescription(detail.empty() ? TxtPort_->text()
                                                    : TxtPort_->text() + " - " + Q(detail));
  if (!detail.empty() && portDetailListener_) portDetailListener_(detail);
}

void TMainForm::FillAddressSelector() {
  const bool was = updating_;
  updating_ = true;
  CboAddr_->clear();
  for (int s = 1; s <= kSlotCount; ++s)
    CboAddr_->addItem(Q(IntToStr(ws_.Devices.SlotAddress[static_cast<size_t>(s)])));
  const int active = ws_.Devices.ActiveSlot;
  CboAddr_->setCurrentIndex(active >= 1 && active <= kSlotCount ? active - 1 : -1);
  CboAddr_->setEditText(Q(IntToStr(ws_.Devices.DeviceAddress)));
  updating_ = was;
}

// --- Selectors and edits ----------------------------------------------------

void TMainForm::ComboRegTypeChange() {
  korvane::ComboRegTypeChange(ws_, Position(ComboRegType_));
  DisplayRegs();
}

void TMainForm::ComboReadTypeChange() {
  const std::string length = korvane::ComboReadTypeChange(ws_, Position(ComboReadType_));
  TxtLength_->setText(Q(length));
  DisplayRegs();
}

void TMainForm::TxtStartRegChange() {
  if (korvane::TxtStartRegChange(ws_, S(TxtStartReg_->text()))) DisplayRegs();
}

void TMainForm::TxtLengthChange() {
  if (korvane::TxtLengthChange(ws_, S(TxtLength_->text()))) DisplayRegs();
}

void TMainForm::CboAddrChange() {
  korvane::CboAddrChange(ws_, Position(CboAddr_));
  DisplayRegs();
}

void TMainForm::StringGrid1KeyDown(int /*key*/) {
  ShowMessage(
      "Data entered directly into Cell will be ignored. Enter Data via Input Box, Toggling or Prompt");
}

// --- Blocks and pages -------------------------------------------------------

void TMainForm::CmdNextBlockClick() {
  TxtStartReg_->setText(Q(NextBlock(ws_)));
  DisplayRegs();
}

void TMainForm::CmdPrevBlockClick() {
  TxtStartReg_->setText(Q(PrevBlock(ws_)));
  DisplayRegs();
}

void TMainForm::CmdNextPageClick() {
  NextPage(ws_);
  DisplayRegTypes();
  DisplayRegs();
}

void TMainForm::CmdPrevPageClick() {
  PrevPage(ws_);
  DisplayRegTypes();
  DisplayRegs();
}

void TMainForm::CmdSavePageClick() {
  SavePage(ws_, S(TxtStartReg_->text()), S(TxtLength_->text()));
  DisplayRegTypes();
  DisplayRegs();
}

// --- Menu ---------------------------------------------------------------------

void TMainForm::AttachMaster(TMaster* master) {
  master_ = master;
  requests_.reset();
  if (master != nullptr) requests_ = std::make_unique<RequestBuilderFor<TMaster>>(*master);
}

void TMainForm::AttachPortControl(PortControl* portControl) { portControl_ = portControl; }

void TMainForm::SetStatusListener(std::function<void(const std::string&)> listener) {
  statusListener_ = std::move(listener);
}

void TMainForm::SetPortDetailListener(std::function<void(const std::string&)> listener) {
  portDetailListener_ = std::move(listener);
}

void TMainForm::SetStatusText(const std::string& text) {
  TxtStatus_->setText(Q(text));
  if (statusListener_) statusListener_(text);
}

void TMainForm::ShowLinkStatus(const std::string& text) { SetStatusText(text); }

void TMainForm::ShowSeen(const std::string& text) { SetStatusText(text); }

void TMainForm::SetPollInterval(int32_t ms) {
  // An interval of 0 would fire without pause: the timer stops instead.
  if (ms > 0)
    Timer1_->start(ms);
  else
    Timer1_->stop();
}

void TMainForm::ApplyPollTime() { SetPollInterval(PollIntervalMs(ws_.Settings.PollTime)); }

void TMainForm::AttachWindows(QWidget* configForm, QWidget* commsForm, QWidget* frmCommsModbus,
                              QWidget* lineAnalyzer) {
  configForm_ = configForm;
  commsForm_ = commsForm;
  frmCommsModbus_ = frmCommsModbus;
  lineAnalyzer_ = lineAnalyzer;
}

namespace {
// Shows a window without making it modal; one already shown is brought to the front.
void ShowWindow(QWidget* w) {
  if (w == nullptr) return;
  w->show();
  w->raise();
  w->activateWindow();
}
} // namespace

void TMainForm::Configure1Click() { ShowWindow(configForm_); }

// --- Register file ------------------------------------------------------------

void TMainForm::Save1Click() {
  // The platform's dialog as it comes: no title, no filter, no default
  // extension; an existing file is replaced without asking.
  const QString path = QFileDialog::getSaveFileName(this, QString(), QString(), QString(), nullptr,
                                                    QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) SaveRegisterFileTo(S(path));
}

void TMainForm::Load1Click() {
  const QString path = QFileDialog::getOpenFileName(this);
  if (!path.isEmpty()) LoadRegisterFileFrom(S(path));
}

void TMainForm::SaveRegisterFileTo(const std::string& path) { SaveRegisterFile(ws_, path); }

void TMainForm::LoadRegisterFileFrom(const std::string& path) {
  LoadRegisterFile(ws_, path);
  // A poll time below 1 can only come from a file: it stops the poll timer
  // instead of letting it fire without pause.
  ApplyPollTime();
  ModeDisplay();
  DisplayRegTypes();
  DisplayRegs();
  if (portControl_ != nullptr) portControl_->CloseComm(ws_.Settings.CommPort);
}
void TMainForm::Monitor1Click() { ShowWindow(commsForm_); }
void TMainForm::MnuModbusClick() { ShowWindow(frmCommsModbus_); }
void TMainForm::MnuLineAnalyzerClick() { ShowWindow(lineAnalyzer_); }

void TMainForm::Exit1Click() {
  if (portControl_ != nullptr) portControl_->CloseComm(ws_.Settings.CommPort);
  close();
}

void TMainForm::Help1Click() {
  const std::string message = HelpMenuMessage(HelpTopic(ws_.Ui.HelpFilePath, "", "", 0));
  if (!message.empty()) ShowMessage(message);
}

// --- Timers -----------------------------------------------------------------

void TMainForm::Timer1Timer() {
  RampTexts ramp;
  const bool rampOn = ChkChangeVal_->isChecked();
  if (rampOn)
    ramp = RampTexts{S(TxtLowLim_->text()), S(TxtHiLim_->text()), S(TxtIncr_->text()), S(TxtLength_->text())};
  ShowResult(Timer1Step(ws_, Requests(), ticks_, rampOn ? &ramp : nullptr));
}

void TMainForm::Timer2Timer() {
  if (master_ != nullptr) CheckReplyTimeout(ws_, *master_, ticks_, *this);
  if (portControl_ != nullptr) portControl_->AnalyzerTimer();
}

// --- Value entry and master commands ------------------------------------------

namespace {
class NoRequests final : public RequestBuilder {
public:
  void MasterPollPLC() override {}
  size_t SentCharacters() const override { return 0; }
};
} // namespace

RequestBuilder& TMainForm::Requests() {
  static NoRequests none;
  return requests_ ? *requests_ : none;
}

template <class Result> void TMainForm::ShowResult(const Result& result) {
  if constexpr (std::is_same_v<Result, EntryResult>) {
    if (result.CellText && result.Col >= 1 && result.Row >= 1)
      SetCellText(result.Col, result.Row, *result.CellText);
  }
  if (result.StatusText) SetStatusText(*result.StatusText);
  if (result.Redraw) DisplayRegs();
  if constexpr (std::is_same_v<Result, EntryResult>) {
    if (result.CellText && result.Col >= 1 && result.Row >= 1)
      StringGrid1_->AnnounceCell(result.Row, result.Col);
  }
}

void TMainForm::StringGrid1SelectCell(int col, int row) {
  ShowResult(korvane::StringGrid1SelectCell(ws_, Requests(), ticks_, col, row, S(TxtInput_->text())));
}

void TMainForm::CmdWriteClick() {
  ShowResult(korvane::CmdWriteClick(ws_, Requests(), ticks_, S(TxtInput_->text())));
}

void TMainForm::CmdPollClick() { ChkPoll_->setChecked(korvane::CmdPollClick(ws_)); }

void TMainForm::CmdMasterReadClick() { ShowResult(korvane::CmdMasterReadClick(ws_, Requests(), ticks_)); }

void TMainForm::CmdMasterWriteClick() {
  ShowResult(korvane::CmdMasterWriteClick(ws_, Requests(), ticks_, ValueCellTexts()));
}

} // namespace korvane
