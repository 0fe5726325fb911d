// The Line Analyzer window on Qt's offscreen platform, fed real RTU bytes
// through the analyzer: the frame table and its colours, the filters, pause
// and follow, the ring overwriting its oldest frames, the selected frame in
// hex and fields, the statistics, "Export CSV", the menu item and F1.
#include "monitor/ui/frm_line_analyzer.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/ui/main_form.h"
#include "help/core/help_hook.h"
#include "help/core/help_project.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/core/line_view.h"
#include "monitor/ui/line_frame_model.h"
#include "support/files.h"
#include "support/line_traffic.h"
#include "support/qt_test_support.h"

namespace korvane {
namespace {

[[maybe_unused]] ::testing::Environment* const kQt =
    test::AddQtEnvironment<QApplication>("line_analyzer_ui_test");

using test::LineTraffic;
using test::ReadReply;
using test::ReadRequest;
using Col = LineFrameModel::Column;

constexpr uint64_t kFirstUs = 1'234'567;

class LineAnalyzerWindowTest : public ::testing::Test, public test::CapturedMessages {
protected:
  void SetUp() override {
    ws = MakeWorkspace();
    form = std::make_unique<TFrmLineAnalyzer>(*ws, la);
  }

  template <class W> W* Find(const char* name) { return test::Child<W>(form.get(), name); }
  QTableView* Frames() { return Find<QTableView>("TblFrames"); }
  QAbstractItemModel* Model() { return Frames()->model(); }
  std::string Cell(int row, int col) { return Model()->index(row, col).data().toString().toStdString(); }
  QVariant Colour(int row) { return Model()->index(row, Col::kSummary).data(Qt::ForegroundRole); }
  std::string Text(const char* memo) { return Find<QPlainTextEdit>(memo)->toPlainText().toStdString(); }
  std::string Label(const char* name) { return Find<QLabel>(name)->text().toStdString(); }
  std::string Stat(int row, int col) {
    const QTableWidgetItem* item = Find<QTableWidget>("TblStats")->item(row, col);
    return item == nullptr ? std::string("<none>") : item->text().toStdString();
  }
  void Redraw() { form->Timer1Timer(); }
  // Enough redraws for the statistics to be computed anew.
  void RedrawStatistics() {
    for (int i = 0; i < TFrmLineAnalyzer::kRedrawsPerStatistics; ++i) form->Timer1Timer();
  }
  // The frames the table lists, by the ring's index of each row (the times are unique).
  std::vector<size_t> Listed() {
    std::vector<size_t> out;
    size_t next = 0;
    for (int row = 0; row < Model()->rowCount(); ++row) {
      while (next < la.Size() && MillisText(la.At(next).TimeUs) != Cell(row, Col::kTime)) ++next;
      out.push_back(next++);
    }
    return out;
  }

