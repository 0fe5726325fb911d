// The Line Analyzer with its ring full, offscreen.
//
//   line_analyzer_bench [--updates N]
//
// 1. Memory: VmRSS of this process (application, workspace, the window
//    shown) before any frame, then with LineAnalyzer::kCapacity frames held
//    and the window's table listing them all; the difference is what the
//    ring and the window's rows cost.
// 2. Redraw: with the ring full and a filter on, each step replays what a
//    saturated 115200 baud line carries in 100 ms (35 read exchanges of 8 +
//    25 bytes, 1155 bytes, 70 frames) through LineAnalyzer::Sent/Received,
//    then times the window's redraw (its 100 ms timer step: the model takes
//    in the new frames and drops the overwritten ones, the statistics now
//    and then) and a paint of the frame table (QWidget::grab). Prints the
//    median, the 95th percentile and the highest per filter, and the decoder
//    and ring's own time for the same 100 ms of line.
// Figures only; nothing passes or fails here.
#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QPixmap>
#include <QSpinBox>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/workspace.h"
#include "modbus/frame_rules.h"
#include "modbus/line_decoder.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/ui/frm_line_analyzer.h"

namespace {

int64_t NowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long VmRssKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::string Rtu(std::initializer_list<int> body) {
  std::string f;
  for (int b : body) f.push_back(static_cast<char>(b));
  korvane::frame::AppendCrc(f);
  return f;
}

// Read exchanges with four devices in turn at 115200 baud 8N1 (87 us a
// character); one reply in 50 has a bad CRC, so "Errors only" has rows too.
class Line {
public:
  static constexpr uint64_t kCharUs = 87;
  static constexpr uint64_t kGapUs = 2000; // more than the 1750 us silence

  explicit Line(korvane::LineAnalyzer& la) : la_(la) {
    korvane::line::DecoderSettings s;
    s.Baud = 115200;
    s.ReplyTimeoutUs = 400000;
    la_.Start(s, now_, "");
    for (int d = 1; d <= 4; ++d) {
      requests_.push_back(Rtu({d, 3, 0, 0, 0, 10}));
      replies_.push_back(Rtu({d, 3, 20, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10}));
    }
  }

  // One request and its reply; returns the bytes on the line.
  size_t Exchange() {
    const size_t d = n_ % 4;
    const std::string& request = requests_[d];
    const uint64_t end = now_ + request.size() * kCharUs;
    la_.Sent(request, now_, end);
    now_ = end + kGapUs;
    std::string reply = replies_[d];
    if (n_ % 50 == 49) reply.back() = static_cast<char>(reply.back() ^ 0x55);
    now_ += reply.size() * kCharUs;
    la_.Received(reply, now_);
    now_ += kGapUs;
    la_.Advance(now_);
    ++n_;
    return request.size() + reply.size();
  }

private:
  korvane::LineAnalyzer& la_;
  uint64_t now_ = 1000000;
  uint64_t n_ = 0;
  std::vector<std::string> requests_, replies_;
};

struct Figures {
  double Median, P95, Max;
};

Figures Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return {v[n / 2], v[std::min(n - 1, (n * 95 + 99) / 100 - 1)], v.back()};
}

} // namespace

int main(int argc, char** argv) {
  int updates = 300;
  if (argc == 3 && std::string(argv[1]) == "--updates") updates = std::max(10, std::atoi(argv[2]));
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  auto ws = korvane::MakeWorkspace();
  korvane::LineAnalyzer la;
  korvane::TFrmLineAnalyzer form(*ws, la);
  form.show();
  QCoreApplication::processEvents();
  auto* table = form.findChild<QTableView*>("TblFrames");
  auto* device = form.findChild<QSpinBox*>("SpnDevice");
  auto* errors = form.findChild<QCheckBox*>("ChkErrors");
  (void)table->grab();
  const long before = VmRssKb();

  Line line(la);
  size_t bytes = 0;
  while (la.Size() < korvane::LineAnalyzer::kCapacity) bytes += line.Exchange();
  const long ringOnly = VmRssKb();
  form.Timer1Timer();
  (void)table->grab();
  QCoreApplication::processEvents();
  const long held = VmRssKb();
  std::printf("Memory with %zu frames held (%zu bytes of frames), VmRSS in kB:\n", la.Size(), bytes);
  std::printf("| before feeding | ring full | ring full, table listing it | difference | difference MB |\n");
  std::printf("|---:|---:|---:|---:|---:|\n");
  std::printf("| %ld | %ld | %ld | %ld | %.1f |\n\n", before, ringOnly, held, held - before,
              static_cast<double>(held - before) / 1024.0);

  struct Filter {
    const char* name;
    int device;
    bool errors;
  };
  const Filter filters[] = {{"none", -1, false}, {"device 1 (of 4)", 1, false}, {"errors only", -1, true}};
  std::printf("Redraw per 100 ms of a saturated 115200 baud line (%d updates, ring full), ms:\n", updates);
  std::printf("| filter | rows | feed median | update median | update+paint median | p95 | max |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Filter& f : filters) {
    device->setValue(f.device);
    errors->setChecked(f.errors);
    form.Timer1Timer();
    (void)table->grab();
    std::vector<double> feed, update, redraw;
    for (int u = 0; u < updates; ++u) {
      const int64_t t0 = NowNs();
      size_t step = 0;
      while (step < 1152) step += line.Exchange();
      const int64_t t1 = NowNs();
      form.Timer1Timer();
      const int64_t t2 = NowNs();
      (void)table->grab();
      const int64_t t3 = NowNs();
      feed.push_back(static_cast<double>(t1 - t0) / 1e6);
      update.push_back(static_cast<double>(t2 - t1) / 1e6);
      redraw.push_back(static_cast<double>(t3 - t1) / 1e6);
    }
    const Figures fd = Summarise(feed), ud = Summarise(update), rd = Summarise(redraw);
    std::printf("| %s | %d | %.3f | %.3f | %.3f | %.3f | %.3f |\n", f.name, table->model()->rowCount(),
                fd.Median, ud.Median, rd.Median, rd.P95, rd.Max);
  }

  // The statistics' own share: computed anew once a second.
  std::vector<double> stats;
  for (int i = 0; i < 20; ++i) {
    line.Exchange();
    const int64_t t0 = NowNs();
    form.RefreshStatistics();
    stats.push_back(static_cast<double>(NowNs() - t0) / 1e6);
  }
  const Figures sf = Summarise(stats);
  std::printf("\nFrames framed in all: %llu\n", static_cast<unsigned long long>(la.Total()));
  std::printf("\nStatistics redraw (once a second, included above): median %.3f ms, max %.3f ms\n", sf.Median,
              sf.Max);
  return 0;
}
