// Start-up time of the windowed program to its main window shown, offscreen.
//
//   startup_bench [--runs N]
//
// Starts itself N times (default 20) as a fresh process with
// QT_QPA_PLATFORM=offscreen. Each child goes through the start-up of the main
// program (application object, the one workspace, the main window and the
// windows created after it, in the same order) and stops the clock when the
// main window's native window is exposed; it reports the time from the
// parent's spawn (exec and dynamic loading included) and its own phases. The
// parent prints the median, the lowest and the highest of each.
#include <QApplication>
#include <QCoreApplication>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "app/ui/application.h"
#include "app/ui/main_form.h"
#include "config/ui/config_form.h"
#include "monitor/core/line_analyzer.h"
#include "monitor/ui/comms_form.h"
#include "monitor/ui/frm_comms_modbus.h"
#include "monitor/ui/frm_line_analyzer.h"

extern char** environ;

namespace {

int64_t NowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double Ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

// The child: prints "spawn_to_shown app workspace_and_windows show" in ms.
int Child(int argc, char** argv, int64_t spawned) {
  const int64_t t0 = NowNs();
  korvane::KorvaneApplication app(argc, argv);
  QCoreApplication::setApplicationName("Korvane");
  const int64_t t1 = NowNs();
  auto ws = korvane::MakeWorkspace();
  korvane::TMainForm MainForm(*ws, korvane::SystemTicks());
  korvane::TConfigForm ConfigForm(*ws);
  korvane::TCommsForm CommsForm(*ws);
  korvane::TFrmCommsModbus FrmCommsModbus(*ws);
  korvane::LineAnalyzer lineAnalyzer;
  korvane::TFrmLineAnalyzer FrmLineAnalyzer(*ws, lineAnalyzer);
  const int64_t t2 = NowNs();
  MainForm.show();
  while (MainForm.windowHandle() == nullptr || !MainForm.windowHandle()->isExposed())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const int64_t t3 = NowNs();
  std::printf("%.3f %.3f %.3f %.3f %.3f\n", Ms(t3 - spawned), Ms(t0 - spawned), Ms(t1 - t0), Ms(t2 - t1),
              Ms(t3 - t2));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") return Child(argc, argv, std::atoll(argv[2]));
  int runs = 20;
  if (argc == 3 && std::string(argv[1]) == "--runs") runs = std::max(1, std::atoi(argv[2]));
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  std::vector<std::vector<double>> columns(5);
  for (int i = 0; i < runs; ++i) {
    int out[2];
    if (::pipe(out) != 0) return 1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0); // Qt's notes on the platform
    const std::string stamp = std::to_string(NowNs());
    char* args[] = {argv[0], const_cast<char*>("--child"), const_cast<char*>(stamp.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "start %d failed\n", i + 1);
      return 1;
    }
    double v[5];
    if (std::sscanf(text.c_str(), "%lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4]) != 5) return 1;
    for (int k = 0; k < 5; ++k) columns[static_cast<size_t>(k)].push_back(v[k]);
  }
  const char* names[] = {"spawn to main window shown", "  exec and dynamic loading", "  application object",
                         "  workspace and windows", "  show until exposed"};
  std::printf("Start-up to the main window shown (offscreen), %d starts\n\n", runs);
  std::printf("| phase                       | median ms | lowest ms | highest ms |\n");
  std::printf("|-----------------------------|----------:|----------:|-----------:|\n");
  for (size_t k = 0; k < columns.size(); ++k) {
    std::vector<double>& c = columns[k];
    std::sort(c.begin(), c.end());
    std::printf("| %-27s | %9.1f | %9.1f | %10.1f |\n", names[k], c[c.size() / 2], c.front(), c.back());
  }
  return 0;
}