  // Eleven frames: a read of device 1, an exception from device 2, a reply
  // with a bad CRC, noise, a write to device 3 that times out, and a read of
  // device 1 whose request comes back as an echo before the reply.
  void MixedTraffic(LineTraffic& line) {
    line.Exchange(ReadRequest(1), ReadReply(1));
    line.Exchange(LineTraffic::Rtu({2, 3, 0, 0x10, 0, 2}), LineTraffic::Rtu({2, 0x83, 2}));
    std::string bad = ReadReply(1);
    bad.back() = static_cast<char>(bad.back() ^ 0x55);
    line.Exchange(ReadRequest(1), bad);
    line.Read("\x7F\x7F\x7F");
    line.Write(LineTraffic::Rtu({3, 6, 0, 1, 0, 5}), 500'000);
    line.Write(ReadRequest(1));
    line.Read(ReadRequest(1));
    line.Read(ReadReply(1));
  }

  std::unique_ptr<Workspace> ws;
  LineAnalyzer la;
  std::unique_ptr<TFrmLineAnalyzer> form;
};

bool Reddish(const QColor& c) { return c.red() > 150 && c.green() < 60 && c.blue() < 60; }
bool Orange(const QColor& c) { return c.red() > 150 && c.green() > 60 && c.green() < 130 && c.blue() < 40; }
bool Purple(const QColor& c) { return c.red() > 90 && c.blue() > 120 && c.green() < 80; }
bool Grey(const QColor& c) {
  return c.red() == c.green() && c.green() == c.blue() && c.red() > 90 && c.red() < 200;
}

TEST_F(LineAnalyzerWindowTest, TableShowsEveryFrameWithItsColour) {
  EXPECT_EQ(form->windowTitle().toStdString(), "Line Analyzer");
  EXPECT_EQ(Model()->rowCount(), 0);
  LineTraffic line(la, kFirstUs);
  MixedTraffic(line);
  ASSERT_EQ(la.Size(), 11u);
  EXPECT_EQ(Model()->rowCount(), 0) << "the table moves only with the redraw";
  Redraw();
  ASSERT_EQ(Model()->rowCount(), 11);

  const std::vector<std::string> headings = {"Time (ms)", "Direction", "Device", "Function",
                                             "Summary",   "Bytes",     "Check",  "Response (ms)"};
  for (int c = 0; c < Col::kColumnCount; ++c)
    EXPECT_EQ(Model()->headerData(c, Qt::Horizontal).toString().toStdString(),
              headings[static_cast<size_t>(c)]);

  struct Row {
    std::vector<std::string> cells; // Direction .. Check
    bool (*colour)(const QColor&);
  };
  const Row rows[] = {
      {{"tx", "1", "3", "Read Holding Registers 1-10", "8", "ok"}, nullptr},
      {{"rx", "1", "3", "Reply: 10 registers", "25", "ok"}, nullptr},
      {{"tx", "2", "3", "Read Holding Registers 17-18", "8", "ok"}, nullptr},
      {{"rx", "2", "131", "Exception 2 Illegal Data Address", "5", "ok"}, Purple},
      {{"tx", "1", "3", "", "8", "ok"}, nullptr},
      {{"rx", "1", "3", "", "25", "crc"}, Reddish},
      {{"rx", "", "", "Noise: 3 bytes", "3", "noise"}, Orange},
      {{"tx", "3", "6", "Write Single Register 2 = 5", "8", "ok"}, nullptr},
      {{"tx", "1", "3", "", "8", "ok"}, nullptr},
      {{"rx", "1", "3", "", "8", "ok (echo)"}, Grey},
      {{"rx", "1", "3", "Reply: 10 registers", "25", "ok"}, nullptr},
  };
  for (int r = 0; r < 11; ++r) {
    const Row& want = rows[r];
    const line::Frame& f = la.At(static_cast<size_t>(r));
    for (int c = Col::kDirection; c <= Col::kCheck; ++c) {
      const std::string& cell = want.cells[static_cast<size_t>(c - Col::kDirection)];
      if (c == Col::kSummary && cell.empty())
        EXPECT_EQ(Cell(r, c), line::Summary(f)) << r;
      else
        EXPECT_EQ(Cell(r, c), cell) << "row " << r << " column " << c;
    }
    EXPECT_EQ(Cell(r, Col::kTime), MillisText(f.TimeUs)) << r;
    const QVariant colour = Colour(r);
    if (want.colour == nullptr) {
      EXPECT_FALSE(colour.isValid()) << "row " << r << " is plain";
    } else {
      ASSERT_TRUE(colour.isValid()) << r;
      EXPECT_TRUE(want.colour(colour.value<QBrush>().color()))
          << r << " " << colour.value<QBrush>().color().name().toStdString();
    }
  }
  // Times from the port's opening; the reply's response time from the end of its request.
  EXPECT_EQ(Cell(0, Col::kTime), "1234.567");
  EXPECT_EQ(Cell(1, Col::kResponse), "11.042");
  EXPECT_EQ(Cell(0, Col::kResponse), "");
  EXPECT_TRUE(Cell(5, Col::kSummary).starts_with("CRC error")) << Cell(5, Col::kSummary);
  EXPECT_EQ(Label("LblCount"), "11 shown, 11 held, 11 framed");
}

TEST_F(LineAnalyzerWindowTest, FiltersListTheMatchingFramesAndExtendWithNewOnes) {
  LineTraffic line(la, kFirstUs);
  MixedTraffic(line);
  Redraw();
  auto* device = Find<QSpinBox>("SpnDevice");
  auto* function = Find<QComboBox>("CboFunction");
  auto* errors = Find<QCheckBox>("ChkErrors");
  EXPECT_EQ(device->text().toStdString(), "All");
  EXPECT_EQ(function->currentText().toStdString(), "All");
  EXPECT_EQ(function->itemText(3).toStdString(), "3 Read Holding Registers");
  EXPECT_EQ(function->itemText(127).toStdString(), "127");

  struct Case {
    int device;   // -1 all
    int function; // -1 all
    bool errors;
    std::vector<size_t> frames;
  };
  const Case cases[] = {
      {-1, -1, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {1, -1, false, {0, 1, 4, 5, 8, 9, 10}},
      {2, -1, false, {2, 3}},
      {-1, 6, false, {7}},
      {-1, 3, false, {0, 1, 2, 3, 4, 5, 8, 9, 10}},
      {-1, -1, true, {3, 5, 6}},
      {1, -1, true, {5}},
      {2, 3, true, {3}},
      {7, -1, false, {}},
  };
  for (const Case& c : cases) {
    device->setValue(c.device);
    function->setCurrentIndex(function->findData(c.function));
    errors->setChecked(c.errors);
    EXPECT_EQ(Listed(), c.frames) << c.device << " " << c.function << " " << c.errors;
    EXPECT_EQ(Label("LblCount"), std::to_string(c.frames.size()) + " shown, 11 held, 11 framed");
  }

  // With a filter on, new frames are added at the end, without a reset.
  device->setValue(2);
  function->setCurrentIndex(0);
  errors->setChecked(false);
  int resets = 0;
  std::vector<std::pair<int, int>> inserted;
  QObject::connect(Model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  QObject::connect(Model(), &QAbstractItemModel::rowsInserted,
                   [&](const QModelIndex&, int first, int last) { inserted.emplace_back(first, last); });
  line.Exchange(ReadRequest(1), ReadReply(1));
  line.Exchange(ReadRequest(2), ReadReply(2));
  Redraw();
  EXPECT_EQ(resets, 0);
  EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{2, 3}}));
  EXPECT_EQ(Listed(), (std::vector<size_t>{2, 3, 13, 14}));
  Redraw();
  EXPECT_EQ(inserted.size(), 1u) << "nothing new, nothing added";
}

// A ring cleared and filled again, even past its old total, is listed anew.
TEST_F(LineAnalyzerWindowTest, ClearedRingIsListedAnew) {
  LineTraffic line(la, kFirstUs);
  MixedTraffic(line);
  Redraw();
  Frames()->setCurrentIndex(Model()->index(3, 0));
  EXPECT_NE(Text("MemoFields").find("Exception"), std::string::npos);
  int resets = 0;
  QObject::connect(Model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  la.Clear();
  for (int i = 0; i < 8; ++i) line.Exchange(ReadRequest(5), ReadReply(5));
  ASSERT_EQ(la.Size(), 16u);
  Redraw();
  EXPECT_EQ(resets, 1);
  ASSERT_EQ(Model()->rowCount(), 16);
  for (int r = 0; r < 16; ++r) {
    EXPECT_EQ(Cell(r, Col::kTime), MillisText(la.At(static_cast<size_t>(r)).TimeUs)) << r;
    EXPECT_EQ(Cell(r, Col::kDevice), "5") << r;
  }
  EXPECT_EQ(Text("MemoFields"), "") << "the selected frame went with the ring";
  Frames()->setCurrentIndex(Model()->index(3, 0));
  EXPECT_TRUE(Text("MemoFields").starts_with("Reply: 10 registers\n")) << Text("MemoFields");
}

TEST_F(LineAnalyzerWindowTest, PauseHoldsTheTableAndFollowKeepsTheNewestInView) {
  form->show();
  LineTraffic line(la, kFirstUs);
  for (int i = 0; i < 100; ++i) line.Exchange(ReadRequest(1 + i % 3), ReadReply(1 + i % 3));
  Redraw();
  QCoreApplication::processEvents();
  QScrollBar* bar = Frames()->verticalScrollBar();
  ASSERT_EQ(Model()->rowCount(), 200);
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_TRUE(Find<QCheckBox>("ChkFollow")->isChecked());
  EXPECT_EQ(bar->value(), bar->maximum()) << "following: the newest row in view";

  // Paused: frames are collected, the table stays.
  Find<QCheckBox>("ChkPause")->click();
  for (int i = 0; i < 10; ++i) line.Exchange(ReadRequest(1), ReadReply(1));
  Redraw();
  EXPECT_EQ(la.Size(), 220u);
  EXPECT_EQ(Model()->rowCount(), 200);
  Find<QCheckBox>("ChkPause")->click();
  EXPECT_EQ(Model()->rowCount(), 220) << "unpausing takes in what came meanwhile";
  EXPECT_EQ(bar->value(), bar->maximum());

  // Not following: the view stays where the user put it.
  Find<QCheckBox>("ChkFollow")->click();
  bar->setValue(5);
  for (int i = 0; i < 10; ++i) line.Exchange(ReadRequest(1), ReadReply(1));
  Redraw();
  QCoreApplication::processEvents();
  EXPECT_EQ(Model()->rowCount(), 240);
  EXPECT_EQ(bar->value(), 5);
  Find<QCheckBox>("ChkFollow")->click();
  EXPECT_EQ(bar->value(), bar->maximum());
}

// More frames than the ring holds: the rows of overwritten frames leave the
// front (rows removed, not a reset), with and without a filter, and a view
// that does not follow keeps showing the same frames.
TEST_F(LineAnalyzerWindowTest, RingOverwriteDropsRowsAtTheFront) {
  form->show();
  LineTraffic line(la, kFirstUs);
  // Broadcasts (no reply awaited), every tenth one a function 16 write.
  auto feed = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const uint64_t n = la.Total();
      if (n % 10 == 9)
        line.Write(LineTraffic::Rtu(
                       {0, 16, 0, 1, 0, 1, 2, static_cast<int>(n >> 8 & 0xFF), static_cast<int>(n & 0xFF)}),
                   4000);
      else
        line.Write(
            LineTraffic::Rtu({0, 6, 0, 1, static_cast<int>(n >> 8 & 0xFF), static_cast<int>(n & 0xFF)}),
            4000);
    }
  };
  constexpr int kCap = static_cast<int>(LineAnalyzer::kCapacity);
  feed(3000);
  Redraw();
  ASSERT_EQ(Model()->rowCount(), 3000);
  Find<QCheckBox>("ChkFollow")->click(); // off
  QCoreApplication::processEvents();
  QScrollBar* bar = Frames()->verticalScrollBar();
  Frames()->setCurrentIndex(Model()->index(10, 0));
  EXPECT_FALSE(Text("MemoBytes").empty());
  bar->setValue(2000);
  const std::string topTime = Cell(2000, Col::kTime);

  int resets = 0;
  std::vector<std::pair<int, int>> removed;
  QObject::connect(Model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  QObject::connect(Model(), &QAbstractItemModel::rowsRemoved,
                   [&](const QModelIndex&, int first, int last) { removed.emplace_back(first, last); });
  feed(kCap - 3000 + 500);
  ASSERT_EQ(la.Total(), static_cast<uint64_t>(kCap + 500));
  Redraw();
  QCoreApplication::processEvents();
  EXPECT_EQ(resets, 0);
  EXPECT_EQ(removed, (std::vector<std::pair<int, int>>{{0, 499}}));
  ASSERT_EQ(Model()->rowCount(), kCap);
  EXPECT_EQ(Cell(0, Col::kTime), MillisText(la.At(0).TimeUs));
  EXPECT_EQ(Cell(kCap - 1, Col::kTime), MillisText(la.At(kCap - 1).TimeUs));
  EXPECT_EQ(bar->value(), 1500) << "the same frames stay in view";
  EXPECT_EQ(Cell(bar->value(), Col::kTime), topTime);
  EXPECT_EQ(Text("MemoBytes"), "") << "the selected frame is gone";

  // Function 16 only: one frame in ten; the front is pruned as the ring moves on.
  Find<QComboBox>("CboFunction")->setCurrentIndex(16);
  auto expected = [&] {
    std::vector<size_t> out;
    for (size_t i = 0; i < la.Size(); ++i)
      if (la.At(i).Function == 16) out.push_back(i);
    return out;
  };
  EXPECT_EQ(Listed(), expected());
  removed.clear();
  feed(1000);
  Redraw();
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0], (std::pair<int, int>{0, 99}));
  EXPECT_EQ(Model()->rowCount(), kCap / 10);
  EXPECT_EQ(Listed(), expected());
  EXPECT_EQ(resets, 1) << "only the filter change reset the table";
}

TEST_F(LineAnalyzerWindowTest, SelectedFrameInHexAndFieldsByMouseOrKeyboard) {
  LineTraffic line(la, kFirstUs);
  MixedTraffic(line);
  Redraw();
  EXPECT_EQ(Text("MemoBytes"), "");
  Frames()->setCurrentIndex(Model()->index(1, 0));
  const std::string reply = ReadReply(1);
  const std::string bytes = Text("MemoBytes");
  EXPECT_EQ(bytes.substr(0, bytes.find('\n')),
            "0000  01 03 14 00 01 00 02 00 03 00 04 00 05 00 06 00  ................");
  EXPECT_TRUE(bytes.find("\n0010  07 00 08 00 09 00 0A ") != std::string::npos) << bytes;
  EXPECT_EQ(bytes, HexDump(reply));
  const std::string fields = Text("MemoFields");
  EXPECT_TRUE(fields.starts_with("Reply: 10 registers\n")) << fields;
  EXPECT_NE(fields.find("\nRegister 1: 1 (0x0001)\n"), std::string::npos) << fields;
  EXPECT_NE(fields.find("\nRegister 10: 10 (0x000A)\n"), std::string::npos) << fields;

  // The arrow keys move through the table; the panes follow.
  QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
  QApplication::sendEvent(Frames(), &down);
  EXPECT_EQ(Frames()->currentIndex().row(), 2);
  EXPECT_EQ(Text("MemoBytes"), HexDump(LineTraffic::Rtu({2, 3, 0, 0x10, 0, 2})));
  EXPECT_NE(Text("MemoFields").find("\nStart address: 16 (number 17)\n"), std::string::npos);

  // The selection stays on its frame through a filter that keeps it.
  Find<QSpinBox>("SpnDevice")->setValue(2);
  EXPECT_EQ(Frames()->currentIndex().row(), 0);
  EXPECT_NE(Text("MemoFields").find("\nStart address: 16 (number 17)\n"), std::string::npos);
  Find<QSpinBox>("SpnDevice")->setValue(3);
  EXPECT_EQ(Text("MemoBytes"), "") << "filtered out: nothing selected";
}

TEST_F(LineAnalyzerWindowTest, StatisticsPerDeviceUartCountsAndReset) {
  LineTraffic line(la, kFirstUs, "COM1: a pseudo-terminal: gaps and silences cannot be measured");
  ws->Settings.ResponseTime = 250;
  MixedTraffic(line);
  RedrawStatistics();
  auto* stats = Find<QTableWidget>("TblStats");
  ASSERT_EQ(stats->rowCount(), 3);
  std::vector<std::string> headings;
  for (int c = 0; c < stats->columnCount(); ++c)
    headings.push_back(stats->horizontalHeaderItem(c)->text().toStdString());
  EXPECT_EQ(headings,
            (std::vector<std::string>{"Device", "Requests", "Good Replies", "CRC/LRC Errors", "Time-outs",
                                      "Exceptions", "Min (ms)", "Median (ms)", "P95 (ms)", "Max (ms)",
                                      "Suggested Time-out (ms)", "Response Time (ms)"}));
  const std::vector<std::vector<std::string>> counts = {
      {"1", "3", "2", "1", "0", ""}, {"2", "1", "0", "0", "0", "2:1"}, {"3", "1", "0", "0", "1", ""}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 6; ++c)
      EXPECT_EQ(Stat(r, c), counts[static_cast<size_t>(r)][static_cast<size_t>(c)]) << r << "," << c;
    EXPECT_EQ(Stat(r, 11), "250") << "the configured time-out beside the suggestion";
  }
  // Device 1's two replies: 10 ms after their request, one of them after the
  // request's echo too; each read in one piece (its first byte a character
  // after the pause).
  EXPECT_EQ(Stat(0, 6), "11.042");
  EXPECT_EQ(Stat(0, 7), "11.042");
  EXPECT_EQ(Stat(0, 8), "29.378");
  EXPECT_EQ(Stat(0, 9), "29.378");
  EXPECT_EQ(Stat(0, 10), std::to_string(line::LineStatistics::SuggestedTimeoutMs(29378)));
  EXPECT_EQ(Stat(2, 6), "") << "no reply, no response time";
  EXPECT_EQ(Stat(2, 10), "");
  EXPECT_EQ(Label("LblNoise"), "Noise entries: 1");
  EXPECT_EQ(Label("LblUart"), "UART errors: not reported by this device");
  EXPECT_FALSE(Find<QLabel>("LblTiming")->isHidden());
  EXPECT_EQ(Label("LblTiming"), "COM1: a pseudo-terminal: gaps and silences cannot be measured");

  // The figures are computed anew at most every kRedrawsPerStatistics redraws.
  la.SetUartErrors({true, 1, 2, 3, 4, 5});
  line.Exchange(ReadRequest(4), ReadReply(4));
  Redraw();
  EXPECT_EQ(stats->rowCount(), 3);
  RedrawStatistics();
  EXPECT_EQ(stats->rowCount(), 4);
  EXPECT_EQ(Stat(3, 0), "4");
  EXPECT_EQ(Label("LblUart"), "UART errors: framing 1, parity 2, overrun 3, break 4, buffer overrun 5");

  // "Reset Statistics": the counts start afresh, the frames stay.
  Find<QPushButton>("CmdResetStats")->click();
  EXPECT_TRUE(la.Statistics().Devices().empty());
  EXPECT_EQ(stats->rowCount(), 0);
  EXPECT_EQ(Label("LblNoise"), "Noise entries: 0");
  EXPECT_EQ(Model()->rowCount(), 13);
  line.Exchange(ReadRequest(2), ReadReply(2));
  RedrawStatistics();
  ASSERT_EQ(stats->rowCount(), 1);
  EXPECT_EQ(Stat(0, 0), "2");
  EXPECT_EQ(Stat(0, 1), "1");
  EXPECT_EQ(Stat(0, 2), "1");

  // A line that can be timed has no note.
  la.Start(la.Settings(), LineTraffic::kOpenUs, "");
  RedrawStatistics();
  EXPECT_TRUE(Find<QLabel>("LblTiming")->isHidden());
}

TEST_F(LineAnalyzerWindowTest, ExportCsvWritesTheFilteredRing) {
  LineTraffic line(la, kFirstUs);
  MixedTraffic(line);
  Redraw();
  char tmpl[] = "/tmp/korvane-line-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string all = dir + "/all.csv", dev1 = dir + "/dev1.csv";

  form->ExportCsvTo(all);
  EXPECT_EQ(test::ReadFile(all), la.ExportCsv());
  EXPECT_TRUE(test::ReadFile(all).starts_with(std::string(line::kCsvHeader) + "\n"));
  Find<QSpinBox>("SpnDevice")->setValue(1);
  Find<QCheckBox>("ChkErrors")->setChecked(true);
  form->ExportCsvTo(dev1);
  const std::string filtered = test::ReadFile(dev1);
  EXPECT_EQ(filtered, la.ExportCsv([](const line::Frame& f) {
    return f.Device == 1 && f.Check == line::FrameCheck::kCrc;
  }));
  EXPECT_EQ(std::count(filtered.begin(), filtered.end(), '\n'), 2) << filtered;

  // A file that cannot be written: the message box says so.
  const std::string bad = dir + "/missing/x.csv";
  Guarded([&] { form->ExportCsvTo(bad); });
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].starts_with("Export CSV: cannot write " + bad + ": ")) << messages[0];
  std::filesystem::remove_all(dir);
}

TEST_F(LineAnalyzerWindowTest, OpenedFromTheCommunicationsMenuWithItsHelpPage) {
  FakeTickSource ticks;
  TMainForm main(*ws, ticks);
  main.AttachWindows(nullptr, nullptr, nullptr, form.get());
  auto* item = main.findChild<QAction*>("MnuLineAnalyzer");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text().toStdString(), "&Line Analyzer");
  const QList<QAction*> comms = main.findChild<QMenu*>("Comms")->actions();
  ASSERT_EQ(comms.size(), 3);
  EXPECT_EQ(comms[1]->objectName().toStdString(), "MnuModbus");
  EXPECT_EQ(comms[2], item);

  EXPECT_FALSE(form->isVisible());
  item->trigger();
  EXPECT_TRUE(form->isVisible());
  Find<QPushButton>("CmdExit")->click();
  EXPECT_FALSE(form->isVisible());

  // F1 opens the window's own page.
  EXPECT_EQ(KorvaneHelpContextPages().at(TFrmLineAnalyzer::kHelpContext), "/line_analyzer.html");
  THookHelpSystem hook("", "", 0);
  std::vector<int> contexts;
  hook.OnHelpContext = [&](int id) { contexts.push_back(id); };
  QShortcut* f1 = nullptr;
  for (QShortcut* s : form->findChildren<QShortcut*>())
    if (s->key() == QKeySequence(Qt::Key_F1)) f1 = s;
  ASSERT_NE(f1, nullptr);
  emit f1->activated();
  EXPECT_EQ(contexts, std::vector<int>{TFrmLineAnalyzer::kHelpContext});
}

} // namespace
} // namespace korvane
